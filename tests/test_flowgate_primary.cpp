// flowgate against a Knot primary that goes away, comes back, loses its
// data or is given a wrong key, and under a kord that dies: what reaches
// the primary, and what the log, systemd and --once say.
#include <gtest/gtest.h>

#include <signal.h>
#include <algorithm>
#include <sys/socket.h>
#include <sys/un.h>

#include "tests/support/farm.h"

using namespace std::chrono_literals;
using farm::Addrs;
using farm::Farm;
using farm::answers;
using farm::conf;
using testutil::contains;
using testutil::read_file;
using testutil::write_file;

namespace {

const std::string kPrimary = "127.0.0.53";
const std::vector<std::string> kZones = {"demo.test"};

std::string node(int group, int k) { return "127.0." + std::to_string(10 + group) + "." + std::to_string(k); }

// The primary answers every group with want(i) (within the limit).
bool all_answer(const dnsserver::Server &s, int groups, const std::function<Addrs(int)> &want,
                std::chrono::milliseconds limit) {
    return testutil::wait_until([&] {
        for (int i = 0; i < groups; i++)
            if (dnsserver::query(s.addr, s.port, "g" + std::to_string(i) + ".demo.test") != want(i)) return false;
        return true;
    }, limit);
}

long long ms_since(std::chrono::steady_clock::time_point t) {
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
        .count();
}

// systemd's notify socket, read as flowgate writes to it.
struct NotifySocket {
    int fd = -1;
    std::string path, seen;
    explicit NotifySocket(const std::string &p) : path(p) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof sa.sun_path, "%s", p.c_str());
        if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~NotifySocket() {
        if (fd >= 0) close(fd);
    }
    bool wait_for(const std::string &what, std::chrono::milliseconds limit) {
        return testutil::wait_until([&] {
            char buf[1024];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) seen += std::string(buf, size_t(n)) + "\n";
            return contains(seen, what);
        }, limit);
    }
};

}  // namespace

// Knot stopped for about ten seconds while nodes change: no backoff grows,
// one line says the primary does not answer and one that it is back, and
// everything pending reaches it within seconds of its answering again.
TEST(FlowgatePrimary, OutageIsProbedAndCaughtUpAtOnce) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    Farm f;
    const int n = 40;
    for (int i = 0; i < n; i++) f.add("g" + std::to_string(i), "demo.test", {node(i, 1), node(i, 2)});
    ASSERT_TRUE(f.write());
    write_file(f.root + "/flowgate.conf", conf(kPrimary, dnsserver::kKeySecret));
    auto primary = dnsserver::knot(f.dir / "knot", kPrimary, 53, kZones);
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    auto fg = f.flowgate();
    auto both = [](int i) { return Addrs{node(i, 1), node(i, 2)}; };
    auto first = [](int i) { return Addrs{node(i, 1)}; };
    ASSERT_TRUE(all_answer(*primary, n, both, 15s)) << f.log();

    primary->stop();
    ASSERT_TRUE(testutil::wait_until([&] { return contains(f.log(), "does not answer"); }, 5s)) << f.log();
    // Nodes go down while it is away, in two steps.
    for (int i = 0; i < n / 2; i++) f.groups[size_t(i)].slot[1].ping.state = kord::kStateDown;
    ASSERT_TRUE(f.write());
    std::this_thread::sleep_for(5s);
    for (int i = n / 2; i < n; i++) f.groups[size_t(i)].slot[1].ping.state = kord::kStateDown;
    ASSERT_TRUE(f.write());
    std::this_thread::sleep_for(5s);

    primary = dnsserver::knot(f.dir / "knot", kPrimary, 53, kZones);
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    auto back = std::chrono::steady_clock::now();
    // Aimed at within 3 s of the primary answering; the bound leaves room
    // for a loaded machine. Groups go out in name order: the last one
    // answering right times the catch-up, then every group is checked.
    std::vector<std::string> names;
    for (int i = 0; i < n; i++) names.push_back("g" + std::to_string(i));
    std::string last = *std::max_element(names.begin(), names.end());
    EXPECT_TRUE(answers(*primary, last + ".demo.test", first(std::stoi(last.substr(1))), 10s)) << f.log();
    printf("%d groups: the last sent answered right %lld ms after the primary answered again\n", n, ms_since(back));
    EXPECT_TRUE(all_answer(*primary, n, first, 10s)) << f.log();

    std::string log = f.log();
    EXPECT_EQ(farm::count(log, "does not answer"), 1u) << log;
    EXPECT_EQ(farm::count(log, "answers again after"), 1u) << log;
    EXPECT_TRUE(contains(log, "Primary 127.0.0.53:53 does not answer (Connection refused)")) << log;
    EXPECT_TRUE(contains(log, "groups again")) << log;
    EXPECT_FALSE(contains(log, "retry in")) << log;   // no line per group per retry
    EXPECT_EQ(fg->stop(), 0);
}

// The primary's port silently dropped: an update without a reply starts
// the outage, as a refusal does, and the probe ends it.
TEST(FlowgatePrimary, SilentPrimaryCountsAsDownToo) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    if (system("nft add table ip fgsilent && nft add chain ip fgsilent in '{ type filter hook input priority 0; }'") != 0)
        GTEST_SKIP() << "nft not usable";
    Farm f;
    f.add("web", "demo.test", {"127.0.1.1", "127.0.1.2"});
    ASSERT_TRUE(f.write());
    write_file(f.root + "/flowgate.conf", conf(kPrimary, dnsserver::kKeySecret));
    auto primary = dnsserver::knot(f.dir / "knot", kPrimary, 53, kZones);
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    auto fg = f.flowgate();
    ASSERT_TRUE(answers(*primary, "web.demo.test", {"127.0.1.1", "127.0.1.2"}, 10s)) << f.log();

    ASSERT_TRUE(testutil::nft({"add", "rule", "ip", "fgsilent", "in", "ip", "daddr", kPrimary, "udp", "dport", "53",
                               "drop"}));
    f.groups[0].slot[1].ping.state = kord::kStateDown;
    ASSERT_TRUE(f.write());
    EXPECT_TRUE(testutil::wait_until([&] { return contains(f.log(), "does not answer"); }, 10s)) << f.log();
    EXPECT_TRUE(contains(f.log(), "Primary 127.0.0.53:53 does not answer (no reply to an update in 5 s); 1 update wait"))
        << f.log();
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(testutil::nft({"flush", "chain", "ip", "fgsilent", "in"}));
    EXPECT_TRUE(answers(*primary, "web.demo.test", {"127.0.1.1"}, 5s)) << f.log();
    std::string log = f.log();
    EXPECT_EQ(farm::count(log, "does not answer"), 1u) << log;
    EXPECT_TRUE(contains(log, "answers again after")) << log;
    EXPECT_TRUE(contains(log, "; sending 1 group again")) << log;
    EXPECT_FALSE(contains(log, "retry in")) << log;
    EXPECT_EQ(fg->stop(), 0);
    (void)system("nft delete table ip fgsilent");
}

// Knot restarted with its journal gone: the zone's serial goes back and
// every group is sent again. A record changed behind flowgate's back is
// found by the slow round of owner checks. SIGHUP sends every group.
TEST(FlowgatePrimary, LostDataIsRepairedAndReloadSendsEveryGroup) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    Farm f;
    const int n = 3;
    for (int i = 0; i < n; i++) f.add("g" + std::to_string(i), "demo.test", {node(i, 1), node(i, 2)});
    ASSERT_TRUE(f.write());
    write_file(f.root + "/flowgate.conf", conf(kPrimary, dnsserver::kKeySecret));
    auto primary = dnsserver::knot(f.dir / "knot", kPrimary, 53, kZones);
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    auto fg = f.flowgate();
    auto both = [](int i) { return Addrs{node(i, 1), node(i, 2)}; };
    ASSERT_TRUE(all_answer(*primary, n, both, 15s)) << f.log();
    // Let a serial check see the updated zone before it is lost.
    std::this_thread::sleep_for(2500ms);

    primary->stop();
    ASSERT_EQ(system(("rm -rf " + f.dir / "knot/db").c_str()), 0);
    primary = dnsserver::knot(f.dir / "knot", kPrimary, 53, kZones);
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    auto restarted = std::chrono::steady_clock::now();
    EXPECT_TRUE(all_answer(*primary, n, both, 30s)) << f.log();
    printf("emptied primary repaired %lld ms after it answered again\n", ms_since(restarted));
    EXPECT_TRUE(contains(f.log(), "serial went back")) << f.log();

    // Someone else deletes one group's records: the serial goes up, and the
    // owner check finds the difference within a round.
    std::string del = "server " + kPrimary + "\nzone demo.test\nkey hmac-sha256:" + dnsserver::kKeyName + ":" +
                      dnsserver::kKeySecret + "\nupdate delete g1.demo.test A\nsend\n";
    write_file(f.dir / "del.txt", del);
    ASSERT_EQ(testutil::run({"/usr/bin/knsupdate", f.dir / "del.txt"}).status, 0);
    ASSERT_TRUE(dnsserver::query(kPrimary, 53, "g1.demo.test").empty());
    EXPECT_TRUE(answers(*primary, "g1.demo.test", both(1), 30s)) << f.log();
    EXPECT_TRUE(contains(f.log(), "Group g1.demo.test: the primary 127.0.0.53:53 answers A - (ttl 0), not what was sent"))
        << f.log();

    // SIGHUP: each group is published once more.
    size_t before = farm::count(f.log(), "Group g0.demo.test: published");
    kill(fg->pid, SIGHUP);
    EXPECT_TRUE(testutil::wait_until([&] {
        std::string log = f.log();
        for (int i = 0; i < n; i++)
            if (farm::count(log, "Group g" + std::to_string(i) + ".demo.test: published") < 2) return false;
        return farm::count(log, "Group g0.demo.test: published") > before;
    }, 5s)) << f.log();
    EXPECT_TRUE(contains(f.log(), "; every group is sent again")) << f.log();
    EXPECT_EQ(fg->stop(), 0);
}

// kord killed under flowgate: one line, STATUS= and --once say the states
// are stale while the last ones stay published; kord back: one line more.
TEST(FlowgatePrimary, DeadKordIsToldOnceAndStatesShownStale) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    Farm f;
    for (const char *d : {"/nodes", "/ports"}) mkdir((f.root + d).c_str(), 0755);
    write_file(f.root + "/gpfile", "web:demo.test:pw:250000:rtt:1:1:150000:10000:::1:0:127.0.0.1,127.0.0.2\n");
    write_file(f.root + "/flowgate.conf", conf(kPrimary, dnsserver::kKeySecret));
    auto primary = dnsserver::knot(f.dir / "knot", kPrimary, 53, kZones);
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    const std::vector<std::string> kord_env = {"TESSARON_ROOT=" + f.root, "TESSARON_LOG=" + (f.dir / "kord.log")};
    auto kord = std::make_unique<testutil::Proc>(std::vector<std::string>{testutil::bin_path("kord")}, kord_env,
                                                 f.dir / "kord.out");
    // flowgate starts once kord's heartbeat is there and its first probe
    // is done (until then the group publishes its zone file).
    testutil::RunResult once;
    ASSERT_TRUE(testutil::wait_until([&] {
        once = f.run({"--once"});
        return contains(once.out, " fresh  fit");
    }, 10s)) << once.out << read_file(f.dir / "kord.log");
    NotifySocket ns(f.dir / "notify");
    ASSERT_GE(ns.fd, 0);
    auto fg = f.flowgate({"NOTIFY_SOCKET=" + ns.path});
    const Addrs all = {"127.0.0.1", "127.0.0.2"};
    ASSERT_TRUE(answers(*primary, "web.demo.test", all, 15s)) << f.log() << read_file(f.dir / "kord.log");

    // Only what follows the kill counts.
    size_t mark = f.log().size();
    auto since = [&] { return f.log().substr(mark); };
    kord->stop(SIGKILL);
    EXPECT_TRUE(testutil::wait_until([&] { return contains(since(), "kord is not running"); }, 5s)) << f.log();
    EXPECT_TRUE(ns.wait_for("kord is not running, states are stale", 5s)) << ns.seen;
    once = f.run({"--once"});
    EXPECT_TRUE(contains(once.out, " stale  fit")) << once.out;
    EXPECT_TRUE(contains(once.err, "kord is not running")) << once.err;
    auto json = f.run({"--once", "--json"});
    EXPECT_TRUE(contains(json.out, "{\"kord\":\"not running\",\"states\":\"stale\",")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"states\":\"stale\",\"source\":\"fit\"")) << json.out;
    // The last states stay published.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(dnsserver::query(kPrimary, 53, "web.demo.test"), all);

    kord = std::make_unique<testutil::Proc>(std::vector<std::string>{testutil::bin_path("kord")}, kord_env,
                                            f.dir / "kord.out");
    EXPECT_TRUE(testutil::wait_until([&] { return contains(since(), "kord is running again"); }, 10s)) << f.log();
    json = f.run({"--once", "--json"});
    EXPECT_TRUE(contains(json.out, "{\"kord\":\"running\",\"states\":\"fresh\",")) << json.out;
    std::string log = since();
    EXPECT_EQ(farm::count(log, "kord is not running"), 1u) << log;
    EXPECT_EQ(farm::count(log, "kord is running again"), 1u) << log;
    EXPECT_EQ(fg->stop(), 0);
    EXPECT_EQ(kord->stop(), 0);
}

// --check signs one SOA query per zone: the right key passes, a wrong
// secret, a wrong key name and a zone the primary lacks are errors.
TEST(FlowgatePrimary, CheckTriesTheKeyAtThePrimary) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    Farm f;
    f.add("web", "demo.test", {"127.0.1.1"});
    ASSERT_TRUE(f.write());
    auto primary = dnsserver::knot(f.dir / "knot", kPrimary, 53, kZones);
    ASSERT_TRUE(dnsserver::wait_serving(*primary, "demo.test", 10s)) << read_file(primary->log);
    const std::string cf = f.root + "/flowgate.conf";

    write_file(cf, conf(kPrimary, dnsserver::kKeySecret));
    auto r = f.run({"--check"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "0 errors, 0 warnings")) << r.out;

    write_file(cf, conf(kPrimary, dnsserver::kWrongSecret));
    r = f.run({"--check"});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(contains(r.out, cf + ": server 127.0.0.53:53: zone demo.test: SOA query answered NOTAUTH, TSIG error "
                                     "BADSIG: the secret differs from the primary's (error)")) << r.out;

    write_file(cf, conf(kPrimary, dnsserver::kKeySecret, "", "no-such-key"));
    r = f.run({"--check"});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(contains(r.out, "TSIG error BADKEY: the primary knows no key")) << r.out;

    // A zone line naming a zone Knot does not serve, and a group line for
    // no group of the map: an error and a warning.
    write_file(cf, conf(kPrimary, dnsserver::kKeySecret, "zone other.test other.test\ngroup nosuch ttl 3\n"));
    r = f.run({"--check"});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(contains(r.out, "zone other.test: SOA query answered REFUSED: the primary does not serve this zone"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "group nosuch: no such group")) << r.out;
    EXPECT_TRUE(contains(r.out, "1 error, 1 warning")) << r.out;
}
