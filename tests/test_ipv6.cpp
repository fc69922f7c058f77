// Dual-stack farms end to end, in the test's own network namespace with
// fd00::1-4 on loopback: kord asks an IPv6-only node's agent over IPv6,
// handles local ICMPv6 errors as it does over IPv4, and flowgate fails open
// per family at a Knot primary.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "maps/records.h"
#include "maps/side.h"
#include "port/varro.h"
#include "tests/support/dns_servers.h"
#include "tests/support/testutil.h"
#include "util/sorvan.h"

using namespace std::chrono_literals;
using testutil::Proc;
using testutil::TempDir;
using testutil::contains;
using testutil::read_file;
using testutil::write_file;
using Addrs = std::vector<std::string>;

namespace {

const std::string kPrimary = "127.0.0.53";

uint8_t *v6(const char *text, uint8_t out[16]) {
    inet_pton(AF_INET6, text, out);
    return out;
}

// An agent on [::1]:port, up once it answers a connection.
std::unique_ptr<Proc> agent_on(const std::string &dir, const std::string &listen, int port, const char *tag) {
    auto p = std::make_unique<Proc>(std::vector<std::string>{testutil::bin_path("sorvan-agent"), "-p",
                                                             std::to_string(port), "-k", "pw", "-l", listen},
                                    std::vector<std::string>{}, dir + "/agent-" + tag + ".out");
    return p;
}

bool connects6(const char *addr, int port) {
    uint8_t a[16];
    int s = req_send6(v6(addr, a), port, 500000, "pw", "Q4", nullptr, REQ_LOAD, 0);
    if (s >= 0) close(s);
    return s >= 0;
}

// req_send6 against a real agent: its load report comes back over IPv6
// with the key of the password; a wrong key is reset; nothing listening
// and the unspecified address are told apart.
TEST(Ipv6Request, LoadQueryToAnAgentOverIpv6) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs a network namespace of its own";
    ASSERT_TRUE(testutil::des_key());   // the agent's own cipher key
    TempDir dir;
    auto agent = agent_on(dir.path(), "::1", 10011, "one");
    ASSERT_TRUE(testutil::wait_until([] { return connects6("::1", 10011); }, 10s)) << read_file(dir / "agent-one.out");

    uint8_t a[16];
    int s = req_send6(v6("::1", a), 10011, 500000, "pw", "Q4", nullptr, REQ_LOAD, 0);
    ASSERT_GE(s, 0);
    timeval tv{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    unsigned char reply[sizeof(AgentStats)];
    EXPECT_EQ(nread(s, reply, int(sizeof reply)), int(sizeof reply));
    uint32_t first;
    memcpy(&first, reply, 4);
    EXPECT_NE(ntohl(first), 0u) << "a report has its first word set";
    close(s);

    s = req_send6(a, 10011, 500000, "not the key", "Q4", nullptr, REQ_LOAD, 0);
    ASSERT_GE(s, 0);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_LT(nread(s, reply, int(sizeof reply)), 1);
    close(s);

    errno = 0;
    EXPECT_EQ(req_send6(v6("::1", a), 10012, 500000, "pw", "Q4", nullptr, REQ_LOAD, 0), -4);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(req_send6(v6("::", a), 10011, 500000, "pw", "Q4", nullptr, REQ_LOAD, 0), -1);
    EXPECT_EQ(req_send6(nullptr, 10011, 500000, "pw", "Q4", nullptr, REQ_LOAD, 0), -1);
}

// A kord installation root, a Knot primary and flowgate for group web in
// demo.test: "dual" (127.0.0.1, fd00::1), "six" (fd00::2), "four" (127.0.0.2).
struct DualFarm {
    TempDir dir;
    std::string root = dir / "root";
    std::unique_ptr<dnsserver::Server> primary;
    bool ok = false;

    explicit DualFarm(const std::string &group_line) {
        for (const char *d : {"", "/data", "/nsdb", "/nsdb/cn", "/nodes", "/ports"})
            mkdir((root + d).c_str(), 0755);
        if (!testutil::test_names(dir.path(), "127.0.0.1 dual\nfd00::1 dual\nfd00::2 six\n127.0.0.2 four\n"))
            return;
        if (system("nft add table inet v6t && nft add chain inet v6t in '{ type filter hook input priority 0; }' &&"
                   " nft add chain inet v6t out '{ type filter hook output priority 0; }'") != 0)
            return;
        write_file(root + "/ports/fallback.cfg", "8080/web\n");
        write_file(root + "/gpfile", group_line);
        write_file(root + "/flowgate.conf", "# test\nserver " + kPrimary + "\ntsig hmac-sha256:" + dnsserver::kKeyName +
                                                ":" + dnsserver::kKeySecret + "\n");
        primary = dnsserver::knot(dir / "knot", kPrimary, 53, {"demo.test"});
        ok = dnsserver::wait_serving(*primary, "demo.test", 10s);
    }
    std::vector<std::string> env() const {
        return {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (dir / "kord.log"), "TESSARON_SMTP_RELAY=127.0.0.1:25"};
    }
    std::unique_ptr<Proc> kord() {
        return std::make_unique<Proc>(std::vector<std::string>{testutil::bin_path("kord")}, env(), dir / "kord.out");
    }
    std::unique_ptr<Proc> flowgate() {
        return std::make_unique<Proc>(std::vector<std::string>{testutil::bin_path("flowgate")},
                                      std::vector<std::string>{"TESSARON_ROOT=" + root,
                                                               "TESSARON_LOG=" + (dir / "flowgate.log")},
                                      dir / "flowgate.out");
    }
    std::string klog() const { return read_file(dir / "kord.log"); }
    std::string flog() const { return read_file(dir / "flowgate.log"); }
    bool both(const Addrs &a, const Addrs &aaaa, std::chrono::milliseconds limit) {
        return testutil::wait_until([&] {
            return dnsserver::query(primary->addr, primary->port, "web.demo.test") == a &&
                   dnsserver::query(primary->addr, primary->port, "web.demo.test", "AAAA") == aaaa;
        }, limit);
    }
    // Node k of the first group is up over IPv6 in the side map.
    bool up6(int k) const {
        std::string m = read_file(root + "/data/side.data");
        const kord::SideRecord *r = kord::side_record(m.data(), m.size(), 0, uint32_t(k));
        return r && r->ping6.state == kord::kStateUp;
    }
    // The slot of node k of the first group, read afresh from the data map.
    kord::NodeRecord slot(int k) const {
        kord::GroupRecord g{};
        testutil::read_record(root + "/data/map.data", 0, g);
        return g.slot[k];
    }
    bool rule(const std::string &chain, const std::vector<std::string> &match, const char *verdict = "drop") {
        std::vector<std::string> r = {"add", "rule", "inet", "v6t", chain};
        r.insert(r.end(), match.begin(), match.end());
        r.push_back(verdict);
        return testutil::nft(r);
    }
    bool flush() {
        return testutil::nft({"flush", "chain", "inet", "v6t", "in"}) &&
               testutil::nft({"flush", "chain", "inet", "v6t", "out"});
    }
};

// Something to accept the probed port, over both families.
int listen_any(int port) {
    int s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(uint16_t(port));
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0 || listen(s, 1024) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Method load: every node's agent is asked, the IPv6-only one's over IPv6
// (its agent listens on fd00::2 alone, so no other path reaches it), and
// its report decides the node's fitness in the AAAA set as the others'
// decide theirs in the A set.
TEST(Ipv6Farm, AgentAnswersKordOverIpv6) {
    if (!testutil::own_network(true)) GTEST_SKIP() << "needs root for a network namespace of its own";
    DualFarm f("web:demo.test:pw:500000:load:1:1:300000:10000:::1:0:dual,six,four\n");
    ASSERT_TRUE(f.ok) << "names, nft or Knot not usable";
    int lsock = listen_any(8080);
    ASSERT_GE(lsock, 0);
    auto a1 = agent_on(f.dir.path(), "127.0.0.1", 10000, "dual");
    auto a2 = agent_on(f.dir.path(), "127.0.0.2", 10000, "four");
    auto a6 = agent_on(f.dir.path(), "fd00::2", 10000, "six");
    ASSERT_TRUE(testutil::wait_until([] { return connects6("fd00::2", 10000); }, 10s));
    auto kord = f.kord();
    auto fg = f.flowgate();

    // The IPv6-only node's agent up, its report in the slot.
    EXPECT_TRUE(testutil::wait_until([&] {
        kord::NodeRecord s = f.slot(1);
        return s.agent.state == kord::kStateUp && s.agent_stats.word[0] != 0;
    }, 15s)) << f.klog();
    EXPECT_EQ(f.slot(1).addr, 0u);
    ASSERT_TRUE(f.both({"127.0.0.1", "127.0.0.2"}, {"fd00::1", "fd00::2"}, 15s)) << f.flog() << f.klog();
    // kordstat shows the node with its agent up and both families' fields.
    std::string json, six;
    EXPECT_TRUE(testutil::wait_until([&] {
        json = testutil::run({testutil::bin_path("kordstat"), "--json"}, {"TESSARON_ROOT=" + f.root}).out;
        size_t at = json.find("\"name\":\"six\"");
        if (at == std::string::npos) return false;
        six = json.substr(at, json.find("\n  {", at) - at);
        return contains(six, "\"address\":null,") && contains(six, "\"agent\":\"up\"") &&
               contains(six, "\"agent_data\":true") && contains(six, "\"address6\":\"fd00::2\",\"ping6\":\"up\"");
    }, 10s)) << json;

    // Its agent gone: the failure names the IPv6 address, the node leaves
    // the AAAA set, and the A set does not move.
    a6->stop();
    EXPECT_TRUE(f.both({"127.0.0.1", "127.0.0.2"}, {"fd00::1"}, 20s)) << f.flog() << f.klog();
    EXPECT_TRUE(contains(f.klog(), "web/six (fd00::2): agent query failed (port 10000: ")) << f.klog();
    EXPECT_TRUE(contains(f.klog(), "web/six (fd00::2): agent up -> ")) << f.klog();

    // Back: the node returns.
    a6 = agent_on(f.dir.path(), "fd00::2", 10000, "six2");
    EXPECT_TRUE(f.both({"127.0.0.1", "127.0.0.2"}, {"fd00::1", "fd00::2"}, 20s)) << f.flog() << f.klog();
    close(lsock);
}

// Echo requests to fd00::1 refused on the way out (a local error, as an
// output firewall rule gives): kord tries once more at once, says the local
// errors begin, and counts them as failures only after retries + 1 passes;
// the node leaves the AAAA set while its A record stays. ICMPv6 dropped to
// every IPv6 address: the AAAA set fails open on its own, logged, while the
// A set keeps its fit nodes.
TEST(Ipv6Farm, LocalErrorsAndFailOpenPerFamily) {
    if (!testutil::own_network(true)) GTEST_SKIP() << "needs root for a network namespace of its own";
    DualFarm f("web:demo.test:pw:250000:rtt:1:1:150000:10000::ops@demo.test:1:0:dual,six,four\n");
    ASSERT_TRUE(f.ok) << "names, nft or Knot not usable";
    int lsock = listen_any(8080);
    ASSERT_GE(lsock, 0);
    mkdir((f.dir / "mail").c_str(), 0755);
    auto sink = testutil::smtp_sink("127.0.0.1", f.dir / "mail");
    ASSERT_TRUE(sink) << "no SMTP sink";
    auto kord = f.kord();
    auto fg = f.flowgate();
    const Addrs a_all = {"127.0.0.1", "127.0.0.2"}, aaaa_all = {"fd00::1", "fd00::2"};
    ASSERT_TRUE(f.both(a_all, aaaa_all, 15s)) << f.flog() << f.klog();
    const auto bound = 4 * 250ms + 150ms + 3s;   // retries + 1 passes of local errors, then retries + 1 failures
    // The first pass may publish before every probe has answered.
    ASSERT_TRUE(testutil::wait_until([&] { return f.up6(0) && f.up6(1); }, 15s)) << f.klog();

    ASSERT_TRUE(f.rule("out", {"ip6", "daddr", "fd00::1", "icmpv6", "type", "echo-request"}));
    EXPECT_TRUE(f.both(a_all, {"fd00::2"}, bound)) << f.flog() << f.klog();
    std::string log = f.klog();
    EXPECT_TRUE(contains(log, "web/dual (fd00::1): ping6 local error -4")) << log;
    EXPECT_TRUE(contains(log, "web/dual (fd00::1): ping6 local errors begin (rtt -4)")) << log;
    EXPECT_TRUE(contains(log, "web/dual (fd00::1): ping6 up -> ")) << log;
    EXPECT_TRUE(contains(log, "(local error, rtt -4, ")) << log;
    EXPECT_FALSE(contains(log, "web/dual (127.0.0.1): ping up -> ")) << log;
    // The alert names the family.
    EXPECT_TRUE(testutil::wait_until([&] {
        return testutil::count_with(testutil::mails(f.dir / "mail"), "web dual (IPv6)",
                                    "Cluster Node went down over IPv6?") == 1;
    }, 10s)) << f.klog();
    ASSERT_TRUE(f.flush());
    EXPECT_TRUE(f.both(a_all, aaaa_all, bound)) << f.flog();
    EXPECT_TRUE(testutil::wait_until([&] {
        return contains(f.klog(), "web/dual (fd00::1): ping6 local errors end after ");
    }, 5s)) << f.klog();

    // No node fit over IPv6.
    ASSERT_TRUE(f.rule("in", {"ip6", "daddr", "{", "fd00::1,", "fd00::2", "}", "icmpv6", "type", "echo-request"}));
    EXPECT_TRUE(testutil::wait_until([&] {
        return contains(f.flog(), "Group web.demo.test: no node fit over IPv6, publishing every IPv6 member: "
                                  "fd00::1 fd00::2 (fail open)");
    }, bound)) << f.flog() << f.klog();
    EXPECT_TRUE(f.both(a_all, aaaa_all, 2s)) << f.flog();
    EXPECT_FALSE(contains(f.flog(), "no fit node, publishing every member")) << f.flog();
    kord::NodeRecord dual = f.slot(0);
    EXPECT_EQ(dual.ping.state, kord::kStateUp);

    // One IPv6 node answers again: the AAAA set holds it alone, fail open ends.
    ASSERT_TRUE(f.flush());
    ASSERT_TRUE(f.rule("in", {"ip6", "daddr", "fd00::1", "icmpv6", "type", "echo-request"}));
    EXPECT_TRUE(f.both(a_all, {"fd00::2"}, bound)) << f.flog() << f.klog();
    EXPECT_TRUE(contains(f.flog(), "Group web.demo.test: nodes fit over IPv6 again, fail open ends")) << f.flog();

    // Its IPv4 dropped instead: no fit node over IPv4 but "four"; AAAA untouched.
    ASSERT_TRUE(f.flush());
    ASSERT_TRUE(f.rule("in", {"ip", "daddr", "127.0.0.1", "icmp", "type", "echo-request"}));
    EXPECT_TRUE(f.both({"127.0.0.2"}, aaaa_all, bound)) << f.flog() << f.klog();
    close(lsock);
}

}  // namespace
