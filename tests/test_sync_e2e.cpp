// sorvan-sync against a running sorvan-agent over loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/mount.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "util/sorvan.h"
#include "tests/support/testutil.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

const char *kPassword = "e2e-secret";

using testutil::Proc;

class SyncE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testutil::is_root() || !testutil::in_private_netns())
            GTEST_SKIP() << "needs root in a private network namespace";
        port_ = std::to_string(20000 + getpid() % 20000);
        agent_log_ = t_ / "agent.log";
        agent_ = std::make_unique<Proc>(
            std::vector<std::string>{testutil::bin_path("sorvan-agent"), "-p", port_, "-l", "127.0.0.1", "-k",
                                     kPassword},
            std::vector<std::string>{"TESSARON_LOG=" + agent_log_}, t_ / "agent.out");
        ASSERT_TRUE(testutil::wait_until([&] { return read_file(t_ / "agent.out").find("listening") != std::string::npos; },
                                         10s))
            << read_file(t_ / "agent.out");
        log_ = t_ / "queue.tlog";
    }

    std::vector<std::string> sync_argv(std::vector<std::string> rest) {
        rest.insert(rest.begin(), {testutil::bin_path("sorvan-sync"), "-L", log_, "-a", "127.0.0.1", "-p", port_,
                                   "-k", kPassword});
        return rest;
    }
    // The program's log lines go to its standard error.
    testutil::RunResult sync(std::vector<std::string> rest) {
        return testutil::run(sync_argv(std::move(rest)), {"TESSARON_LOG=-"});
    }

    off_t log_size() {
        struct stat st;
        return stat(log_.c_str(), &st) == 0 ? st.st_size : 0;
    }

    TempDir t_;
    std::string port_, agent_log_, log_;
    std::unique_ptr<Proc> agent_;
};

std::string mixed(size_t n, unsigned variant) {
    std::mt19937 rng(variant);
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i) s[i] = (i / 65536) % 3 == 1 ? char(rng()) : "tree of text\n"[i % 13];
    return s;
}

}  // namespace

TEST_F(SyncE2E, FilesArriveWithContentOwnerModeAndAttributes) {
    fs::create_directories(t_ / "src/sub");
    std::string small = mixed(70000, 1), big = mixed(50u << 20, 2);
    write_file(t_ / "src/small.bin", small);
    write_file(t_ / "src/sub/big.bin", big);
    chown((t_ / "src/small.bin").c_str(), 1234, 5678);
    chmod((t_ / "src/small.bin").c_str(), 0640);
    set_NT_file_attr((t_ / "src/sub/big.bin").c_str(), 0x21);
    chmod((t_ / "src/sub").c_str(), 0711);

    auto q = sync({"put", t_ / "src", t_ / "dst"});
    ASSERT_EQ(q.status, 0) << q.err;
    auto d = sync({"drain"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("operations left: 0"), std::string::npos);

    // Nothing is acknowledged: the node may still be moving the last file in.
    EXPECT_TRUE(testutil::wait_until([&] { return read_file(t_ / "dst/sub/big.bin") == big; },
                                     30s));
    EXPECT_TRUE(read_file(t_ / "dst/small.bin") == small);
    struct stat a, b;
    stat((t_ / "dst/small.bin").c_str(), &b);
    EXPECT_EQ(b.st_uid, 1234u);
    EXPECT_EQ(b.st_gid, 5678u);
    EXPECT_EQ(b.st_mode & 07777, 0640u);
    stat((t_ / "src/sub/big.bin").c_str(), &a);
    stat((t_ / "dst/sub/big.bin").c_str(), &b);
    EXPECT_EQ(a.st_mode, b.st_mode);   // read-only attribute included
    stat((t_ / "dst/sub").c_str(), &b);
    EXPECT_EQ(b.st_mode & 07777, 0711u);
}

// An operation that can never succeed (a refused removal, a vanished
// source) is dropped with a line saying so, and the queue goes on.
TEST_F(SyncE2E, RenameMkdirAndHopelessOperationsAreDropped) {
    write_file(t_ / "a", "new");
    write_file(t_ / "b", "old");
    write_file(t_ / "c", "content of c");
    write_file(t_ / "vanishing", "x");
    fs::create_directories(t_ / "gone/x");
    for (std::vector<std::string> op : {std::vector<std::string>{"mv", t_ / "a", t_ / "b"}, {"rm", "/us"},
                                        {"put", t_ / "vanishing", t_ / "to-v"}, {"rm", t_ / "gone"},
                                        {"mkdir", t_ / "made/deep"}, {"put", t_ / "c", t_ / "to-c"}})
        ASSERT_EQ(sync(op).status, 0) << op[0];
    fs::remove(t_ / "vanishing");
    auto start = std::chrono::steady_clock::now();
    auto d = sync({"drain"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(d.status, 1);   // the log is empty, but operations failed
    EXPECT_TRUE(testutil::contains(d.err, "remove /us given up and dropped")) << d.err;
    EXPECT_TRUE(testutil::contains(d.err, "the source is gone: No such file or directory: given up")) << d.err;
    EXPECT_EQ(log_size(), 0);
    EXPECT_TRUE(fs::is_directory(t_ / "made/deep"));
    EXPECT_TRUE(testutil::wait_until([&] { return !fs::exists(t_ / "gone"); }, 5s));
    EXPECT_EQ(read_file(t_ / "b"), "new");
    EXPECT_FALSE(fs::exists(t_ / "a"));
    EXPECT_EQ(read_file(t_ / "to-c"), "content of c");
    EXPECT_FALSE(fs::exists(t_ / "to-v"));
    EXPECT_TRUE(testutil::wait_until(
        [&] { return testutil::contains(read_file(agent_log_), "delete path '/us' contains windows directory, prohibited!"); },
        5s));
}

// The consumer killed halfway: what is left in the log is whole records,
// and the next drain carries out the rest.
TEST_F(SyncE2E, ThousandOperationsSurviveAKilledConsumer) {
    fs::create_directories(t_ / "many");
    for (int i = 0; i < 1000; ++i) write_file(t_ / ("many/f" + std::to_string(i)), "content " + std::to_string(i));
    ASSERT_EQ(sync({"put", t_ / "many", t_ / "copy"}).status, 0);
    ASSERT_EQ(log_size(), off_t(1001 * sizeof(TlogRecord)));   // the directory, then its files
    auto arrived = [&] {
        std::error_code ec;
        auto it = fs::directory_iterator(t_ / "copy", ec);
        return ec ? 0 : int(std::distance(it, fs::directory_iterator()));
    };
    {
        // One operation at a time, so the kill most likely lands mid-way;
        // wherever it lands, the log holds whole records.
        Proc drain(sync_argv({"-j", "1", "drain"}), {}, t_ / "drain1.out");
        ASSERT_TRUE(testutil::wait_until([&] { return arrived() >= 100; }, 120s));
        drain.stop(SIGKILL);
    }
    EXPECT_EQ(log_size() % off_t(sizeof(TlogRecord)), 0);
    auto d = sync({"drain"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(log_size(), 0);
    // The agent serves several connections at once: the last ones may
    // still be moving into place.
    EXPECT_TRUE(testutil::wait_until([&] {
        for (int i = 0; i < 1000; ++i)
            if (read_file(t_ / ("copy/f" + std::to_string(i))) != "content " + std::to_string(i)) return false;
        return true;
    }, 10s));
}

// Requests overlap, but two operations on one path never overtake each
// other: a large send and its removal, a small send and its rename.
TEST_F(SyncE2E, OperationsOnOnePathKeepTheirOrder) {
    write_file(t_ / "big", mixed(30u << 20, 4));
    write_file(t_ / "small", "small one");
    fs::create_directories(t_ / "out");
    ASSERT_EQ(sync({"put", t_ / "big", t_ / "out/x"}).status, 0);
    ASSERT_EQ(sync({"rm", t_ / "out/x"}).status, 0);
    ASSERT_EQ(sync({"put", t_ / "small", t_ / "out/y"}).status, 0);
    ASSERT_EQ(sync({"mv", t_ / "out/y", t_ / "out/w"}).status, 0);
    // A tree waits for what is sent below it, and what is sent below it
    // afterwards waits for the tree.
    ASSERT_EQ(sync({"put", t_ / "big", t_ / "out/t/deep/f"}).status, 0);
    ASSERT_EQ(sync({"rm", t_ / "out/t"}).status, 0);
    ASSERT_EQ(sync({"put", t_ / "small", t_ / "out/t/g"}).status, 0);
    ASSERT_EQ(sync({"-j", "4", "drain"}).status, 0);   // each operation on a session of its own
    EXPECT_FALSE(fs::exists(t_ / "out/x"));
    EXPECT_FALSE(fs::exists(t_ / "out/y"));
    EXPECT_EQ(read_file(t_ / "out/w"), "small one");
    EXPECT_FALSE(fs::exists(t_ / "out/t/deep"));
    EXPECT_EQ(read_file(t_ / "out/t/g"), "small one");
}

// A log that cannot be written stops a drain at once, with an error,
// instead of sending the same operation again.
TEST_F(SyncE2E, DrainStopsOnAReadOnlyLog) {
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    fs::create_directories(t_ / "logfs");
    ASSERT_EQ(mount("tmpfs", (t_ / "logfs").c_str(), "tmpfs", 0, "size=256k"), 0);
    log_ = t_ / "logfs/queue.tlog";
    for (int i : {1, 2}) {
        write_file(t_ / ("f" + std::to_string(i)), "file " + std::to_string(i));
        ASSERT_EQ(sync({"put", t_ / ("f" + std::to_string(i)), t_ / ("h" + std::to_string(i))}).status, 0);
    }
    ASSERT_EQ(mount(nullptr, (t_ / "logfs").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    auto d = sync({"-j", "1", "drain"});
    EXPECT_NE(d.status, 0);
    EXPECT_TRUE(testutil::contains(d.err, "cannot remove a finished operation")) << d.err;
    EXPECT_EQ(log_size(), off_t(2 * sizeof(TlogRecord)));   // both still queued
    EXPECT_EQ(read_file(t_ / "h1"), "file 1");               // carried out once, then stopped
    EXPECT_FALSE(fs::exists(t_ / "h2"));
    umount2((t_ / "logfs").c_str(), MNT_DETACH);
}

TEST(SyncCli, HelpVersionAndBadOption) {
    auto h = testutil::run({testutil::bin_path("sorvan-sync"), "--help"});
    EXPECT_EQ(h.status, 0);
    EXPECT_TRUE(testutil::contains(h.out, "mv PATH PATH2")) << h.out;
    auto v = testutil::run({testutil::bin_path("sorvan-sync"), "--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(testutil::contains(v.out, "sorvan-sync")) << v.out;
    auto bad = testutil::run({testutil::bin_path("sorvan-sync"), "-L", "x", "-j", "0", "drain"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(testutil::contains(bad.err, "'0'")) << bad.err;
}
