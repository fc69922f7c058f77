// Echoes collected after the fact (ping_echo_*): sent by one thread to many
// hosts at once, their replies matched with nobody waiting, late replies
// refused, withdrawn echoes left alone. Real ICMP on loopback, on the raw
// socket and on the unprivileged echo socket.
#include "util/net/ping.h"
#include "util/sorvan.h"
#include "tests/support/testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <functional>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono;

namespace {

// Replies from 127.77.0.0/16 are dropped on the way out unless they carry
// the forger's mark: the requests arrive (and can be watched), the kernel's
// answers never do. Sends to 127.76.0.6 are refused on the way out.
constexpr const char *kSilent = "127.77.0.9";
constexpr const char *kRefused = "127.76.0.6";
constexpr int kForgedMark = 0x77;

uint32_t ip(const std::string &dotted) { return inet_addr(dotted.c_str()); }

bool network_ready() {
    static int state = -1;
    if (state >= 0) return state == 1;
    state = 0;
    if (!testutil::in_private_netns() || !testutil::own_network()) return false;
    testutil::log_file("test_ping_echo");
    auto nft = testutil::nft;
    if (!nft({"add", "table", "ip", "echotest"}) ||
        !nft({"add", "chain", "ip", "echotest", "out", "{ type filter hook output priority 0; }"}) ||
        !nft({"add", "rule", "ip", "echotest", "out", "ip", "saddr", "127.77.0.0/16", "icmp", "type",
              "echo-reply", "meta", "mark", "!=", std::to_string(kForgedMark), "drop"}) ||
        !nft({"add", "rule", "ip", "echotest", "out", "ip", "daddr", kRefused, "icmp", "type", "echo-request",
              "drop"}))
        return false;
    testutil::write_file("/proc/sys/net/ipv4/ping_group_range", "0 2147483647\n");
    state = 1;
    return true;
}

bool drop_net_raw() {
    __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct d[2] = {};
    if (syscall(SYS_capget, &h, d) != 0) return false;
    d[0].effective &= ~(1u << CAP_NET_RAW);
    d[0].permitted &= ~(1u << CAP_NET_RAW);
    d[0].inheritable &= ~(1u << CAP_NET_RAW);
    return syscall(SYS_capset, &h, d) == 0;
}

// body here (raw socket) or in a forked child without CAP_NET_RAW
// (unprivileged echo socket); the child's failures fail the test.
void run_with(bool unprivileged, const std::function<void()> &body) {
    const int kind = unprivileged ? sorvan::kPingUnprivileged : sorvan::kPingRaw;
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

// An echo reply with any source, identifier, sequence and stamp, to 127.0.0.1.
bool forge_reply(const char *src, uint16_t ident, uint16_t seq, uint32_t stamp) {
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0) return false;
    setsockopt(fd, SOL_SOCKET, SO_MARK, &kForgedMark, sizeof kForgedMark);
    uint8_t pkt[32] = {};
    pkt[0] = 0x45;
    pkt[3] = 32;
    pkt[8] = 64;
    pkt[9] = IPPROTO_ICMP;
    const uint32_t s = ip(src), d = ip("127.0.0.1");
    std::memcpy(pkt + 12, &s, 4);
    std::memcpy(pkt + 16, &d, 4);
    uint8_t *m = pkt + 20;
    m[4] = uint8_t(ident);
    m[5] = uint8_t(ident >> 8);
    m[6] = uint8_t(seq);
    m[7] = uint8_t(seq >> 8);
    for (int i = 0; i < 4; ++i) m[8 + i] = uint8_t(stamp >> (8 * i));
    const uint16_t sum = sorvan::icmp_checksum(m, 12);
    std::memcpy(m + 2, &sum, 2);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = d;
    const bool ok = sendto(fd, pkt, sizeof pkt, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) > 0;
    close(fd);
    return ok;
}

// The next echo request to `to`: identifier, sequence, stamp as sent.
struct Request {
    uint16_t ident = 0, seq = 0;
    uint32_t stamp = 0;
};
class Sniffer {
public:
    Sniffer() : fd_(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)) {}
    ~Sniffer() { close(fd_); }
    bool next(const char *to, Request &r) {
        auto until = steady_clock::now() + seconds(5);
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

long ms_since(steady_clock::time_point t0) {
    return long(duration_cast<milliseconds>(steady_clock::now() - t0).count());
}

struct Echo {
    ping_echo *e = ping_echo_open();
    ~Echo() { ping_echo_close(e); }
};

class PingEcho : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!network_ready()) GTEST_SKIP() << "needs root in a private network namespace";
    }
};

}  // namespace

// One thread, 400 echoes in flight, one in ten to a silent host: each
// collected result is its own (answering hosts answered within the time it
// took, silent ones never), though no thread waited while they came.
TEST_P(PingEcho, ManyOutstandingFromOneThreadCollectedLater) {
    run_with(GetParam(), [] {
        constexpr int kEchoes = 400;
        std::vector<Echo> echoes(kEchoes);
        auto addr = [](int i) {
            return (i % 10 == 0 ? "127.77.2." : "127.0.11.") + std::to_string(i % 250 + 1);
        };
        for (int round = 0; round < 3; ++round) {
            const auto t0 = steady_clock::now();
            for (int i = 0; i < kEchoes; ++i) {
                ASSERT_NE(echoes[i].e, nullptr);
                // Answering hosts get a time-out no load outlasts.
                ASSERT_EQ(ping_echo_send(echoes[i].e, ip(addr(i)), i % 10 == 0 ? 300000 : 20000000), 0) << i;
            }
            std::this_thread::sleep_for(milliseconds(400));
            for (int i = 0; i < kEchoes; ++i) {
                const int r = ping_echo_collect(echoes[i].e);
                if (i % 10 == 0) {
                    EXPECT_EQ(r, -11) << addr(i) << " must not borrow another echo's reply";
                } else {
                    EXPECT_GE(r, 0) << addr(i);
                    EXPECT_LE(r, ms_since(t0) + 1) << addr(i) << " timed by someone else's stamp";
                }
                EXPECT_EQ(ping_echo_collect(echoes[i].e), -11) << "a result is taken once";
            }
        }
        EXPECT_EQ(sorvan::ping_counters().dropped, 0u);
    });
}

// Collected before the reply or the time-out, an echo is ping() itself:
// it waits for the reply, and no longer than the time-out.
TEST_P(PingEcho, CollectedEarlyItWaitsAsPingDoes) {
    run_with(GetParam(), [] {
        Echo a;
        ASSERT_EQ(ping_echo_send(a.e, ip("127.0.0.1"), 5000000), 0);
        auto t0 = steady_clock::now();
        EXPECT_GE(ping_echo_collect(a.e), 0);
        EXPECT_LT(ms_since(t0), 4000);

        ASSERT_EQ(ping_echo_send(a.e, ip(kSilent), 300000), 0);
        t0 = steady_clock::now();
        EXPECT_EQ(ping_echo_collect(a.e), -11);
        const long waited = ms_since(t0);
        EXPECT_GE(waited, 280) << "the time-out is honoured";
        EXPECT_LT(waited, 3000);

        // A refused send fails at once and leaves nothing to collect.
        EXPECT_EQ(ping_echo_send(a.e, ip(kRefused), 300000), -4);
        t0 = steady_clock::now();
        EXPECT_EQ(ping_echo_collect(a.e), -11);
        EXPECT_LT(ms_since(t0), 200);
        EXPECT_EQ(ping_echo_collect(nullptr), -11);
        EXPECT_EQ(ping_echo_send(nullptr, ip("127.0.0.1"), 1000), -1);
        ping_echo_close(nullptr);
    });
}

// A reply that comes after the time-out is no reply, even though nobody
// looked before it came; one within the time-out counts however late the
// echo is collected.
TEST(PingEchoRaw, ReplyAfterTheTimeOutIsNoReply) {
    if (!network_ready()) GTEST_SKIP() << "needs root in a private network namespace";
    Sniffer sniff;
    Echo a;
    Request r;
    ASSERT_EQ(ping_echo_send(a.e, ip(kSilent), 200000), 0);
    ASSERT_TRUE(sniff.next(kSilent, r));
    std::this_thread::sleep_for(milliseconds(500));
    ASSERT_TRUE(forge_reply(kSilent, r.ident, r.seq, r.stamp));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(ping_echo_collect(a.e), -11);

    const auto t0 = steady_clock::now();
    ASSERT_EQ(ping_echo_send(a.e, ip(kSilent), 2000000), 0);
    ASSERT_TRUE(sniff.next(kSilent, r));
    ASSERT_TRUE(forge_reply(kSilent, r.ident, r.seq, r.stamp));
    const long answered = ms_since(t0);
    std::this_thread::sleep_for(milliseconds(300));
    const int rtt = ping_echo_collect(a.e);
    EXPECT_GE(rtt, 0);
    EXPECT_LE(rtt, answered + 2) << "timed by the reply's arrival, not by its collection";
}

// Sending again withdraws an echo not collected, closing withdraws what is
// outstanding: their replies, when they come, are nobody's.
TEST(PingEchoRaw, WithdrawnEchoesTakeNoReply) {
    if (!network_ready()) GTEST_SKIP() << "needs root in a private network namespace";
    Sniffer sniff;
    Echo a;
    Request first, closed;
    ASSERT_EQ(ping_echo_send(a.e, ip(kSilent), 5000000), 0);
    ASSERT_TRUE(sniff.next(kSilent, first));
    ASSERT_EQ(ping_echo_send(a.e, ip("127.0.0.1"), 5000000), 0);
    {
        ping_echo *gone = ping_echo_open();
        ASSERT_EQ(ping_echo_send(gone, ip(kSilent), 5000000), 0);
        ASSERT_TRUE(sniff.next(kSilent, closed));
        ping_echo_close(gone);
    }
    const uint64_t ignored0 = sorvan::ping_counters().ignored;
    ASSERT_TRUE(forge_reply(kSilent, first.ident, first.seq, first.stamp));
    ASSERT_TRUE(forge_reply(kSilent, closed.ident, closed.seq, closed.stamp));
    EXPECT_TRUE(testutil::wait_until([&] { return sorvan::ping_counters().ignored >= ignored0 + 2; },
                                     milliseconds(5000)));
    EXPECT_GE(ping_echo_collect(a.e), 0) << "the echo to 127.0.0.1 is the one outstanding";
    EXPECT_GE(ping(ip("127.0.0.1"), 5000000), 0);
}

INSTANTIATE_TEST_SUITE_P(Sockets, PingEcho, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return std::string(i.param ? "Unprivileged" : "Raw");
                         });
