// File transfer: a file's content streamed to an agent, compressed and
// enciphered, and received there into a temporary file moved into place.
#include "net/transfer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "net/request.h"
#include "port/varro.h"
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

SORVAN_API int32_t receive_file(int sock, const struct sockaddr_in *, void *, uint32_t version) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    unsigned char *sd = nullptr;
    uint32_t sd_len = 0;
    if (version == REQ_VERSION) {
        sd = static_cast<unsigned char *>(sorvan::xread_len(sock, &sd_len));
        if (!sd) return -2;
    }
    // Older peers may separate with '/': that is already our separator.
    const char *dest = rec.path2[0] ? rec.path2 : rec.path;
    int32_t rc = 0;
    if (!dest[0]) {
        rc = -5;
    } else if (rec.size == 0) {
        int fd = open(dest, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
    } else {
        std::string dir = parent_dir(dest);
        if (!dir.empty() && access(dir.c_str(), R_OK) != 0) mkdirs(dir.c_str());
        std::string tmp = std::string(dest) + ".XXXXXX";
        int fd = tmp.size() < 1024 ? mkstemp(tmp.data()) : -1;
        if (fd < 0) {
            rc = -5;
        } else {
            fchmod(fd, 0644);   // as a new file would get; the descriptor may say otherwise
            close(fd);
            uint64_t written = 0;
            int64_t got = inflate_buf(sock, tmp.c_str(), &written, 1);
            // Only a stream that reached its end, with the announced length,
            // replaces the destination.
            if (got <= 0 || written != rec.size) {
                unlink(tmp.c_str());
                rc = -4;
            } else if (move_replace(tmp.c_str(), dest) != 0) {
                rm(tmp.c_str());
                rc = -5;
            }
        }
    }
    if (rc == 0) {
        set_NT_file_attr(dest, rec.attributes);
        if (sd) sorvan::sd::set_sd(dest, sd, sd_len);
    }
    std::free(sd);
    return rc;
}

}  // extern "C"
