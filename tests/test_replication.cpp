// Replication end to end: sorvan-sync against a sorvan-agent confined to a
// scratch tree, with sessions (several operations on one connection) and
// one request per operation as an agent without sessions is served.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "tests/support/scratch.h"
#include "tests/support/testutil.h"
#include "util/sorvan.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testutil::contains;
using testutil::Proc;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

// Every tree of these tests lies on a tmpfs of a private mount namespace.
const bool g_scratch = testutil::scratch_tmpdir();

const char *kPassword = "replication-secret";

std::string noise(size_t n, unsigned start) {
    std::mt19937 rng(start);
    std::string s(n, 0);
    for (auto &c : s) c = char(rng());
    return s;
}

// Transfer leftovers below a directory.
int temporaries(const std::string &dir) {
    int n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        n += contains(it->path().filename().string(), "~");
    return n;
}

class Replication : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!g_scratch || !testutil::is_root() || !testutil::in_private_netns())
            GTEST_SKIP() << "needs root in private network and mount namespaces";
        fs::create_directories(t_ / "dst");
        port_ = std::to_string(20000 + getpid() % 20000);
        log_ = t_ / "queue.tlog";
        agent_log_ = t_ / "agent.log";
        start_agent();
    }

    void start_agent(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{testutil::bin_path("sorvan-agent"), "-p", port_, "-l", "127.0.0.1", "-k",
                                      kPassword, "-r", t_ / "dst"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string out = t_ / ("agent" + std::to_string(++starts_) + ".out");
        agent_ = std::make_unique<Proc>(argv, std::vector<std::string>{"TESSARON_LOG=" + agent_log_}, out);
        ASSERT_TRUE(testutil::wait_until([&] { return contains(read_file(out), "listening"); }, 10s))
            << read_file(out);
    }

    bool sessions() const { return GetParam(); }

    std::vector<std::string> sync_argv(std::vector<std::string> rest) {
        if (rest[0] == "drain" && !sessions()) rest.insert(rest.begin(), "--single");
        rest.insert(rest.begin(), {testutil::bin_path("sorvan-sync"), "-L", log_, "-a", "127.0.0.1", "-p", port_,
                                   "-k", kPassword});
        return rest;
    }
    testutil::RunResult sync(std::vector<std::string> rest) {
        return testutil::run(sync_argv(std::move(rest)), {"TESSARON_LOG=-"});
    }
    off_t log_size() {
        struct stat st;
        return stat(log_.c_str(), &st) == 0 ? st.st_size : 0;
    }
    static mode_t mode_of(const std::string &p) {
        struct stat st {};
        lstat(p.c_str(), &st);
        return st.st_mode;
    }

    TempDir t_;
    std::string port_, log_, agent_log_;
    std::unique_ptr<Proc> agent_;
    int starts_ = 0;
};

}  // namespace

// A link at the destination is replaced by a regular file with the mode
// and owner of the source; what it pointed to stays as it was. A file that
// exists takes the source's mode and owner too.
TEST_P(Replication, SentFilesTakeTheSourcesModeAndOwner) {
    write_file(t_ / "outside", "not to be touched");
    chmod((t_ / "outside").c_str(), 0600);
    fs::create_symlink(t_ / "outside", t_ / "dst/link");
    write_file(t_ / "src", "the source");
    chmod((t_ / "src").c_str(), 0640);
    chown((t_ / "src").c_str(), 1234, 5678);
    write_file(t_ / "dst/old", "old content");
    chmod((t_ / "dst/old").c_str(), 0600);
    write_file(t_ / "wide", "a 0644 file");
    chmod((t_ / "wide").c_str(), 0644);
    // The source itself a link: its target's mode goes, never 0777.
    fs::create_symlink(t_ / "src", t_ / "src-link");

    ASSERT_EQ(sync({"put", t_ / "src", t_ / "dst/link"}).status, 0);
    ASSERT_EQ(sync({"put", t_ / "wide", t_ / "dst/old"}).status, 0);
    ASSERT_EQ(sync({"put", t_ / "src-link", t_ / "dst/via-link"}).status, 0);
    auto d = sync({"drain"});
    ASSERT_EQ(d.status, 0) << d.err;

    EXPECT_TRUE(testutil::wait_until([&] { return read_file(t_ / "dst/via-link") == "the source"; }, 10s));
    EXPECT_TRUE(S_ISREG(mode_of(t_ / "dst/link")));
    EXPECT_EQ(mode_of(t_ / "dst/link") & 07777, 0640u);
    EXPECT_EQ(read_file(t_ / "dst/link"), "the source");
    struct stat st;
    ASSERT_EQ(stat((t_ / "dst/link").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(read_file(t_ / "outside"), "not to be touched");
    EXPECT_EQ(mode_of(t_ / "outside") & 07777, 0600u);
    EXPECT_EQ(mode_of(t_ / "dst/old") & 07777, 0644u);
    EXPECT_EQ(read_file(t_ / "dst/old"), "a 0644 file");
    EXPECT_EQ(mode_of(t_ / "dst/via-link") & 07777, 0640u);
    EXPECT_EQ(temporaries(t_ / "dst"), 0);
}

// A destination that cannot be replaced (a mount point: the rename fails)
// leaves no temporary file behind, and says why in the agent's log.
TEST_P(Replication, FailedRenameLeavesNoTemporaryFile) {
    write_file(t_ / "dst/pinned", "pinned");
    write_file(t_ / "other", "bound over the destination");
    ASSERT_EQ(mount((t_ / "other").c_str(), (t_ / "dst/pinned").c_str(), nullptr, MS_BIND, nullptr), 0);
    write_file(t_ / "big", noise(3u << 20, 7));
    ASSERT_EQ(sync({"put", t_ / "big", t_ / "dst/pinned"}).status, 0);
    auto d = sync({"drain"});
    EXPECT_TRUE(testutil::wait_until([&] { return contains(read_file(agent_log_), "receive '"); }, 10s));
    EXPECT_TRUE(contains(read_file(agent_log_), "Device or resource busy")) << read_file(agent_log_);
    EXPECT_EQ(temporaries(t_ / "dst"), 0);
    umount((t_ / "dst/pinned").c_str());
    EXPECT_EQ(read_file(t_ / "dst/pinned"), "pinned");
    if (sessions()) {
        // The requester learns of it: the operation is not reported done.
        EXPECT_EQ(d.status, 1) << d.out;
        EXPECT_TRUE(contains(d.err, "Device or resource busy")) << d.err;
    }
}

// A descriptor change for a path that is gone names that cause, as a
// warning, not a missing descriptor.
TEST_P(Replication, AttributesOfAVanishedPathLogTheCause) {
    ASSERT_TRUE(req_cipher_init(nullptr));   // as the agent enciphers
    FileRecord rec{};
    std::snprintf(rec.path, sizeof rec.path, "%s", (t_ / "dst/never-there").c_str());
    rec.attributes = 0x20;
    ASSERT_EQ(req_change_attribute(htonl(0x7F000001), std::stoi(port_), 2000000, kPassword, &rec), 0);
    ASSERT_TRUE(testutil::wait_until([&] { return contains(read_file(agent_log_), "never-there"); }, 10s));
    std::string log = read_file(agent_log_);
    EXPECT_TRUE(contains(log, "<4>")) << log;
    EXPECT_TRUE(contains(log, "never-there': No such file or directory")) << log;
    EXPECT_FALSE(contains(log, "no descriptor came")) << log;
}

INSTANTIATE_TEST_SUITE_P(Both, Replication, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Sessions" : "OnePerRequest"; });

class Sessions : public Replication {};

// A full disk at the agent: every operation that did not land stays
// queued, drain says so and exits 1; what landed is whole; once there is
// room again the next drain finishes the work.
TEST_P(Sessions, FullDiskKeepsTheOperationsThatFailed) {
    const std::string small = testutil::scratch_tmpfs("size=2m");
    ASSERT_FALSE(small.empty());
    agent_->stop(SIGTERM);
    agent_log_ = t_ / "agent-full.log";
    std::vector<std::string> argv{testutil::bin_path("sorvan-agent"), "-p", port_, "-l", "127.0.0.1", "-k",
                                  kPassword, "-r", small};
    agent_ = std::make_unique<Proc>(argv, std::vector<std::string>{"TESSARON_LOG=" + agent_log_}, t_ / "full.out");
    ASSERT_TRUE(testutil::wait_until([&] { return contains(read_file(t_ / "full.out"), "listening"); }, 10s));

    fs::create_directories(t_ / "many");
    for (int i = 0; i < 30; ++i) write_file(t_ / ("many/f" + std::to_string(i)), noise(100000, unsigned(i)));
    ASSERT_EQ(sync({"put", t_ / "many", small + "/copy"}).status, 0);
    auto d = sync({"drain"});
    EXPECT_EQ(d.status, 1) << d.out;
    EXPECT_TRUE(contains(d.err, "No space left on device")) << d.err;
    EXPECT_TRUE(contains(d.out, "kept queued")) << d.out;
    int arrived = 0;
    for (int i = 0; i < 30; ++i) {
        std::string got = small + "/copy/f" + std::to_string(i);
        if (!fs::exists(got)) continue;
        ++arrived;
        EXPECT_EQ(read_file(got), noise(100000, unsigned(i))) << got;
    }
    EXPECT_LT(arrived, 30);
    EXPECT_EQ(log_size(), off_t((30 - arrived) * sizeof(TlogRecord)));
    EXPECT_EQ(temporaries(small), 0);

    // Room again: the kept operations go out.
    for (int i = 0; i < 30; ++i) fs::remove(small + "/copy/f" + std::to_string(i));
    auto again = sync({"drain"});
    // Those removed by hand are not sent again; the kept ones all arrive.
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(log_size(), 0);
    int now = 0;
    for (int i = 0; i < 30; ++i) now += fs::exists(small + "/copy/f" + std::to_string(i));
    EXPECT_EQ(now, 30 - arrived);
}

// An agent without sessions resets the request that opens one: every
// operation then goes the old way, one request each.
TEST_P(Sessions, AnAgentWithoutSessionsGetsEveryFileTheOldWay) {
    agent_->stop(SIGTERM);
    start_agent({"-S", "0"});
    fs::create_directories(t_ / "tree/sub");
    for (int i = 0; i < 40; ++i) write_file(t_ / ("tree/sub/f" + std::to_string(i)), "file " + std::to_string(i));
    ASSERT_EQ(sync({"put", t_ / "tree", t_ / "dst/tree"}).status, 0);
    auto d = sync({"drain"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_TRUE(testutil::wait_until([&] {
        for (int i = 0; i < 40; ++i)
            if (read_file(t_ / ("dst/tree/sub/f" + std::to_string(i))) != "file " + std::to_string(i)) return false;
        return true;
    }, 10s));
    EXPECT_TRUE(contains(read_file(agent_log_), "Unknown request?")) << read_file(agent_log_);
    EXPECT_EQ(log_size(), 0);
}

// An agent serving as many sessions as it allows answers busy: the other
// workers send their operations one request each, and all arrive.
TEST_P(Sessions, ABusyAgentStillGetsEveryFile) {
    agent_->stop(SIGTERM);
    start_agent({"-S", "1"});
    fs::create_directories(t_ / "tree");
    for (int i = 0; i < 200; ++i) write_file(t_ / ("tree/f" + std::to_string(i)), noise(900 + i, unsigned(i)));
    ASSERT_EQ(sync({"put", t_ / "tree", t_ / "dst/tree"}).status, 0);
    auto d = sync({"-j", "4", "drain"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(log_size(), 0);
    EXPECT_TRUE(testutil::wait_until([&] {
        for (int i = 0; i < 200; ++i)
            if (read_file(t_ / ("dst/tree/f" + std::to_string(i))) != noise(900 + i, unsigned(i))) return false;
        return true;
    }, 10s));
}

// kill -9 of the agent, then of drain, in the middle of a batch: every
// file at the destination is the old one or the new one, whole, and the
// next drain finishes.
TEST_P(Sessions, KilledPeersLeaveEveryFileOldOrNew) {
    fs::create_directories(t_ / "src");
    fs::create_directories(t_ / "dst/copy");
    const int n = 600;
    auto name = [](int i) { return "f" + std::to_string(i); };
    auto fresh = [&](int i) { return noise(i % 50 == 0 ? 400000 : 700 + i, unsigned(i)); };
    for (int i = 0; i < n; ++i) {
        write_file(t_ / ("src/" + name(i)), fresh(i));
        write_file(t_ / ("dst/copy/" + name(i)), "old " + std::to_string(i));
    }
    auto whole = [&](bool all_new) {
        for (int i = 0; i < n; ++i) {
            std::string got = read_file(t_ / ("dst/copy/" + name(i)));
            bool is_new = got == fresh(i), is_old = got == "old " + std::to_string(i);
            if (all_new ? !is_new : !(is_new || is_old)) {
                ADD_FAILURE() << name(i) << " is neither old nor new (" << got.size() << " bytes)";
                return false;
            }
        }
        return temporaries(t_ / "dst") == 0 || !all_new;
    };
    auto arrived = [&] {
        int k = 0;
        for (int i = 0; i < n; i += 7) k += read_file(t_ / ("dst/copy/" + name(i))) == fresh(i);
        return k;
    };
    ASSERT_EQ(sync({"put", t_ / "src", t_ / "dst/copy"}).status, 0);
    {
        Proc drain(sync_argv({"drain"}), {"TESSARON_LOG=-"}, t_ / "drain1.out");
        ASSERT_TRUE(testutil::wait_until([&] { return arrived() >= 10; }, 60s));
        agent_->stop(SIGKILL);
        EXPECT_TRUE(whole(false));
        start_agent();   // the drain still running carries on
        ASSERT_TRUE(testutil::wait_until([&] { return arrived() >= 40; }, 60s));
        drain.stop(SIGKILL);
    }
    EXPECT_TRUE(whole(false));
    off_t left = log_size();
    EXPECT_EQ(left % off_t(sizeof(TlogRecord)), 0);
    auto d = sync({"drain"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(log_size(), 0);
    EXPECT_TRUE(whole(true));
}

// Operations sent ahead of their outcomes: one the agent refuses in the
// middle of a window is given up alone; the others before and after it
// land, and their records leave the log.
TEST_P(Sessions, ARefusedOperationInAWindowLeavesTheOthersDone) {
    fs::create_directories(t_ / "a");
    fs::create_directories(t_ / "b");
    for (int i = 0; i < 150; ++i) {
        write_file(t_ / ("a/f" + std::to_string(i)), noise(600 + i, unsigned(i)));
        write_file(t_ / ("b/f" + std::to_string(i)), noise(700 + i, unsigned(i + 1000)));
    }
    write_file(t_ / "lone", "outside the roots");
    ASSERT_EQ(sync({"put", t_ / "a", t_ / "dst/a"}).status, 0);
    ASSERT_EQ(sync({"put", t_ / "lone", t_ / "outside/lone"}).status, 0);
    ASSERT_EQ(sync({"put", t_ / "b", t_ / "dst/b"}).status, 0);
    auto d = sync({"-j", "64", "drain"});
    EXPECT_EQ(d.status, 1) << d.out;
    EXPECT_TRUE(contains(d.out, "1 given up")) << d.out;
    EXPECT_FALSE(fs::exists(t_ / "outside/lone"));
    for (int i = 0; i < 150; ++i) {
        EXPECT_EQ(read_file(t_ / ("dst/a/f" + std::to_string(i))), noise(600 + i, unsigned(i))) << i;
        EXPECT_EQ(read_file(t_ / ("dst/b/f" + std::to_string(i))), noise(700 + i, unsigned(i + 1000))) << i;
    }
    EXPECT_EQ(log_size(), 0);
    EXPECT_EQ(temporaries(t_ / "dst"), 0);
}

INSTANTIATE_TEST_SUITE_P(On, Sessions, ::testing::Values(true),
                         [](const auto &) { return std::string("Sessions"); });
