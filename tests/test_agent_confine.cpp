// What an authenticated peer may change through a running sorvan-agent,
// inside and outside its roots, through ".." and links. Every case runs in
// a chroot on a tmpfs of a private mount namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "port/varro.h"
#include "tests/support/scratch.h"
#include "util/sorvan.h"
#include "util/sys/secdesc.h"
#include "tests/support/testutil.h"
#include "util/net/request.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testutil::read_file;
using testutil::write_file;

namespace {

const char *kPw = "a long password for the confinement tests";

// A sorvan-agent on 127.0.0.1 inside the scratch root, with a log of its own.
struct Agent {
    std::unique_ptr<testutil::Proc> proc;
    int port = 0;
    std::string log;
    explicit Agent(const std::vector<std::string> &args, std::vector<std::string> env = {}) {
        static int n = 0;
        log = "/agent" + std::to_string(++n) + ".log";
        std::vector<std::string> argv = {testutil::bin_path("sorvan-agent"), "-p", "0", "-l", "127.0.0.1", "-k", kPw};
        argv.insert(argv.end(), args.begin(), args.end());
        env.push_back("TESSARON_LOG=" + log);
        env.push_back("LD_LIBRARY_PATH=" TESSARON_LIB_DIR);   // no /proc here to find $ORIGIN with
        proc = std::make_unique<testutil::Proc>(argv, env, log + ".out");
        std::string out;
        bool up = testutil::wait_until(
            [&] { return (out = read_file(log + ".out")).find("listening on 127.0.0.1:") != std::string::npos; }, 10s);
        EXPECT_TRUE(up) << out;
        if (up) port = std::stoi(out.substr(out.find("127.0.0.1:") + 10));
        else proc->stop(9);
    }
    bool logged(const std::string &needle, int times = 1) const {
        return testutil::wait_until([&] {
            std::string s = read_file(log);
            int k = 0;
            for (size_t p = 0; (p = s.find(needle, p)) != std::string::npos; ++p) ++k;
            return k >= times;
        }, 10s);
    }
};

FileRecord record(const std::string &path, const std::string &path2 = "", uint64_t size = 0, uint32_t attrs = 0) {
    FileRecord r{};
    std::snprintf(r.path, sizeof r.path, "%s", path.c_str());
    std::snprintf(r.path2, sizeof r.path2, "%s", path2.c_str());
    r.size = size, r.attributes = attrs;
    return r;
}

uint32_t lo() { return htonl(INADDR_LOOPBACK); }

// Runs each request in a child of its own, all at once, and waits for all
// of them: a requester retries an agent it cannot reach for ever, so one
// still running after a minute is killed and fails the test.
void run_bounded(const std::vector<std::function<void()>> &requests) {
    std::vector<pid_t> kids;
    for (const auto &r : requests) {
        pid_t pid = fork();
        if (pid == 0) {
            r();
            _exit(0);
        }
        EXPECT_GT(pid, 0);
        if (pid > 0) kids.push_back(pid);
    }
    auto deadline = std::chrono::steady_clock::now() + 60s;
    for (pid_t pid : kids) {
        int status;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "a request still retried after 60 s";
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            usleep(10000);
        }
    }
}

// One file operation, or several at once (a refusal takes three resets
// and their pauses, about 1.5 s).
using Op = int32_t (*)(uint32_t, int, int32_t, const char *, FileRecord *);
std::function<void()> request(const Agent &a, Op req, FileRecord r) {
    int port = a.port;
    return [port, req, r]() mutable {
        if (port) req(lo(), port, 1000000, kPw, &r);
    };
}
void op(const Agent &a, Op req, FileRecord r) { run_bounded({request(a, req, r)}); }
void remove(const Agent &a, const std::string &path) { op(a, req_remove, record(path)); }
void rename(const Agent &a, const std::string &from, const std::string &to) { op(a, req_rename, record(from, to)); }
void mkdir(const Agent &a, const std::string &path) { op(a, req_mkdir, record(path, "/tmp")); }
void attributes(const Agent &a, const std::string &path, uint32_t attrs) {
    op(a, req_change_attribute, record(path, "", 0, attrs));
}
// Sends the local file `src` to `dest` on the agent.
void put(const Agent &a, const std::string &src, const std::string &dest) {
    auto r = record(src, dest);
    int s = a.port ? send_file(lo(), a.port, 1000000, kPw, "Q4", &r, 0) : -1;
    if (s > 0) close(s);
}

// Header, record and descriptor of a transfer, written by hand; the
// connection, for the content that follows.
int transfer_request(const Agent &a, const FileRecord &rec) {
    int s = connect_nb(lo(), a.port, 1000000);
    RequestHeader h{};
    h.version = REQ_VERSION;
    h.kind = REQ_SEND_FILE;
    sorvan::derive_key(kPw, "Q4", h.key);
    unsigned char wire[20];
    sorvan::encode_header(h, wire);
    uint32_t len = 0;
    auto *sd = static_cast<unsigned char *>(get_NT_SD("/tmp", &len));
    sorvan::sd::control_to_transit(sd);
    xwrite(s, wire, 20);
    xwrite(s, &rec, sizeof rec);
    xwrite(s, sd, len);
    std::free(sd);
    return s;
}

std::string noise(size_t n) {
    std::mt19937 rng(7);
    std::string s(n, 0);
    for (auto &c : s) c = char(rng());
    return s;
}

std::vector<std::string> names(const std::string &dir) {
    std::vector<std::string> v;
    for (const auto &e : fs::directory_iterator(dir)) v.push_back(e.path().filename());
    std::sort(v.begin(), v.end());
    return v;
}

class AgentConfinement : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testutil::is_root()) GTEST_SKIP() << "needs root for a private mount namespace";
        ASSERT_TRUE(testutil::enter_scratch_root());
    }
};

}  // namespace

// No root given: the agent warns, serves unconfined, and still never
// removes the root, a directory directly below it, a mount point or a
// system directory, resolved on this merged-/usr tree (/lib -> usr/lib).
TEST_F(AgentConfinement, SystemPathsAreNeverRemovedWhateverTheRoots) {
    for (const char *d : {"/srv", "/keep", "/data/mnt", "/data/gone/sub", "/data/in", "/tmp/x"}) fs::create_directories(d);
    ASSERT_EQ(mount("tmpfs", "/srv", "tmpfs", 0, "size=1m"), 0);
    ASSERT_EQ(mount("tmpfs", "/data/mnt", "tmpfs", 0, "size=1m"), 0);
    for (const char *f : {"/srv/canary", "/keep/canary", "/usr/lib/canary", "/data/mnt/canary", "/data/file"})
        write_file(f, "alive");
    write_file("/data/in/x.sorvan~AAAAAA", "left over");

    Agent a({});
    ASSERT_GT(a.port, 0);
    EXPECT_TRUE(a.logged("file operations are not confined"));
    const std::vector<std::string> removes = {
        "/", "/tmp/x/../../", "/srv", "/srv/", "/tmp/x/../../srv/.", "/keep", "/data",
        "/lib/", "/lib", "/lib/../lib/", "/usr/lib", "/usr/lib/", "/us", "/data/mnt", "/data/mnt/"};
    std::vector<std::function<void()>> refused;
    for (const auto &p : removes) refused.push_back(request(a, req_remove, record(p)));
    refused.push_back(request(a, req_rename, record("/keep", "/data/keep")));   // a rename's source is checked like a remove
    refused.push_back(request(a, req_rename, record("/data/file", "/srv")));    // and so is what it would replace
    refused.push_back(request(a, req_rename, record("/data/file", "/lib")));
    run_bounded(refused);
    EXPECT_TRUE(a.logged("prohibited!", int(removes.size()) + 3)) << read_file(a.log);
    EXPECT_TRUE(a.logged("delete path '/lib/' contains windows directory, prohibited!"));
    EXPECT_TRUE(a.logged("delete path '/srv' is the root or a directory directly below it, prohibited!"));
    EXPECT_TRUE(a.logged("delete path '/data/mnt/' is a mount point, prohibited!"));

    for (const char *f : {"/srv/canary", "/keep/canary", "/usr/lib/canary", "/data/mnt/canary", "/data/file"})
        EXPECT_EQ(read_file(f), "alive") << f;
    EXPECT_TRUE(fs::is_symlink("/lib"));
    EXPECT_TRUE(fs::exists("/usr/lib/x86_64-linux-gnu"));

    remove(a, "/data/gone");   // anything else goes, as asked
    remove(a, "/tmp/x/");
    EXPECT_TRUE(testutil::wait_until([] { return !fs::exists("/data/gone") && !fs::exists("/tmp/x"); }, 10s));
    EXPECT_TRUE(fs::exists("/data/in/x.sorvan~AAAAAA"));   // without roots nothing is swept
}

// Roots from -r and the environment: every operation outside them, through ".."
// or a link, is refused and changes nothing; inside them all works.
TEST_F(AgentConfinement, OperationsStayBelowTheRoots) {
    for (const char *d : {"/data/in", "/data/also", "/data/out"}) fs::create_directories(d);
    write_file("/data/out/canary", "outside");
    chmod("/data/out/canary", 0644);
    write_file("/data/in/file", "inside");
    fs::create_directory_symlink("/data/out", "/data/in/link");
    write_file("/tmp/src", "replicated content");

    Agent a({"-r", "/data/in"}, {"TESSARON_AGENT_ROOTS=/data/also:"});
    ASSERT_GT(a.port, 0);
    EXPECT_TRUE(a.logged("file operations confined to /data/in, /data/also"));
    remove(a, "/data/in/../out/canary");
    remove(a, "/data/in/link/canary");
    remove(a, "/data/in");                      // a root itself
    rename(a, "/data/out/canary", "/data/in/stolen");
    rename(a, "/data/in/file", "/data/in/link/file");
    put(a, "/tmp/src", "/data/in/link/new");
    put(a, "/tmp/src", "/data/in/../out/new");
    mkdir(a, "/data/in/link/newdir");
    mkdir(a, "/data/in/../out/newdir");
    attributes(a, "/data/in/link/canary", 0x1);
    EXPECT_TRUE(a.logged("is not below a served root, refused!", 10)) << read_file(a.log);
    EXPECT_TRUE(a.logged("write path '/data/in/link/new' (resolved '/data/out/new') is not below a served root"));
    EXPECT_EQ(names("/data/out"), std::vector<std::string>{"canary"});
    EXPECT_EQ(read_file("/data/out/canary"), "outside");
    struct stat st;
    ASSERT_EQ(stat("/data/out/canary", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(names("/data/in"), (std::vector<std::string>{"file", "link"}));

    put(a, "/tmp/src", "/data/in/sub/new.txt");
    put(a, "/tmp/src", "/data/also/x");
    mkdir(a, "/data/in/a/b");
    ASSERT_TRUE(testutil::wait_until(
        [] { return read_file("/data/in/sub/new.txt") == "replicated content" && fs::exists("/data/also/x") &&
                    fs::is_directory("/data/in/a/b"); },
        10s));
    rename(a, "/data/in/file", "/data/in/a/moved");
    ASSERT_TRUE(testutil::wait_until([] { return read_file("/data/in/a/moved") == "inside"; }, 10s));
    attributes(a, "/data/in/a/moved", 0x21);
    EXPECT_TRUE(testutil::wait_until(
        [&] { return stat("/data/in/a/moved", &st) == 0 && (st.st_mode & 0222) == 0; }, 10s));
    remove(a, "/data/in/link/");   // the link goes, never what it points to
    remove(a, "/data/in/a");
    EXPECT_TRUE(testutil::wait_until([] { return !fs::exists("/data/in/a") && !fs::is_symlink("/data/in/link"); }, 10s));
    EXPECT_EQ(read_file("/data/out/canary"), "outside");
}

// At start the agent removes the temporary files of transfers cut by its
// death, below its roots only, and none that a running transfer holds.
TEST_F(AgentConfinement, LeftoverTemporaryFilesAreSweptBelowTheRoots) {
    fs::create_directories("/data/in/sub");
    fs::create_directories("/data/out");
    for (const char *f : {"/data/in/sub/f.txt.sorvan~AbC123", "/data/in/held.sorvan~QQQQQQ", "/data/in/notes.sorvan~",
                          "/data/in/g.sorvan~ab", "/data/out/y.sorvan~ZZZZZZ"})
        write_file(f, "x");
    int held = open("/data/in/held.sorvan~QQQQQQ", O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    Agent a({"-r", "/data/in"});
    ASSERT_GT(a.port, 0);
    EXPECT_TRUE(a.logged("removed the leftover temporary file '/data/in/sub/f.txt.sorvan~AbC123'"));
    EXPECT_FALSE(fs::exists("/data/in/sub/f.txt.sorvan~AbC123"));
    for (const char *f : {"/data/in/held.sorvan~QQQQQQ", "/data/in/notes.sorvan~", "/data/in/g.sorvan~ab",
                          "/data/out/y.sorvan~ZZZZZZ"})
        EXPECT_TRUE(fs::exists(f)) << f;
    close(held);
}

// A reception that fails says so in the agent's log; a record never makes
// the agent write more than it announced, nor open a FIFO; a stop ends it
// at once whatever its workers are doing.
TEST_F(AgentConfinement, FailedReceptionsAreLoggedAndBounded) {
    fs::create_directories("/data/in/small");
    ASSERT_EQ(mount("tmpfs", "/data/in/small", "tmpfs", 0, "size=64k"), 0);
    write_file("/data/in/small/big", "old");
    write_file("/tmp/big", noise(300000));
    write_file("/tmp/empty", "");
    ASSERT_EQ(mkfifo("/data/in/fifo", 0644), 0);

    Agent a({"-r", "/data/in"});
    ASSERT_GT(a.port, 0);
    put(a, "/tmp/big", "/data/in/small/big");
    EXPECT_TRUE(a.logged("receive '/data/in/small/big' failed: No space left on device")) << read_file(a.log);
    EXPECT_EQ(read_file("/data/in/small/big"), "old");
    EXPECT_EQ(names("/data/in/small"), std::vector<std::string>{"big"});

    {   // A record announcing 5 bytes, followed by 100000.
        int s = transfer_request(a, record("/tmp/big", "/data/in/five", 5));
        std::string body = noise(100000);
        deflate_buf(body.data(), body.size(), s, 1);
        close(s);
        EXPECT_TRUE(a.logged("receive '/data/in/five' failed: more content than the 5 bytes announced"));
        EXPECT_EQ(names("/data/in"), (std::vector<std::string>{"fifo", "small"}));
    }

    put(a, "/tmp/empty", "/data/in/fifo");
    put(a, "/tmp/big", "/data/in/fifo");
    EXPECT_TRUE(a.logged("receive '/data/in/fifo' failed: the destination is not a regular file", 2));
    AgentStats st;
    int s = req_send(lo(), a.port, 1000000, kPw, "Q4", nullptr, REQ_LOAD, 0, 0, 0);
    ASSERT_GE(s, 0);
    EXPECT_EQ(nread(s, &st, sizeof st), 252);   // no worker is stuck
    close(s);

    // A transfer whose content stalls holds its worker; the stop does not
    // wait for it. A stop that did would wait out the 30 s a silent content
    // stream is given; the 3 s grace plus any load stays well below.
    int stalled = transfer_request(a, record("/tmp/big", "/data/in/stalled", 300000));
    usleep(300000);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(a.proc->stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 20s);
    close(stalled);
    EXPECT_TRUE(a.logged("sorvan-agent: stopped") || a.logged("still busy"));
}
