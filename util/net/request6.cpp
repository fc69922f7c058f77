// Requests to an agent over IPv6: the messages of req_send on a connection
// to a node that has no IPv4 address.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "port/varro.h"
#include "util/net/request.h"

namespace {

constexpr int kSendWaitSec = 30;   // a stalled agent is a time-out, as over IPv4

// A connected TCP socket to [addr]:port within timeout_us, or -1 (errno set;
// ETIMEDOUT when the time-out passed).
int connect6(const uint8_t addr[16], int port, int32_t timeout_us) {
    int s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int mode = nonblock(s);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    std::memcpy(&sa.sin6_addr, addr, 16);
    int rc = connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    if (rc < 0 && errno == EINPROGRESS) {
        pollfd p{s, POLLOUT, 0};
        int ms = timeout_us <= 0 ? 0 : (timeout_us + 999) / 1000;
        int pr;
        do pr = poll(&p, 1, ms);
        while (pr < 0 && errno == EINTR);
        int err = 0;
        if (pr == 0) {
            err = ETIMEDOUT;
        } else if (pr < 0) {
            err = errno;
        } else {
            socklen_t len = sizeof err;
            getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
        }
        if (err != 0) {
            close(s);
            errno = err;
            return -1;
        }
        rc = 0;
    }
    if (rc < 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    block(s, mode);
    return s;
}

}  // namespace

extern "C" {

SORVAN_API int req_send6(const uint8_t addr[16], int port, int32_t timeout_us, const char *password,
                         const char *salt, FileRecord *rec, uint32_t kind, uint32_t argument) {
    static const uint8_t none[16] = {};
    if (!addr || std::memcmp(addr, none, sizeof none) == 0) return -1;
    int s = connect6(addr, port, timeout_us);
    if (s < 0) return -4;
    int one = 1;   // header and record are small: no Nagle wait
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{kSendWaitSec, 0};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    RequestHeader h{};
    h.version = REQ_VERSION;
    h.kind = kind;
    h.argument = argument;
    sorvan::derive_key(password, salt, h.key);
    unsigned char wire[20];
    sorvan::encode_header(h, wire);
    int code = 0;
    if (xwrite(s, wire, sizeof wire) < 0)
        code = -5;
    else if (rec && xwrite(s, rec, sizeof *rec) < 0)
        code = -6;
    if (code == 0) return s;
    int e = errno;
    close(s);
    errno = e;
    return code;
}

}  // extern "C"
