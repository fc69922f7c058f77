// Two master hosts of one cluster (two roots, two flowgates) coordinated by
// a real three-member etcd cluster, publishing at a real Knot primary, all
// in the test's own network namespace. Each host's kord is stood in for by
// the test: it writes the host's data map and keeps kord's lock and
// heartbeat, so each host's view and its kord's death are the test's to set.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "maps/names.h"
#include "maps/records.h"
#include "tests/support/dns_servers.h"
#include "tests/support/etcd_cluster.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;
using testutil::contains;
using testutil::Proc;
using testutil::read_file;
using testutil::write_file;
using Addrs = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPrimary = "127.0.0.53";
const Addrs kNodes = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};

// One master host: its root, its data map, its stand-in kord, its flowgate.
struct Host {
    testutil::TempDir dir;
    std::string name, root = dir / "root";
    std::vector<std::pair<std::string, std::vector<uint32_t>>> groups;   // name -> state of each node
    std::atomic<bool> kord_alive{true}, stop{false};
    std::thread heartbeat;
    std::unique_ptr<Proc> fg;

    Host(const std::string &n, const std::string &cluster_conf,
         const std::vector<std::string> &group_names = {"web"})
        : name(n) {
        for (const char *d : {"", "/data", "/nsdb", "/nsdb/cn"}) mkdir((root + d).c_str(), 0755);
        write_file(root + "/flowgate.conf", "server " + kPrimary + "\ntsig hmac-sha256:" + dnsserver::kKeyName + ":" +
                                                dnsserver::kKeySecret + "\n");
        write_file(root + "/cluster.conf", cluster_conf + "name " + name + "\n");
        for (const auto &g : group_names) groups.push_back({g, {kord::kStateUp, kord::kStateUp, kord::kStateUp}});
        write_map();
        heartbeat = std::thread([this] { beat(); });
    }
    ~Host() {
        if (fg) kill(fg->pid, SIGCONT);
        fg.reset();
        stop = true;
        heartbeat.join();
    }
    // kord's lock on kord.pid and its heartbeat, while kord_alive.
    void beat() {
        int fd = -1;
        while (!stop) {
            if (kord_alive && fd < 0) {
                fd = open((root + "/data/kord.pid").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
                flock(fd, LOCK_EX);
            } else if (!kord_alive && fd >= 0) {
                close(fd);
                fd = -1;
            }
            if (kord_alive) {
                std::string t = "pid " + std::to_string(getpid()) + "\npass " + std::to_string(time(nullptr)) +
                                "\ninterval 1\n";
                write_file(root + "/data/kord.status.new", t);
                rename((root + "/data/kord.status.new").c_str(), (root + "/data/kord.status").c_str());
            }
            std::this_thread::sleep_for(200ms);
        }
        if (fd >= 0) close(fd);
    }
    void set(size_t group, size_t node, uint32_t state) {
        groups[group].second[node] = state;
        write_map();
    }
    void write_map() {
        std::vector<kord::GroupRecord> all;
        for (const auto &[gname, states] : groups) {
            kord::GroupRecord g{};
            snprintf(g.name, sizeof g.name, "%s", gname.c_str());
            snprintf(g.domain, sizeof g.domain, "demo.test");
            g.method = 1;   // load
            for (size_t k = 0; k < kNodes.size(); k++) {
                snprintf(g.slot[k].name, sizeof g.slot[k].name, "%s", kNodes[k].c_str());
                inet_pton(AF_INET, kNodes[k].c_str(), &g.slot[k].addr);
                g.slot[k].ping.state = states[k];
                g.slot[k].agent_stats.word[0] = 1;
            }
            g.node_count = uint32_t(kNodes.size());
            all.push_back(g);
        }
        int32_t n = int32_t(all.size());
        int fd = open((root + "/data/map.data").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_EQ(pwrite(fd, all.data(), all.size() * sizeof all[0], 0), ssize_t(all.size() * sizeof all[0]));
        close(fd);
        fd = open((root + "/data/.ctlmap").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_EQ(pwrite(fd, &n, 4, 0), 4);
        close(fd);
    }
    void start() {
        fg = std::make_unique<Proc>(std::vector<std::string>{testutil::bin_path("flowgate")},
                                    std::vector<std::string>{"TESSARON_ROOT=" + root,
                                                             "TESSARON_LOG=" + (dir / "flowgate.log")},
                                    dir / "flowgate.out");
    }
    std::string log() const { return read_file(dir / "flowgate.log"); }
    // A field of data/flowgate.status.
    std::string status(const std::string &key) const {
        std::string t = read_file(root + "/data/flowgate.status");
        size_t p = t.find(key + " ");
        if (p == std::string::npos || (p && t[p - 1] != '\n')) return "";
        size_t e = t.find('\n', p);
        return t.substr(p + key.size() + 1, e - p - key.size() - 1);
    }
    bool leads() const { return status("role") == "leader"; }
};

bool answers(const std::string &name, const Addrs &want, std::chrono::milliseconds limit) {
    return testutil::wait_until([&] { return dnsserver::query(kPrimary, 53, name) == want; }, limit);
}

std::string fence(const std::string &cluster = "tessaron") {
    Addrs a = dnsserver::query(kPrimary, 53, "_flowgate-" + cluster + ".demo.test", "TXT");
    std::string s;
    for (const auto &x : a) s += (s.empty() ? "" : " ") + x;
    return s;
}

struct World {
    std::unique_ptr<testutil::EtcdCluster> etcd;
    testutil::TempDir dir;
    std::unique_ptr<dnsserver::Server> knot;
    bool ok = false;
    World() {
        if (!testutil::in_private_netns() || access("/usr/bin/etcd", X_OK) != 0) return;
        etcd = std::make_unique<testutil::EtcdCluster>();
        knot = dnsserver::knot(dir / "knot", kPrimary, 53, {"demo.test"});
        ok = etcd->ok() && dnsserver::wait_serving(*knot, "demo.test", 10s);
    }
    std::string conf(int lease = 2, const std::string &cluster = "") const {
        return "etcd " + etcd->endpoints() + "\nlease " + std::to_string(lease) + "\n" +
               (cluster.empty() ? "" : "cluster " + cluster + "\n");
    }
};

// Waits for exactly one of the hosts to lead; gives it (or null).
Host *one_leader(Host &a, Host &b, std::chrono::milliseconds limit = 15s) {
    Host *l = nullptr;
    testutil::wait_until(
        [&] {
            l = a.leads() != b.leads() ? (a.leads() ? &a : &b) : nullptr;
            return l != nullptr;
        },
        limit);
    return l;
}

}  // namespace

#define WORLD()                                                                           \
    World w;                                                                              \
    if (!testutil::in_private_netns()) GTEST_SKIP() << "needs a private network namespace"; \
    if (access("/usr/bin/etcd", X_OK) != 0) GTEST_SKIP() << "etcd not installed";         \
    ASSERT_TRUE(w.ok) << "etcd or knot did not come up"

TEST(ClusterFlowgate, OneLeaderFollowsNodesAndSigkillHandsOver) {
    WORLD();
    Host a("host-a", w.conf()), b("host-b", w.conf());
    a.start();
    b.start();
    Host *l = one_leader(a, b);
    ASSERT_TRUE(l) << a.log() << b.log();
    Host *s = l == &a ? &b : &a;
    ASSERT_TRUE(answers("web.demo.test", kNodes, 10s)) << l->log();
    EXPECT_EQ(fence(), "\"" + l->status("epoch") + "\"");
    EXPECT_TRUE(testutil::wait_until([&] { return s->status("leader") == l->name; }, 5s)) << s->log();
    EXPECT_EQ(s->status("role"), "standby");
    EXPECT_TRUE(contains(l->log(), "Cluster tessaron: leader (epoch " + l->status("epoch") + ")")) << l->log();
    EXPECT_TRUE(testutil::wait_until([&] { return contains(s->log(), "Cluster tessaron: standby, leader " + l->name); }, 5s))
        << s->log();
    // Both views follow a node going down; the answer follows the leader.
    a.set(0, 2, kord::kStateDown);
    b.set(0, 2, kord::kStateDown);
    EXPECT_TRUE(answers("web.demo.test", {"127.0.0.1", "127.0.0.2"}, 3s)) << l->log();
    EXPECT_FALSE(contains(s->log(), "Group web.demo.test: published")) << "a standby never publishes\n" << s->log();

    // SIGKILL: the standby publishes within the lease and 2 s.
    std::string old_epoch = l->status("epoch");
    l->fg->stop(SIGKILL);
    auto t0 = Clock::now();
    ASSERT_TRUE(testutil::wait_until([&] { return s->leads(); }, 2s + 2s)) << s->log();
    auto took = Clock::now() - t0;
    EXPECT_GT(std::stoll(s->status("epoch")), std::stoll(old_epoch));
    EXPECT_TRUE(testutil::wait_until([&] { return fence() == "\"" + s->status("epoch") + "\""; }, 3s)) << s->log();
    // The next change reaches the primary.
    s->set(0, 2, kord::kStateUp);
    EXPECT_TRUE(answers("web.demo.test", kNodes, 3s)) << s->log();
    printf("takeover after SIGKILL: %lld ms (lease 2 s)\n",
           (long long)std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
}

TEST(ClusterFlowgate, SigtermHandsOverWithinTwoSeconds) {
    WORLD();
    Host a("host-a", w.conf(5)), b("host-b", w.conf(5));
    a.start();
    b.start();
    Host *l = one_leader(a, b);
    ASSERT_TRUE(l) << a.log() << b.log();
    Host *s = l == &a ? &b : &a;
    ASSERT_TRUE(answers("web.demo.test", kNodes, 10s));
    // kordstat tells the role.
    auto kordstat = [](Host *h, const char *opt) {
        std::vector<std::string> argv{testutil::bin_path("kordstat")};
        if (*opt) argv.push_back(opt);
        return testutil::run(argv, {"TESSARON_ROOT=" + h->root}).out;
    };
    std::string epoch = l->status("epoch");
    EXPECT_TRUE(contains(kordstat(l, "--json"), "\"flowgate\":{\"role\":\"leader\",\"cluster\":\"tessaron\",\"name\":\"" +
                                                    l->name + "\",\"leader\":\"" + l->name + "\",\"epoch\":" + epoch))
        << kordstat(l, "--json");
    EXPECT_TRUE(testutil::wait_until([&] { return contains(kordstat(s, "--json"), "\"role\":\"standby\""); }, 5s));
    std::string prom = kordstat(l, "--prometheus");
    EXPECT_TRUE(contains(prom, "\ntessaron_flowgate_leader 1\n")) << prom;
    EXPECT_TRUE(contains(prom, "\ntessaron_flowgate_epoch " + epoch + "\n")) << prom;
    EXPECT_TRUE(contains(kordstat(s, "--prometheus"), "\ntessaron_flowgate_leader 0\n"));
    EXPECT_TRUE(contains(kordstat(l, ""), "flowgate: leader of cluster tessaron (" + l->name + "), epoch " + epoch))
        << kordstat(l, "");
    auto t0 = Clock::now();
    EXPECT_EQ(l->fg->stop(SIGTERM), 0);
    EXPECT_TRUE(testutil::wait_until([&] { return s->leads(); }, 2s)) << s->log();
    EXPECT_TRUE(contains(l->log(), "Cluster tessaron: resigned (epoch")) << l->log();
    printf("takeover after SIGTERM: %lld ms (lease 5 s)\n",
           (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    s->set(0, 0, kord::kStateDown);
    EXPECT_TRUE(answers("web.demo.test", {"127.0.0.2", "127.0.0.3"}, 3s)) << s->log();
}

TEST(ClusterFlowgate, FrozenLeaderIsFencedByThePrimary) {
    WORLD();
    Host a("host-a", w.conf()), b("host-b", w.conf());
    a.start();
    ASSERT_TRUE(testutil::wait_until([&] { return a.leads(); }, 15s)) << a.log();
    b.start();
    ASSERT_TRUE(testutil::wait_until([&] { return b.status("role") == "standby"; }, 10s)) << b.log();
    ASSERT_TRUE(answers("web.demo.test", kNodes, 10s)) << a.log();
    // The views differ: on a's host node 3 is down, on b's node 1.
    kill(a.fg->pid, SIGSTOP);
    a.set(0, 2, kord::kStateDown);
    b.set(0, 0, kord::kStateDown);
    const Addrs b_view = {"127.0.0.2", "127.0.0.3"};
    ASSERT_TRUE(testutil::wait_until([&] { return b.leads(); }, 6s)) << b.log();
    ASSERT_TRUE(answers("web.demo.test", b_view, 3s)) << b.log();
    std::string epoch = b.status("epoch");
    kill(a.fg->pid, SIGCONT);
    // For the rest of the test the answer is b's, the fence b's epoch.
    auto until = Clock::now() + 4s;
    while (Clock::now() < until) {
        ASSERT_EQ(dnsserver::query(kPrimary, 53, "web.demo.test"), b_view) << a.log();
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(fence(), "\"" + epoch + "\"");
    EXPECT_TRUE(testutil::wait_until([&] { return contains(a.log(), "; standing down"); }, 5s)) << a.log();
    EXPECT_NE(a.status("role"), "leader");
    EXPECT_TRUE(b.leads());
}

TEST(ClusterFlowgate, LeaderWhoseKordDiedStepsDown) {
    WORLD();
    Host a("host-a", w.conf()), b("host-b", w.conf());
    a.start();
    ASSERT_TRUE(testutil::wait_until([&] { return a.leads(); }, 15s)) << a.log();
    b.start();
    ASSERT_TRUE(testutil::wait_until([&] { return b.status("role") == "standby"; }, 10s)) << b.log();
    a.kord_alive = false;
    auto t0 = Clock::now();
    // lease + two kord passes + 2 s
    ASSERT_TRUE(testutil::wait_until([&] { return b.leads(); }, 2s + 2s + 2s)) << a.log() << b.log();
    printf("takeover after kord's death: %lld ms\n",
           (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    EXPECT_TRUE(contains(a.log(), "kord is not running or stale; resigning")) << a.log();
    b.set(0, 1, kord::kStateDown);
    EXPECT_TRUE(answers("web.demo.test", {"127.0.0.1", "127.0.0.3"}, 3s)) << b.log();
    // A host with a dead kord does not campaign: a stays out.
    std::this_thread::sleep_for(3s);
    EXPECT_NE(a.status("role"), "leader");
    EXPECT_TRUE(b.leads());
}

TEST(ClusterFlowgate, QuorumLostLeaderPublishesStandbyWaits) {
    WORLD();
    Host a("host-a", w.conf(3)), b("host-b", w.conf(3));
    a.start();
    ASSERT_TRUE(testutil::wait_until([&] { return a.leads(); }, 15s)) << a.log();
    b.start();
    ASSERT_TRUE(testutil::wait_until([&] { return b.status("role") == "standby"; }, 10s)) << b.log();
    ASSERT_TRUE(answers("web.demo.test", kNodes, 10s));
    w.etcd->stop(0);
    w.etcd->stop(1);
    EXPECT_TRUE(testutil::wait_until([&] { return contains(a.log(), "etcd unreachable ("); }, 15s)) << a.log();
    EXPECT_TRUE(contains(a.log(), "; publishing under epoch " + a.status("epoch"))) << a.log();
    a.set(0, 1, kord::kStateDown);
    EXPECT_TRUE(answers("web.demo.test", {"127.0.0.1", "127.0.0.3"}, 3s)) << a.log();
    std::this_thread::sleep_for(4s);   // past the lease
    EXPECT_EQ(b.status("role"), "standby");
    EXPECT_FALSE(contains(b.log(), "published"));
    // The members return: one leader again, and it publishes.
    ASSERT_TRUE(w.etcd->start(0));
    ASSERT_TRUE(w.etcd->start(1));
    Host *l = one_leader(a, b, 30s);
    ASSERT_TRUE(l) << a.log() << b.log();
    l->set(0, 1, kord::kStateUp);
    EXPECT_TRUE(answers("web.demo.test", kNodes, 5s)) << l->log();
}

TEST(ClusterFlowgate, TwoClustersShareAZone) {
    WORLD();
    Host a("host-a", w.conf(2, "east"), {"web"}), b("host-b", w.conf(2, "west"), {"api"});
    a.start();
    b.start();
    ASSERT_TRUE(testutil::wait_until([&] { return a.leads() && b.leads(); }, 15s)) << a.log() << b.log();
    ASSERT_TRUE(answers("web.demo.test", kNodes, 10s)) << a.log();
    ASSERT_TRUE(answers("api.demo.test", kNodes, 10s)) << b.log();
    EXPECT_EQ(fence("east"), "\"" + a.status("epoch") + "\"");
    EXPECT_EQ(fence("west"), "\"" + b.status("epoch") + "\"");
    a.set(0, 0, kord::kStateDown);
    EXPECT_TRUE(answers("web.demo.test", {"127.0.0.2", "127.0.0.3"}, 3s));
    EXPECT_EQ(dnsserver::query(kPrimary, 53, "api.demo.test"), kNodes);
    EXPECT_FALSE(contains(a.log(), "fenced")) << a.log();
    EXPECT_FALSE(contains(b.log(), "fenced")) << b.log();
}

TEST(ClusterFlowgate, CheckAndStartRefuseABadClusterConf) {
    if (!testutil::in_private_netns()) GTEST_SKIP() << "needs a private network namespace";
    Host h("host-a", "etcd http://127.0.0.99:2379\n");
    auto check = [&] {
        return testutil::run({testutil::bin_path("flowgate"), "--check"}, {"TESSARON_ROOT=" + h.root});
    };
    testutil::RunResult r = check();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(contains(r.out, h.root + "/cluster.conf: etcd: no endpoint answers: http://127.0.0.99:2379: ")) << r.out;
    write_file(h.root + "/cluster.conf", "etcd https://127.0.0.99:2379\netcd-cert " + h.root + "/no.pem\netcd-key " +
                                             h.root + "/no.key\n");
    r = check();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(contains(r.out, h.root + "/cluster.conf:2: etcd-cert: " + h.root + "/no.pem: No such file or directory"))
        << r.out;
    // At start: the same words in the log, exit status 1.
    h.start();
    EXPECT_EQ(h.fg->stop(0), 1);   // signal 0: waits for the exit
    EXPECT_TRUE(contains(h.log(), "etcd-cert: " + h.root + "/no.pem: No such file or directory")) << h.log();
}
