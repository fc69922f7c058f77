// Wake-on-LAN and the UDP exchange, on loopback only.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "util/sorvan.h"
#include "tests/support/testutil.h"

const uint32_t kLoopback = 0x7F000001;

TEST(WakeOnLan, MagicPacketReachesPortNine) {
    if (!testutil::in_private_netns() || !testutil::is_root())
        GTEST_SKIP() << "needs root in a private network namespace";
    // Make the limited broadcast deliverable, and only on loopback.
    if (testutil::run({"/sbin/ip", "route", "replace", "255.255.255.255/32", "dev", "lo"}).status != 0)
        GTEST_SKIP() << "cannot route the limited broadcast to lo";
    int listener = Qv5_CreateServerSocket(9, 0, 1);
    ASSERT_GE(listener, 0);
    SocketSetTimeOut(listener, 2000);

    const unsigned char mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(WakeUpOnLan(mac), 102);
    unsigned char got[200];
    sockaddr_in from{};
    ASSERT_EQ(Qv5_ReceivePacket(listener, got, sizeof got, &from, 0), 102);
    unsigned char want[102];
    std::memset(want, 0xFF, 6);
    for (int i = 0; i < 16; ++i) std::memcpy(want + 6 + 6 * i, mac, 6);
    EXPECT_EQ(std::memcmp(got, want, 102), 0);
    EXPECT_EQ(WakeUpOnLan(nullptr), -1);
    EXPECT_EQ(Qv5_ReceivePacket(listener, got, sizeof got, &from, 0), -1);  // nothing sent
    close(listener);
}

TEST(UdpExchange, AnswerFillsBufferAndSenderSilenceEndsTheWait) {
    uint16_t port = 0;
    int server = testutil::loopback_socket(&port, SOCK_DGRAM);
    std::thread echo([server] {
        char buf[64];
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        ssize_t n = recvfrom(server, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&peer), &len);
        if (n > 0) {
            std::string reply = "re:" + std::string(buf, n);
            sendto(server, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&peer), len);
        }
    });
    char answer[64] = {};
    sockaddr_in from;
    std::memset(&from, 0x55, sizeof from);
    EXPECT_EQ(UDPSendRecvfrom(kLoopback, port, "ping", 4, answer, sizeof answer, &from, 0), 0);
    echo.join();
    EXPECT_STREQ(answer, "re:ping");
    EXPECT_EQ(from.sin_addr.s_addr, htonl(kLoopback));
    EXPECT_EQ(ntohs(from.sin_port), port);

    // Now the server receives and never answers.
    std::strcpy(answer, "untouched");
    std::memset(&from, 0x55, sizeof from);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(UDPSendRecvfrom(kLoopback, port, "ping", 4, answer, sizeof answer, &from, 2), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_STREQ(answer, "untouched");
    EXPECT_EQ(from.sin_family, 0);  // no answer: no sender
    close(server);
}
