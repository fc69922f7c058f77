// Wire framing of sealed messages: a 4-byte big-endian length, then the
// compressed and enciphered payload; reads bounded in size and time.
#include "util/net/frame.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "port/varro.h"

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

// This thread's read deadline (CLOCK_MONOTONIC ms), 0 for none.
thread_local int64_t t_deadline_ms = 0;

int64_t now_ms() { return mono_us() / 1000; }

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

}  // extern "C"
