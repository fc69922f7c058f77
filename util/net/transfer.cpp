// File transfer: a file's content streamed to an agent, compressed and
// enciphered, and received there into a temporary file moved into place.
#include "net/transfer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "net/handlers.h"
#include "net/request.h"
#include "port/varro.h"
#include "store/compress.h"
#include "sys/confine.h"
#include "sys/secdesc.h"

namespace sorvan::transfer {

std::string parent_dir(const char *path) {
    const char *slash = std::strrchr(path, '/');
    if (!slash) return {};
    if (slash == path) return "/";
    return std::string(path, size_t(slash - path));
}

int move_replace(const char *from, const char *to) {
    if (rename(from, to) == 0) return 0;
    if (errno != EXDEV) return -1;
    struct stat st;
    if (lstat(from, &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EXDEV;
        return -1;
    }
    // Copy beside the target, then one rename: never a half-written target.
    std::string tmp = std::string(to) + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) return -1;
    close(fd);
    std::error_code ec;
    std::filesystem::copy_file(from, tmp, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec || chmod(tmp.c_str(), st.st_mode & 07777) != 0 || rename(tmp.c_str(), to) != 0) {
        int e = ec ? ec.value() : errno;
        unlink(tmp.c_str());
        errno = e;
        return -1;
    }
    unlink(from);
    return 0;
}

}  // namespace sorvan::transfer

namespace {

// The descriptor that goes with a transfer: that of path2 where the
// requester has such a file, else that of the source itself. (path2 is
// usually the destination on the agent, which the requester lacks; with
// no descriptor a current agent would abandon the transfer.)
unsigned char *transfer_descriptor(const FileRecord *rec, uint32_t *len) {
    *len = 0;
    void *sd = nullptr;
    if (rec->path2[0]) sd = get_NT_SD(rec->path2, len);
    if (!sd && rec->path[0]) sd = get_NT_SD(rec->path, len);
    if (sd && *len >= sorvan::sd::kHeaderSize) {
        sorvan::sd::control_to_transit(static_cast<unsigned char *>(sd));
        return static_cast<unsigned char *>(sd);
    }
    std::free(sd);
    *len = 0;
    return nullptr;
}

// The content stream as deflate_buf writes it (a zlib stream in pieces of
// 32768 bytes, each enciphered on its own), with the work split: this
// thread compresses while a second one enciphers and writes, so the cipher
// and the socket overlap the compression. Unlike deflate_buf it notices a
// failed write, and stops. Total compressed bytes, or -2.
int64_t stream_content(const unsigned char *src, uint64_t len, int sock) {
    constexpr uInt kPiece = 32768;
    constexpr size_t kQueued = 8;   // bounds the memory: 8 pieces in flight
    struct Piece {
        std::unique_ptr<unsigned char[]> data;
        uInt size;
    };
    std::mutex m;
    std::condition_variable cv;
    std::deque<Piece> queue;
    bool done = false;
    std::atomic<bool> failed{false};
    std::thread writer([&] {
        for (;;) {
            Piece piece;
            {
                std::unique_lock<std::mutex> lk(m);
                cv.wait(lk, [&] { return done || !queue.empty(); });
                if (queue.empty()) return;
                piece = std::move(queue.front());
                queue.pop_front();
            }
            cv.notify_all();
            if (failed) continue;   // drain what is queued without sending
            xencrypt(piece.data.get(), piece.size);
            if (nwrite(sock, piece.data.get(), int(piece.size)) != int(piece.size)) failed = true;
        }
    });
    auto hand_over = [&](Piece piece) {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return queue.size() < kQueued || failed; });
        queue.push_back(std::move(piece));
        cv.notify_all();
    };

    z_stream z{};
    int64_t total = -2;
    if (deflateInit(&z, len > 1024 ? 9 : 1) == Z_OK) {
        uint64_t fed = 0;
        int rc = Z_OK;
        Piece out{std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[kPiece]), kPiece};
        z.next_out = out.data.get();
        z.avail_out = kPiece;
        while (out.data && !failed && rc != Z_STREAM_END) {
            if (z.avail_in == 0 && fed < len) {   // zlib counts in 32 bits: feed slices
                uint64_t n = std::min<uint64_t>(len - fed, 0x40000000u);
                z.next_in = const_cast<Bytef *>(src + fed);
                z.avail_in = uInt(n);
                fed += n;
            }
            rc = deflate(&z, fed == len ? Z_FINISH : Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) break;
            if (z.avail_out == 0 || rc == Z_STREAM_END) {
                out.size = kPiece - z.avail_out;
                hand_over(std::move(out));
                out = Piece{std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[kPiece]), kPiece};
                z.next_out = out.data.get();
                z.avail_out = kPiece;
            }
        }
        if (rc == Z_STREAM_END) total = int64_t(z.total_out);
        deflateEnd(&z);
    }
    {
        std::lock_guard<std::mutex> lk(m);
        done = true;
    }
    cv.notify_all();
    writer.join();
    return failed ? -2 : total;
}

// A connection the peer reset while the content was going out: some of
// it never arrived, whatever the stream's writer was told.
bool connection_reset(int sock) {
    struct tcp_info ti;
    socklen_t len = sizeof ti;
    if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0) return false;   // not TCP
    return ti.tcpi_state == TCP_CLOSE;
}

// The request of a transfer (header, record, descriptor), delivered as
// req_send delivers it with its retry flag: again every half second until
// it went out whole. The connected socket, or -1 for address 0.
int send_request(uint32_t addr, int port, int32_t timeout_us, const char *password, const char *salt,
                 FileRecord *rec) {
    if (addr == 0) return -1;
    RequestHeader h{};
    h.version = REQ_VERSION;
    h.kind = REQ_SEND_FILE;
    sorvan::derive_key(password, salt, h.key);
    unsigned char wire[20];
    sorvan::encode_header(h, wire);
    for (;;) {
        int s = connect_nb(addr, port, timeout_us);
        if (s >= 0) {
            int one = 1;   // header, record and descriptor are small: no Nagle wait
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            uint32_t sd_len = 0;
            unsigned char *sd = transfer_descriptor(rec, &sd_len);
            bool ok = xwrite(s, wire, sizeof wire) >= 0 && xwrite(s, rec, sizeof *rec) >= 0 &&
                      (!sd || xwrite(s, sd, sd_len) >= 0);
            std::free(sd);
            if (ok) return s;
            close(s);
        }
        usleep(500000);
    }
}

}  // namespace

using sorvan::transfer::move_replace;
using sorvan::transfer::parent_dir;

namespace {

// A reception that failed, and why: the requester never learns it.
void receive_failed(const char *dest, const char *why) {
    port_syslog(LOG_ERR, "Tessaron(tm) Slave Server: receive '%s' failed: %s", dest, why);
}

// What may be replaced by a transfer: nothing yet, a regular file, or a
// link (replaced, never followed).
bool writable_kind(const std::string &dest) {
    struct stat st;
    if (lstat(dest.c_str(), &st) != 0) return true;   // missing, or the write says why not
    return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
}

// The content of a transfer of `size` bytes into a temporary file beside
// `dest`, moved into place once the whole announced content arrived; the
// temporary file is locked while it is written, so a sweep at start
// leaves it alone. 0, -4 or -5 as receive_file.
int32_t receive_content(int sock, uint64_t size, const std::string &dest) {
    std::string dir = parent_dir(dest.c_str());
    if (!dir.empty() && access(dir.c_str(), R_OK) != 0) mkdirs(dir.c_str());
    std::string tmp = sorvan::confine::temp_template(dest);
    int fd = tmp.size() < PATH_MAX ? mkstemp(tmp.data()) : (errno = ENAMETOOLONG, -1);
    if (fd < 0) {
        receive_failed(dest.c_str(), std::strerror(errno));
        return -5;
    }
    flock(fd, LOCK_EX);
    fchmod(fd, 0644);   // as a new file would get; the descriptor may say otherwise
    sorvan::mark_hidden(fd);
    uint64_t written = 0;
    int err = 0;
    int64_t got = sorvan::inflate_to(sock, fd, size, &written, 1, &err);
    // Only a stream that reached its end, with the announced length,
    // replaces the destination.
    int32_t rc = 0;
    char why[160];
    if (got > 0 && written == size) {
        if (move_replace(tmp.c_str(), dest.c_str()) != 0) {
            receive_failed(dest.c_str(), std::strerror(errno));
            rm(tmp.c_str());
            rc = -5;
        }
    } else {
        if (got == Z_ERRNO || got == -102)
            std::snprintf(why, sizeof why, "%s", std::strerror(err));
        else if (got == sorvan::kInflateTooLong)
            std::snprintf(why, sizeof why, "more content than the %llu bytes announced", (unsigned long long)size);
        else if (got == 0)
            std::snprintf(why, sizeof why, "the connection ended before the content did");
        else if (got > 0)
            std::snprintf(why, sizeof why, "%llu bytes arrived, %llu announced", (unsigned long long)written,
                          (unsigned long long)size);
        else
            std::snprintf(why, sizeof why, "the content stream is damaged (%lld)", (long long)got);
        receive_failed(dest.c_str(), why);
        unlink(tmp.c_str());
        // The rest of the stream is not read: the sender must not wait on it.
        shutdown(sock, SHUT_RDWR);
        rc = -4;
    }
    close(fd);
    return rc;
}

}  // namespace

extern "C" {

SORVAN_API int send_file_content(int sock, const FileRecord *rec, int32_t cr) {
    char path[sizeof rec->path];
    std::memcpy(path, rec->path, sizeof path);
    path[sizeof path - 1] = 0;
    uint64_t len = rec->size;
    if (len == 0) {
        struct stat st;
        if (stat(path, &st) != 0) return -1;
        len = uint64_t(st.st_size);
    }
    if (len == 0) return 0;
    // A source that has gone is not sent: the agent then sees an unfinished
    // stream and leaves its copy as it is.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || uint64_t(st.st_size) < len) {
        close(fd);   // mapping past the end would fault
        return -3;
    }
    // With the carriage-return flag the pages are private copies, so the
    // source stays as it is.
    int prot = cr ? PROT_READ | PROT_WRITE : PROT_READ;
    void *p = mmap(nullptr, size_t(len), prot, cr ? MAP_PRIVATE : MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return -3;
    }
    madvise(p, size_t(len), MADV_SEQUENTIAL);
    if (cr) {
        auto *b = static_cast<unsigned char *>(p);
        for (unsigned char *q = b; (q = static_cast<unsigned char *>(std::memchr(q, '\r', size_t(b + len - q))));)
            *q++ = ' ';
    }
    int64_t sent = stream_content(static_cast<const unsigned char *>(p), len, sock);
    munmap(p, size_t(len));
    close(fd);
    if (sent < 0 || connection_reset(sock)) return -2;
    return 0;
}

SORVAN_API int send_file(uint32_t addr, int port, int32_t timeout_us, const char *password,
                         const char *salt, FileRecord *rec, int32_t cr) {
    // The agent reads content only when the record announces a length: a
    // record without one would leave it an empty file while the content
    // went unread.
    FileRecord announced = *rec;
    struct stat st;
    if (announced.size == 0 && stat(announced.path, &st) == 0 && S_ISREG(st.st_mode))
        announced.size = uint64_t(st.st_size);
    int s = send_request(addr, port, timeout_us, password, salt, &announced);
    if (s < 0) return s;
    if (send_file_content(s, &announced, cr) < 0) {
        close(s);
        return -100;
    }
    return s;
}

SORVAN_API int32_t req_send_file(uint32_t addr, int port, int32_t timeout_us,
                                 const char *password, FileRecord *rec) {
    for (;;) {
        int s = send_file(addr, port, timeout_us, password, "Q4", rec, 0);
        if (s != -100) {
            if (s > 0) close(s);
            return 0;
        }
        usleep(500000);   // the content did not arrive: the whole transfer again
    }
}

SORVAN_API int32_t receive_file(int sock, const struct sockaddr_in *peer, void *, uint32_t version) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) {
        receive_failed("?", "no file record came");
        return -1;
    }
    // Older peers may separate with '/': that is already our separator.
    const char *asked = rec.path2[0] ? rec.path2 : rec.path;
    unsigned char *sd = nullptr;
    uint32_t sd_len = 0;
    if (version == REQ_VERSION) {
        sd = static_cast<unsigned char *>(sorvan::xread_len(sock, &sd_len));
        if (!sd) {
            receive_failed(asked, "no descriptor came");
            return -2;
        }
    }
    std::string dest;
    int32_t rc = 0;
    if (!asked[0]) {
        receive_failed(asked, "no destination");
        rc = -5;
    } else if (!sorvan::confine::admit(sorvan::confine::Op::kWrite, asked, &dest)) {
        sorvan::handlers::refuse(sock, peer);
        rc = -5;
    } else if (!writable_kind(dest)) {
        receive_failed(dest.c_str(), "the destination is not a regular file");
        rc = -5;
    } else if (rec.size == 0) {
        // Created when missing; an existing file keeps its content.
        int fd = open(dest.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            receive_failed(dest.c_str(), fd < 0 ? std::strerror(errno) : "the destination is not a regular file");
            rc = -5;
        }
        if (fd >= 0) close(fd);
    } else {
        rc = receive_content(sock, rec.size, dest);
    }
    if (rc == 0) {
        set_NT_file_attr(dest.c_str(), rec.attributes);
        if (sd) sorvan::sd::set_sd(dest.c_str(), sd, sd_len);
    }
    std::free(sd);
    return rc;
}

}  // extern "C"
