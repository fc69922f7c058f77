// Porting layer and install paths.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "port/paths.h"
#include "port/varro.h"
#include "tests/support/testutil.h"

namespace {

// Runs fn in a child process so process-wide state (paths, log) starts fresh.
int in_child(const std::function<int()> &fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 100;
}

int g_raised = 0;
std::thread::id g_raised_on;
void on_eight(int sig) {
    g_raised = sig;
    g_raised_on = std::this_thread::get_id();
}

std::vector<int> g_order;
void record(evContext *, void *uap, const void *) { g_order.push_back(*static_cast<int *>(uap)); }
int g_second = 2;
void reregister(evContext *ctx, void *uap, const void *tag) {
    record(ctx, uap, tag);
    evWaitFor(ctx, nullptr, record, &g_second);  // next wait, released later
}

}  // namespace

TEST(PortIo, NreadCollectsSplitWritesAndStopsAtEnd) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::thread writer([&] {
        const char *parts[] = {"ab", "cde", "fgh"};
        for (auto p : parts) {
            ASSERT_EQ(nwrite(sv[1], p, static_cast<int>(strlen(p))), static_cast<int>(strlen(p)));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(sv[1]);
    });
    char buf[16] = {};
    EXPECT_EQ(nread(sv[0], buf, 6), 6);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    // Only two bytes remain: the count is short, then the end reads as 0.
    EXPECT_EQ(nread(sv[0], buf, 8), 2);
    EXPECT_EQ(nread(sv[0], buf, 8), 0);
    writer.join();
    close(sv[0]);
}

TEST(PortIo, NonblockAndConnectNbLeaveBlockingSockets) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int mode = nonblock(sv[0]);
    ASSERT_GE(mode, 0);
    char c;
    EXPECT_EQ(read(sv[0], &c, 1), -1);
    block(sv[0], mode);
    EXPECT_EQ(fcntl(sv[0], F_GETFL) & O_NONBLOCK, 0);
    close(sv[0]);
    close(sv[1]);

    uint16_t port = 0;
    int l = testutil::loopback_socket(&port);
    int s = connect_nb(htonl(INADDR_LOOPBACK), port, 500000);
    ASSERT_GE(s, 0);
    EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0) << "connected socket is blocking again";
    close(s);
    close(l);
    EXPECT_LT(connect_nb(htonl(INADDR_LOOPBACK), port, 500000), 0);   // refused now
}

TEST(PortFiles, MkdirsCreatesParentsAndRefusesFiles) {
    testutil::TempDir dir;
    std::string deep = dir / "a/b/c";
    EXPECT_EQ(mkdirs(deep.c_str()), 0);
    EXPECT_EQ(mkdirs(deep.c_str()), 0) << "existing directory is fine";
    testutil::write_file(dir / "file", "x");
    EXPECT_LT(mkdirs((dir / "file/sub").c_str()), 0);
}

TEST(PortSignals, SigraiseRunsHandlerInRaisingThread) {
    EXPECT_EQ(sigraise(9), -1) << "no handler installed";
    ASSERT_EQ(set_signal_handler(8, on_eight), 0);
    std::thread t([] { EXPECT_EQ(sigraise(8), 0); });
    std::thread::id raiser = t.get_id();
    t.join();
    EXPECT_EQ(g_raised, 8);
    EXPECT_EQ(g_raised_on, raiser);
}

TEST(PortEvents, WaitRunsOnlyAfterReleaseAndLoopReturns) {
    evContext *g_ctx = evCreate();
    ASSERT_NE(g_ctx, nullptr);
    int one = 1, other = 9;
    ASSERT_EQ(evWaitFor(g_ctx, nullptr, reregister, &one), 0);
    ASSERT_EQ(evWaitFor(g_ctx, &other, record, &other), 0);
    EXPECT_EQ(evMainLoop(g_ctx), 0);
    EXPECT_TRUE(g_order.empty()) << "nothing released yet";
    evDo(g_ctx, nullptr);
    EXPECT_EQ(evMainLoop(g_ctx), 0);
    ASSERT_EQ(g_order, std::vector<int>({1})) << "the wait on another tag stays";
    // The wait registered by the handler runs only after the next release.
    EXPECT_EQ(evMainLoop(g_ctx), 0);
    EXPECT_EQ(g_order.size(), 1u);
    evDo(g_ctx, nullptr);
    evMainLoop(g_ctx);
    EXPECT_EQ(g_order, std::vector<int>({1, 2}));
    evDestroy(g_ctx);
}

TEST(PortPaths, DefaultsFollowRootItemsOverrideLogMirrorsEachMessage) {
    testutil::TempDir dir;
    std::string log = dir / "log";
    int rc = in_child([&] {
        setenv("TESSARON_LOG", log.c_str(), 1);
        setenv("TESSARON_ROOT", "/srv/tess/", 1);
        setenv("TESSARON_PATH_7", "/etc/tessaron/groups", 1);
        unsetenv("TESSARON_PATH_2");
        unsetenv("TESSARON_PATH_3");
        unsetenv("TESSARON_PATH_8");
        init_path("gpfile", "Software\\Kelvane\\Tessaron\\kord");
        port_openlog("Test Ident", 0, 0);
        port_syslog(LOG_ALERT, "hello %d\n", 42);
        port_message_box("Notice", "boxed");
        if (std::string(path_item(2)) != "/srv/tess") return 1;   // trailing slash dropped
        if (std::string(path_item(7)) != "/etc/tessaron/groups") return 3;
        if (std::string(path_item(8)) != "/srv/tess/data/map.data") return 4;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    std::string text = testutil::read_file(log);
    EXPECT_NE(text.find("Test Ident["), std::string::npos);
    EXPECT_NE(text.find("<1> hello 42\n"), std::string::npos) << text;   // one newline, not two
    EXPECT_NE(text.find("<1> Notice: boxed\n"), std::string::npos) << text;
    rc = in_child([] {
        unsetenv("TESSARON_ROOT");
        unsetenv("TESSARON_PATH_2");
        return std::string(path_item(2)) == "/opt/tessaron" ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
}

TEST(PortTestHarness, EachTestHasAPrivateNetworkWhenRoot) {
    if (!testutil::is_root()) GTEST_SKIP() << "needs root";
    EXPECT_TRUE(testutil::in_private_netns());
}
