// kordstat against maps, heartbeat and lock written here, and a real kord.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "master/records.h"
#include "testutil.h"

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
             "kord_up 1", "kord_nodes{state=\"down\"} 1", "kord_node_state" + n1 + "} 1",
          "kord_node_agent_state" + n2 + "} 3", "kord_node_last_ping_ms" + n2 + "} -11",
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

// The response's head, up to the blank line.
std::string head_of(const std::string &r) { return r.substr(0, r.find("\r\n\r\n")); }
std::string body_of(const std::string &r) {
    size_t at = r.find("\r\n\r\n");
    return at == std::string::npos ? "" : r.substr(at + 4);
}
// "heartbeat_age_s":N may tick between two reads.
std::string without_age(std::string j) {
    size_t at = j.find("\"heartbeat_age_s\":");
    if (at != std::string::npos) j.erase(at, j.find(',', at) - at);
    return j;
}

// kordstat --listen ARGS on 127.0.0.1:port, up once it says it serves.
std::unique_ptr<testutil::Proc> listen(const testutil::TempDir &root, uint16_t port,
                                       std::vector<std::string> more = {}) {
    std::vector<std::string> argv = {testutil::bin_path("kordstat"), "--listen",
                                     "127.0.0.1:" + std::to_string(port)};
    argv.insert(argv.end(), more.begin(), more.end());
    std::string log = root / ("listen" + std::to_string(port) + ".out");
    auto p = std::make_unique<testutil::Proc>(argv, std::vector<std::string>{"TESSARON_ROOT=" + root.path()}, log);
    if (!testutil::wait_until([&] { return contains(read_file(log), "kordstat: serving "); }, 10s)) {
        ADD_FAILURE() << read_file(log);
        return nullptr;
    }
    return p;
}

// Runs the browser script of tests/support on url; 77: no browser here.
testutil::RunResult browser(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/python3", std::string(TESSARON_SOURCE_DIR) + "/tests/support/status_page.py"});
    return testutil::run(args);
}

TEST_F(Kordstat, ServesPageJsonAndMetricsReadOnly) {
    hold_lock();
    heartbeat(0);
    auto p = listen(root, 9417);
    ASSERT_TRUE(p);
    EXPECT_TRUE(contains(read_file(root / "listen9417.out"),
                         "serving http://127.0.0.1:9417/ (status page), http://127.0.0.1:9417/status.json and "
                         "http://127.0.0.1:9417/metrics"));
    std::string r = http(9417, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.substr(0, 15), "HTTP/1.1 200 OK") << r;
    EXPECT_TRUE(contains(r, "Content-Type: text/plain; version=0.0.4")) << r;
    EXPECT_TRUE(contains(r, "\r\n\r\n# HELP kord_up ")) << r;
    EXPECT_TRUE(contains(r, "\nkord_node_state{group=\"web\""));

    // /status.json is what --json prints.
    r = http(9417, "GET /status.json HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(contains(head_of(r), "Content-Type: application/json")) << r;
    EXPECT_EQ(without_age(body_of(r)), without_age(kordstat({"--json"}).out));

    // The page: every name escaped, style and script allowed by this
    // response's nonce and nothing else.
    r = http(9417, "GET / HTTP/1.0\r\n\r\n");
    std::string head = head_of(r), page = body_of(r);
    EXPECT_TRUE(contains(head, "Content-Type: text/html; charset=utf-8")) << head;
    size_t at = head.find("script-src 'nonce-");
    ASSERT_NE(at, std::string::npos) << head;
    std::string nonce = head.substr(at + 18, head.find('\'', at + 18) - at - 18);
    EXPECT_EQ(nonce.size(), 24u) << head;
    EXPECT_TRUE(contains(head, "Content-Security-Policy: default-src 'none'; ")) << head;
    EXPECT_TRUE(contains(page, "<script nonce=\"" + nonce + "\">")) << page;
    EXPECT_TRUE(contains(page, "<style nonce=\"" + nonce + "\">")) << page;
    EXPECT_TRUE(contains(page, "<td class=\"name\">n&quot;2</td><td>127.0.0.2</td><td class=\"st st-down\">down</td>"))
        << page;
    EXPECT_TRUE(contains(page, "<span class=\"kord k-running\">kord running</span>")) << page;
    EXPECT_TRUE(contains(page, "flowgate would publish the fit nodes: 127.0.0.1")) << page;
    EXPECT_NE(nonce, head_of(http(9417, "GET / HTTP/1.0\r\n\r\n")).substr(at + 18, 24)) << "a nonce used twice";

    // Every read is afresh; HEAD has the head only; no cookies anywhere.
    close(lock_fd);
    lock_fd = -1;
    EXPECT_TRUE(contains(http(9417, "GET /metrics HTTP/1.0\r\n\r\n"), "\nkord_up 0\n"));
    r = http(9417, "HEAD / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.substr(0, 15), "HTTP/1.1 200 OK") << r;
    EXPECT_EQ(body_of(r), "");
    EXPECT_EQ(http(9417, "GET /nothing HTTP/1.0\r\n\r\n").substr(0, 12), "HTTP/1.1 404");
    for (const char *m : {"POST", "PUT", "DELETE", "OPTIONS"}) {
        r = http(9417, std::string(m) + " / HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
        EXPECT_EQ(r.substr(0, 12), "HTTP/1.1 405") << m << r;
        EXPECT_TRUE(contains(head_of(r), "Allow: GET, HEAD")) << r;
    }
    for (const char *path : {"/", "/status.json", "/metrics", "/x"})
        EXPECT_FALSE(contains(head_of(http(9417, std::string("GET ") + path + " HTTP/1.0\r\n\r\n")), "Set-Cookie"));
    EXPECT_EQ(p->stop(SIGTERM), 0);
}

// A bcrypt hash and a SHA-512 crypt hash of password, as the tools an
// administrator has would make them (Python's crypt, openssl passwd).
std::string bcrypt_of(const std::string &password) {
    auto r = testutil::run({"/usr/bin/python3", "-W", "ignore", "-c",
                            "import crypt, sys; print(crypt.crypt(sys.argv[1], crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1 << 10)))",
                            password});
    return r.out.substr(0, r.out.find('\n'));
}

std::string basic(const std::string &user_pass) {
    auto r = testutil::run({"/usr/bin/python3", "-c", "import base64, sys; print(base64.b64encode(sys.argv[1].encode()).decode())",
                            user_pass});
    return "Authorization: Basic " + r.out.substr(0, r.out.find('\n')) + "\r\n";
}

TEST_F(Kordstat, BasicAuthenticationInFrontOfEveryPath) {
    std::string bc = bcrypt_of("right horse"), sha = testutil::run({"/usr/bin/openssl", "passwd", "-6", "s3cret"}).out;
    ASSERT_EQ(bc.substr(0, 4), "$2b$") << bc;
    ASSERT_EQ(sha.substr(0, 3), "$6$") << sha;
    write_file(root / "users", "# who may look\nops:" + bc + "\r\n\nnoc:" + sha);

    // Files that cannot be used name the file, the line and the fault.
    for (auto [text, error] : std::vector<std::pair<std::string, std::string>>{
             {"ops\n", ":1: want user:hash"},
             {"\nops:$1$abc$def\n", ":2: user ops: the hash is neither bcrypt"},
             {"ops:" + bc + "\nops:" + bc + "\n", ":2: user ops given twice"},
             {"ops:$2b$04$short\n", ":1: user ops: crypt() does not take this hash"},
             {"# nobody\n", ": no user:hash line"}}) {
        write_file(root / "bad", text);
        auto r = kordstat({"--listen", "127.0.0.1:9419", "--listen-auth", root / "bad"});
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_TRUE(contains(r.err, "kordstat: " + (root / "bad") + error)) << r.err;
    }
    EXPECT_EQ(kordstat({"--listen", "127.0.0.1:9419", "--listen-auth", root / "none"}).status, 1);
    EXPECT_EQ(kordstat({"--listen-auth", root / "users"}).status, 2);   // nothing to guard

    auto p = listen(root, 9418, {"--listen-auth", root / "users"});
    ASSERT_TRUE(p);
    for (const char *path : {"/", "/status.json", "/metrics"}) {
        std::string get = std::string("GET ") + path + " HTTP/1.0\r\n";
        std::string r = http(9418, get + "\r\n");
        EXPECT_EQ(r.substr(0, 12), "HTTP/1.1 401") << path << r;
        EXPECT_TRUE(contains(head_of(r), "WWW-Authenticate: Basic realm=\"kordstat\"")) << r;
        EXPECT_EQ(http(9418, get + basic("ops:wrong horse") + "\r\n").substr(0, 12), "HTTP/1.1 401") << path;
        EXPECT_EQ(http(9418, get + basic("nobody:right horse") + "\r\n").substr(0, 12), "HTTP/1.1 401") << path;
        EXPECT_EQ(http(9418, get + basic("noc:right horse") + "\r\n").substr(0, 12), "HTTP/1.1 401") << path;
        // Twice each: the second is admitted from the remembered check.
        for (int i = 0; i < 2; i++) {
            EXPECT_EQ(http(9418, get + basic("ops:right horse") + "\r\n").substr(0, 15), "HTTP/1.1 200 OK") << path;
            EXPECT_EQ(http(9418, get + basic("noc:s3cret") + "\r\n").substr(0, 15), "HTTP/1.1 200 OK") << path;
        }
        EXPECT_EQ(http(9418, get + basic("ops:right horsE") + "\r\n").substr(0, 12), "HTTP/1.1 401") << path;
        EXPECT_EQ(http(9418, "POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n").substr(0, 12), "HTTP/1.1 401");
    }
    EXPECT_EQ(p->stop(), 0);
    EXPECT_TRUE(contains(read_file(root / "listen9418.out"), "kordstat: refused user \"ops\"")) << read_file(root / "listen9418.out");

    // In the browser: the page and its own fetches carry the credentials.
    p = listen(root, 9418, {"--listen-auth", root / "users"});
    ASSERT_TRUE(p);
    auto b = browser({"http://127.0.0.1:9418/", "--auth", "ops:right horse", "--expect", "n\"2=down"});
    if (b.status == 77) GTEST_SKIP() << b.out;
    EXPECT_EQ(b.status, 0) << b.out << b.err;
}

// A certificate for 127.0.0.1 made here; the server speaks only TLS.
TEST_F(Kordstat, ServesHttpsWithTheTestCertificate) {
    std::string cert = root / "cert.pem", key = root / "key.pem";
    auto made = testutil::run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                               "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                               "-keyout", key, "-out", cert});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(kordstat({"--listen", "127.0.0.1:9420", "--tls-cert", cert}).status, 2);   // a key too
    auto bad = kordstat({"--listen", "127.0.0.1:9420", "--tls-cert", cert, "--tls-key", root / "nokey.pem"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(contains(bad.err, "nokey.pem: No such file")) << bad.err;

    auto p = listen(root, 9420, {"--tls-cert", cert, "--tls-key", key});
    ASSERT_TRUE(p);
    EXPECT_TRUE(contains(read_file(root / "listen9420.out"), "serving https://127.0.0.1:9420/")) << read_file(root / "listen9420.out");
    EXPECT_EQ(http(9420, "GET / HTTP/1.0\r\n\r\n").substr(0, 9), "") << "plain HTTP on the TLS port";
    // Verified against the certificate, name included.
    auto r = testutil::run({"/usr/bin/python3", "-c",
                            "import ssl, sys, urllib.request\n"
                            "c = ssl.create_default_context(cafile=sys.argv[1])\n"
                            "print(urllib.request.urlopen(sys.argv[2], context=c).read().decode())",
                            cert, "https://127.0.0.1:9420/status.json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\"name\":\"web\"")) << r.out;

    // The browser trusts exactly this key.
    auto spki = testutil::run({"/bin/sh", "-c",
                               "openssl x509 -in \"$1\" -pubkey -noout | openssl pkey -pubin -outform der | "
                               "openssl dgst -sha256 -binary | base64", "sh", cert});
    ASSERT_EQ(spki.status, 0);
    auto b = browser({"https://127.0.0.1:9420/", "--spki", spki.out.substr(0, spki.out.find('\n')), "--expect", "n1=up"});
    if (b.status == 77) GTEST_SKIP() << b.out;
    EXPECT_EQ(b.status, 0) << b.out << b.err;
}

// Names that are markup show as text and run nothing, with the script's
// redraw and without scripts alike; the redraw shows what the server drew.
TEST_F(Kordstat, PageShowsHostileNamesAsText) {
    kord::GroupRecord g{};
    ASSERT_TRUE(testutil::read_record(root / "data/map.data", 0, g));
    std::strcpy(g.name, "<script>pwned=1</script>");
    std::strcpy(g.slot[0].name, "<img src=x onerror=pwned=2>");
    std::strcpy(g.slot[1].name, "a'b\"c&d</td>");
    g.slot[0].mem_status = kord::kMemLowBit;
    write_file(root / "data/map.data", std::string(reinterpret_cast<char *>(&g), sizeof g));
    auto p = listen(root, 9421);
    ASSERT_TRUE(p);
    std::string page = body_of(http(9421, "GET / HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(contains(page, "<h2>&lt;script&gt;pwned=1&lt;/script&gt;.ex.test</h2>")) << page;
    EXPECT_TRUE(contains(page, "<td class=\"name\">a&#39;b&quot;c&amp;d&lt;/td&gt;</td>")) << page;
    EXPECT_TRUE(contains(page, "<td class=\"th-crossed\">memory low</td>")) << page;
    for (auto extra : {std::vector<std::string>{"--static"}, std::vector<std::string>{"--no-script"}}) {
        std::vector<std::string> args = {"http://127.0.0.1:9421/", "--expect", "<img src=x onerror=pwned=2>=up",
                                         "--expect", "a'b\"c&d</td>=down"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto b = browser(args);
        if (b.status == 77) GTEST_SKIP() << b.out;
        EXPECT_EQ(b.status, 0) << extra[0] << "\n" << b.out << b.err;
    }
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
