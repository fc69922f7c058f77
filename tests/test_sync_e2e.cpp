// sorvan-sync against a running sorvan-agent over loopback: contents,
// ownership, attributes, renames, refused removals, cut transfers, and a
// log that survives its consumer being killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/mount.h>

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

TEST_F(SyncE2E, RenameMkdirAndRefusedSystemDirectories) {
    write_file(t_ / "a", "new");
    write_file(t_ / "b", "old");
    ASSERT_EQ(sync({"mv", t_ / "a", t_ / "b"}).status, 0);
    ASSERT_EQ(sync({"rm", "/us"}).status, 0);
    fs::create_directories(t_ / "gone/x");
    ASSERT_EQ(sync({"rm", t_ / "gone"}).status, 0);
    ASSERT_EQ(sync({"mkdir", t_ / "made/deep"}).status, 0);   // no such directory here
    // The agent refuses the removal of /us by resetting the request: it is
    // given up after a few tries and drain says so.
    auto d = sync({"drain"});
    EXPECT_EQ(d.status, 1);
    EXPECT_TRUE(testutil::contains(d.err, "remove /us given up and dropped")) << d.err;
    EXPECT_TRUE(fs::is_directory(t_ / "made/deep"));
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
    auto arrived = [&] {
        std::error_code ec;
        auto it = fs::directory_iterator(t_ / "copy", ec);
        return ec ? 0 : int(std::distance(it, fs::directory_iterator()));
    };
    {
        Proc drain(sync_argv({"drain"}), {}, t_ / "drain1.out");
        ASSERT_TRUE(testutil::wait_until([&] { return arrived() >= 500; }, std::chrono::seconds(120)));
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

// An operation that can never succeed is dropped with a line saying so, and
// the queue goes on.
TEST_F(SyncE2E, HopelessOperationIsDroppedAndTheRestArrives) {
    for (const char *f : {"a", "b", "c"}) write_file(t_ / f, std::string("content of ") + f);
    for (const char *f : {"a", "b", "c"}) ASSERT_EQ(sync({"put", t_ / f, t_ / (std::string("to-") + f)}).status, 0);
    fs::remove(t_ / "b");
    auto start = std::chrono::steady_clock::now();
    auto d = sync({"drain"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(d.status, 1) << d.err;   // the log is empty, but one operation failed
    EXPECT_TRUE(testutil::contains(d.err, "the source is gone: No such file or directory: given up")) << d.err;
    EXPECT_TRUE(testutil::contains(d.err, "given up and dropped")) << d.err;
    EXPECT_EQ(read_file(t_ / "to-a"), "content of a");
    EXPECT_EQ(read_file(t_ / "to-c"), "content of c");
    EXPECT_FALSE(fs::exists(t_ / "to-b"));
    EXPECT_EQ(log_size(), 0);
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
    ASSERT_EQ(sync({"drain"}).status, 0);
    EXPECT_FALSE(fs::exists(t_ / "out/x"));
    EXPECT_FALSE(fs::exists(t_ / "out/y"));
    EXPECT_EQ(read_file(t_ / "out/w"), "small one");
}

// A full file system does not stop a drain (a finished record is zeroed in
// place, which needs no room); a log that cannot be written does, at once
// and with an error, instead of sending the same operation again.
TEST_F(SyncE2E, DrainOnFullAndOnReadOnlyLogFileSystems) {
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    fs::create_directories(t_ / "logfs");
    ASSERT_EQ(mount("tmpfs", (t_ / "logfs").c_str(), "tmpfs", 0, "size=256k"), 0);
    log_ = t_ / "logfs/queue.tlog";
    for (int i = 0; i < 4; ++i) {
        write_file(t_ / ("f" + std::to_string(i)), "file " + std::to_string(i));
        ASSERT_EQ(sync({"put", t_ / ("f" + std::to_string(i)), t_ / ("g" + std::to_string(i))}).status, 0);
    }
    {
        std::ofstream fill(t_ / "logfs/fill");
        std::string block(4096, 'x');
        while (fill.write(block.data(), block.size()) && fill.flush()) {}
    }
    // The last page of the log may still have room for a record or two.
    int late = 0;
    while (late < 4 && sync({"put", t_ / "f0", t_ / ("late" + std::to_string(late))}).status == 0) ++late;
    ASSERT_LT(late, 4) << "no room to queue";
    auto d = sync({"drain"});
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(log_size(), 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(read_file(t_ / ("g" + std::to_string(i))), "file " + std::to_string(i));
    for (int i = 0; i < late; ++i) EXPECT_EQ(read_file(t_ / ("late" + std::to_string(i))), "file 0");

    fs::remove(t_ / "logfs/fill");
    ASSERT_EQ(sync({"put", t_ / "f1", t_ / "h1"}).status, 0);
    ASSERT_EQ(sync({"put", t_ / "f2", t_ / "h2"}).status, 0);
    ASSERT_EQ(mount(nullptr, (t_ / "logfs").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    d = sync({"-j", "1", "drain"});
    EXPECT_NE(d.status, 0);
    EXPECT_TRUE(testutil::contains(d.err, "cannot remove a finished operation")) << d.err;
    EXPECT_EQ(log_size(), off_t(2 * sizeof(TlogRecord)));   // both still queued
    EXPECT_EQ(read_file(t_ / "h1"), "file 1");               // carried out once, then stopped
    EXPECT_FALSE(fs::exists(t_ / "h2"));
    umount2((t_ / "logfs").c_str(), MNT_DETACH);
}

TEST(SyncCli, HelpAndVersion) {
    auto h = testutil::run({testutil::bin_path("sorvan-sync"), "--help"});
    EXPECT_EQ(h.status, 0);
    for (const char *opt : {"-l LOG", "-a ADDRESS", "-p PORT", "-k PASSWORD", "-t USEC", "-j N", "--help", "--version",
                            "put PATH", "mkdir PATH", "rm PATH", "mv PATH PATH2", "drain"})
        EXPECT_TRUE(testutil::contains(h.out, opt)) << opt;
    auto v = testutil::run({testutil::bin_path("sorvan-sync"), "--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(testutil::contains(v.out, "sorvan-sync")) << v.out;
    auto bad = testutil::run({testutil::bin_path("sorvan-sync"), "-l", "x", "-j", "0", "drain"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(testutil::contains(bad.err, "'0'")) << bad.err;
}
