// Request server over real sockets: authentication, the load request,
// rejections and their rate-limited log line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "port/varro.h"
#include "util/sorvan.h"
#include "tests/support/testutil.h"
#include "util/net/request.h"
#include "util/net/server.h"

namespace {

// Every log line of this program goes to one file the tests read back.
const std::string g_log = testutil::log_file("test_server");

int count_lines(const std::string &needle) {
    std::string s = testutil::read_file(g_log);
    int n = 0;
    for (size_t p = 0; (p = s.find(needle, p)) != std::string::npos; ++p) ++n;
    return n;
}

// DES keyed; the agent expects the key of `pw`.
void expect_key(const char *pw) {
    ASSERT_TRUE(testutil::des_key());
    std::memset(key_phrase, 0, sizeof key_phrase);
    sorvan::derive_key(pw, "Q4", reinterpret_cast<unsigned char *>(key_phrase));
}

std::string header(uint32_t kind, const char *pw) {
    RequestHeader h{};
    h.version = REQ_VERSION;
    h.kind = kind;
    sorvan::derive_key(pw, "Q4", h.key);
    unsigned char wire[20];
    sorvan::encode_header(h, wire);
    return std::string(reinterpret_cast<char *>(wire), 20);
}

// A header deflated but neither enciphered nor framed.
std::string deflated_header(const char *pw) {
    std::string h = header(REQ_LOAD, pw);
    uint32_t zl = 0;
    int32_t st = 0;
    void *z = compress_data(h.data(), 20, &zl, &st, 1);
    std::string out(static_cast<char *>(z), zl);
    std::free(z);
    return out;
}

sockaddr_in loopback_peer() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// One TCP connection on loopback: `client` is the requester's end.
struct Conn {
    int client = -1, server = -1;
    Conn() {
        sockaddr_in a = loopback_peer();
        int l = testutil::loopback_socket(&a.sin_port);
        a.sin_port = htons(a.sin_port);
        client = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        server = accept(l, nullptr, nullptr);
        close(l);
        timeval tv{5, 0};
        setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Conn() {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
    int serve(PdhContext *pdh = nullptr) {
        static PdhContext none{};
        sockaddr_in peer = loopback_peer();
        int r = authenticate_and_process(server, &peer, nullptr, pdh ? pdh : &none);
        close(server);   // what the agent does afterwards
        server = -1;
        return r;
    }
    // After a rejection the agent's close resets the connection.
    bool was_reset() {
        char c;
        ssize_t n = read(client, &c, 1);
        return n < 0 && errno == ECONNRESET;
    }
};

}  // namespace

// The load request is answered raw; every rejection resets the connection.
TEST(RequestServer, LoadAnsweredRejectionsReset) {
    expect_key("right");
    {
        Conn c;
        std::string h = header(REQ_LOAD, "right");
        ASSERT_GT(xwrite(c.client, h.data(), 20), 0);
        EXPECT_EQ(c.serve(), 0);
        AgentStats a;
        ASSERT_EQ(nread(c.client, &a, sizeof a), 252);
        EXPECT_NE(ntohl(a.word[3]), 0u);   // total memory, not sealed or enciphered
        char more;
        EXPECT_EQ(read(c.client, &more, 1), 0);
    }
    uint32_t before = sorvan::reset_count();
    // Wrong key; no key at all to an agent that has one; right key but an
    // unknown kind (dispatched as a rejection, result 0).
    struct Case { uint32_t kind; const char *pw; int rc; };
    for (const Case &k : {Case{REQ_LOAD, "wrong", -3}, Case{REQ_LOAD, nullptr, -2}, Case{9, "right", 0}}) {
        Conn c;
        std::string h = header(k.kind, k.pw);
        ASSERT_GT(xwrite(c.client, h.data(), 20), 0);
        EXPECT_EQ(c.serve(), k.rc) << k.kind;
        EXPECT_TRUE(c.was_reset()) << k.kind;
    }
    {   // Sealed, but too short to be a header.
        Conn c;
        ASSERT_GT(xwrite(c.client, "0123456789", 10), 0);
        EXPECT_EQ(c.serve(), -1);
    }
    {   // A frame that claims 4 GiB.
        Conn c;
        uint32_t be = htonl(0xFFFFFFFFu);
        ASSERT_EQ(write(c.client, &be, 4), 4);
        EXPECT_EQ(c.serve(), -1);
    }
    {   // A peer without the cipher: its payload does not expand here.
        Conn c;
        std::string z = deflated_header("right");
        ASSERT_GT(_xwrite(c.client, z.data(), uint32_t(z.size())), 0);
        EXPECT_EQ(c.serve(), -1);
    }
    EXPECT_EQ(sorvan::reset_count() - before, 6u);
}

// A header frame longer than any header is refused before a byte of it
// is read; a header trickled in is given 5 s in all, not 5 s per byte.
TEST(RequestServer, HeaderIsBoundedInSizeAndTime) {
    expect_key("right");
    {
        Conn c;
        uint32_t be = htonl(SORVAN_MAX_HEADER_FRAME + 1);
        ASSERT_EQ(write(c.client, &be, 4), 4);   // and nothing more, the connection open
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(c.serve(), -1);
        // At once, not after the 5 s a header is given.
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
    }
    Conn c;
    std::string z = deflated_header("right");
    xencrypt(z.data(), uint32_t(z.size()));
    uint32_t be = htonl(uint32_t(z.size()));
    std::string frame = std::string(reinterpret_cast<char *>(&be), 4) + z;
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        for (size_t i = 0; i < frame.size() && !done; ++i) {
            (void)!write(c.client, &frame[i], 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.serve(), -1);
    auto took = std::chrono::steady_clock::now() - t0;
    done = true;
    trickle.join();
    EXPECT_GT(took, std::chrono::milliseconds(4500));
    EXPECT_LT(took, std::chrono::seconds(8));
}

TEST(RequestServer, OneLogLineInAThousandRejections) {
    // Any thousand consecutive rejections hold exactly one logged one.
    uint32_t before = sorvan::reset_count();
    int lines = count_lines("strange connection from 127.0.0.1: Bad REQ");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 250; ++i) {
                int sv[2];
                ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
                close(sv[1]);   // sends nothing and closes
                sockaddr_in peer = loopback_peer();
                PdhContext none{};
                EXPECT_EQ(authenticate_and_process(sv[0], &peer, nullptr, &none), -1);
                close(sv[0]);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(sorvan::reset_count() - before, 1000u);
    EXPECT_EQ(count_lines("strange connection from 127.0.0.1: Bad REQ"), lines + 1);
    while (sorvan::reset_count() % 1000 != 0) reset(-1, htonl(INADDR_LOOPBACK), "filler");
    reset(-1, htonl(INADDR_LOOPBACK), nullptr);
    EXPECT_EQ(count_lines("strange connection from 127.0.0.1: ?"), 1);
    EXPECT_EQ(count_lines("filler"), 0);
}
