// kordstat against maps, heartbeat and lock written here, and a real kord.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
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

namespace {

// Prometheus text as promtool input series at one-minute steps for 30
// minutes: every value held, kord's heartbeat advancing with the clock of
// the test (or not, when stale), a down node's down time growing.
std::string input_series(const std::string &text, bool heartbeat_advances) {
    std::string o;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t sp = line.rfind(' ');
        if (line.empty() || line[0] == '#' || sp == std::string::npos) continue;
        std::string series = line.substr(0, sp), v = line.substr(sp + 1);
        if (v == "NaN" || v == "+Inf" || v == "-Inf") continue;
        std::string name = series.substr(0, series.find('{')), values = v + "+0x30";
        if (name == "kord_heartbeat_timestamp_seconds") values = heartbeat_advances ? "0+60x30" : "0+0x30";
        if (name == "kord_start_time_seconds") values = "0+0x30";
        if (name == "kord_node_down_seconds" && v != "0") values = v + "+60x30";
        std::string quoted;
        for (char c : series) quoted += c == '\'' ? std::string("''") : std::string(1, c);
        o += "      - series: '" + quoted + "'\n        values: '" + values + "'\n";
    }
    return o;
}

// The shipped rules without their annotations: the tests check what fires
// and with which labels; promtool check rules checks the templates.
std::string rules_without_annotations(const std::string &text) {
    std::string o;
    size_t skip_deeper = std::string::npos, pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t indent = line.find_first_not_of(' ');
        if (indent == std::string::npos) continue;
        if (skip_deeper != std::string::npos && indent > skip_deeper) continue;
        skip_deeper = std::string::npos;
        if (line.compare(indent, 12, "annotations:") == 0) {
            skip_deeper = indent;
            continue;
        }
        o += line + "\n";
    }
    return o;
}

struct Alert {
    std::string name;
    std::vector<std::string> labels;   // "key: value"
};

std::string alert_tests(const std::string &eval, const std::vector<std::string> &all, const std::vector<Alert> &firing) {
    std::string o;
    for (const std::string &name : all) {
        o += "      - eval_time: " + eval + "\n        alertname: " + name + "\n        exp_alerts:";
        bool any = false;
        for (const Alert &a : firing) {
            if (a.name != name) continue;
            o += std::string(any ? "" : "\n") + "          - exp_labels:\n";
            for (const std::string &l : a.labels) o += "              " + l + "\n";
            any = true;
        }
        o += any ? "" : " []\n";
    }
    return o;
}

const std::vector<std::string> kAlerts = {"TessaronKordNotUp",        "TessaronKordHeartbeatStale", "TessaronNodeDown",
                                          "TessaronGroupFailingOpen", "TessaronFlowgateNoLeader",   "TessaronAgentThreshold"};

bool have_promtool() { return access("/usr/bin/promtool", X_OK) == 0; }
const std::string kRules = std::string(TESSARON_SOURCE_DIR) + "/packaging/prometheus/tessaron-rules.yml";

}  // namespace

TEST(AlertRules, PromtoolChecksTheShippedFile) {
    if (!have_promtool()) GTEST_SKIP() << "promtool is not installed (Debian prometheus)";
    auto r = testutil::run({"/usr/bin/promtool", "check", "rules", kRules});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "SUCCESS: 6 rules found")) << r.out;
    // Clustered flowgate: no alert without the metric, one while no
    // instance leads, none while one does.
    testutil::TempDir dir;
    write_file(dir / "rules.yml", rules_without_annotations(read_file(kRules)));
    std::string t = "rule_files: [rules.yml]\nevaluation_interval: 1m\ntests:\n";
    for (const char *second : {"0", "1"}) {
        t += "  - interval: 1m\n    input_series:\n"
             "      - series: 'tessaron_flowgate_leader{instance=\"fg1:9100\"}'\n        values: '0+0x10'\n"
             "      - series: 'tessaron_flowgate_leader{instance=\"fg2:9100\"}'\n        values: '" +
             std::string(second) + "+0x10'\n";
        t += "    alert_rule_test:\n" + alert_tests("5m", {"TessaronFlowgateNoLeader"},
                         *second == '0' ? std::vector<Alert>{{"TessaronFlowgateNoLeader", {"severity: critical"}}}
                                        : std::vector<Alert>{});
    }
    t += "  - interval: 1m\n    input_series:\n      - series: 'kord_up'\n        values: '1+0x10'\n";
    t += "    alert_rule_test:\n" + alert_tests("5m", {"TessaronFlowgateNoLeader"}, {});
    write_file(dir / "test.yml", t);
    r = testutil::run({"/usr/bin/promtool", "test", "rules", dir / "test.yml"});
    EXPECT_EQ(r.status, 0) << r.out << r.err << t;
}

// kord probes the namespace's loopback nodes with an agent answering for
// all; kordstat serves the page. In the browser every node shows its state,
// and a node silenced by nftables turns down in place. The metrics of the
// run, fed to promtool, fire exactly the alerts the run calls for.
TEST(KordstatLive, PageFollowsKordAndAlertRulesFire) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    if (!testutil::nft({"add table ip kspage { chain in { type filter hook input priority 0; "
                        "ip daddr 127.0.0.4 icmp type echo-request drop; }; }"}))
        GTEST_SKIP() << "nft not usable";
    testutil::TempDir root;
    for (const char *d : {"data", "nodes", "ports", "nsdb", "nsdb/cn"}) mkdir((root / d).c_str(), 0755);
    // retries 1, interval 0.25 s, time-out 0.15 s, alert interval 1 min:
    // a silent node is down within 2 x 0.25 + 0.15 s.
    write_file(root / "gpfile", "web:ex.test:pw:250000:load:1:1:150000:10000:::1:0:127.0.0.1,127.0.0.2,127.0.0.3\n"
                                "dark:ex.test:pw:250000:rtt:1:1:150000:10000:::1:0:127.0.0.4\n");
    for (const char *n : {"127.0.0.1", "127.0.0.3"}) write_file(root / ("nodes/" + std::string(n) + ".cfg"), "min_fs = 0\n");
    write_file(root / "nodes/127.0.0.2.cfg", "min_fs = 0\nmin_vm = 2000000000\n");   // always short of memory
    std::vector<std::string> env = {"TESSARON_ROOT=" + root.path(), "TESSARON_LOG=" + (root / "log")};
    testutil::Proc agent({testutil::bin_path("sorvan-agent"), "-p", "10000", "-k", "pw"}, {}, root / "agent.out");
    testutil::Proc kord({testutil::bin_path("kord")}, env, root / "kord.out");
    testutil::Proc stat({testutil::bin_path("kordstat"), "--listen", "127.0.0.1:9422"}, env, root / "listen.out");
    auto json = [&] { return testutil::run({testutil::bin_path("kordstat"), "--json"}, env).out; };
    auto node = [](const std::string &j, const std::string &name) {
        size_t at = j.find("\"name\":\"" + name + "\"");
        return at == std::string::npos ? std::string() : j.substr(at, j.find('}', j.find("\"thresholds\"", at)) - at);
    };
    ASSERT_TRUE(testutil::wait_until(
        [&] {
            std::string j = json();
            return contains(node(j, "127.0.0.1"), "\"ping\":\"up\",\"agent\":\"up\"") &&
                   contains(node(j, "127.0.0.2"), "\"memory_low\":true") &&
                   contains(node(j, "127.0.0.3"), "\"ping\":\"up\",\"agent\":\"up\"") &&
                   contains(node(j, "127.0.0.4"), "\"ping\":\"down\"") &&
                   contains(read_file(root / "listen.out"), "serving ");
        },
        20s))
        << json() << read_file(root / "log");

    std::vector<std::string> args = {"/usr/bin/python3", std::string(TESSARON_SOURCE_DIR) + "/tests/support/status_page.py",
                                     "http://127.0.0.1:9422/", "--expect", "127.0.0.1=up", "--expect", "127.0.0.2=up",
                                     "--expect", "127.0.0.3=up", "--expect", "127.0.0.4=down",
                                     "--then", "127.0.0.3=down", "--within", "60"};
    if (const char *shot = getenv("TESSARON_SCREENSHOT")) args.insert(args.end(), {"--screenshot", shot});
    testutil::Proc b(args, {}, root / "browser.out");
    auto exited = [&](int &st) { return waitpid(b.pid, &st, WNOHANG) == b.pid; };
    int st = 0;
    bool gone = false;
    ASSERT_TRUE(testutil::wait_until([&] { return contains(read_file(root / "browser.out"), "ready\n") || (gone = exited(st)); },
                                     90s))
        << read_file(root / "browser.out");
    if (gone) {
        b.pid = -1;
        if (WIFEXITED(st) && WEXITSTATUS(st) == 77) GTEST_SKIP() << read_file(root / "browser.out");
        FAIL() << read_file(root / "browser.out");
    }
    ASSERT_TRUE(testutil::nft({"add", "rule", "ip", "kspage", "in", "ip", "daddr", "127.0.0.3", "icmp", "type",
                               "echo-request", "drop"}));
    ASSERT_TRUE(testutil::wait_until([&] { return exited(st); }, 90s)) << read_file(root / "browser.out");
    b.pid = -1;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << read_file(root / "browser.out");
    printf("%s", read_file(root / "browser.out").c_str());

    // The metrics of this run, before and after kord is killed.
    ASSERT_TRUE(testutil::wait_until([&] { return contains(node(json(), "127.0.0.3"), "\"ping\":\"down\""); }, 10s));
    std::string running = testutil::run({testutil::bin_path("kordstat"), "--prometheus"}, env).out;
    EXPECT_TRUE(contains(running, "\nkord_group_fail_open{group=\"dark\",domain=\"ex.test\"} 1\n")) << running;
    EXPECT_TRUE(contains(running, "\nkord_group_fail_open{group=\"web\",domain=\"ex.test\"} 0\n")) << running;
    EXPECT_EQ(kord.stop(SIGKILL), 128 + SIGKILL);
    std::string killed = testutil::run({testutil::bin_path("kordstat"), "--prometheus"}, env).out;
    EXPECT_TRUE(contains(killed, "\nkord_up 0\n")) << killed;
    agent.stop();
    (void)system("nft delete table ip kspage");
    if (!have_promtool()) GTEST_SKIP() << "promtool is not installed (Debian prometheus)";

    write_file(root / "rules.yml", rules_without_annotations(read_file(kRules)));
    auto down = [](const char *group, const char *addr) {
        return Alert{"TessaronNodeDown", {std::string("group: ") + group, "domain: ex.test", std::string("node: ") + addr,
                                          std::string("address: ") + addr, "severity: warning"}};
    };
    std::string t = "rule_files: [rules.yml]\nevaluation_interval: 1m\ntests:\n"
                    "  - interval: 1m\n    input_series:\n" + input_series(running, true);
    t += "    alert_rule_test:\n" + alert_tests("10m", kAlerts,
                     {down("web", "127.0.0.3"), down("dark", "127.0.0.4"),
                      {"TessaronGroupFailingOpen", {"group: dark", "domain: ex.test", "severity: critical"}},
                      {"TessaronAgentThreshold", {"group: web", "domain: ex.test", "node: 127.0.0.2",
                                                  "address: 127.0.0.2", "threshold: memory", "severity: warning"}}});
    // At the time of the run: the node silenced seconds ago is not down
    // long enough yet; the one silent from the start only if kord ran long.
    std::string dark = "kord_node_down_seconds{group=\"dark\",domain=\"ex.test\",node=\"127.0.0.4\",address=\"127.0.0.4\"} ";
    size_t at = running.find(dark);
    ASSERT_NE(at, std::string::npos) << running;
    bool dark_long = atol(running.c_str() + at + dark.size()) > 120;
    t += alert_tests("0m", {"TessaronNodeDown"}, dark_long ? std::vector<Alert>{down("dark", "127.0.0.4")} : std::vector<Alert>{});
    t += "  - interval: 1m\n    input_series:\n" + input_series(killed, false);
    t += "    alert_rule_test:\n" + alert_tests("10m", {"TessaronKordNotUp", "TessaronKordHeartbeatStale", "TessaronFlowgateNoLeader"},
                     {{"TessaronKordNotUp", {"severity: critical"}}, {"TessaronKordHeartbeatStale", {"severity: critical"}}});
    write_file(root / "test.yml", t);
    auto r = testutil::run({"/usr/bin/promtool", "test", "rules", root / "test.yml"});
    EXPECT_EQ(r.status, 0) << r.out << r.err << t;
}
