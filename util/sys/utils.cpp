// Small utilities: basename, sealed messages, memory blocks, random
// passwords, domain trimming.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "port/varro.h"
#include "sorvan.h"
#include "util/net/request.h"
#include "util/net/server.h"

namespace {

// Writes both pieces whole; never raises SIGPIPE on a socket.
ssize_t gather_write(int s, const void *a, size_t an, const void *b, size_t bn) {
    iovec v[2] = {{const_cast<void *>(a), an}, {const_cast<void *>(b), bn}};
    iovec *iov = v;
    int cnt = 2;
    size_t total = 0;
    bool sock = true;
    while (cnt > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --cnt;
            continue;
        }
        ssize_t w;
        if (sock) {
            msghdr m{};
            m.msg_iov = iov;
            m.msg_iovlen = static_cast<size_t>(cnt);
            w = sendmsg(s, &m, MSG_NOSIGNAL);
            if (w < 0 && errno == ENOTSOCK) {
                sock = false;
                continue;
            }
        } else {
            w = writev(s, iov, cnt);
        }
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        total += static_cast<size_t>(w);
        size_t left = static_cast<size_t>(w);
        while (cnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --cnt;
        }
        if (cnt > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return static_cast<ssize_t>(total);
}

struct BlockHead {
    uint64_t magic;
    uint64_t size;
};
constexpr uint64_t kBlockMagic = 0x4b4c424d53524f53ull;   // "SORSMBLK"

BlockHead *head_of(void *p) {
    if (!p) return nullptr;
    auto *h = reinterpret_cast<BlockHead *>(static_cast<char *>(p) - sizeof(BlockHead));
    return h->magic == kBlockMagic ? h : nullptr;
}

const char kPwAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.<>?$#@:-=+()[]{}";
static_assert(sizeof kPwAlphabet - 1 == 79);

// This thread's read deadline (CLOCK_MONOTONIC ms), 0 for none.
thread_local int64_t t_deadline_ms = 0;

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// nread, but ending at the thread's deadline when one is set: a peer that
// trickles its bytes cannot stretch a read past it.
int read_exact(int fd, void *buf, uint32_t n) {
    if (!t_deadline_ms) return nread(fd, buf, int(n));
    auto *p = static_cast<char *>(buf);
    uint32_t got = 0;
    while (got < n) {
        int64_t left = t_deadline_ms - now_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            break;
        }
        pollfd pf{fd, POLLIN, 0};
        int r = poll(&pf, 1, int(left > 60000 ? 60000 : left));
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        ssize_t k = read(fd, p + got, n - got);
        if (k < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            break;
        }
        if (k == 0) break;
        got += uint32_t(k);
    }
    return got > 0 ? int(got) : -1;
}

// One frame: 0, -1 length word not read, -2 no memory or longer than
// `max`, -3 payload not read whole.
int32_t read_frame(int sock, void **payload, uint32_t *len, uint32_t max) {
    unsigned char word[4];
    if (read_exact(sock, word, 4) != 4) return -1;
    uint32_t n = uint32_t(word[0]) << 24 | uint32_t(word[1]) << 16 | uint32_t(word[2]) << 8 | word[3];
    // The length comes from the peer: a frame beyond any real message is
    // refused rather than allocated or read.
    void *buf = n <= max ? std::malloc(n ? n : 1) : nullptr;
    if (!buf) {
        if (len) *len = 0;
        return -2;
    }
    if (n > 0 && read_exact(sock, buf, n) != int(n)) {
        std::free(buf);
        return -3;
    }
    if (payload) *payload = buf;
    else std::free(buf);
    if (len) *len = n;
    return 0;
}

}  // namespace

namespace sorvan {

ReadDeadline::ReadDeadline(int ms) { t_deadline_ms = now_ms() + ms; }
ReadDeadline::~ReadDeadline() { t_deadline_ms = 0; }

void *xread_bounded(int sock, uint32_t *len, uint32_t max_frame) {
    void *payload = nullptr;
    uint32_t n = 0;
    if (read_frame(sock, &payload, &n, max_frame) < 0) return nullptr;
    xdecrypt(payload, n);
    uint32_t out_len = 0;
    int32_t status = 0;
    void *msg = compress_data(payload, n, &out_len, &status, 0);
    std::free(payload);
    if (msg && len) *len = out_len;
    return msg;
}

void *xread_len(int sock, uint32_t *len) { return xread_bounded(sock, len, SORVAN_MAX_FRAME); }

int read_file_record(int sock, FileRecord *rec) {
    uint32_t len = 0;
    void *msg = xread_len(sock, &len);
    if (!msg) return -1;
    std::memset(rec, 0, sizeof *rec);
    std::memcpy(rec, msg, len < sizeof *rec ? len : sizeof *rec);
    std::free(msg);
    // Paths come from the peer: never trust them to be terminated.
    rec->path[sizeof rec->path - 1] = '\0';
    rec->path2[sizeof rec->path2 - 1] = '\0';
    return 0;
}

}  // namespace sorvan

extern "C" {

SORVAN_API char *sorvan_basename(char *path, const char *suffix) {
    if (!path || !*path) return path;
    size_t n = std::strlen(path);
    size_t end = n;
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) {
        path[0] = '/';
        path[1] = '\0';
        return path;
    }
    path[end] = '\0';
    size_t start = end;
    while (start > 0 && path[start - 1] != '/') --start;
    char *r = path + start;
    if (suffix) {
        size_t rl = end - start, sl = std::strlen(suffix);
        if (sl < rl && std::memcmp(r + rl - sl, suffix, sl) == 0) r[rl - sl] = '\0';
    }
    return r;
}

SORVAN_API char *basename(char *path, const char *suffix) noexcept {
    return sorvan_basename(path, suffix);
}

SORVAN_API int32_t _xwrite(int sock, const void *payload, uint32_t len) {
    uint32_t be = htonl(len);
    ssize_t w = gather_write(sock, &be, 4, payload, len);
    return w == static_cast<ssize_t>(len) + 4 ? static_cast<int32_t>(len + 4) : -1;
}

SORVAN_API int32_t xwrite(int sock, const void *data, uint32_t len) {
    uint32_t clen = 0;
    int32_t status = 0;
    static const unsigned char none = 0;
    void *z = compress_data(data ? data : &none, data ? len : 0, &clen, &status, 1);
    if (!z) return -100;
    xencrypt(z, clen);
    int32_t r = _xwrite(sock, z, clen);
    std::free(z);
    return r;
}

SORVAN_API int32_t _xread(int sock, void **payload, uint32_t *len) {
    return read_frame(sock, payload, len, SORVAN_MAX_FRAME);
}

SORVAN_API void *xread(int sock) { return sorvan::xread_len(sock, nullptr); }

SORVAN_API void *MemoryAllocate(size_t size) {
    if (size > SIZE_MAX - sizeof(BlockHead)) return nullptr;
    auto *h = static_cast<BlockHead *>(std::calloc(1, sizeof(BlockHead) + size));
    if (!h) return nullptr;
    h->magic = kBlockMagic;
    h->size = size;
    return h + 1;
}

SORVAN_API void MemoryFree(void *p) {
    BlockHead *h = head_of(p);
    if (!h) return;
    h->magic = 0;
    std::free(h);
}

SORVAN_API size_t MemorySize(void *p) {
    BlockHead *h = head_of(p);
    return h ? h->size : 0;
}

SORVAN_API void *MemoryResize(void *p, size_t size) {
    BlockHead *h = head_of(p);
    if (!h || size > SIZE_MAX - sizeof(BlockHead)) return nullptr;
    size_t old = h->size;
    auto *nh = static_cast<BlockHead *>(std::realloc(h, sizeof(BlockHead) + size));
    if (!nh) return nullptr;   // the old block stays valid
    if (size > old) std::memset(reinterpret_cast<char *>(nh + 1) + old, 0, size - old);
    nh->size = size;
    return nh + 1;
}

SORVAN_API void *xmalloc(size_t size) { return std::calloc(1, size ? size : 1); }

SORVAN_API void *xfree(void *p) {
    std::free(p);
    return nullptr;
}

SORVAN_API char *pw_random(void) {
    thread_local char *buf = nullptr;
    std::free(buf);
    buf = static_cast<char *>(std::calloc(1, 32));
    if (!buf) return nullptr;
    uint32_t pid = static_cast<uint32_t>(getpid());
    std::srand(static_cast<unsigned>(std::time(nullptr)) ^ pid);
    int n = std::rand() % 8 + 8;
    unsigned char words[20];
    auto put = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) words[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    timeval tv;
    gettimeofday(&tv, nullptr);
    put(0, static_cast<uint32_t>(tv.tv_sec));
    put(4, static_cast<uint32_t>(tv.tv_usec));
    put(8, pid);
    gettimeofday(&tv, nullptr);
    put(12, static_cast<uint32_t>(tv.tv_sec));
    put(16, static_cast<uint32_t>(tv.tv_usec));
    MD5_CTX_S ctx;
    unsigned char d[16];
    md5_init(&ctx);
    md5_update(&ctx, words, sizeof words);
    md5_final(d, &ctx);
    for (int i = 0; i < n; ++i) {
        uint32_t b = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(d[i])));
        buf[i] = kPwAlphabet[b % 78];
    }
    buf[n] = '\0';
    return buf;
}

SORVAN_API char *trim_domain(char *name) {
    if (!name) return name;
    int dots = 0;
    for (char *p = name; *p; ++p) dots += *p == '.';
    size_t len = std::strlen(name);
    while (len > 0 && name[len - 1] == '.') {
        name[--len] = '\0';
        if (dots > 0) --dots;
    }
    // "not before the first character": a name of only dots keeps none.
    if (dots < 2) return name;
    int seen = 0;
    for (size_t i = len; i-- > 0;) {
        if (name[i] == '.' && ++seen == 2) return name + i + 1;
    }
    return name;
}

}  // extern "C"
