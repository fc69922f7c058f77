// Wake-on-LAN and a one-shot UDP request/answer exchange.
#include "util/sorvan.h"
#include "util/net/packet.h"
#include "util/net/wol.h"
#include "port/varro.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sorvan {

void build_magic_packet(const unsigned char mac[6], unsigned char out[kMagicPacketSize]) {
    std::memset(out, 0xFF, 6);
    for (int i = 0; i < 16; ++i) std::memcpy(out + 6 + 6 * i, mac, 6);
}

}  // namespace sorvan

extern "C" {

SORVAN_API int32_t WakeUpOnLan(const unsigned char *mac) {
    if (!mac) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_in to;
    int sock = CreateClientSocket(0xFFFFFFFFu, 9, 0, 1000, &to);
    if (sock < 0) {
        lerror("WakeUpOnLan", "CreateClientSocket", 3, 1);
        return 0;
    }
    unsigned char packet[sorvan::kMagicPacketSize];
    sorvan::build_magic_packet(mac, packet);
    int32_t sent = Qv5_SendPacket(sock, packet, sizeof packet, &to, 0);
    int err = errno;
    close(sock);
    errno = err;
    return sent;
}

SORVAN_API int32_t UDPSendRecvfrom(uint32_t addr, int32_t port, const void *request, int32_t len,
                                   void *answer, int32_t size, sockaddr_in *from, int32_t repeat) {
    if (from) std::memset(from, 0, sizeof *from);
    sockaddr_in to = sorvan::make_address(addr, port);
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    // Bound the wait: a host that never answers must not hold the caller.
    timeval tv{UDP_ANSWER_WAIT_MS / 1000, (UDP_ANSWER_WAIT_MS % 1000) * 1000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (addr == 0xFFFFFFFFu) {
        int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    // No request out, no answer to wait for.
    if (Qv5_SendPacket(sock, request, len, &to, repeat) >= 0) {
        sockaddr_in sender;
        if (Qv5_ReceivePacket(sock, answer, size, &sender, repeat) >= 0 && from) *from = sender;
    }
    close(sock);
    return 0;
}

}  // extern "C"
