// sorvan-sync against a running sorvan-agent over loopback: contents,
// ownership, attributes, renames, refused removals, cut transfers, and a
// log that survives its consumer being killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "sorvan.h"
#include "testutil.h"

namespace fs = std::filesystem;
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
                                         std::chrono::seconds(10)))
            << read_file(t_ / "agent.out");
        log_ = t_ / "queue.tlog";
    }

    std::vector<std::string> sync_argv(std::vector<std::string> rest) {
        std::vector<std::string> a = {testutil::bin_path("sorvan-sync"), "-l", log_, "-a", "127.0.0.1",
                                      "-p", port_, "-k", kPassword};
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    }
    testutil::RunResult sync(std::vector<std::string> rest) { return testutil::run(sync_argv(std::move(rest))); }

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
                                     std::chrono::seconds(30)));
    EXPECT_TRUE(read_file(t_ / "dst/small.bin") == small);
    struct stat a, b;
    stat((t_ / "dst/small.bin").c_str(), &b);
    EXPECT_EQ(b.st_uid, 1234u);
    EXPECT_EQ(b.st_gid, 5678u);
    EXPECT_EQ(b.st_mode & 07777, 0640u);
    stat((t_ / "src/sub/big.bin").c_str(), &a);
    stat((t_ / "dst/sub/big.bin").c_str(), &b);
    EXPECT_EQ(a.st_mode, b.st_mode);
    ByHandleFileInformation ia, ib;
    stat_file((t_ / "src/sub/big.bin").c_str(), &ia);
    stat_file((t_ / "dst/sub/big.bin").c_str(), &ib);
    EXPECT_EQ(ia.dwFileAttributes, ib.dwFileAttributes);
    stat((t_ / "dst/sub").c_str(), &b);
    EXPECT_EQ(b.st_mode & 07777, 0711u);
}

TEST_F(SyncE2E, RenameReplacesAndSystemDirectoriesAreRefused) {
    write_file(t_ / "a", "new");
    write_file(t_ / "b", "old");
    ASSERT_EQ(sync({"mv", t_ / "a", t_ / "b"}).status, 0);
    ASSERT_EQ(sync({"rm", "/us"}).status, 0);
    fs::create_directories(t_ / "gone/x");
    ASSERT_EQ(sync({"rm", t_ / "gone"}).status, 0);
    ASSERT_EQ(sync({"drain"}).status, 0);
    EXPECT_TRUE(testutil::wait_until([&] { return !fs::exists(t_ / "gone"); }, std::chrono::seconds(5)));
    EXPECT_EQ(read_file(t_ / "b"), "new");
    EXPECT_FALSE(fs::exists(t_ / "a"));
    EXPECT_FALSE(fs::exists(t_ / "gone"));
    EXPECT_TRUE(testutil::wait_until(
        [&] {
            return read_file(agent_log_).find("delete path '/us' contains windows directory, prohibited!") !=
                   std::string::npos;
        },
        std::chrono::seconds(5)));
}

// Killing the sender in the middle of a transfer leaves the node's copy
// as it was.
TEST_F(SyncE2E, CutTransferLeavesDestinationAsItWas) {
    write_file(t_ / "huge", mixed(200u << 20, 3));
    write_file(t_ / "dest", "previous version");
    ASSERT_EQ(sync({"put", t_ / "huge", t_ / "dest"}).status, 0);
    Proc drain(sync_argv({"drain"}), {}, t_ / "drain.out");
    auto temp_present = [&] {
        for (auto &e : fs::directory_iterator(t_.path()))
            if (e.path().filename().string().rfind("dest.", 0) == 0 && e.file_size() > 0) return true;
        return false;
    };
    ASSERT_TRUE(testutil::wait_until(temp_present, std::chrono::seconds(30)));
    drain.stop(SIGKILL);
    EXPECT_TRUE(testutil::wait_until([&] { return !temp_present(); }, std::chrono::seconds(40)));
    EXPECT_EQ(read_file(t_ / "dest"), "previous version");
    EXPECT_EQ(log_size(), off_t(sizeof(TlogRecord)));   // still queued
}

TEST_F(SyncE2E, ThousandOperationsSurviveAKilledConsumer) {
    fs::create_directories(t_ / "many");
    for (int i = 0; i < 1000; ++i) write_file(t_ / ("many/f" + std::to_string(i)), "content " + std::to_string(i));
    ASSERT_EQ(sync({"put", t_ / "many", t_ / "copy"}).status, 0);
    ASSERT_EQ(log_size(), off_t(1001 * sizeof(TlogRecord)));   // the directory, then its files
    {
        Proc drain(sync_argv({"drain"}), {}, t_ / "drain1.out");
        ASSERT_TRUE(testutil::wait_until([&] { return log_size() <= off_t(500 * sizeof(TlogRecord)); },
                                         std::chrono::seconds(120)));
        drain.stop(SIGKILL);
    }
    off_t left = log_size();
    EXPECT_GT(left, 0);
    EXPECT_EQ(left % off_t(sizeof(TlogRecord)), 0);
    auto d = sync({"drain"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(log_size(), 0);
    // The agent serves several connections at once: the last ones may
    // still be moving into place.
    auto missing = [&] {
        int n = 0;
        for (int i = 0; i < 1000; ++i)
            if (read_file(t_ / ("copy/f" + std::to_string(i))) != "content " + std::to_string(i)) ++n;
        return n;
    };
    testutil::wait_until([&] { return missing() == 0; }, std::chrono::seconds(10));
    EXPECT_EQ(missing(), 0);
}
