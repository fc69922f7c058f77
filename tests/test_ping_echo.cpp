// Echoes collected after the fact (ping_echo_*): sent by one thread to many
// hosts at once, their replies matched with nobody waiting, late replies
// refused, withdrawn echoes left alone. Real ICMP on loopback, on the raw
// socket and on the unprivileged echo socket.
#include "util/net/ping.h"
#include "util/sorvan.h"
#include "tests/support/icmp.h"
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
using namespace icmptest;

namespace {

// Replies from 127.77.0.0/16 are dropped on the way out unless they carry
// the forger's mark: the requests arrive (and can be watched), the kernel's
// answers never do. Sends to 127.76.0.6 are refused on the way out.
constexpr const char *kSilent = "127.77.0.9";
constexpr const char *kRefused = "127.76.0.6";

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

// An echo reply with any source, identifier, sequence and stamp, to 127.0.0.1.
bool forge_reply(const char *src, uint16_t ident, uint16_t seq, uint32_t stamp) {
    return Forger().send(src, 0, ident, seq, stamp);
}

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
    ASSERT_TRUE(sniff.next(kSilent, r, seconds(5)));
    std::this_thread::sleep_for(milliseconds(500));
    ASSERT_TRUE(forge_reply(kSilent, r.ident, r.seq, r.stamp));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(ping_echo_collect(a.e), -11);

    const auto t0 = steady_clock::now();
    ASSERT_EQ(ping_echo_send(a.e, ip(kSilent), 2000000), 0);
    ASSERT_TRUE(sniff.next(kSilent, r, seconds(5)));
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
    ASSERT_TRUE(sniff.next(kSilent, first, seconds(5)));
    ASSERT_EQ(ping_echo_send(a.e, ip("127.0.0.1"), 5000000), 0);
    {
        ping_echo *gone = ping_echo_open();
        ASSERT_EQ(ping_echo_send(gone, ip(kSilent), 5000000), 0);
        ASSERT_TRUE(sniff.next(kSilent, closed, seconds(5)));
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
