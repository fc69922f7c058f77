// flowgate, the traffic controller, against real DNS servers in the test's
// own network namespace: Knot DNS as primary (updates only with the test
// TSIG key) and as secondary by NOTIFY and IXFR, BIND 9 as another primary,
// kord with an agent watching loopback nodes silenced by nftables, and a
// tun device answering pings late for a node with a worse round trip.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <thread>

#include "tests/support/dns_servers.h"
#include "maps/records.h"
#include "util/net/ping.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;
using testutil::Proc;
using testutil::TempDir;
using testutil::contains;
using testutil::read_file;
using testutil::write_file;
using Addrs = std::vector<std::string>;

namespace {

const std::string kPrimary = "127.0.0.53", kSecondary = "127.0.0.54";

std::string conf(const std::string &server, const std::string &secret, const std::string &extra = "") {
    return "# test\nserver " + server + "\ntsig hmac-sha256:" + dnsserver::kKeyName + ":" + secret + "\n" + extra;
}

// An installation root with a data map and zone files written by the test.
struct Farm {
    TempDir dir;
    std::string root = dir / "root";
    std::deque<kord::GroupRecord> groups;   // references stay valid as groups are added

    Farm() {
        for (const char *d : {"", "/data", "/nsdb", "/nsdb/cn"}) mkdir((root + d).c_str(), 0755);
    }
    kord::GroupRecord &add(const std::string &name, const std::string &domain, const char *method,
                           const Addrs &nodes, uint32_t state = kord::kStateUp) {
        static const std::map<std::string, uint32_t> bits = {{"load", 1}, {"rtt", 8}, {"mem", 32},
                                                               {"failsafe", 64}, {"traffic_alloc", 128}};
        kord::GroupRecord g{};
        snprintf(g.name, sizeof g.name, "%s", name.c_str());
        snprintf(g.domain, sizeof g.domain, "%s", domain.c_str());
        g.method = bits.at(method);
        for (size_t k = 0; k < nodes.size(); k++) {
            snprintf(g.slot[k].name, sizeof g.slot[k].name, "%s", nodes[k].c_str());
            inet_pton(AF_INET, nodes[k].c_str(), &g.slot[k].addr);
            g.slot[k].ping.state = state;
            g.slot[k].agent_stats.word[0] = 1;
        }
        g.node_count = uint32_t(nodes.size());
        groups.push_back(g);
        return groups.back();
    }
    // Written in place, as kord writes: a mapping of the file sees it.
    void write() {
        int32_t n = int32_t(groups.size());
        std::vector<kord::GroupRecord> all(groups.begin(), groups.end());
        int fd = open((root + "/data/map.data").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_EQ(pwrite(fd, all.data(), all.size() * sizeof all[0], 0), ssize_t(all.size() * sizeof all[0]));
        close(fd);
        fd = open((root + "/data/.ctlmap").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_EQ(pwrite(fd, &n, 4, 0), 4);
        close(fd);
    }
    std::unique_ptr<Proc> flowgate(const std::vector<std::string> &env = {}) {
        std::vector<std::string> e = {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (dir / "flowgate.log")};
        e.insert(e.end(), env.begin(), env.end());
        return std::make_unique<Proc>(std::vector<std::string>{testutil::bin_path("flowgate")}, e,
                                      dir / "flowgate.out");
    }
    std::string log() const { return read_file(dir / "flowgate.log"); }
    testutil::RunResult run(std::vector<std::string> args) {
        args.insert(args.begin(), testutil::bin_path("flowgate"));
        return testutil::run(args, {"TESSARON_ROOT=" + root});
    }
};

bool answers(const dnsserver::Server &s, const std::string &name, const Addrs &want,
             std::chrono::milliseconds limit) {
    return testutil::wait_until([&] { return dnsserver::query(s.addr, s.port, name) == want; }, limit);
}

// Nodes on a tun device: echo requests to 10.99.0.x are answered after
// delay_ms[x] milliseconds, so a node can have a worse round trip.
struct SlowNodes {
    int fd = -1;
    std::atomic<bool> stop{false};
    std::atomic<int> delay_ms[256] = {};
    std::thread thread;

    bool start() {
        fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        ifreq ifr{};
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strcpy(ifr.ifr_name, "fgtun");
        if (fd < 0 || ioctl(fd, TUNSETIFF, &ifr) != 0) return false;
        if (system("ip addr add 10.99.0.1/24 dev fgtun && ip link set fgtun up") != 0) return false;
        thread = std::thread([this] { serve(); });
        return true;
    }
    void serve() {
        std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> later;
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 5);
            char buf[2048];
            ssize_t n = (p.revents & POLLIN) ? read(fd, buf, sizeof buf) : -1;
            auto now = std::chrono::steady_clock::now();
            if (n >= int(sizeof(ip) + 8)) {
                auto *h = reinterpret_cast<ip *>(buf);
                size_t hl = size_t(h->ip_hl) * 4;
                auto *icmp = reinterpret_cast<icmphdr *>(buf + hl);
                if (h->ip_p == IPPROTO_ICMP && icmp->type == ICMP_ECHO) {
                    std::swap(h->ip_src, h->ip_dst);   // the header sum stays right
                    icmp->type = ICMP_ECHOREPLY;
                    icmp->checksum = 0;
                    icmp->checksum = sorvan::icmp_checksum(reinterpret_cast<uint8_t *>(icmp), size_t(n) - hl);
                    int d = delay_ms[ntohl(h->ip_src.s_addr) & 0xff];
                    later.emplace_back(now + std::chrono::milliseconds(d), std::string(buf, size_t(n)));
                }
            }
            for (auto it = later.begin(); it != later.end();) {
                if (it->first <= now) {
                    (void)!write(fd, it->second.data(), it->second.size());
                    it = later.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    ~SlowNodes() {
        stop = true;
        if (thread.joinable()) thread.join();
        if (fd >= 0) close(fd);
    }
};

}  // namespace

// The options, the configuration check and every selection rule, through
// --once on a data map and zone file written here.
TEST(Flowgate, OptionsCheckAndSelectionRules) {
    Farm f;
    for (auto [arg, status] : {std::pair{"--help", 0}, {"--version", 0}, {"--bogus", 2}})
        EXPECT_EQ(f.run({arg}).status, status) << arg;

    const std::string cf = f.root + "/flowgate.conf";
    write_file(cf, "server 127.0.0.1:99999\nttl 5s\r\ntsig hmac-sha256:k:not*base64\nanswers -1\nbogus 1\n"
                   "group web answers x\nzone demo.test other.test\nttl 4\ngroup web ttl\n");
    auto r = f.run({"--check"});
    EXPECT_EQ(r.status, 2) << r.out;
    for (const std::string line :
         {":1: server: \"127.0.0.1:99999\"", ":2: ttl: \"5s\"", ":3: tsig: secret is not base64", ":4: answers: \"-1\"",
          ":5: bogus: unknown key", ":6: group web answers: \"x\"", ":7: zone demo.test: zone \"other.test\"",
          ":8: ttl: given again (first on line 2)", ":9: group web ttl: expected"})
        EXPECT_TRUE(contains(r.out, cf + line)) << line << "\n" << r.out;
    EXPECT_EQ(f.run({"--once"}).status, 2);

    // Every rule: fit nodes best first, answers, failsafe, shares, mirrors,
    // fail open, and the zone file's members before kord's first probe.
    auto &rtt = f.add("rtt", "demo.test", "rtt", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"});
    rtt.slot[0].last_ping = 5;
    rtt.slot[1].last_ping = 1;
    rtt.slot[2].ping.state = kord::kStateDown;
    rtt.slot[3].ping.state = kord::kStateFailing;   // still published, last
    rtt.slot[3].last_ping = -10;
    f.groups.push_back(f.groups.back());
    snprintf(f.groups.back().name, 32, "best");
    auto &load = f.add("load", "demo.test", "load", {"10.0.1.1", "10.0.1.2", "10.0.1.3", "10.0.1.4"});
    for (int k = 0; k < 4; k++) load.slot[k].mean_ratio = 0.5f - 0.1f * float(k);
    load.slot[1].agent.state = kord::kStateDown;
    load.slot[3].mem_status = kord::kMemLowBit;
    load.slot[0].port = 80;
    load.slot[0].port_status.state = kord::kStateFailing;
    auto &fs = f.add("fs", "demo.test", "failsafe", {"10.0.2.1", "10.0.2.2", "10.0.2.3"});
    fs.slot[0].ping.state = kord::kStateDown;
    fs.slot[1].fs_summary = kord::kFsAnyBit;   // thresholds count only where kord checks them
    auto &ta = f.add("ta", "demo.test", "traffic_alloc", {"10.0.3.1", "10.0.3.2", "10.0.3.3", "10.0.3.4"});
    int shares[] = {10, 0, 30, 20};
    for (int k = 0; k < 4; k++) ta.slot[k].traffic_alloc = shares[k];
    ta.slot[3].port = 443;
    ta.slot[3].port_status.state = kord::kStateDown;
    auto &mem = f.add("mem", "sub.demo.test", "mem", {"10.0.4.1", "10.0.4.2"});
    mem.slot[0].agent_stats.word[2] = 1000;
    mem.slot[1].agent_stats.word[2] = 9000;
    f.add("dead", "demo.test", "rtt", {"10.0.5.1", "10.0.5.2"}, kord::kStateDown);
    f.add("fresh", "demo.test", "rtt", {"10.0.6.1", "10.0.6.2"}, 0);
    auto &mirror = f.add("mirror", "mirror.test", "rtt", {"10.0.7.1", "10.0.7.2"});
    snprintf(mirror.peer, sizeof mirror.peer, "rtt.demo.test");
    mirror.slot[0].ping.state = kord::kStateDown;
    mirror.slot[1].name[0] = '\0';   // a mirror's slots end at the first without an address
    mirror.node_count = 0;
    f.write();
    write_file(f.root + "/nsdb/cn/demo.test.cndb", "rtt\t0\tIN\tA\t10.0.0.1\n"
                                                   "fresh\t0\tIN\tA\t10.0.6.9\n\t0\tIN\tA\t10.0.6.2\n");
    write_file(cf, "group nosuch answers 1\n");
    r = f.run({"--check"});
    EXPECT_EQ(r.status, 1) << r.out;   // no key and an unknown group: warnings
    EXPECT_TRUE(contains(r.out, "group nosuch: no such group")) << r.out;
    write_file(cf, conf("127.0.0.53", dnsserver::kKeySecret,
                        "ttl 7 # comment\ngroup best answers 1\ngroup rtt ttl 30\nzone sub.demo.test demo.test\n"));
    r = f.run({"--check"});
    EXPECT_EQ(r.status, 1) << r.out;   // no primary listens here: the key is not tried
    EXPECT_TRUE(contains(r.out, "does not answer (Connection refused): the key was not tried (warning)")) << r.out;

    r = f.run({"--once", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto group = [&](const std::string &name) {
        size_t at = r.out.find("\"name\":\"" + name + "\"");
        return at == std::string::npos ? std::string() : r.out.substr(at, r.out.find('}', at) - at);
    };
    auto expect = [&](const std::string &name, const std::string &source, const std::string &addrs) {
        std::string g = group(name);
        EXPECT_TRUE(contains(g, "\"source\":\"" + source + "\",\"addresses\":[" + addrs + "]")) << g;
    };
    expect("rtt", "fit", "\"10.0.0.2\",\"10.0.0.1\",\"10.0.0.4\"");
    EXPECT_TRUE(contains(group("rtt"), "\"ttl\":30")) << group("rtt");
    expect("best", "fit", "\"10.0.0.2\"");
    EXPECT_TRUE(contains(group("best"), "\"ttl\":7")) << group("best");
    expect("load", "fit", "\"10.0.1.3\",\"10.0.1.1\"");
    expect("fs", "fit", "\"10.0.2.2\"");
    expect("ta", "fit", "\"10.0.3.3\",\"10.0.3.1\"");
    expect("mem", "fit", "\"10.0.4.2\",\"10.0.4.1\"");
    EXPECT_TRUE(contains(group("mem"), "\"owner\":\"mem.sub.demo.test.\",\"zone\":\"demo.test.\"")) << group("mem");
    expect("dead", "fail-open", "\"10.0.5.1\",\"10.0.5.2\"");
    expect("fresh", "zone-file", "\"10.0.6.9\",\"10.0.6.2\"");
    expect("mirror", "fit", "\"10.0.7.2\"");
    r = f.run({"--once"});
    EXPECT_TRUE(contains(r.out, "fail-open 10.0.5.1 10.0.5.2")) << r.out;
}

// kord with one agent watches three loopback nodes (method load) and two
// tun nodes (method rtt, answers 1); flowgate keeps the primary's answers
// in step and the secondary follows by NOTIFY and IXFR.
TEST(Flowgate, FollowsKordAtKnotPrimaryAndSecondary) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    SlowNodes slow;
    ASSERT_TRUE(slow.start());
    slow.delay_ms[2] = 150;
    if (system("nft add table ip fgtest && nft add chain ip fgtest in '{ type filter hook input priority 0; }'") != 0)
        GTEST_SKIP() << "nft not usable";
    Farm f;
    for (const char *d : {"/nodes", "/ports"}) mkdir((f.root + d).c_str(), 0755);
    // retries 1, interval 0.25 s, time-out 0.15 s: a silent node goes down
    // within 2 x 0.25 + 0.15 s.
    write_file(f.root + "/gpfile", "web:demo.test:pw:250000:load:1:1:150000:10000:::1:0:127.0.0.1,127.0.0.2,127.0.0.3\n"
                                   "near:demo.test:pw:500000:rtt:1:1:400000:10000:::1:0:10.99.0.2,10.99.0.3\n");
    write_file(f.root + "/flowgate.conf", conf(kPrimary, dnsserver::kKeySecret, "group near answers 1\n"));
    auto primary = dnsserver::knot(f.dir / "knot1", kPrimary, 53, {"demo.test"}, "", kSecondary);
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    auto secondary = dnsserver::knot(f.dir / "knot2", kSecondary, 53, {"demo.test"}, kPrimary);
    ASSERT_TRUE(dnsserver::wait_serving(*secondary, "demo.test", 10s)) << read_file(secondary->log);
    Proc agent({testutil::bin_path("sorvan-agent"), "-p", "10000", "-k", "pw"}, {}, f.dir / "agent.out");
    Proc kord({testutil::bin_path("kord")}, {"TESSARON_ROOT=" + f.root, "TESSARON_LOG=" + (f.dir / "kord.log")},
              f.dir / "kord.out");
    auto fg = f.flowgate();

    const Addrs all = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
    ASSERT_TRUE(answers(*primary, "web.demo.test", all, 15s)) << f.log() << read_file(primary->log);
    ASSERT_TRUE(answers(*secondary, "web.demo.test", all, 5s)) << read_file(secondary->log);
    EXPECT_TRUE(answers(*primary, "near.demo.test", {"10.99.0.3"}, 10s)) << f.log();

    // A silenced node leaves within (retries + 1) x interval + time-out + 2 s
    // and comes back within as much; the secondary follows within 2 s.
    const auto bound = 2 * 250ms + 150ms + 2s;
    auto silence = [](const std::string &addr) {
        return testutil::nft({"add", "rule", "ip", "fgtest", "in", "ip", "daddr", addr, "icmp", "type", "echo-request", "drop"});
    };
    ASSERT_TRUE(silence("127.0.0.3"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(answers(*primary, "web.demo.test", {"127.0.0.1", "127.0.0.2"}, bound)) << f.log();
    auto t1 = std::chrono::steady_clock::now();
    EXPECT_TRUE(answers(*secondary, "web.demo.test", {"127.0.0.1", "127.0.0.2"}, 2s)) << read_file(secondary->log);
    printf("silenced node left the primary's answer after %lld ms, the secondary's %lld ms later\n",
           (long long)std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count(),
           (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t1).count());
    EXPECT_TRUE(contains(read_file(secondary->log), "IXFR, incoming")) << read_file(secondary->log);
    ASSERT_TRUE(testutil::nft({"flush", "chain", "ip", "fgtest", "in"}));
    EXPECT_TRUE(answers(*primary, "web.demo.test", all, bound)) << f.log();

    // The worse round trip moves: answers 1 follows the best node.
    slow.delay_ms[2] = 0;
    slow.delay_ms[3] = 150;
    EXPECT_TRUE(answers(*primary, "near.demo.test", {"10.99.0.2"}, 5s)) << f.log();

    // Every node silent: all members are published, and the log says so
    // once when it starts and once when it ends.
    for (const char *a : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) ASSERT_TRUE(silence(a));
    EXPECT_TRUE(testutil::wait_until([&] { return contains(f.log(), "Group web.demo.test: no fit node"); }, 5s))
        << f.log();
    EXPECT_TRUE(answers(*primary, "web.demo.test", all, 3s)) << f.log();
    ASSERT_TRUE(testutil::nft({"flush", "chain", "ip", "fgtest", "in"}));
    EXPECT_TRUE(testutil::wait_until([&] { return contains(f.log(), "Group web.demo.test: fit nodes again"); }, 5s))
        << f.log();
    EXPECT_TRUE(answers(*primary, "web.demo.test", all, 5s));
    std::string log = f.log();
    EXPECT_TRUE(contains(log, "Group web.demo.test: no fit node, publishing every member: 127.0.0.1 127.0.0.2 127.0.0.3 (fail open)")) << log;
    EXPECT_EQ(log.find("no fit node"), log.rfind("no fit node")) << log;
    EXPECT_TRUE(contains(log, "Group near.demo.test: published 10.99.0.2 (ttl 5, fit) at 127.0.0.53:53")) << log;

    // kord reloads with one group more: flowgate maps again and publishes it.
    std::ofstream(f.root + "/gpfile", std::ios::app) << "api:demo.test:pw:250000:rtt:1:1:150000:10000:::1:0:127.0.0.4\n";
    kill(kord.pid, SIGHUP);
    EXPECT_TRUE(answers(*primary, "api.demo.test", {"127.0.0.4"}, 10s)) << f.log() << read_file(f.dir / "kord.log");
    EXPECT_TRUE(answers(*primary, "web.demo.test", all, 1s)) << f.log();

    EXPECT_EQ(fg->stop(), 0);
    EXPECT_TRUE(contains(f.log(), "Stop Tessaron(tm) Traffic Controller")) << f.log();
    EXPECT_EQ(kord.stop(), 0);
    agent.stop();
    (void)system("nft delete table ip fgtest");
}

// A wrong key is refused and logged with the RCODE; SIGHUP brings the
// right one; the data map grows, shrinks under the mapping and recovers.
TEST(Flowgate, RefusedKeyReloadAndChangingMap) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    Farm f;
    f.add("web", "demo.test", "rtt", {"127.0.1.1", "127.0.1.2"});
    f.write();
    auto primary = dnsserver::knot(f.dir / "knot", kPrimary, 53, {"demo.test"});
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    const std::string cf = f.root + "/flowgate.conf";
    write_file(cf, conf(kPrimary, dnsserver::kWrongSecret));

    int ns = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", (f.dir / "notify").c_str());
    ASSERT_EQ(bind(ns, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    std::string notices;
    auto notice = [&](const std::string &what) {
        return testutil::wait_until([&] {
            char buf[512];
            ssize_t n;
            while ((n = recv(ns, buf, sizeof buf, MSG_DONTWAIT)) > 0) notices += std::string(buf, size_t(n)) + "\n";
            return contains(notices, what);
        }, 10s);
    };
    auto fg = f.flowgate({"NOTIFY_SOCKET=" + (f.dir / "notify")});
    EXPECT_TRUE(notice("READY=1"));
    ASSERT_TRUE(testutil::wait_until([&] { return contains(f.log(), "retry in 2 s"); }, 10s)) << f.log();
    EXPECT_TRUE(contains(f.log(), "Group web.demo.test: update refused by 127.0.0.53:53: NOTAUTH, TSIG error BADSIG; retry in 1 s"))
        << f.log();
    EXPECT_TRUE(dnsserver::query(kPrimary, 53, "web.demo.test").empty());

    write_file(cf, conf(kPrimary, dnsserver::kKeySecret, "ttl 9\n"));
    kill(fg->pid, SIGHUP);
    EXPECT_TRUE(notice("RELOADING=1"));
    EXPECT_TRUE(answers(*primary, "web.demo.test", {"127.0.1.1", "127.0.1.2"}, 5s)) << f.log();
    auto full = testutil::run({"/usr/bin/kdig", "@" + kPrimary, "+noall", "+answer", "web.demo.test", "A"});
    EXPECT_TRUE(contains(full.out, "\t9\tIN\tA\t127.0.1.1")) << full.out;
    write_file(cf, "ttl nine\n");
    kill(fg->pid, SIGHUP);
    EXPECT_TRUE(testutil::wait_until([&] { return contains(f.log(), "the running configuration stays"); }, 5s));

    // A node goes down: the change reaches the primary (well) within a second.
    f.groups[0].slot[1].ping.state = kord::kStateDown;
    f.write();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(answers(*primary, "web.demo.test", {"127.0.1.1"}, 3s)) << f.log();
    printf("map change to the primary's answer: %lld ms\n",
           (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());

    // kord restarted with one group more: flowgate maps again.
    f.add("api", "demo.test", "rtt", {"127.0.2.1"});
    f.write();
    EXPECT_TRUE(answers(*primary, "api.demo.test", {"127.0.2.1"}, 5s)) << f.log();
    // The file shrinks under the mapping, then is whole again.
    ASSERT_EQ(truncate((f.root + "/data/map.data").c_str(), 1000), 0);
    EXPECT_TRUE(testutil::wait_until([&] { return contains(f.log(), "Lost kord's maps"); }, 5s)) << f.log();
    f.groups[1].slot[0].ping.state = kord::kStateDown;
    f.groups[0].slot[1].ping.state = kord::kStateUp;
    f.write();
    EXPECT_TRUE(answers(*primary, "web.demo.test", {"127.0.1.1", "127.0.1.2"}, 5s)) << f.log();
    EXPECT_TRUE(notice("STATUS=2 groups, 1 failing open"));

    EXPECT_EQ(fg->stop(), 0);
    EXPECT_TRUE(notice("STOPPING=1"));
    close(ns);
}

// The same updates against BIND 9: another server accepts them too.
// (named listens only on the addresses of an interface: 127.0.0.1.)
TEST(Flowgate, UpdatesBindPrimary) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    Farm f;
    f.add("web", "demo.test", "failsafe", {"127.0.1.1", "127.0.1.2"});
    f.write();
    auto named = dnsserver::named(f.dir / "named", "127.0.0.1", 5300, {"demo.test"});
    ASSERT_TRUE(dnsserver::wait_serving(*named, "demo.test", 20s)) << read_file(named->log);
    write_file(f.root + "/flowgate.conf", conf("127.0.0.1:5300", dnsserver::kKeySecret));
    auto fg = f.flowgate();
    EXPECT_TRUE(answers(*named, "web.demo.test", {"127.0.1.1"}, 5s)) << f.log() << read_file(named->log);
    f.groups[0].slot[0].ping.state = kord::kStateDown;   // the standby takes over
    f.write();
    EXPECT_TRUE(answers(*named, "web.demo.test", {"127.0.1.2"}, 3s)) << f.log();
    EXPECT_EQ(fg->stop(), 0);
}

// A dual-stack, an IPv6-only and an IPv4-only node in one group: kord
// probes each family on its own and flowgate keeps the A and the AAAA set
// at the primary apart, each by its own family's states.
TEST(Flowgate, DualStackGroupAtKnot) {
    if (!testutil::own_network(true)) GTEST_SKIP() << "needs root for a network namespace of its own";
    Farm f;
    ASSERT_TRUE(testutil::test_names(f.dir.path(), "127.0.0.1 dual\nfd00::1 dual\nfd00::2 six\n127.0.0.2 four\n"));
    if (system("nft add table inet fg6 && nft add chain inet fg6 in '{ type filter hook input priority 0; }'") != 0)
        GTEST_SKIP() << "nft not usable";
    // Something to accept the probed port, over both families.
    int lsock = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(8080);
    ASSERT_EQ(bind(lsock, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    ASSERT_EQ(listen(lsock, 1024), 0);
    for (const char *d : {"/nodes", "/ports"}) mkdir((f.root + d).c_str(), 0755);
    write_file(f.root + "/ports/fallback.cfg", "8080/web\n");
    write_file(f.root + "/gpfile", "web:demo.test:pw:250000:rtt:1:1:150000:10000:::1:0:dual,six,four\n");
    write_file(f.root + "/flowgate.conf", conf(kPrimary, dnsserver::kKeySecret));
    auto primary = dnsserver::knot(f.dir / "knot1", kPrimary, 53, {"demo.test"});
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    Proc kord({testutil::bin_path("kord")}, {"TESSARON_ROOT=" + f.root, "TESSARON_LOG=" + (f.dir / "kord.log")},
              f.dir / "kord.out");
    auto fg = f.flowgate();
    auto both = [&](const Addrs &a, const Addrs &aaaa, std::chrono::milliseconds limit) {
        return testutil::wait_until([&] {
            return dnsserver::query(primary->addr, primary->port, "web.demo.test") == a &&
                   dnsserver::query(primary->addr, primary->port, "web.demo.test", "AAAA") == aaaa;
        }, limit);
    };
    auto klog = [&] { return read_file(f.dir / "kord.log"); };
    const Addrs a_all = {"127.0.0.1", "127.0.0.2"}, aaaa_all = {"fd00::1", "fd00::2"};
    // Every node probed up over each family it has, as kordstat shows it.
    std::string json;
    EXPECT_TRUE(testutil::wait_until([&] {
        json = testutil::run({testutil::bin_path("kordstat"), "--json"}, {"TESSARON_ROOT=" + f.root}).out;
        for (const char *want : {"\"name\":\"dual\",\"address\":\"127.0.0.1\",\"ping\":\"up\"",
                                 "\"name\":\"six\",\"address\":null,",
                                 "\"name\":\"four\",\"address\":\"127.0.0.2\",\"ping\":\"up\"",
                                 "\"address6\":\"fd00::1\",\"ping6\":\"up\",\"port6\":\"up\",\"last_ping6_ms\":",
                                 "\"address6\":\"fd00::2\",\"ping6\":\"up\",\"port6\":\"up\",\"last_ping6_ms\":",
                                 "\"address6\":null,\"ping6\":null"})
            if (!contains(json, want)) return false;
        return true;
    }, 15s)) << json << klog();
    ASSERT_TRUE(both(a_all, aaaa_all, 15s)) << f.log() << klog();

    // (retries + 1) x interval + time-out, and a pass of flowgate's.
    const auto bound = 2 * 250ms + 150ms + 2s;
    auto drop = [](const std::vector<std::string> &match) {
        std::vector<std::string> rule = {"add", "rule", "inet", "fg6", "in"};
        rule.insert(rule.end(), match.begin(), match.end());
        rule.push_back("drop");
        return testutil::nft(rule);
    };
    auto flush = [] { return testutil::nft({"flush", "chain", "inet", "fg6", "in"}); };

    // ICMPv6 to the dual-stack node dropped: it leaves the AAAA set alone.
    ASSERT_TRUE(drop({"ip6", "daddr", "fd00::1", "icmpv6", "type", "echo-request"}));
    EXPECT_TRUE(both(a_all, {"fd00::2"}, bound)) << f.log() << klog();
    EXPECT_TRUE(contains(klog(), "web/dual (fd00::1): ping6 up -> ")) << klog();
    ASSERT_TRUE(flush());
    EXPECT_TRUE(both(a_all, aaaa_all, bound)) << f.log();

    // Its IPv4 dropped instead: the reverse.
    ASSERT_TRUE(drop({"ip", "daddr", "127.0.0.1", "icmp", "type", "echo-request"}));
    EXPECT_TRUE(both({"127.0.0.2"}, aaaa_all, bound)) << f.log() << klog();
    ASSERT_TRUE(flush());
    EXPECT_TRUE(both(a_all, aaaa_all, bound)) << f.log();

    // The IPv6-only node's port refused: it leaves the AAAA set.
    ASSERT_TRUE(testutil::nft({"add", "rule", "inet", "fg6", "in", "ip6", "daddr", "fd00::2", "tcp", "dport", "8080",
                               "reject", "with", "tcp", "reset"}));
    EXPECT_TRUE(both(a_all, {"fd00::1"}, bound)) << f.log() << klog();
    EXPECT_TRUE(contains(klog(), "web/six (fd00::2): port6 8080 up -> ")) << klog();

    // No node fit over IPv6: every IPv6 member is published, the A set
    // keeps its fit nodes.
    ASSERT_TRUE(drop({"ip6", "daddr", "fd00::1", "icmpv6", "type", "echo-request"}));
    EXPECT_TRUE(both(a_all, aaaa_all, bound + 1s)) << f.log() << klog();
    ASSERT_TRUE(flush());
    close(lsock);
}
