// kordstat against maps, heartbeat and lock written here, and a real kord.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "maps/records.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;
using testutil::contains;
using testutil::read_file;
using testutil::write_file;

namespace {

class Kordstat : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir((root / "data").c_str(), 0755);
        // One group: a node with an agent report, one without.
        kord::GroupRecord g{};
        std::strcpy(g.name, "web");
        std::strcpy(g.domain, "ex.test");
        g.method = 1;
        g.node_count = 2;
        kord::NodeRecord &a = g.slot[0], &b = g.slot[1];
        std::strcpy(a.name, "n1");
        a.addr = inet_addr("127.0.0.1");
        a.ping.state = a.agent.state = 1;
        a.last_ping = 3;
        a.agent_stats.word[0] = 12;
        a.agent_stats.word[2] = 2048;
        a.agent_stats.word[11] = 17;
        a.mean_ratio = 0.5f;
        a.ratio[0] = INFINITY;   // an agent whose load scale was 0
        std::strcpy(b.name, "n\"2");
        b.addr = inet_addr("127.0.0.2");
        b.ping.state = b.agent.state = 3;
        b.last_ping = -11;
        int32_t count = 1;
        write_file(root / "data/.ctlmap", std::string(reinterpret_cast<char *>(&count), 4));
        write_file(root / "data/map.data", std::string(reinterpret_cast<char *>(&g), sizeof g));
    }
    void TearDown() override {
        if (lock_fd >= 0) close(lock_fd);
    }
    // Takes kord's lock as kord does.
    void hold_lock() {
        lock_fd = open((root / "data/kord.pid").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(flock(lock_fd, LOCK_EX | LOCK_NB), 0);
    }
    // Writes kord.status; gives its pass time.
    long heartbeat(long age, int interval = 1) {
        long now = time(nullptr);
        write_file(root / "data/kord.status",
                   "pid " + std::to_string(getpid()) + "\nstarted " + std::to_string(now - 100) +
                       "\npass " + std::to_string(now - age) + "\ninterval " +
                       std::to_string(interval) +
                       "\ngroups 1\nnodes 2\nup 1\nfailing 0\ndown 1\nunknown 0\nsomething new 7\n");
        return now - age;
    }
    testutil::RunResult kordstat(std::vector<std::string> args = {}) {
        args.insert(args.begin(), testutil::bin_path("kordstat"));
        return testutil::run(args, {"TESSARON_ROOT=" + root.path()});
    }
    testutil::TempDir root;
    int lock_fd = -1;
};

TEST_F(Kordstat, LivenessFromLockAndHeartbeat) {
    // Neither lock nor heartbeat: the table still shows the last states.
    auto r = kordstat();
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out.substr(0, 20), "kord is not running\n") << r.out;
    EXPECT_TRUE(contains(r.out, "web              n1")) << r.out;

    hold_lock();
    EXPECT_EQ(kordstat().status, 3);   // locked, no heartbeat yet

    heartbeat(1);
    r = kordstat();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(0, 6), "GROUP ");
    EXPECT_EQ(r.err, "");

    heartbeat(30);
    r = kordstat();
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.out.substr(0, 14) == "data 30 s old\n" || r.out.substr(0, 14) == "data 31 s old\n")
        << r.out;
    auto j = kordstat({"--json"});
    EXPECT_EQ(j.status, 3);
    EXPECT_TRUE(contains(j.out, "{\"kord_up\":0,\"kord\":\"stale\",\"heartbeat\":")) << j.out;
    EXPECT_TRUE(contains(j.err, "kordstat: data 3")) << j.err;

    // Two passes of a slow main loop are not stale yet.
    heartbeat(30, 20);
    EXPECT_EQ(kordstat().status, 0);

    // A fresh heartbeat without the lock: kord died after writing it.
    close(lock_fd);
    lock_fd = -1;
    heartbeat(0);
    r = kordstat({"--prometheus"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.out, "\nkord_up 0\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "kord_heartbeat_timestamp_seconds ")) << r.out;
}

TEST_F(Kordstat, NodesInJsonAndPrometheus) {
    hold_lock();
    long pass = heartbeat(0);
    auto j = kordstat({"--json"});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_TRUE(contains(j.out, "{\"kord_up\":1,\"kord\":\"running\",\"heartbeat\":" +
                                    std::to_string(pass) + ",\"heartbeat_age_s\":"))
        << j.out;
    EXPECT_TRUE(contains(j.out, "\"agent_data\":true,\"free_kb\":2048,\"connections\":17,"
                                "\"load_ratio\":0.5,\"load_ratios\":[null,0,0]"))
        << j.out;
    EXPECT_TRUE(contains(j.out, "\"name\":\"n\\\"2\",\"address\":\"127.0.0.2\",\"ping\":\"down\","
                                "\"agent\":\"down\""));
    EXPECT_TRUE(contains(j.out, "\"last_ping_ms\":-11"));
    EXPECT_TRUE(contains(j.out, "\"agent_data\":false,\"free_kb\":0,\"connections\":0,"
                                "\"load_ratio\":null"));

    auto p = kordstat({"--prometheus"});
    ASSERT_EQ(p.status, 0);
    std::string n1 = "{group=\"web\",domain=\"ex.test\",node=\"n1\",address=\"127.0.0.1\"";
    std::string n2 = "{group=\"web\",domain=\"ex.test\",node=\"n\\\"2\",address=\"127.0.0.2\"";
    for (const std::string &line : std::vector<std::string>{
             "kord_up 1", "kord_nodes{state=\"down\"} 1", "kord_node_state" + n1 + ",family=\"ipv4\"} 1",
          "kord_node_agent_state" + n2 + "} 3", "kord_node_last_ping_ms" + n2 + ",family=\"ipv4\"} -11",
          "kord_node_free_memory_bytes" + n1 + "} 2097152", "kord_node_connections" + n1 + "} 17",
          "kord_node_load_ratio" + n1 + ",window=\"mean\"} 0.5",
          "kord_node_load_ratio" + n1 + ",window=\"1m\"} +Inf"})
        EXPECT_TRUE(contains(p.out, "\n" + line + "\n")) << line << "\n" << p.out;
    // Agent figures only where an agent reported.
    EXPECT_FALSE(contains(p.out, "kord_node_connections" + n2));
    EXPECT_FALSE(contains(p.out, "kord_node_load_ratio" + n2));

    // Without maps: liveness still, exit 1 while kord is fresh.
    unlink((root / "data/map.data").c_str());
    p = kordstat({"--prometheus"});
    EXPECT_EQ(p.status, 1);
    EXPECT_TRUE(contains(p.out, "kord_up 1\n"));
    EXPECT_TRUE(contains(p.err, "data/map.data: No such file")) << p.err;

    EXPECT_EQ(kordstat({"--help"}).status, 0);
    auto v = kordstat({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(contains(v.out, "kordstat (Tessaron) 3.")) << v.out;
    for (auto bad : std::vector<std::vector<std::string>>{
             {"--watch", "0"}, {"--listen", "127.0.0.1"}, {"--listen", "nohost:80"},
             {"--listen", "127.0.0.1:80", "--json"}, {"-x"}})
        EXPECT_EQ(kordstat(bad).status, 2) << bad[0];
}

// One HTTP/1.0 exchange with 127.0.0.1:port.
std::string http(uint16_t port, const std::string &request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), 0) == ssize_t(request.size()))
        reply = testutil::drain(fd);
    close(fd);
    return reply;
}

TEST_F(Kordstat, ServesMetricsOverLoopback) {
    hold_lock();
    heartbeat(0);
    std::string log = root / "listen.out";
    testutil::Proc p({testutil::bin_path("kordstat"), "--listen", "127.0.0.1:9417"},
                     {"TESSARON_ROOT=" + root.path()}, log);
    ASSERT_TRUE(testutil::wait_until(
        [&] { return contains(read_file(log), "serving http://127.0.0.1:9417/metrics"); }, 10s)) << read_file(log);
    std::string r = http(9417, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.substr(0, 15), "HTTP/1.1 200 OK") << r;
    EXPECT_TRUE(contains(r, "Content-Type: text/plain; version=0.0.4")) << r;
    EXPECT_TRUE(contains(r, "\r\n\r\n# HELP kord_up ")) << r;
    EXPECT_TRUE(contains(r, "\nkord_node_state{group=\"web\""));
    // Every scrape reads afresh.
    close(lock_fd);
    lock_fd = -1;
    EXPECT_TRUE(contains(http(9417, "GET /metrics HTTP/1.0\r\n\r\n"), "\nkord_up 0\n"));
    EXPECT_EQ(http(9417, "GET / HTTP/1.0\r\n\r\n").substr(0, 12), "HTTP/1.1 404");
    EXPECT_EQ(http(9417, "POST /metrics HTTP/1.0\r\nContent-Length: 0\r\n\r\n").substr(0, 12),
              "HTTP/1.1 405");
    EXPECT_EQ(p.stop(SIGTERM), 0);
}

// The real kord and agent under the units' rule that no memory is both
// writable and executable (both load libcrypto): the agent answers, kord
// is fresh; once kord is killed, "not running".
TEST(KordstatLive, ExitsThreeAfterKordIsKilled) {
    testutil::TempDir root;
    for (const char *d : {"data", "nodes", "ports", "nsdb", "nsdb/cn"}) mkdir((root / d).c_str(), 0755);
    write_file(root / "gpfile", "g1:ex.test:pw:1000000:load:60:2:800000:10000:::0:0:127.0.0.1\n");
    std::vector<std::string> env = {"TESSARON_ROOT=" + root.path(), "TESSARON_LOG=" + (root / "log")};
    // PR_SET_MDWE, kept across exec (where the kernel has it).
    std::vector<std::string> wx = {"/usr/bin/python3", "-c",
                                   "import ctypes, os, sys; ctypes.CDLL(None).prctl(65, 1, 0, 0, 0); "
                                   "os.execv(sys.argv[1], sys.argv[1:])"};
    auto under_wx = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), wx.begin(), wx.end());
        return argv;
    };
    testutil::Proc agent(under_wx({testutil::bin_path("sorvan-agent"), "-k", "pw", "-l", "127.0.0.1"}),
                         {}, root / "agent.out");
    testutil::Proc kord(under_wx({testutil::bin_path("kord")}), env, root / "kord.out");
    auto stat = [&](std::vector<std::string> args = {}) {
        args.insert(args.begin(), testutil::bin_path("kordstat"));
        return testutil::run(args, env);
    };
    EXPECT_TRUE(testutil::wait_until([&] { return contains(stat({"--json"}).out, "\"agent\":\"up\""); }, 10s))
        << stat().out << read_file(root / "log") << read_file(root / "agent.out");
    EXPECT_TRUE(testutil::wait_until([&] { return stat().status == 0; }, 10s))
        << stat().out << read_file(root / "log");
    EXPECT_EQ(kord.stop(SIGKILL), 128 + SIGKILL);
    auto r = stat();
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out.substr(0, 20), "kord is not running\n") << r.out;
}

}  // namespace
