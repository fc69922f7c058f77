// File transfer: a file's content streamed to an agent, compressed and
// enciphered, and received there into a temporary file moved into place.
#include "util/net/transfer.h"

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
#include <filesystem>
#include <string>

#include "util/net/handlers.h"
#include "util/net/request.h"
#include "port/varro.h"
#include "util/store/compress.h"
#include "util/sys/confine.h"
#include "util/sys/secdesc.h"

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
    std::string tmp = sorvan::confine::temp_template(to);   // swept if we are killed
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

// The content step: 0 sent (or nothing to send); -1 the length is not
// known or the source cannot be opened; -2 not sent whole; -3 the source
// is shorter than announced or cannot be mapped. *why (when given) says
// what is wrong with the source.
int send_content(int sock, const FileRecord *rec, int32_t cr, std::string *why) {
    auto fail = [&](int code, const std::string &text) {
        if (why) *why = text;
        return code;
    };
    char path[sizeof rec->path];
    std::memcpy(path, rec->path, sizeof path);
    path[sizeof path - 1] = 0;
    uint64_t len = rec->size;
    if (len == 0) {
        struct stat st;
        if (stat(path, &st) != 0) return fail(-1, std::string("the source is gone: ") + std::strerror(errno));
        len = uint64_t(st.st_size);
    }
    if (len == 0) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(-1, std::string("the source cannot be opened: ") + std::strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || uint64_t(st.st_size) < len) {
        close(fd);   // mapping past the end would fault
        return fail(-3, "the source is shorter than announced (" + std::to_string(st.st_size) + " of " +
                            std::to_string(len) + " bytes)");
    }
    // With the carriage-return flag the pages are private copies, so the
    // source stays as it is.
    int prot = cr ? PROT_READ | PROT_WRITE : PROT_READ;
    void *p = mmap(nullptr, size_t(len), prot, cr ? MAP_PRIVATE : MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        int e = errno;
        close(fd);
        return fail(-3, std::string("the source cannot be mapped: ") + std::strerror(e));
    }
    madvise(p, size_t(len), MADV_SEQUENTIAL);
    if (cr) {
        auto *b = static_cast<unsigned char *>(p);
        for (unsigned char *q = b; (q = static_cast<unsigned char *>(std::memchr(q, '\r', size_t(b + len - q))));)
            *q++ = ' ';
    }
    int64_t sent = deflate_buf(p, len, sock, 1);
    munmap(p, size_t(len));
    close(fd);
    return sent < 0 ? -2 : 0;
}

struct Content {
    const FileRecord *rec;
    int32_t cr;
};

int content_step(int sock, void *arg, std::string *why) {
    auto *c = static_cast<Content *>(arg);
    int rc = send_content(sock, c->rec, c->cr, why);
    if (rc == -2) return -1;
    return rc < 0 ? -2 : 0;
}

// The record as it goes out: the agent reads content only when the record
// announces a length, so an unannounced one is taken from the file.
FileRecord announced(const FileRecord *rec) {
    FileRecord a = *rec;
    a.path[sizeof a.path - 1] = 0;
    a.path2[sizeof a.path2 - 1] = 0;
    struct stat st;
    if (a.size == 0 && stat(a.path, &st) == 0 && S_ISREG(st.st_mode)) a.size = uint64_t(st.st_size);
    return a;
}

}  // namespace

using sorvan::transfer::move_replace;
using sorvan::transfer::Outcome;
using sorvan::transfer::parent_dir;

namespace {

// A reception that failed, and why.
void receive_failed(const char *dest, const char *why) {
    port_syslog(LOG_ERR, "Tessaron(tm) Slave Server: receive '%s' failed: %s", dest, why);
}

Outcome failure(int32_t rc, int err, std::string why) {
    Outcome o;
    o.rc = rc;
    o.err = err;
    o.why = std::move(why);
    return o;
}

// What may be replaced by a transfer: nothing yet, a regular file, or a
// link (replaced, never followed).
bool writable_kind(const std::string &dest) {
    struct stat st;
    if (lstat(dest.c_str(), &st) != 0) return true;   // missing, or the write says why not
    return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
}

bool regular_file(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The old stream's content: inflated straight from the connection.
bool inflate_content(int sock, int fd, uint64_t size, Outcome *out) {
    uint64_t written = 0;
    int err = 0;
    int64_t got = sorvan::inflate_to(sock, fd, size, &written, 1, &err);
    // Only a stream that reached its end, with the announced length,
    // replaces the destination.
    if (got > 0 && written == size) return true;
    char why[160];
    int32_t rc = -4;
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
    *out = failure(rc, got == Z_ERRNO ? err : 0, why);
    // The rest of the stream is not read: the sender must not wait on it.
    shutdown(sock, SHUT_RDWR);
    return false;
}

}  // namespace

namespace sorvan::transfer {

std::string destination(const FileRecord &rec, Outcome *out, bool *refused) {
    *refused = false;
    // Older peers may separate with '/': that is already our separator.
    const char *asked = rec.path2[0] ? rec.path2 : rec.path;
    std::string dest;
    if (!asked[0]) {
        *out = failure(-5, 0, "no destination");
    } else if (!sorvan::confine::admit(sorvan::confine::Op::kWrite, asked, &dest)) {
        *out = failure(-5, EACCES, std::string("the path '") + asked + "' is refused");
        *refused = true;
        return {};
    } else if (!writable_kind(dest)) {
        *out = failure(-5, EISDIR, "the destination is not a regular file");
    } else {
        return dest;
    }
    receive_failed(asked, out->why.c_str());
    return {};
}

Outcome store_file(const std::string &dest, const FileRecord &rec, unsigned char *sd, uint32_t sd_len,
                   const ContentSink &sink) {
    auto apply = [&](const std::string &path) {
        set_NT_file_attr(path.c_str(), rec.attributes);
        if (sd) sorvan::sd::set_sd(path.c_str(), sd, sd_len);
    };
    if (rec.size == 0 && regular_file(dest)) {
        // An existing file keeps its content; it takes the source's mode,
        // owner and attributes as a new one would.
        apply(dest);
        return {};
    }
    std::string tmp = sorvan::confine::temp_template(dest);
    int fd = tmp.size() < PATH_MAX ? mkstemp(tmp.data()) : (errno = ENAMETOOLONG, -1);
    if (fd < 0 && errno == ENOENT) {
        // The directory is made where it is missing.
        std::string dir = parent_dir(dest.c_str());
        if (!dir.empty()) mkdirs(dir.c_str());
        tmp = sorvan::confine::temp_template(dest);
        fd = mkstemp(tmp.data());
    }
    if (fd < 0) {
        int e = errno;
        receive_failed(dest.c_str(), std::strerror(e));
        return failure(-5, e, std::strerror(e));
    }
    // Locked while it is written, so a sweep at start leaves it alone.
    flock(fd, LOCK_EX);
    Outcome out;
    if (rec.size > 0 && !sink(fd, rec.size, &out)) {
        receive_failed(dest.c_str(), out.why.c_str());
        unlink(tmp.c_str());
        close(fd);
        return out;
    }
    // Mode, owner and attributes first: the file appears with them.
    sorvan::sd::apply_to_new_file(fd, rec.attributes, sd, sd_len);
    if (move_replace(tmp.c_str(), dest.c_str()) != 0) {
        int e = errno;
        receive_failed(dest.c_str(), std::strerror(e));
        // A read-only attribute must not keep the temporary file.
        if (unlink(tmp.c_str()) != 0 && errno != ENOENT) rm(tmp.c_str());
        close(fd);
        return failure(-5, e, std::strerror(e));
    }
    close(fd);
    return out;
}

}  // namespace sorvan::transfer

extern "C" {

SORVAN_API int send_file_content(int sock, const FileRecord *rec, int32_t cr) {
    int rc = send_content(sock, rec, cr, nullptr);
    if (rc == 0 && sorvan::connection_reset(sock)) return -2;   // some of it never arrived
    return rc;
}

SORVAN_API int send_file(uint32_t addr, int port, int32_t timeout_us, const char *password,
                         const char *salt, FileRecord *rec, int32_t cr) {
    FileRecord a = announced(rec);
    sorvan::Delivery d{addr, port, timeout_us, password, salt, &a, REQ_SEND_FILE, true, true};
    int s = sorvan::open_request(d, true);
    if (s < 0) return s;
    if (send_file_content(s, &a, cr) < 0) {
        close(s);
        return -100;
    }
    return s;
}

SORVAN_API int32_t req_send_file(uint32_t addr, int port, int32_t timeout_us,
                                 const char *password, FileRecord *rec) {
    FileRecord a = announced(rec);
    Content content{&a, 0};
    sorvan::Delivery d{addr, port, timeout_us, password, "Q4", &a, REQ_SEND_FILE, true, true,
                       content_step, &content};
    // What no retry can cure is given up before the agent is asked.
    struct stat st;
    std::string why;
    if (stat(a.path, &st) != 0)
        why = std::string("the source is gone: ") + std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "the source is not a regular file";
    else if (uint64_t(st.st_size) < a.size)
        why = "the source is shorter than announced (" + std::to_string(st.st_size) + " of " +
              std::to_string(a.size) + " bytes)";
    if (!why.empty()) {
        sorvan::note_request(LOG_ERR, d, why + ": given up");
        return -100;
    }
    return sorvan::deliver(d) < 0 ? -100 : 0;
}

SORVAN_API int32_t receive_file(int sock, const struct sockaddr_in *peer, void *, uint32_t version) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) {
        receive_failed("?", "no file record came");
        return -1;
    }
    unsigned char *sd = nullptr;
    uint32_t sd_len = 0;
    if (version == REQ_VERSION) {
        sd = static_cast<unsigned char *>(sorvan::xread_len(sock, &sd_len));
        if (!sd) {
            receive_failed(rec.path2[0] ? rec.path2 : rec.path, "no descriptor came");
            return -2;
        }
    }
    Outcome out;
    bool refused = false;
    std::string dest = sorvan::transfer::destination(rec, &out, &refused);
    if (refused) sorvan::handlers::refuse(sock, peer);
    if (!dest.empty())
        out = sorvan::transfer::store_file(dest, rec, sd, sd_len, [sock](int fd, uint64_t size, Outcome *o) {
            return inflate_content(sock, fd, size, o);
        });
    std::free(sd);
    return out.rc;
}

}  // extern "C"
