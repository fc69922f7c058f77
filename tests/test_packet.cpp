// Packet and socket layer on real loopback sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "util/sorvan.h"
#include "tests/support/testutil.h"

namespace {

const uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host order

sockaddr_in loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(kLoopback);
    return sa;
}

int bound_port(int sock) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(sock, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
}

int option(int sock, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(sock, SOL_SOCKET, name, &v, &len);
    return v;
}

long timeout_ms(int sock, int name) {
    timeval tv{};
    socklen_t len = sizeof tv;
    getsockopt(sock, SOL_SOCKET, name, &tv, &len);
    return tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

}  // namespace

TEST(Packet, SocketOptions) {
    sockaddr_in sa;
    std::memset(&sa, 0x55, sizeof sa);
    int s = CreateClientSocket(0xFFFFFFFF, 9, 0, 1500, &sa);
    ASSERT_GE(s, 0);
    EXPECT_EQ(timeout_ms(s, SO_RCVTIMEO), 1500);
    sockaddr_in want = loopback(9);
    want.sin_addr.s_addr = 0xFFFFFFFFu;
    EXPECT_EQ(std::memcmp(&sa, &want, sizeof sa), 0);   // padding cleared too
    // A time-out the receive option refuses stops before the send option.
    EXPECT_EQ(SocketSetTimeOut(s, -5), -1);
    EXPECT_EQ(timeout_ms(s, SO_SNDTIMEO), 1500);
    close(s);
    s = Qv5_CreateServerSocket(0, 1, 0);
    ASSERT_GE(s, 0);
    EXPECT_EQ(option(s, SO_ACCEPTCONN), 0);  // bound, not listening
    ASSERT_EQ(listen(s, 1), 0);
    EXPECT_EQ(Qv5_CreateServerSocket(bound_port(s), 1, 0), -4);
    close(s);
}

TEST(Packet, Datagrams) {
    uint16_t port = 0;
    int server = testutil::loopback_socket(&port, SOCK_DGRAM);
    sockaddr_in to;
    int client = CreateClientSocket(kLoopback, port, 0, 500, &to);
    ASSERT_GE(client, 0);
    SocketSetTimeOut(server, 1000);
    char buf[16] = {};
    sockaddr_in from{};
    EXPECT_EQ(Qv5_SendPacket(client, "hello", 5, &to, 0), 5);
    EXPECT_EQ(Qv5_ReceivePacket(server, buf, sizeof buf, &from, 0), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(ntohs(from.sin_port), bound_port(client));
    // A datagram larger than the buffer is a failure, not a silent cut.
    EXPECT_EQ(Qv5_SendPacket(client, "0123456789", 10, &to, 0), 10);
    EXPECT_EQ(Qv5_ReceivePacket(server, buf, 4, &from, 0), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(Qv5_ReceivePacket(server, buf, sizeof buf, &from, 3), -1);  // time-out
    EXPECT_EQ(errno, EAGAIN);
    close(client);
    close(server);
}

TEST(Packet, RefusedSendIsRepeatedOnlyForBroadcast) {
    if (!testutil::in_private_netns()) GTEST_SKIP() << "needs a private network namespace";
    uint16_t port = 0;
    close(testutil::loopback_socket(&port, SOCK_DGRAM));
    // Connected from 127.0.0.1 (so even 255.255.255.255 leaves through lo),
    // with the ECONNREFUSED of a closed port pending for the next send.
    auto refused = [&] {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in sa = loopback(port);
        connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        send(s, "x", 1, 0);
        pollfd p{s, POLLERR, 0};
        poll(&p, 1, 1000);
        return s;
    };
    sockaddr_in unicast = loopback(port), bcast = loopback(port);
    bcast.sin_addr.s_addr = 0xFFFFFFFF;
    int s = refused();
    EXPECT_EQ(Qv5_SendPacket(s, "y", 1, &unicast, 5), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    close(s);
    s = refused();
    EXPECT_EQ(Qv5_SendPacket(s, "y", 1, &bcast, 1), 1);
    close(s);
}

TEST(Packet, SendRecvReadsUntilClose) {
    uint16_t port = 0;
    int listener = testutil::loopback_socket(&port);
    // Each connection: 'r' gets 3000 bytes in two writes, 'n' nothing, 'x' a reset.
    std::thread server([listener] {
        for (int i = 0; i < 4; ++i) {
            int c = accept(listener, nullptr, nullptr);
            char req = 0;
            if (recv(c, &req, 1, 0) == 1 && req == 'x') {
                Qv5_CloseAndSendRst(c);
                continue;
            }
            if (req == 'r') {
                std::string reply(3000, 'R');
                send(c, reply.data(), 1000, 0);
                usleep(20000);
                send(c, reply.data() + 1000, 2000, 0);
            }
            close(c);
        }
    });
    auto exchange = [&](char req, int size) {
        char buf[4096];
        sockaddr_in sa = loopback(port);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        int n = Qv5_SendRecv(s, &req, 1, buf, size);
        if (n > 0 && std::string(buf, n) != std::string(n, 'R')) n = -100;
        close(s);
        return n;
    };
    EXPECT_EQ(exchange('r', 4096), 3000);
    EXPECT_EQ(exchange('r', 100), 100);  // stops when the buffer is full
    EXPECT_EQ(exchange('n', 4096), 0);
    EXPECT_EQ(exchange('x', 4096), -1);
    EXPECT_EQ(errno, ECONNRESET);
    server.join();
    close(listener);
    // A request that cannot go out: 0, and no SIGPIPE.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    char buf[8];
    EXPECT_EQ(Qv5_SendRecv(s, "r", 1, buf, sizeof buf), 0);
    close(s);
}
