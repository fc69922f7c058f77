// HTTP and HTTPS health checks against real web servers (Python's
// http.server and ssl) on node addresses of the test's network namespace,
// with certificates made by openssl here: the probe's outcome in the port
// records and the log, then kord, kordstat and flowgate end to end.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "master/httpcheck.h"
#include "master/kord.h"
#include "master/ports.h"
#include "maps/records.h"
#include "tests/support/dns_servers.h"
#include "tests/support/testutil.h"

using namespace kord;
using namespace std::chrono_literals;
using testutil::contains;
using testutil::count_with;
using testutil::Proc;
using testutil::read_file;
using testutil::write_file;

namespace {

const std::string &root() { return testutil::process_root({"ports"}); }
const std::string &log_path() { return testutil::log_file("kord_http"); }

uint32_t ip(const char *text) {
    uint32_t a = 0;
    inet_pton(AF_INET, text, &a);
    return a;
}

std::string python() { return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

// A test CA and certificates under it, made once per process.
struct Certs {
    std::string dir, ca, valid, expired, other_name, untrusted, key;
    bool ok = false;
    Certs() {
        static testutil::TempDir tmp;
        dir = tmp.path();
        ca = dir + "/ca.pem";
        key = dir + "/srv.key";
        auto sh = [&](const std::string &cmd) { return testutil::run({"/bin/sh", "-c", "cd " + dir + " && " + cmd}).status == 0; };
        const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        ok = sh("openssl req -x509 " + ec + " -keyout ca.key -out ca.pem -days 30 -subj /CN=Test-CA 2>/dev/null") &&
             sh("openssl req -x509 " + ec + " -keyout ca2.key -out ca2.pem -days 30 -subj /CN=Other-CA 2>/dev/null") &&
             sh("openssl req " + ec + " -keyout srv.key -out srv.csr -subj /CN=web1.demo.test 2>/dev/null");
        auto sign = [&](const std::string &out, const std::string &san, const std::string &by, int days) {
            write_file(dir + "/" + out + ".ext", "subjectAltName=" + san + "\n");
            return sh("openssl x509 -req -in srv.csr -CA " + by + ".pem -CAkey " + by + ".key -CAcreateserial -out " +
                      out + " -days " + std::to_string(days) + " -extfile " + out + ".ext 2>/dev/null");
        };
        ok = ok && sign("valid.pem", "DNS:web1.demo.test", "ca", 30) && sign("expired.pem", "DNS:web1.demo.test", "ca", -1) &&
             sign("other.pem", "DNS:other.demo.test", "ca", 30) && sign("untrusted.pem", "DNS:web1.demo.test", "ca2", 30);
        valid = dir + "/valid.pem";
        expired = dir + "/expired.pem";
        other_name = dir + "/other.pem";
        untrusted = dir + "/untrusted.pem";
    }
};
const Certs &certs() {
    static Certs c;
    return c;
}

// One web server of tests/support on addr:port, its answer in a state file.
struct Web {
    testutil::TempDir dir;
    std::unique_ptr<Proc> proc;
    std::string state = dir / "state", requests = dir / "requests";
    Web(const std::string &addr, uint16_t port, const std::string &cert = "") {
        std::vector<std::string> argv{python(), std::string(TESSARON_SOURCE_DIR) + "/tests/support/http_server.py",
                                      "--host", addr, "--port", std::to_string(port), "--state", state,
                                      "--requests", requests};
        if (!cert.empty()) argv.insert(argv.end(), {"--cert", cert, "--key", certs().key});
        proc = std::make_unique<Proc>(argv, std::vector<std::string>{}, dir / "out");
    }
    bool ready() {
        return testutil::wait_until([&] { return contains(read_file(dir / "out"), "ready"); }, 10s);
    }
    void answer(int status, const std::string &body) { write_file(state, std::to_string(status) + "\n" + body); }
};

// The lines the log gained since the mark.
struct LogMark {
    size_t at = read_file(log_path()).size();
    std::string since() const {
        std::string all = read_file(log_path());
        return at <= all.size() ? all.substr(at) : all;
    }
};

struct HttpProbe : ::testing::Test {
    GroupRecord *g = new GroupRecord{};
    NodeRecord *s = &g->slot[0];
    void SetUp() override {
        log_path();
        system(("rm -f " + root() + "/ports/*").c_str());
        strcpy(g->name, "web");
        strcpy(g->domain, "demo.test");
        g->retries = 2;
        g->timeout_us = 800000;
        g->alert_interval_min = 60;
        strcpy(s->name, "web1.demo.test");
        s->addr = ip("127.0.0.2");
    }
    void TearDown() override { delete g; }
    void port_file(const std::string &text) { write_file(root() + "/ports/web.demo.test.cfg", text); }
    // One probe of node s at addr; the port state after it.
    uint32_t probe(const char *addr = "127.0.0.2") {
        s->addr = ip(addr);
        EXPECT_EQ(probe_port(s->addr, g, s), 0);
        return s->port_status.state;
    }
    // From a fresh start, three probes (retries 2): the port's final state.
    uint32_t verdict(const char *addr = "127.0.0.2") {
        s->port_status = ProbeStatus{};
        s->port_summary = ProbeStatus{};
        for (int i = 0; i < 3; i++) probe(addr);
        return s->port_status.state;
    }
};

}  // namespace

TEST_F(HttpProbe, StatusBodyAndRetries) {
    Web web("127.0.0.2", 8080);
    ASSERT_TRUE(web.ready());
    web.answer(200, "all ok\n");
    port_file("8080/www\nhttp /healthz\nmatch all ok\n");
    LogMark mark;
    EXPECT_EQ(probe(), kStateUp);
    EXPECT_EQ(s->port_summary.state, kStateUp);
    EXPECT_EQ(s->port, 8080);

    // 503: failing, then down on the third failure; back up after a 200.
    web.answer(503, "busy\n");
    EXPECT_EQ(probe(), kStateFailing);
    EXPECT_EQ(probe(), kStateFailing);
    EXPECT_EQ(probe(), kStateDown);
    EXPECT_EQ(s->port_summary.state, kStateDown);
    web.answer(200, "all ok\n");
    EXPECT_EQ(probe(), kStateUp);
    std::string log = mark.since();
    EXPECT_TRUE(contains(log, "web/web1.demo.test (127.0.0.2): http 8080 up -> failing (HTTP 503, 1 failures)")) << log;
    EXPECT_TRUE(contains(log, "web/web1.demo.test (127.0.0.2): http 8080 failing -> down (HTTP 503, 3 failures)")) << log;
    EXPECT_TRUE(contains(log, "web/web1.demo.test (127.0.0.2): http 8080 ok again (HTTP 200, ")) << log;
    EXPECT_FALSE(contains(log, "probing with a bare connect")) << log;

    // A 200 whose body lacks the text is down all the same.
    web.answer(200, "maintenance\n");
    EXPECT_EQ(verdict(), kStateDown);
    EXPECT_TRUE(contains(mark.since(), "http 8080 failing -> down (body lacks \"all ok\", 3 failures)")) << mark.since();

    // Only the first 64 KiB of the body count: a match behind them is none.
    web.answer(200, "all ok\n");
    port_file("8080/www\nhttp /big\nmatch all ok\n");
    EXPECT_EQ(verdict(), kStateDown);
    port_file("8080/www\nhttp /big\nmatch xxxx\n");
    EXPECT_EQ(verdict(), kStateUp);

    // The status codes that count as up are the port file's to say.
    web.answer(503, "busy\n");
    port_file("8080/www\nhttp /healthz\nexpect 200-299, 503\n");
    EXPECT_EQ(verdict(), kStateUp);
    web.answer(204, "");
    EXPECT_EQ(verdict(), kStateUp);
    web.answer(404, "");
    EXPECT_EQ(verdict(), kStateDown);
}

TEST_F(HttpProbe, RedirectsCountByExpect) {
    Web web("127.0.0.2", 8080);
    ASSERT_TRUE(web.ready());
    web.answer(500, "the target of the redirect is never asked\n");
    port_file("8080/www\nhttp /redirect\n");
    EXPECT_EQ(verdict(), kStateUp);   // 302 lies in 200-399
    port_file("8080/www\nhttp /redirect\nexpect 200\n");
    LogMark mark;
    EXPECT_EQ(verdict(), kStateDown);
    EXPECT_TRUE(contains(mark.since(), "(HTTP 302, 3 failures)")) << mark.since();
    // Never followed: the server saw no request for /elsewhere.
    EXPECT_FALSE(contains(read_file(web.requests), "/elsewhere"));
}

TEST_F(HttpProbe, MethodHostAndHeaders) {
    Web web("127.0.0.2", 8080);
    ASSERT_TRUE(web.ready());
    port_file("8080/www\r\n# the shop's front page\r\nhttp /\r\nmethod HEAD\r\nhost shop.demo.test\r\n"
              "header X-Probe: kord\r\nheader Accept: text/plain\r\n");
    EXPECT_EQ(probe(), kStateUp);
    port_file("8080/www\nhttp /status?full=1\n");
    EXPECT_EQ(probe(), kStateUp);
    std::string req = read_file(web.requests);
    auto first = req.substr(0, req.find('\n'));
    EXPECT_EQ(first.substr(0, 7), "HEAD\t/\t") << req;
    EXPECT_TRUE(contains(first, "\tHost: shop.demo.test:8080")) << req;
    EXPECT_TRUE(contains(first, "\tX-Probe: kord")) << req;
    EXPECT_TRUE(contains(first, "\tAccept: text/plain")) << req;
    // Without a host line the node's name is the Host.
    auto second = req.substr(req.find('\n') + 1);
    EXPECT_EQ(second.substr(0, 18), "GET\t/status?full=1") << req;
    EXPECT_TRUE(contains(second, "\tHost: web1.demo.test:8080")) << req;
    EXPECT_FALSE(contains(second, "X-Probe")) << req;
}

TEST_F(HttpProbe, RefusedAndSilentServers) {
    uint16_t refused = 0;
    int rfd = testutil::loopback_socket(&refused, SOCK_STREAM, false);
    port_file(std::to_string(refused) + "/www\nhttp /healthz\n");
    LogMark mark;
    EXPECT_EQ(verdict("127.0.0.1"), kStateDown);
    EXPECT_TRUE(contains(mark.since(), "http " + std::to_string(refused) + " failing -> down (connection refused, 3 failures)"))
        << mark.since();
    close(rfd);

    // Accepts (the kernel completes the handshake) and never answers: each
    // probe ends at the group's time-out, plain or over TLS.
    uint16_t silent = 0;
    int sfd = testutil::loopback_socket(&silent);
    for (const char *kind : {"http", "https"}) {
        port_file(std::to_string(silent) + "/www\n" + kind + " /healthz\nverify no\n");
        s->port_status = ProbeStatus{};
        for (int i = 0; i < 3; i++) {
            auto t0 = std::chrono::steady_clock::now();
            probe("127.0.0.1");
            auto took = std::chrono::steady_clock::now() - t0;
            EXPECT_GE(took, 750ms) << kind;
            EXPECT_LT(took, 800ms + 3s) << kind;   // generous under load; never the checker's own 2 s margin on top
        }
        EXPECT_EQ(s->port_status.state, kStateDown) << kind;
        EXPECT_TRUE(contains(mark.since(), std::string(kind) + " " + std::to_string(silent) +
                                               " failing -> down (timed out after 800 ms, 3 failures)"))
            << mark.since();
    }
    close(sfd);
}

TEST_F(HttpProbe, Certificates) {
    const Certs &c = certs();
    ASSERT_TRUE(c.ok) << "openssl could not make the test certificates";
    Web valid("127.0.0.2", 8443, c.valid), expired("127.0.0.3", 8443, c.expired),
        other("127.0.0.4", 8443, c.other_name), untrusted("127.0.0.5", 8443, c.untrusted);
    for (Web *w : {&valid, &expired, &other, &untrusted}) ASSERT_TRUE(w->ready()) << read_file(w->dir / "out");

    port_file("8443/tls\nhttps /healthz\nca " + c.ca + "\n");
    EXPECT_EQ(verdict("127.0.0.2"), kStateUp);
    // The first check's TLS session is resumed by the next ones.
    std::string req = read_file(valid.requests);
    EXPECT_TRUE(contains(req.substr(0, req.find('\n')), "TLS-Resumed: no")) << req;
    EXPECT_TRUE(contains(req.substr(req.rfind('\n', req.size() - 2)), "TLS-Resumed: yes")) << req;
    struct Case {
        const char *addr, *why;
    } cases[] = {
        {"127.0.0.3", "TLS: certificate has expired"},
        {"127.0.0.4", "TLS: certificate is not for web1.demo.test"},
        {"127.0.0.5", "TLS: unable to get local issuer certificate"},
    };
    for (const Case &k : cases) {
        LogMark mark;
        EXPECT_EQ(verdict(k.addr), kStateDown) << k.addr;
        EXPECT_TRUE(contains(mark.since(), std::string("(") + k.addr + "): https 8443 failing -> down (" + k.why +
                                               ", 3 failures)"))
            << mark.since();
    }
    // The system's store knows nothing of the test CA.
    port_file("8443/tls\nhttps /healthz\n");
    LogMark mark;
    EXPECT_EQ(verdict("127.0.0.2"), kStateDown);
    EXPECT_TRUE(contains(mark.since(), "https 8443 failing -> down (TLS: ")) << mark.since();
    // The name asked for decides: the other-name certificate fits its own.
    port_file("8443/tls\nhttps /healthz\nca " + c.ca + "\nhost other.demo.test\n");
    EXPECT_EQ(verdict("127.0.0.4"), kStateUp);
    // verify no takes every one of them.
    port_file("8443/tls\nhttps /healthz\nverify no\n");
    for (const char *a : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) EXPECT_EQ(verdict(a), kStateUp) << a;
    // Plain HTTP to a TLS port is no answer.
    port_file("8443/tls\nhttp /healthz\n");
    EXPECT_EQ(verdict("127.0.0.2"), kStateDown);
}

TEST_F(HttpProbe, PortFileEditsApplyAtTheNextProbe) {
    const Certs &c = certs();
    ASSERT_TRUE(c.ok);
    Web web("127.0.0.2", 8443, c.valid);
    ASSERT_TRUE(web.ready());
    web.answer(503, "down for maintenance\n");
    port_file("8443/tls\n");   // a bare connect: the listener accepts
    EXPECT_EQ(probe(), kStateUp);
    EXPECT_EQ(read_file(web.requests), "");
    LogMark mark;
    port_file("8443/tls\nhttps /healthz\nca " + c.ca + "\n");
    EXPECT_EQ(probe(), kStateFailing);
    std::string log = mark.since();
    EXPECT_TRUE(contains(log, "ports/web.demo.test.cfg: checking 8443/https /healthz (was 8443/tcp)")) << log;
    EXPECT_TRUE(contains(log, "https 8443 up -> failing (HTTP 503, 1 failures)")) << log;
    EXPECT_TRUE(contains(read_file(web.requests), "GET\t/healthz\t")) << read_file(web.requests);

    // A line kord cannot use: a warning naming it, and the bare connect.
    port_file("8443/tls\nhttps /healthz\nretries 5\n");
    EXPECT_EQ(probe(), kStateUp);
    EXPECT_TRUE(contains(mark.since(), "ports/web.demo.test.cfg: line 3: line: unknown key \"retries\"; probing with a bare connect"))
        << mark.since();
}

TEST(HttpCheckLines, ParseAndRefuse) {
    struct Good {
        const char *line;
        bool (*holds)(const PortCheck &);
    } good[] = {
        {"http /healthz", [](const PortCheck &c) { return c.kind == kCheckHttp && c.path == "/healthz"; }},
        {"https  /a?b=c  ", [](const PortCheck &c) { return c.kind == kCheckHttps && c.path == "/a?b=c"; }},
        {"method HEAD", [](const PortCheck &c) { return c.head; }},
        {"expect 200-299,301", [](const PortCheck &c) { return c.expects(250) && c.expects(301) && !c.expects(302); }},
        {"expect 204", [](const PortCheck &c) { return c.expects(204) && !c.expects(200); }},
        {"match <title>Shop", [](const PortCheck &c) { return c.match == "<title>Shop"; }},
        {"verify no", [](const PortCheck &c) { return !c.verify; }},
        {"header X-A:b: c", [](const PortCheck &c) { return c.headers.size() == 1 && c.headers[0] == "X-A: b: c"; }},
    };
    for (const Good &g : good) {
        PortCheck c;
        std::string field, problem;
        EXPECT_TRUE(parse_check_line(g.line, c, &field, &problem)) << g.line << ": " << problem;
        EXPECT_TRUE(g.holds(c)) << g.line;
    }
    EXPECT_TRUE(PortCheck{}.expects(200) && PortCheck{}.expects(399) && !PortCheck{}.expects(400) &&
                !PortCheck{}.expects(199));
    const char *bad[] = {"http healthz", "http", "https /a b", "method POST", "expect 99", "expect 300-200",
                         "expect 2xx", "expect 200,", "verify maybe", "host a/b", "header NoColon",
                         "header Bad Name: x", "match", "timeout 5", "http /x\x01y"};
    for (const char *line : bad) {
        PortCheck c;
        std::string field, problem;
        EXPECT_FALSE(parse_check_line(line, c, &field, &problem)) << line;
        EXPECT_FALSE(problem.empty()) << line;
        EXPECT_EQ(c.kind, kCheckTcp) << line;
    }
    PortCheck c;
    std::string field, problem;
    for (int i = 0; i < 8; i++) ASSERT_TRUE(parse_check_line("header X-" + std::to_string(i) + ": v", c, &field, &problem));
    EXPECT_FALSE(parse_check_line("header X-9: v", c, &field, &problem));
    EXPECT_EQ(problem, "more than 8 headers");
}

namespace {

// kord's installation root under dir, with the group file given.
std::string make_root(const testutil::TempDir &dir, const std::string &gpfile) {
    const std::string r = dir / "root";
    for (const char *d : {"", "/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"}) mkdir((r + d).c_str(), 0755);
    write_file(r + "/gpfile", gpfile);
    return r;
}

// The in-process probes' TESSARON_ROOT and TESSARON_LOG kept from the
// programs these tests start, and given back afterwards.
struct OwnEnvironment {
    std::vector<std::pair<std::string, std::string>> saved;
    OwnEnvironment() {
        for (const char *name : {"TESSARON_ROOT", "TESSARON_LOG"})
            if (const char *v = getenv(name)) {
                saved.emplace_back(name, v);
                unsetenv(name);
            }
    }
    ~OwnEnvironment() {
        for (const auto &[name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
    }
};

int lines_with(const std::string &log, const std::string &text) {
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
    return n;
}

}  // namespace

// kord itself: an HTTPS check on a node named in DNS, its log lines, its
// alert mail and what kordstat shows of it.
TEST(KordHttpEndToEnd, HttpsCheckLogMailAndKordstat) {
    OwnEnvironment env_guard;
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    const Certs &c = certs();
    ASSERT_TRUE(c.ok);
    testutil::MailWorld world({"--host-record=web1.demo.test,127.0.0.2"});
    ASSERT_TRUE(world.ok);
    const testutil::TempDir &tmp = world.dir;
    Web web("127.0.0.2", 8443, c.valid);
    ASSERT_TRUE(web.ready());
    web.answer(200, "status: ok\n");
    // interval 0.3 s, retries 2, time-out 0.25 s.
    const std::string root = make_root(tmp, "web:demo.test:pw:300000:rtt:1:2:250000:0::ops@demo.test:1:0:web1.demo.test\n");
    write_file(root + "/ports/web.demo.test.cfg",
               "8443/tls/web-ops@demo.test\nhttps /healthz\nca " + c.ca + "\nmatch status: ok\n");
    const std::vector<std::string> env = {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (tmp / "kord.log")};
    Proc kord({testutil::bin_path("kord")}, env, tmp / "kord.out");
    const std::string map = root + "/data/map.data";
    GroupRecord g{};
    auto port_state = [&] { return testutil::read_record(map, 0, g) ? g.slot[0].port_status.state : 0u; };
    ASSERT_TRUE(testutil::wait_until([&] { return port_state() == kStateUp; }, 20s)) << read_file(tmp / "kord.log");
    auto kordstat = [&](const std::string &opt) {
        std::vector<std::string> argv{testutil::bin_path("kordstat")};
        if (!opt.empty()) argv.push_back(opt);
        return testutil::run(argv, {"TESSARON_ROOT=" + root}).out;
    };
    // The side map is written with the port records: wait for its word.
    ASSERT_TRUE(testutil::wait_until([&] { return contains(kordstat("--json"), "\"http_status\":200"); }, 5s))
        << kordstat("--json");
    std::string json = kordstat("--json");
    EXPECT_TRUE(contains(json, "\"port_check\":\"https\",\"check\":\"8443/https /healthz\",\"http_status\":200,\"http_ms\":"))
        << json;
    std::string table = kordstat("");
    EXPECT_TRUE(contains(table, "8443/https /healthz")) << table;
    EXPECT_TRUE(contains(table, "HTTP 200, ")) << table;
    std::string prom = kordstat("--prometheus");
    EXPECT_TRUE(contains(prom, "kord_node_http_status{group=\"web\",domain=\"demo.test\",node=\"web1.demo.test\","
                               "address=\"127.0.0.2\",check=\"https\"} 200\n"))
        << prom;
    EXPECT_TRUE(contains(prom, "# TYPE kord_node_http_duration_seconds gauge\nkord_node_http_duration_seconds{")) << prom;

    // 503: down after the retries, one alert mail saying what the log says.
    web.answer(503, "status: busy\n");
    ASSERT_TRUE(testutil::wait_until([&] { return port_state() == kStateDown; }, 15s)) << read_file(tmp / "kord.log");
    const std::string down = "web/web1.demo.test (127.0.0.2): https 8443 failing -> down (HTTP 503, 3 failures)";
    ASSERT_TRUE(testutil::wait_until([&] { return count_with(world.mails(), down, "RCPT TO:<web-ops@demo.test>") == 1; }, 15s))
        << read_file(tmp / "kord.log");
    EXPECT_EQ(count_with(world.mails(), "Port 8443 is not responding?", down), 1);
    ASSERT_TRUE(testutil::wait_until([&] { return contains(kordstat("--json"), "\"http_status\":503"); }, 5s));
    EXPECT_TRUE(contains(kordstat(""), "HTTP 503, "));

    web.answer(200, "status: ok\n");
    ASSERT_TRUE(testutil::wait_until([&] { return port_state() == kStateUp; }, 15s)) << read_file(tmp / "kord.log");
    EXPECT_EQ(kord.stop(), 0);
    const std::string log = read_file(tmp / "kord.log");
    EXPECT_EQ(lines_with(log, "web/web1.demo.test (127.0.0.2): https 8443 up -> failing (HTTP 503, 1 failures)"), 1) << log;
    EXPECT_EQ(lines_with(log, down), 1) << log;
    EXPECT_EQ(lines_with(log, "web/web1.demo.test (127.0.0.2): https 8443 ok again (HTTP 200, "), 1) << log;
    // Only the one mail: recovery and the rest are the log's.
    EXPECT_EQ(count_with(world.mails(), "RCPT TO:<web-ops@demo.test>", "https 8443"), 1);
}

TEST(KordHttpEndToEnd, CheckNamesBadLines) {
    OwnEnvironment env_guard;
    testutil::TempDir tmp;
    const std::string root = make_root(tmp, "web:demo.test:pw:1000000:rtt:1:2:500000:0::ops@demo.test:1:0:127.0.0.2\n");
    write_file(root + "/ports/web.demo.test.cfg", "# front end\n8080/www\nhttps /healthz\nexpect 200-2x9\nverify maybe\n");
    testutil::RunResult r = testutil::run({testutil::bin_path("kord"), "--check"}, {"TESSARON_ROOT=" + root});
    EXPECT_NE(r.status, 0) << r.out;
    const std::string file = root + "/ports/web.demo.test.cfg";
    EXPECT_TRUE(contains(r.out, file + ":4: expect: error: \"200-2x9\" is not a status code (100-599) or a range of them; kord uses a bare connect"))
        << r.out;
    EXPECT_TRUE(contains(r.out, file + ":5: verify: error: \"maybe\" is neither yes nor no")) << r.out;
    write_file(file, "8080/www\nhttp /healthz\nheader X-A: 1\nmethod HEAD\n");
    r = testutil::run({testutil::bin_path("kord"), "--check"}, {"TESSARON_ROOT=" + root});
    EXPECT_FALSE(contains(r.out, file + ":")) << r.out;
}

// flowgate leaves a node out of the DNS answer at a Knot primary while its
// HTTP check fails, and takes it back once the check passes again.
TEST(KordHttpEndToEnd, FlowgateDropsNodeWhoseCheckFails) {
    OwnEnvironment env_guard;
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    testutil::TempDir tmp;
    Web web("127.0.0.2", 8080);
    ASSERT_TRUE(web.ready());
    web.answer(200, "ok\n");
    // interval 0.25 s, retries 1, time-out 0.2 s.
    const std::string root =
        make_root(tmp, "web:demo.test:pw:250000:rtt:1:1:200000:0:::1:0:127.0.0.1,127.0.0.2,127.0.0.3\n");
    write_file(root + "/ports/127.0.0.2.web.demo.test.cfg", "8080/www\nhttp /healthz\n");
    write_file(root + "/flowgate.conf", "server 127.0.0.53\ntsig hmac-sha256:" + dnsserver::kKeyName + ":" +
                                            dnsserver::kKeySecret + "\n");
    auto primary = dnsserver::knot(tmp / "knot", "127.0.0.53", 53, {"demo.test"});
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    const std::vector<std::string> env = {"TESSARON_ROOT=" + root};
    Proc kord({testutil::bin_path("kord")}, {env[0], "TESSARON_LOG=" + (tmp / "kord.log")}, tmp / "kord.out");
    Proc fg({testutil::bin_path("flowgate")}, {env[0], "TESSARON_LOG=" + (tmp / "flowgate.log")}, tmp / "fg.out");
    auto answers = [&](const std::vector<std::string> &want, std::chrono::milliseconds limit) {
        return testutil::wait_until([&] { return dnsserver::query("127.0.0.53", 53, "web.demo.test") == want; }, limit);
    };
    const std::vector<std::string> all = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
    GroupRecord g{};
    ASSERT_TRUE(testutil::wait_until(
        [&] { return testutil::read_record(root + "/data/map.data", 0, g) && g.slot[1].port_status.state == kStateUp; },
        20s))
        << read_file(tmp / "kord.log");
    ASSERT_TRUE(answers(all, 20s)) << read_file(tmp / "flowgate.log") << read_file(tmp / "kord.log");
    web.answer(503, "busy\n");
    // Down after (retries + 1) passes; generous for a loaded machine.
    EXPECT_TRUE(answers({"127.0.0.1", "127.0.0.3"}, 10s)) << read_file(tmp / "flowgate.log") << read_file(tmp / "kord.log");
    EXPECT_TRUE(contains(read_file(tmp / "kord.log"), "web/127.0.0.2 (127.0.0.2): http 8080 up -> down (HTTP 503, 2 failures)"))
        << read_file(tmp / "kord.log");
    web.answer(200, "ok\n");
    EXPECT_TRUE(answers(all, 10s)) << read_file(tmp / "flowgate.log");
    EXPECT_EQ(fg.stop(), 0);
    EXPECT_EQ(kord.stop(), 0);
}

// The check over IPv6: its own records and lines, the URL's address in brackets.
TEST_F(HttpProbe, OverIpv6) {
    if (testutil::run({"/usr/sbin/ip", "-6", "addr", "add", "fd00::2/128", "dev", "lo", "nodad"}).status != 0)
        GTEST_SKIP() << "cannot add an IPv6 address to lo";
    Web web("fd00::2", 8080);
    ASSERT_TRUE(web.ready());
    web.answer(200, "ok\n");
    port_file("8080/www\nhttp /healthz\n");
    SideRecord side{};
    inet_pton(AF_INET6, "fd00::2", side.addr6);
    EXPECT_EQ(probe_port6(g, s, &side, true), 0);
    EXPECT_EQ(side.port6.state, kStateUp);
    EXPECT_EQ(side.port_check, kCheckHttp);
    EXPECT_EQ(side.http_status6, 200);
    web.answer(503, "busy\n");
    LogMark mark;
    for (int i = 0; i < 3; i++) probe_port6(g, s, &side, true);
    EXPECT_EQ(side.port6.state, kStateDown);
    EXPECT_EQ(side.http_status6, 503);
    EXPECT_TRUE(contains(mark.since(), "http6 8080 failing -> down (HTTP 503, 3 failures)")) << mark.since();
    EXPECT_TRUE(contains(read_file(web.requests), "Host: web1.demo.test:8080")) << read_file(web.requests);
}
