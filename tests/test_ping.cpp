// ICMP echo against real loopback addresses, on the raw socket and on the
// unprivileged echo socket (CAP_NET_RAW dropped in a forked child), with
// forged replies and ICMP errors as noise.
#include "util/net/ping.h"
#include "util/sorvan.h"
#include "port/varro.h"
#include "tests/support/icmp.h"
#include "tests/support/testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
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

// 127.77.0.0/16 is silent: the kernel's echo replies from there are dropped
// on the way out (forged ones carry a mark and pass), so requests still
// arrive and can be watched. 127.76.0.6 is refused on the way out (a local
// failure); 127.78.0.1 and .2 answer with ICMP errors.
constexpr const char *kSilent = "127.77.0.5";
constexpr const char *kRefused = "127.76.0.6";
constexpr const char *kProhibited = "127.78.0.1";
constexpr const char *kUnreachable = "127.78.0.2";

// Real ICMP needs root, and is only sent inside a private namespace. Each
// test program takes a namespace of its own on top, so that the nftables
// rules touch nobody else.
bool network_ready() {
    static int state = -1;
    if (state >= 0) return state == 1;
    state = 0;
    if (!testutil::in_private_netns() || !testutil::own_network()) return false;
    testutil::log_file("test_ping");   // read before the first line is logged
    auto nft = testutil::nft;
    if (!nft({"add", "table", "ip", "pingtest"}) ||
        !nft({"add", "chain", "ip", "pingtest", "out", "{ type filter hook output priority 0; }"}) ||
        !nft({"add", "rule", "ip", "pingtest", "out", "ip", "saddr", "127.77.0.0/16", "icmp", "type",
              "echo-reply", "meta", "mark", "!=", std::to_string(kForgedMark), "drop"}) ||
        !nft({"add", "rule", "ip", "pingtest", "out", "ip", "daddr", kRefused, "icmp", "type",
              "echo-request", "drop"}) ||
        !nft({"add", "chain", "ip", "pingtest", "in", "{ type filter hook input priority 0; }"}) ||
        !nft({"add", "rule", "ip", "pingtest", "in", "ip", "daddr", kProhibited, "icmp", "type",
              "echo-request", "reject", "with", "icmp", "type", "admin-prohibited"}) ||
        !nft({"add", "rule", "ip", "pingtest", "in", "ip", "daddr", kUnreachable, "icmp", "type",
              "echo-request", "reject", "with", "icmp", "type", "host-unreachable"}))
        return false;
    // Unprivileged echo sockets for every group, root's included.
    testutil::write_file("/proc/sys/net/ipv4/ping_group_range", "0 2147483647\n");
    state = 1;
    return true;
}

struct Timed {
    int result;
    long ms;
};
Timed timed_ping(const std::string &addr, int32_t timeout_us) {
    auto t0 = steady_clock::now();
    int r = ping(ip(addr), timeout_us);
    return {r, static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count())};
}

// A ping on a thread of its own, for the test to meddle with meanwhile.
struct Background {
    Timed t{99, 0};
    std::thread th;
    Background(const char *addr, int32_t timeout_us)
        : th([this, addr, timeout_us] { t = timed_ping(addr, timeout_us); }) {}
    ~Background() {
        if (th.joinable()) th.join();
    }
    Timed wait() {
        th.join();
        return t;
    }
};

class Ping : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!network_ready()) GTEST_SKIP() << "needs root in a private network namespace";
        forge = std::make_unique<Forger>();
        sniff = std::make_unique<Sniffer>();
    }
    // Opened in the test's namespace with every right, before a child
    // drops CAP_NET_RAW.
    std::unique_ptr<Forger> forge;
    std::unique_ptr<Sniffer> sniff;
};

}  // namespace

TEST_P(Ping, AnsweringSilentAndRefusedHosts) {
    run_with(GetParam(), [] {
        for (const char *a : {"127.0.0.1", "127.3.2.1"}) {
            Timed t = timed_ping(a, 1000000);
            EXPECT_GE(t.result, 0) << a;
            EXPECT_LE(t.result, t.ms + 1) << a << ": the round trip lies within the call";
        }
        // The wait is honoured: not cut short, and not stretched to a
        // multiple of it (bounds far above any scheduling delay).
        Timed silent = timed_ping(kSilent, 300000);
        EXPECT_EQ(silent.result, -11);
        EXPECT_GE(silent.ms, 290);
        EXPECT_LT(silent.ms, 3000);
        // Below a millisecond the wait is still honoured, not rounded up to a second.
        Timed tiny = timed_ping(kSilent, 500);
        EXPECT_EQ(tiny.result, -11);
        EXPECT_LT(tiny.ms, 1000);

        EXPECT_EQ(ping(ip(kRefused), 300000), -4);
        std::string want = "<4> _ping(" + std::to_string(port_gettid()) + "): to " + kRefused + " sendto() ";
        std::string log = testutil::read_file(std::getenv("TESSARON_LOG"));
        size_t at = log.find(want);
        ASSERT_NE(at, std::string::npos) << log;
        EXPECT_EQ(log.substr(log.find('\n', at) - 1, 1), "?");
        EXPECT_GE(ping(ip("127.0.0.1"), 1000000), 0) << "a local failure leaves the socket usable";
    });
}

// Errors about our echo (administratively prohibited, host unreachable) are
// skipped: the call waits out its time as for a silent host, and neither
// they nor a socket error left behind spoil other calls.
TEST_P(Ping, IcmpErrorsEndInTimeOutAndSpoilNothing) {
    run_with(GetParam(), [] {
        std::atomic<bool> stop{false};
        std::atomic<int> bad{0}, good{0};
        std::thread others([&] {
            while (!stop) (ping(ip("127.0.5.1"), 1000000) >= 0 ? good : bad)++;
        });
        for (const char *a : {kProhibited, kUnreachable, kProhibited}) {
            Timed t = timed_ping(a, 300000);
            EXPECT_EQ(t.result, -11) << a;
            EXPECT_GE(t.ms, 290) << a;
            EXPECT_LT(t.ms, 3000) << a;
        }
        stop = true;
        others.join();
        EXPECT_EQ(bad, 0);
        EXPECT_GT(good, 0);
        EXPECT_GE(timed_ping("127.0.0.1", 1000000).result, 0);
    });
}

// 200 callers at once, a tenth of them to silent hosts: each gets its own
// answer, timed from its own request.
TEST_P(Ping, ManyConcurrentCallersEachGetTheirOwnReply) {
    run_with(GetParam(), [] {
        constexpr int kThreads = 200;
        std::vector<Timed> got(kThreads);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        auto addr = [](int i) {
            return (i % 10 == 0 ? "127.77.1." : "127.0.9.") + std::to_string(i + 1);
        };
        for (int round = 0; round < 2; ++round) {
            threads.clear();
            ready = 0;
            for (int i = 0; i < kThreads; ++i)
                threads.emplace_back([&, i] {
                    ready++;
                    while (ready < kThreads) std::this_thread::yield();
                    // Silent hosts give up while the others' replies arrive;
                    // answering hosts get a wait no load outlasts.
                    got[i] = timed_ping(addr(i), i % 10 == 0 ? 500000 : 20000000);
                });
            for (auto &t : threads) t.join();
            for (int i = 0; i < kThreads; ++i) {
                if (i % 10 == 0) {
                    EXPECT_EQ(got[i].result, -11) << addr(i) << " must not borrow another call's reply";
                } else {
                    EXPECT_GE(got[i].result, 0) << addr(i);
                    EXPECT_LE(got[i].result, got[i].ms + 1) << addr(i) << " timed by someone else's stamp";
                }
            }
        }
        EXPECT_EQ(sorvan::ping_counters().dropped, 0u);
    });
}

// Replies a call must not take: another identifier, another source, not an
// echo reply, the answer to an earlier call that gave up. The right one,
// even with IP options, is timed by its own stamp; oversize ones end the
// call on the fourth.
TEST_P(Ping, ForeignAndLateRepliesAreIgnored) {
    run_with(GetParam(), [this] {
        Background first(kSilent, 400000);
        Request r1;
        ASSERT_TRUE(sniff->next(kSilent, r1));
        forge->send("127.0.0.1", 0, r1.ident, r1.seq, r1.stamp);                        // wrong source
        forge->send(kSilent, 0, uint16_t(r1.ident ^ 0x5a5a), r1.seq, r1.stamp);          // foreign identifier
        forge->send(kSilent, 3, r1.ident, r1.seq, r1.stamp);                             // not a reply
        forge->send(kSilent, 0, r1.ident, uint16_t(r1.seq + 1), r1.stamp);               // another sequence
        forge->send(kSilent, 0, r1.ident, r1.seq, r1.stamp - 5000);                      // older than the request
        Timed t1 = first.wait();
        EXPECT_EQ(t1.result, -11);
        EXPECT_LT(t1.ms, 1500) << "stray ICMP must not stretch the wait";

        for (bool options : {false, true}) {
            Background next(kSilent, 5000000);
            Request r2;
            ASSERT_TRUE(sniff->next(kSilent, r2));
            EXPECT_NE(r2.seq, r1.seq);
            forge->send(kSilent, 0, r1.ident, r1.seq, r1.stamp);   // the first call's answer, late
            std::this_thread::sleep_for(milliseconds(60));
            forge->send(kSilent, 0, r2.ident, r2.seq, r2.stamp, options);
            Timed t2 = next.wait();
            EXPECT_GE(t2.result, 60) << "options " << options;
            EXPECT_LT(t2.result, 4000) << "options " << options;
            EXPECT_LT(t2.ms, 4000);
        }

        Background big(kSilent, 5000000);
        Request r3;
        ASSERT_TRUE(sniff->next(kSilent, r3));
        for (int k = 0; k < 4; ++k) forge->send(kSilent, 0, r3.ident, r3.seq, r3.stamp, false, 64);
        Timed t3 = big.wait();
        EXPECT_EQ(t3.result, -12);
        EXPECT_LT(t3.ms, 4000);
    });
}

INSTANTIATE_TEST_SUITE_P(Socket, Ping, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Unprivileged" : "Raw"; });

TEST(PingRights, NeitherSocketKindGivesMinusOne) {
    if (!network_ready()) GTEST_SKIP() << "needs root in a private network namespace";
    testutil::write_file("/proc/sys/net/ipv4/ping_group_range", "1 0\n");   // nobody
    run_with(
        true,
        [] {
            EXPECT_EQ(ping(ip("127.0.0.1"), 200000), -1);
            EXPECT_EQ(ping(ip(kSilent), 200000), -1);
        },
        sorvan::kPingNotOpen);
    testutil::write_file("/proc/sys/net/ipv4/ping_group_range", "0 2147483647\n");
}
