// kord end to end while it runs, reporting to a notify socket of the test's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "maps/records.h"
#include "port/varro.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;
using testutil::TempDir;
using testutil::read_file;
using testutil::write_file;

namespace {

class LiveKord : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *d : {"nodes", "nsdb/cn", "data"}) mkdirs((root_ / d).c_str());
        write_file(root_ / "gpfile", "g1:ex.test:pw:1000000:rtt:60:2:800000:10000:::0:0:127.0.0.1,127.0.0.2\n");
        write_file(node("127.0.0.1"), "min_vm = 256\ntraffic_alloc 5\n");
        notify_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::string path = root_ / "notify";
        std::strcpy(sa.sun_path, path.c_str());
        ASSERT_EQ(bind(notify_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        timeval tv{0, 100000};
        setsockopt(notify_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    void TearDown() override { close(notify_); }

    std::unique_ptr<testutil::Proc> spawn(const std::string &out) {
        return std::make_unique<testutil::Proc>(
            std::vector<std::string>{testutil::bin_path("kord")},
            std::vector<std::string>{"TESSARON_ROOT=" + root_.path(), "TESSARON_LOG=" + (root_ / "log"),
                                     "NOTIFY_SOCKET=" + (root_ / "notify")},
            root_ / out);
    }

    // Starts kord and waits for its running report.
    void start() {
        kord_ = spawn("kord.out");
        pid_ = kord_->pid;
        ASSERT_TRUE(wait_notice("READY=1", 10s)) << read_file(root_ / "log");
    }

    bool wait_notice(const std::string &what, std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            char buf[512];
            ssize_t n = recv(notify_, buf, sizeof buf, 0);
            if (n <= 0) continue;
            std::string msg(buf, static_cast<size_t>(n));
            notices_.push_back(msg);
            if (msg.find(what) != std::string::npos) return true;
        }
        return false;
    }

    int stop(int sig) { return kord_->stop(sig); }

    kord::NodeRecord slot(const char *name) {
        std::string map = read_file(root_ / "data/map.data");
        kord::GroupRecord g{};
        if (map.size() >= sizeof g) std::memcpy(&g, map.data(), sizeof g);
        for (auto &s : g.slot)
            if (std::strcmp(s.name, name) == 0) return s;
        return kord::NodeRecord{};
    }

    // Waits until the slot's node-file values are (fs, vm, conn, alloc).
    bool slot_becomes(const char *name, uint32_t fs, uint32_t vm, int32_t conn, int32_t alloc) {
        return testutil::wait_until(
            [&] {
                kord::NodeRecord s = slot(name);
                return s.min_fs == fs && s.min_vm == vm && s.max_connections == conn &&
                       s.traffic_alloc == alloc;
            },
            3000ms);
    }

    std::string node(const std::string &name) { return root_ / ("nodes/" + name + ".cfg"); }

    TempDir root_;
    int notify_ = -1;
    std::unique_ptr<testutil::Proc> kord_;
    pid_t pid_ = -1;
    std::vector<std::string> notices_;
};

}  // namespace

TEST_F(LiveKord, NodeFileEditsReachTheMapWithinTwoPasses) {
    start();
    ASSERT_TRUE(slot_becomes("127.0.0.1", 1, 256, 10000, 5));

    write_file(node("127.0.0.1"), "min_vm 300\nmin_fs 20\nmax_connections 40\n");
    EXPECT_TRUE(slot_becomes("127.0.0.1", 20, 300, 40, 5));

    // Deleting the file restores the defaults and keeps traffic_alloc.
    ASSERT_EQ(unlink(node("127.0.0.1").c_str()), 0);
    EXPECT_TRUE(slot_becomes("127.0.0.1", 1, 512, 10000, 5));

    // Node a's file renamed to node b's name: a reset, b read.
    write_file(node("127.0.0.1"), "min_vm 700\n");
    ASSERT_TRUE(slot_becomes("127.0.0.1", 1, 700, 10000, 5));
    ASSERT_EQ(rename(node("127.0.0.1").c_str(), node("127.0.0.2").c_str()), 0);
    EXPECT_TRUE(slot_becomes("127.0.0.1", 1, 512, 10000, 5));
    EXPECT_TRUE(slot_becomes("127.0.0.2", 1, 700, 10000, 0));
    // The next edit of b is not swallowed.
    write_file(node("127.0.0.2"), "min_vm 701\n");
    EXPECT_TRUE(slot_becomes("127.0.0.2", 1, 701, 10000, 0));

    // An archive unpacked below the root does not hold up the next edit.
    mkdirs((root_ / "unpacked").c_str());
    for (int i = 0; i < 3000; ++i) write_file(root_ / ("unpacked/f" + std::to_string(i)), "x");
    write_file(node("127.0.0.2"), "min_vm 123\n");
    EXPECT_TRUE(slot_becomes("127.0.0.2", 1, 123, 10000, 0));

    // Files beside the node files that are not node files (an editor's
    // temporary copy renamed over the file, notes) cost no pass.
    for (int i = 0; i < 20; ++i) write_file(root_ / ("nodes/notes" + std::to_string(i)), "x");
    write_file(root_ / "nodes/sedX1b2c3", "min_vm 321\n");
    ASSERT_EQ(rename((root_ / "nodes/sedX1b2c3").c_str(), node("127.0.0.2").c_str()), 0);
    EXPECT_TRUE(slot_becomes("127.0.0.2", 1, 321, 10000, 0));
}

// A second kord is refused while the first runs on and answers
// interrogation; SIGINT stops it once, reported to the service manager.
TEST_F(LiveKord, SecondKordIsRefusedInterrogationAndStopOnce) {
    start();
    auto second = spawn("second.out");
    int st = 0;
    ASSERT_TRUE(testutil::wait_until([&] { return waitpid(second->pid, &st, WNOHANG) == second->pid; }, 5000ms));
    second->pid = -1;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    std::string log = read_file(root_ / "log");
    EXPECT_TRUE(testutil::contains(log, "Tessaron Master Server already running. Bail out!"));
    // The first kord said what it watches, once, before anything else of the run.
    EXPECT_TRUE(testutil::contains(log, "Start Tessaron(tm) Master Server v" TESSARON_VERSION ": root " + root_.path() +
                                            ", group file " + (root_ / "gpfile") + ", 1 groups, 2 nodes, 2 workers"))
        << log;
    EXPECT_TRUE(testutil::contains(log, "Group g1.ex.test: method rtt, interval 1000 ms, time-out 800 ms, retries 2, "
                                        "nodes 127.0.0.1,127.0.0.2"))
        << log;
    kill(pid_, SIGUSR1);
    EXPECT_TRUE(wait_notice("STATUS=running", 3s));
    EXPECT_TRUE(testutil::wait_until([&] { return testutil::contains(read_file(root_ / "log"), "Interrogated"); },
                                     3000ms));

    EXPECT_EQ(stop(SIGINT), 0);
    EXPECT_TRUE(wait_notice("STATUS=stopped", 1s));
    bool stopping = false;
    for (auto &n : notices_) stopping |= testutil::contains(n, "STOPPING=1");
    EXPECT_TRUE(stopping);
    log = read_file(root_ / "log");
    size_t first = log.find("Stop Tessaron(tm) Master Server ...");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("Stop Tessaron(tm) Master Server ...", first + 1), std::string::npos);
}

TEST_F(LiveKord, HeartbeatEachPassAndReloadOnSighup) {
    start();
    // The heartbeat: rewritten every pass, the counts also in STATUS=.
    auto beat = [&](const std::string &key) {
        std::string text = read_file(root_ / "data/kord.status");
        size_t at = text.find(key + " ");
        return at == std::string::npos || (at && text[at - 1] != '\n') ? -1LL
                                                                         : std::atoll(text.c_str() + at + key.size());
    };
    ASSERT_TRUE(testutil::wait_until([&] { return beat("pass") > 0; }, 3000ms));
    EXPECT_EQ(beat("pid"), pid_);
    EXPECT_EQ(beat("interval"), 1);
    long long pass = beat("pass");
    EXPECT_LE(beat("started"), pass);
    EXPECT_TRUE(testutil::wait_until([&] { return beat("pass") > pass; }, 3000ms));
    EXPECT_TRUE(wait_notice("STATUS=groups 1, nodes 2: 2 up, 0 failing, 0 down", 10s));
    EXPECT_EQ(beat("up"), 2);

    // A new group and a mirror of g1: their nodes come into the maps; the
    // time-out as long as the interval is warned about, not refused.
    std::string gp = read_file(root_ / "gpfile");
    write_file(root_ / "gpfile", gp + "g2:g2.test:pw:1000000:rtt:60:2:1000000:10000:::0:0:127.0.0.3\n"
                                      "m:m.test:" + std::string(7, ':') + "g1.ex.test::0:0:127.0.0.4\n");
    kill(pid_, SIGHUP);
    EXPECT_TRUE(wait_notice("RELOADING=1", 5s));
    EXPECT_TRUE(wait_notice("READY=1", 10s));
    EXPECT_EQ(read_file(root_ / "data/.ctlmap"), std::string("\3\0\0\0", 4));
    kord::GroupRecord g{};
    const std::string map = root_ / "data/map.data";
    EXPECT_TRUE(testutil::wait_until(
        [&] { return testutil::read_record(map, 1, g) && g.slot[0].ping.state == kord::kStateUp; }, 5000ms));
    EXPECT_STREQ(g.slot[0].name, "127.0.0.3");
    EXPECT_EQ(g.worker_count, 1u);
    EXPECT_TRUE(testutil::wait_until(
        [&] { return testutil::read_record(map, 2, g) && std::strcmp(g.slot[0].name, "127.0.0.1") == 0; }, 3000ms));
    EXPECT_EQ(read_file(root_ / "nsdb/cn/g2.test.cndb"), "g2\t0\tIN\tA\t127.0.0.3\n");
    EXPECT_TRUE(testutil::contains(read_file(root_ / "log"), (root_ / "gpfile") + ":2: time-out: warning:"));
    EXPECT_TRUE(testutil::wait_until([&] { return beat("nodes") == 4; }, 3000ms));

    // A broken file: refused, logged, nothing changes and kord runs on.
    write_file(root_ / "gpfile", gp + "broken:line\n");
    kill(pid_, SIGHUP);
    EXPECT_TRUE(testutil::wait_until(
        [&] { return testutil::contains(read_file(root_ / "log"), "Reload refused"); }, 5000ms));
    EXPECT_TRUE(testutil::contains(read_file(root_ / "log"), (root_ / "gpfile") + ":2: line: error:"));
    EXPECT_EQ(read_file(root_ / "data/.ctlmap"), std::string("\3\0\0\0", 4));
    ASSERT_TRUE(testutil::read_record(map, 1, g));
    EXPECT_STREQ(g.name, "g2");
    EXPECT_NE(g.slot[0].worker_tid, 0u);
    EXPECT_EQ(stop(SIGTERM), 0);
}
