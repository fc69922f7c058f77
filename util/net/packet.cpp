// Thin IPv4 socket helpers: client and server sockets with the options the
// servers always want, datagrams with a bounded retry on the two transient
// errors, one stream request/reply exchange, and an abortive close.
#include "util/sorvan.h"
#include "util/net/packet.h"
#include "port/varro.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sorvan {

sockaddr_in make_address(uint32_t addr_host, int32_t port_host) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port_host));
    sa.sin_addr.s_addr = htonl(addr_host);
    return sa;
}

namespace {

// Refused or unreachable: what a broadcast or a datagram read may see for a
// moment while a peer or route comes up.
bool transient(int err) { return err == EHOSTUNREACH || err == ECONNREFUSED; }

int set_int_option(int sock, int name, int value) {
    return setsockopt(sock, SOL_SOCKET, name, &value, sizeof value);
}

}  // namespace
}  // namespace sorvan

using sorvan::make_address;

extern "C" {

SORVAN_API int32_t SocketSetTimeOut(int sock, int32_t timeout_ms) {
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return -1;
    if (setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return -2;
    return 0;
}

SORVAN_API int CreateClientSocket(uint32_t addr, int32_t port, int32_t stream, int32_t timeout_ms,
                                  sockaddr_in *out) {
    sockaddr_in sa = make_address(addr, port);
    int sock = socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (sock < 0) return sock;
    SocketSetTimeOut(sock, timeout_ms);
    if (!stream && addr == 0xFFFFFFFFu && sorvan::set_int_option(sock, SO_BROADCAST, 1) != 0) {
        lerror("CreateClientSocket", "socket", 3, 1);
        close(sock);  // the caller gets no socket to close
        return -3;
    }
    if (out) *out = sa;
    return sock;
}

SORVAN_API int Qv5_CreateServerSocket(int32_t port, int32_t stream, int32_t broadcast) {
    sockaddr_in sa = make_address(INADDR_ANY, port);
    int sock = socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    // A failed step closes the socket: the caller only sees a code.
    if (sorvan::set_int_option(sock, SO_REUSEADDR, 1) != 0) {
        close(sock);
        return -2;
    }
    if (!stream && broadcast && sorvan::set_int_option(sock, SO_BROADCAST, 1) != 0) {
        lerror("Qv5_CreateSocket", "setsockopt", 3, 1);
        close(sock);
        return -3;
    }
    if (bind(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        int err = errno;
        close(sock);
        errno = err;
        return -4;
    }
    return sock;
}

SORVAN_API int32_t Qv5_SendPacket(int sock, const void *data, int32_t len, const sockaddr_in *to,
                                  int32_t repeat) {
    if (!to || len < 0 || (!data && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    const bool broadcast = to->sin_addr.s_addr == htonl(0xFFFFFFFFu);
    ssize_t n;
    for (int32_t left = repeat;; --left) {
        do {
            n = sendto(sock, data, static_cast<size_t>(len), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(to), sizeof *to);
        } while (n < 0 && errno == EINTR);
        if (n >= 0 || !broadcast || !sorvan::transient(errno) || left <= 0) break;
    }
    if (n < 0 && errno == ENETUNREACH) {
        int err = errno;
        std::fprintf(stderr, "send_packet() host unreach: %s\n", std::strerror(err));
        errno = err;
    }
    return static_cast<int32_t>(n);
}

SORVAN_API int32_t Qv5_ReceivePacket(int sock, void *buf, int32_t size, sockaddr_in *from,
                                     int32_t repeat) {
    if (size < 0 || (!buf && size > 0)) {
        errno = EINVAL;
        return -1;
    }
    ssize_t n;
    for (int32_t left = repeat;; --left) {
        sockaddr_in sender;
        socklen_t slen = sizeof sender;
        do {
            slen = sizeof sender;
            n = recvfrom(sock, buf, static_cast<size_t>(size), MSG_TRUNC,
                         reinterpret_cast<sockaddr *>(&sender), &slen);
        } while (n < 0 && errno == EINTR);
        if (n >= 0 && from) std::memcpy(from, &sender, sizeof sender);
        if (n > size) {
            // Only part of the datagram fitted: a failure, not a short read.
            errno = EMSGSIZE;
            n = -1;
            break;
        }
        if (n >= 0 || !sorvan::transient(errno) || left <= 0) break;
    }
    return static_cast<int32_t>(n);
}

SORVAN_API int32_t Qv5_SendRecv(int sock, const void *request, int32_t len, void *reply,
                                int32_t size) {
    if (len < 0 || size < 0 || (!request && len > 0) || (!reply && size > 0)) {
        errno = EINVAL;
        return -1;
    }
    ssize_t sent;
    do sent = send(sock, request, static_cast<size_t>(len), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent != len) return 0;

    char *out = static_cast<char *>(reply);
    int32_t total = 0;
    while (total < size) {
        ssize_t n = recv(sock, out + total, static_cast<size_t>(size - total), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            lerror("Qv5_SendRecv", "recv", 3, 1);
            return -1;
        }
        if (n == 0) break;
        total += static_cast<int32_t>(n);
    }
    return total;
}

SORVAN_API int Qv5_CloseAndSendRst(int sock) {
    struct linger lg;
    lg.l_onoff = 1;
    lg.l_linger = 0;
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    return close(sock);
}

}  // extern "C"
