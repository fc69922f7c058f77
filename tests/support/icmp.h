// ICMP test scaffolding shared by the ping tests: replies forged with a mark
// that the tests' nftables rules let through, a watch on the echo requests
// sent, and a run with and without CAP_NET_RAW.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "util/net/ping.h"
#include "util/sorvan.h"

namespace icmptest {

using namespace std::chrono;

// The mark of forged datagrams: the tests' rules drop the kernel's own
// replies from silent addresses, never these.
constexpr int kForgedMark = 0x77;

inline uint32_t ip(const std::string &dotted) { return inet_addr(dotted.c_str()); }

// Leaves CAP_NET_RAW out of the effective and permitted sets.
inline bool drop_net_raw() {
    __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct d[2] = {};
    if (syscall(SYS_capget, &h, d) != 0) return false;
    d[0].effective &= ~(1u << CAP_NET_RAW);
    d[0].permitted &= ~(1u << CAP_NET_RAW);
    d[0].inheritable &= ~(1u << CAP_NET_RAW);
    return syscall(SYS_capset, &h, d) == 0;
}

// Runs body in this process (raw socket), or in a forked child without
// CAP_NET_RAW (unprivileged echo socket); a child's failures fail the test.
// Afterwards the socket kind in use must be `kind` (by default the one
// the rights allow).
inline void run_with(bool unprivileged, const std::function<void()> &body, int kind = -1) {
    if (kind < 0) kind = unprivileged ? sorvan::kPingUnprivileged : sorvan::kPingRaw;
    auto checked = [&] {
        body();
        if (!::testing::Test::HasFailure()) {
            EXPECT_EQ(sorvan::ping_counters().kind, kind);
        }
    };
    if (!unprivileged) return checked();
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!drop_net_raw() || socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) >= 0) _exit(3);
        checked();
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "in the child without CAP_NET_RAW";
}

// Sends hand-made IP datagrams (any source address, IP options) to 127.0.0.1.
class Forger {
public:
    Forger() : fd_(socket(AF_INET, SOCK_RAW, IPPROTO_RAW)) {
        setsockopt(fd_, SOL_SOCKET, SO_MARK, &kForgedMark, sizeof kForgedMark);
    }
    ~Forger() { close(fd_); }

    // An ICMP message of `icmp_len` bytes (>= 12) after an IP header of
    // 20 bytes, or 24 with four bytes of options.
    bool send(const char *src, uint8_t type, uint16_t ident, uint16_t seq, uint32_t stamp,
              bool options = false, size_t icmp_len = 12) {
        uint8_t pkt[1500] = {};
        size_t h = options ? 24 : 20;
        pkt[0] = static_cast<uint8_t>(0x40 | (h / 4));
        pkt[8] = 64;                 // TTL
        pkt[9] = IPPROTO_ICMP;
        uint32_t s = ip(src), d = ip("127.0.0.1");
        std::memcpy(pkt + 12, &s, 4);
        std::memcpy(pkt + 16, &d, 4);
        if (options) pkt[20] = pkt[21] = pkt[22] = 1;   // NOP NOP NOP EOL
        uint8_t *m = pkt + h;
        m[0] = type;
        m[4] = static_cast<uint8_t>(ident);
        m[5] = static_cast<uint8_t>(ident >> 8);
        m[6] = static_cast<uint8_t>(seq);
        m[7] = static_cast<uint8_t>(seq >> 8);
        for (int i = 0; i < 4; ++i) m[8 + i] = static_cast<uint8_t>(stamp >> (8 * i));
        uint16_t sum = sorvan::icmp_checksum(m, icmp_len);
        std::memcpy(m + 2, &sum, 2);
        uint16_t total = htons(static_cast<uint16_t>(h + icmp_len));
        std::memcpy(pkt + 2, &total, 2);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = d;
        return sendto(fd_, pkt, h + icmp_len, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) > 0;
    }

private:
    int fd_;
};

// Watches echo requests arriving for an address: identifier, sequence and
// timestamp as the pinging socket sent them.
struct Request {
    uint16_t ident = 0, seq = 0;
    uint32_t stamp = 0;
};
class Sniffer {
public:
    Sniffer() : fd_(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)) {}
    ~Sniffer() { close(fd_); }
    bool next(const char *to, Request &r, milliseconds limit = milliseconds(2000)) {
        auto until = steady_clock::now() + limit;
        uint8_t b[128];
        while (steady_clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t n = recv(fd_, b, sizeof b, 0);
            size_t h = (b[0] & 0x0f) * 4u;
            uint32_t dst;
            std::memcpy(&dst, b + 16, 4);
            if (n < ssize_t(h + 12) || b[h] != 8 || dst != ip(to)) continue;
            r.ident = uint16_t(b[h + 4] | b[h + 5] << 8);
            r.seq = uint16_t(b[h + 6] | b[h + 7] << 8);
            r.stamp = uint32_t(b[h + 8]) | uint32_t(b[h + 9]) << 8 | uint32_t(b[h + 10]) << 16 |
                      uint32_t(b[h + 11]) << 24;
            return true;
        }
        return false;
    }

private:
    int fd_;
};

}  // namespace icmptest
