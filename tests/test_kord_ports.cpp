// Port files and port probes: which file wins, how its line is split, and
// what a probe does to the port records against real loopback listeners.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <thread>

#include "master/kord.h"
#include "master/ports.h"
#include "port/paths.h"
#include "tests/support/testutil.h"

using namespace kord;
const uint32_t kLoop = htonl(INADDR_LOOPBACK);

namespace {

const std::string &root() { return testutil::process_root({"ports"}); }

struct PortFiles : ::testing::Test {
    GroupRecord *g = new GroupRecord{};
    NodeRecord *s = &g->slot[0];
    void SetUp() override {
        system(("rm -f " + root() + "/ports/*").c_str());
        strcpy(g->name, "web");
        strcpy(g->domain, "demo.test");
        g->retries = 2;
        g->timeout_us = 300000;
        g->alert_interval_min = 60;
        strcpy(s->name, "n1");
    }
    void TearDown() override { delete g; }
    void port_file(const std::string &name, const std::string &text) {
        testutil::write_file(root() + "/ports/" + name, text);
    }
};

struct Listener {
    uint16_t port = 0;
    int fd = testutil::loopback_socket(&port);
    ~Listener() { close(fd); }
};

}  // namespace

TEST_F(PortFiles, NodeFileWinsOverGroupFileOverFallback) {
    EXPECT_EQ(read_port_file(g, s), 1);  // none: fields kept
    port_file("fallback.cfg", "3\n");
    port_file("web.demo.test.cfg", "2\n");
    port_file("n1.web.demo.test.cfg", "1\n");
    for (const char *next : {"n1.web.demo.test.cfg", "web.demo.test.cfg", "fallback.cfg"}) {
        EXPECT_EQ(read_port_file(g, s), 0);
        EXPECT_EQ(s->port, next[0] == 'n' ? 1 : next[0] == 'w' ? 2 : 3);
        unlink((root() + "/ports/" + next).c_str());
    }
}

TEST_F(PortFiles, LineSplitting) {
    struct Case {
        const char *text;
        uint16_t port;
        const char *label;  // compared over the 8-byte field
        const char *mail;
    } cases[] = {
        {"80/www/ops@x.test\n", 80, "www", "ops@x.test"},
        {"/8080//label\n", 8080, "label", ""},                 // empty fields dropped
        {"# c\r\n\r\n  indented/x\n443/a/b/c/d\r\n", 443, "a", "b"},  // skipped lines, CRLF
        {"65617/x\n", 81, "x", ""},                              // low 16 bits
        {"9/abcdefghij/m\n", 9, "abcdefgh", "m"},               // label fills the field
        {"25", 25, "", ""},                                      // no line end
    };
    for (const Case &c : cases) {
        strcpy(s->port_label, "old");
        strcpy(s->port_mail, "old@x");
        port_file("fallback.cfg", c.text);
        ASSERT_EQ(read_port_file(g, s), 0) << c.text;
        EXPECT_EQ(s->port, c.port) << c.text;
        EXPECT_EQ(std::string(s->port_label, strnlen(s->port_label, 8)), c.label) << c.text;
        EXPECT_STREQ(s->port_mail, c.mail) << c.text;
    }
    // A mail field longer than its slot stays terminated.
    port_file("fallback.cfg", "1/l/" + std::string(100, 'm') + "\n");
    read_port_file(g, s);
    EXPECT_EQ(strlen(s->port_mail), sizeof s->port_mail - 1);
}

TEST_F(PortFiles, ReadAgainOnlyWhenChanged) {
    port_file("fallback.cfg", "1/a\n");
    EXPECT_EQ(read_port_file_cached(g, s), 0);
    EXPECT_EQ(s->port, 1);
    port_file("fallback.cfg", "2/a\n");   // at once: same size and inode, maybe the same time stamp
    read_port_file_cached(g, s);
    EXPECT_EQ(s->port, 2);

    // Once its last change lies well back, an unchanged file is not read again.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    read_port_file_cached(g, s);
    const uint32_t reads = port_file_reads();
    read_port_file_cached(g, s);
    EXPECT_EQ(port_file_reads(), reads);
    EXPECT_EQ(s->port, 2);
    port_file("fallback.cfg", "3/a\n");
    read_port_file_cached(g, s);
    EXPECT_EQ(s->port, 3);
    // A more specific file that appears wins at once, and when it goes the
    // fallback counts again.
    port_file("n1.web.demo.test.cfg", "5/a\n");
    read_port_file_cached(g, s);
    EXPECT_EQ(s->port, 5);
    unlink((root() + "/ports/n1.web.demo.test.cfg").c_str());
    read_port_file_cached(g, s);
    EXPECT_EQ(s->port, 3);
    unlink((root() + "/ports/fallback.cfg").c_str());
    EXPECT_EQ(read_port_file_cached(g, s), 1);

    // With no file at all and the directory long unchanged, a file that
    // then appears is still found on the next pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(read_port_file_cached(g, s), 1);
    EXPECT_EQ(read_port_file_cached(g, s), 1);
    port_file("web.demo.test.cfg", "7/a\n");
    EXPECT_EQ(read_port_file_cached(g, s), 0);
    EXPECT_EQ(s->port, 7);
}

TEST_F(PortFiles, ProbeOutcomes) {
    // No port file: nothing changes.
    EXPECT_EQ(probe_port(kLoop, g, s), -3);
    EXPECT_EQ(s->port_status.state, 0u);

    // Port 0: no connection, the status stays as it was.
    port_file("fallback.cfg", "# none\n");
    s->port_status.state = kStateFailing;
    EXPECT_EQ(probe_port(kLoop, g, s), 0);
    EXPECT_EQ(s->port_status.state, kStateFailing);

    Listener l;
    ASSERT_NE(l.port, 0);
    port_file("fallback.cfg", std::to_string(l.port) + "/up\n");
    EXPECT_EQ(probe_port(kLoop, g, s), 0);
    EXPECT_EQ(s->port_status.state, kStateUp);
    EXPECT_EQ(s->port_summary.state, kStateUp);

    // Refused: one failure in both records; down on the third (retries 2).
    // Neither address has an at sign, so the alert is latched but not mailed.
    uint16_t refused = 0;
    int cfd = testutil::loopback_socket(&refused, SOCK_STREAM, false);
    port_file("fallback.cfg", std::to_string(refused) + "/down/nobody\n");
    probe_port(kLoop, g, s);
    EXPECT_EQ(s->port_summary.failures, 1u);
    probe_port(kLoop, g, s);
    EXPECT_NE(s->port_status.state, kStateDown);
    probe_port(kLoop, g, s);
    EXPECT_EQ(s->port_status.state, kStateDown);
    EXPECT_EQ(s->port_summary.state, kStateDown);
    EXPECT_EQ(s->port_status.alert_flags, 0u);  // no recipient: no alert raised
    close(cfd);
}

// kord raises its descriptor limit: a probe's socket may be numbered far
// above what select() can take. Run under AddressSanitizer as well.
TEST_F(PortFiles, ProbeWithSocketAbove1023) {
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_max < 2048) GTEST_SKIP() << "descriptor limit " << rl.rlim_max;
    struct rlimit raised = {2048, rl.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    Listener l;
    uint16_t refused = 0;
    int cfd = testutil::loopback_socket(&refused, SOCK_STREAM, false);
    std::vector<int> held;   // the low numbers, taken
    for (int fd = dup(0); fd >= 0 && fd < 1100; fd = dup(0)) held.push_back(fd);
    ASSERT_GE(held.size(), 1000u);

    port_file("fallback.cfg", std::to_string(l.port) + "/open\n");
    EXPECT_EQ(probe_port(kLoop, g, s), 0);
    EXPECT_EQ(s->port_status.state, kStateUp);
    port_file("fallback.cfg", std::to_string(refused) + "/closed\n");
    for (int i = 0; i < 3; i++) probe_port(kLoop, g, s);
    EXPECT_EQ(s->port_status.state, kStateDown);

    int probe = socket(AF_INET, SOCK_STREAM, 0);   // what the probe got too
    EXPECT_GT(probe, 1023);
    close(probe);
    for (int fd : held) close(fd);
    close(cfd);
    setrlimit(RLIMIT_NOFILE, &rl);
}
