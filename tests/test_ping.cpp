// ICMP echo against real loopback addresses, with forged replies as noise.
#include "net/ping.h"
#include "sorvan.h"
#include "port/varro.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace std::chrono;

namespace {

constexpr const char *kSilent = "127.77.0.5";    // echo requests dropped on arrival
constexpr const char *kRefused = "127.77.0.6";   // echo requests refused on the way out

uint32_t ip(const char *dotted) { return inet_addr(dotted); }

// Real ICMP needs root, and is only sent inside a private namespace. Each
// test program takes a namespace of its own on top, so that the nftables
// rule below touches nobody else.
bool network_ready() {
    static int state = -1;
    if (state >= 0) return state == 1;
    state = 0;
    if (!testutil::in_private_netns() || !testutil::own_network()) return false;
    testutil::log_file("test_ping");   // read before the first line is logged
    auto nft = testutil::nft;
    if (!nft({"add", "table", "ip", "pingtest"}) ||
        !nft({"add", "chain", "ip", "pingtest", "in", "{ type filter hook input priority 0; }"}) ||
        !nft({"add", "rule", "ip", "pingtest", "in", "ip", "daddr", kSilent, "icmp", "type",
              "echo-request", "drop"}) ||
        // Refused on the way out: a local failure.
        !nft({"add", "chain", "ip", "pingtest", "out", "{ type filter hook output priority 0; }"}) ||
        !nft({"add", "rule", "ip", "pingtest", "out", "ip", "daddr", kRefused, "icmp", "type",
              "echo-request", "drop"}))
        return false;
    state = 1;
    return true;
}

#define REQUIRE_NETWORK()                                                               \
    do {                                                                                \
        if (!network_ready()) GTEST_SKIP() << "needs root in a private network namespace"; \
    } while (0)

// Sends hand-made IP datagrams (any source address, IP options) to 127.0.0.1.
class Forger {
public:
    Forger() : fd_(socket(AF_INET, SOCK_RAW, IPPROTO_RAW)) {}
    ~Forger() { close(fd_); }

    // An ICMP message of `icmp_len` bytes (>= 12) after an IP header of
    // 20 bytes, or 24 with four bytes of options.
    bool send(const char *src, uint8_t type, uint16_t ident, uint32_t stamp, bool options = false,
              size_t icmp_len = 12) {
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

// Runs `emit` every 5 ms on a thread of its own until stopped.
class Noise {
public:
    explicit Noise(std::function<void()> emit)
        : thread_([this, emit] {
              auto until = steady_clock::now() + seconds(5);
              while (!stop_ && steady_clock::now() < until) {
                  emit();
                  std::this_thread::sleep_for(milliseconds(5));
              }
          }) {}
    ~Noise() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Timed {
    int result;
    long ms;
};
Timed timed_ping(const char *addr, int32_t timeout_us) {
    auto t0 = steady_clock::now();
    int r = ping(ip(addr), timeout_us);
    return {r, static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count())};
}

}  // namespace

TEST(PingTimeouts, SocketTimeoutRule) {
    EXPECT_EQ(sorvan::ping_socket_timeout_ms(2000000), 2000);
    EXPECT_EQ(sorvan::ping_socket_timeout_ms(1234), 235);
    EXPECT_EQ(sorvan::ping_socket_timeout_ms(500), 1);
    EXPECT_EQ(sorvan::ping_socket_timeout_ms(0), 1);
}

TEST(Ping, AnsweringAndSilentHosts) {
    REQUIRE_NETWORK();
    for (const char *a : {"127.0.0.1", "127.3.2.1"}) {
        Timed t = timed_ping(a, 1000000);
        EXPECT_GE(t.result, 0) << a;
        EXPECT_LT(t.result, 200) << a;
    }
    Timed silent = timed_ping(kSilent, 300000);
    EXPECT_EQ(silent.result, -11);
    EXPECT_GE(silent.ms, 290);
    EXPECT_LT(silent.ms, 1000);

    // Below a millisecond the wait is still honoured, not rounded up to seconds.
    Timed tiny = timed_ping(kSilent, 500);
    EXPECT_EQ(tiny.result, -11);
    EXPECT_LT(tiny.ms, 500);
}

TEST(Ping, RefusedSendIsALoggedLocalFailure) {
    REQUIRE_NETWORK();
    EXPECT_EQ(ping(ip(kRefused), 300000), -4);
    std::string want = "<4> _ping(" + std::to_string(port_gettid()) + "): to " + kRefused + " sendto() ";
    std::string log = testutil::read_file(std::getenv("TESSARON_LOG"));
    size_t at = log.find(want);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.substr(log.find('\n', at) - 1, 1), "?");
}

TEST(Ping, NoRawSocketRightGivesMinusOne) {
    REQUIRE_NETWORK();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Leaving root drops CAP_NET_RAW.
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
        int a = ping(ip("127.0.0.1"), 200000);
        int b = ping(ip(kSilent), 200000);
        _exit(a == -1 && b == -1 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Ping, ManyThreadsEachGetTheirOwnReply) {
    REQUIRE_NETWORK();
    constexpr int kThreads = 48;
    std::vector<int> results(kThreads, 99);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([i, &results] {
            std::string addr = i == 0 ? kSilent : "127.0.9." + std::to_string(i);
            int worst = 0;
            for (int k = 0; k < 5; ++k) {
                int r = ping(ip(addr.c_str()), 400000);
                if (k == 0 || r < worst) worst = r;
            }
            results[i] = worst;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(results[0], -11) << "the silent host must not borrow another thread's reply";
    for (int i = 1; i < kThreads; ++i) EXPECT_GE(results[i], 0) << "thread " << i;
}

TEST(PingFilter, QueuesOnlyEchoRepliesWithOurIdentifierFromThePingedAddress) {
    REQUIRE_NETWORK();
    int s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    ASSERT_GE(s, 0);
    ASSERT_EQ(sorvan::ping_attach_filter(s, 0x1234, ip(kSilent)), 0);
    Forger f;
    f.send("127.0.0.1", 0, 0x1234, 1);      // wrong source
    f.send(kSilent, 0, 0x3412, 2);          // identifier in the other byte order
    f.send(kSilent, 3, 0x1234, 3);          // not an echo reply
    f.send(kSilent, 0, 0x1234, 4, true);    // ours, with IP options
    f.send(kSilent, 0, 0x1234, 5);          // ours
    std::this_thread::sleep_for(milliseconds(50));
    std::vector<uint8_t> stamps;
    uint8_t buf[128];
    ssize_t n;
    while ((n = recv(s, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        size_t h = (buf[0] & 0x0f) * 4u;
        ASSERT_GE(static_cast<size_t>(n), h + 12);
        stamps.push_back(buf[h + 8]);
    }
    close(s);
    EXPECT_EQ(stamps, (std::vector<uint8_t>{4, 5}));
}

// Run with the kernel filter and without it (without it every forged
// datagram reaches the socket, and the checks after receipt and the overall
// deadline must do the work), with a kept socket per thread and without.
class PingForged : public ::testing::TestWithParam<std::tuple<bool, bool>> {
protected:
    void SetUp() override {
        saved_filter_ = sorvan::ping_use_filter.load();
        saved_keep_ = sorvan::ping_keep_socket.load();
        sorvan::ping_use_filter = std::get<0>(GetParam());
        sorvan::ping_keep_socket = std::get<1>(GetParam());
    }
    void TearDown() override {
        sorvan::ping_use_filter = saved_filter_;
        sorvan::ping_keep_socket = saved_keep_;
    }
    bool saved_filter_ = true, saved_keep_ = true;
};

TEST_P(PingForged, StrayTrafficNeitherAnswersNorStretchesTheWait) {
    REQUIRE_NETWORK();
    const uint16_t me = static_cast<uint16_t>(port_gettid());
    Forger f;
    Timed t;
    {
        // Our identifier but the wrong source; the right source but another
        // identifier; the right source but not an echo reply; too short.
        Noise noise([&] {
            uint32_t now = tick_count_ms();
            f.send("127.0.0.1", 0, me, now);
            f.send(kSilent, 0, static_cast<uint16_t>(me ^ 0x5a5a), now);
            f.send(kSilent, 3, me, now);
            f.send(kSilent, 8, me, now);
            f.send(kSilent, 0, me, now - 5000);   // answers a request older than the call
        });
        std::this_thread::sleep_for(milliseconds(20));
        t = timed_ping(kSilent, 300000);
    }
    EXPECT_EQ(t.result, -11);
    EXPECT_LT(t.ms, 1500) << "unrelated ICMP must not restart the wait";
}

TEST_P(PingForged, MatchingReplyIsTimedByItsOwnStamp) {
    REQUIRE_NETWORK();
    const uint16_t me = static_cast<uint16_t>(port_gettid());
    Forger f;
    for (bool options : {false, true}) {
        Timed t;
        {
            // A reply from the pinged address with our identifier, stamped
            // 40 ms in the past; once with IP options in the header.
            Noise noise([&] { f.send(kSilent, 0, me, tick_count_ms() - 40, options); });
            t = timed_ping(kSilent, 1000000);
        }
        EXPECT_GE(t.result, 40) << "options " << options;
        EXPECT_LT(t.result, 900) << "options " << options;
        EXPECT_LT(t.ms, 900);
    }
}

TEST_P(PingForged, OversizeDatagramsEndTheCallOnTheFourth) {
    REQUIRE_NETWORK();
    const uint16_t me = static_cast<uint16_t>(port_gettid());
    Forger f;
    Timed t;
    {
        Noise noise([&] { f.send(kSilent, 0, me, tick_count_ms(), false, 64); });
        t = timed_ping(kSilent, 2000000);
    }
    EXPECT_EQ(t.result, -12);
    EXPECT_LT(t.ms, 1000);
}

INSTANTIATE_TEST_SUITE_P(Modes, PingForged, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param) ? "Filter" : "NoFilter") +
                                    (std::get<1>(info.param) ? "KeptSocket" : "SocketPerCall");
                         });
