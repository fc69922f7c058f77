// cluster.conf and the etcd client, against a real three-member etcd
// cluster on loopback addresses of the test's own network namespace.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "cluster/config.h"
#include "cluster/etcd.h"
#include "tests/support/etcd_cluster.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;
using cluster::Config;
using cluster::Etcd;
using cluster::LeaderKey;

namespace {

bool parse(const std::string &text, Config &c, std::vector<std::string> &errors) {
    return cluster::parse_config(text, "/r/cluster.conf", c, errors);
}

}  // namespace

TEST(ClusterConfig, DefaultsAndEveryKey) {
    Config c;
    std::vector<std::string> errors;
    ASSERT_TRUE(parse("", c, errors));
    EXPECT_FALSE(c.enabled());
    EXPECT_EQ(c.cluster, "tessaron");
    EXPECT_EQ(c.lease, 5);
    EXPECT_FALSE(c.name.empty());   // the host name

    ASSERT_TRUE(parse("# two masters\n"
                      "etcd http://127.0.0.11:2379, https://[::1]:2379/ ,http://etcd3\n"
                      "cluster  west-1   # comment\n"
                      "name master a\n"
                      "lease 2\r\n"
                      "etcd-ca /etc/ca.pem\netcd-cert /c.pem\netcd-key /k.pem\n"
                      "etcd-user kord:pa:ss\n",
                      c, errors))
        << errors[0];
    EXPECT_TRUE(c.enabled());
    EXPECT_EQ(c.endpoints, (std::vector<std::string>{"http://127.0.0.11:2379", "https://[::1]:2379", "http://etcd3"}));
    EXPECT_EQ(c.cluster, "west-1");
    EXPECT_EQ(c.name, "master a");
    EXPECT_EQ(c.lease, 2);
    EXPECT_EQ(c.ca, "/etc/ca.pem");
    EXPECT_EQ(c.user, "kord");
    EXPECT_EQ(c.password, "pa:ss");
}

TEST(ClusterConfig, ErrorsNameFileLineAndValue) {
    struct Case {
        std::string text, want;
    } cases[] = {
        {"etcd 127.0.0.1:2379\n", "/r/cluster.conf:1: etcd: \"127.0.0.1:2379\" is not an http"},
        {"etcd http://a,ftp://b\n", "\"ftp://b\""},
        {"etcd http://a:0\n", "\"http://a:0\""},
        {"etcd http://a:99999\n", "\"http://a:99999\""},
        {"etcd http://u@a\n", "\"http://u@a\""},
        {"etcd http://a/v3\n", "\"http://a/v3\""},
        {"etcd http://\n", "\"http://\""},
        {"\nlease 1\n", "/r/cluster.conf:2: lease: \"1\" is not a number of seconds from 2 to 60"},
        {"lease 61\n", "\"61\""},
        {"lease 5s\n", "\"5s\""},
        {"cluster a.b\n", "cluster: \"a.b\""},
        {"cluster -a\n", "cluster: \"-a\""},
        {"cluster " + std::string(51, 'a') + "\n", "cluster:"},
        {"etcd-user kord\n", "etcd-user: \"kord\" is not USER:PASSWORD"},
        {"etcd-user :pw\n", "etcd-user:"},
        {"etcd-cert /c.pem\n", "/r/cluster.conf:1: etcd-cert: a client certificate needs both"},
        {"etcd-key /k.pem\n", "etcd-key: a client certificate needs both"},
        {"lease 5\nlease 6\n", "/r/cluster.conf:2: lease: given twice"},
        {"leader yes\n", "/r/cluster.conf:1: leader: unknown key"},
        {"name\n", "name: a value is needed"},
        {"name a\x01b\n", "control characters"},
    };
    for (const auto &k : cases) {
        Config c;
        c.cluster = "untouched";
        std::vector<std::string> errors;
        EXPECT_FALSE(parse(k.text, c, errors)) << k.text;
        ASSERT_FALSE(errors.empty()) << k.text;
        EXPECT_TRUE(testutil::contains(errors[0], k.want)) << k.text << " gave " << errors[0];
        EXPECT_EQ(c.cluster, "untouched") << "a refused file must leave the configuration alone";
    }
}

TEST(ClusterConfig, LoadChecksTheTlsFiles) {
    testutil::TempDir d;
    Config c;
    std::vector<std::string> errors;
    // Absent: alone, no error.
    EXPECT_TRUE(cluster::load_config(d / "cluster.conf", c, errors));
    EXPECT_FALSE(c.enabled());
    testutil::write_file(d / "ca.pem", "x");
    testutil::write_file(d / "cluster.conf", "etcd https://127.0.0.11:2379\netcd-ca " + (d / "ca.pem") +
                                                 "\netcd-cert " + (d / "missing.pem") + "\netcd-key " +
                                                 (d / "ca.pem") + "\n");
    EXPECT_FALSE(cluster::load_config(d / "cluster.conf", c, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], d / "cluster.conf" + ":3: etcd-cert: " + (d / "missing.pem") + ": No such file or directory");
    EXPECT_FALSE(c.enabled());
}

TEST(ClusterBase64, RoundTrips) {
    for (const std::string &s : std::vector<std::string>{"", "a", "ab", "abc", "abcd", std::string("\0\xff\x10", 3)}) {
        std::string back;
        ASSERT_TRUE(cluster::base64_decode(cluster::base64_encode(s), back));
        EXPECT_EQ(back, s);
    }
    std::string out;
    EXPECT_FALSE(cluster::base64_decode("ab=c", out));
    EXPECT_FALSE(cluster::base64_decode("a*bc", out));
}

class EtcdTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testutil::in_private_netns()) GTEST_SKIP() << "needs a private network namespace";
        if (access("/usr/bin/etcd", X_OK) != 0) GTEST_SKIP() << "etcd not installed";
        etcd = std::make_unique<testutil::EtcdCluster>();
        ASSERT_TRUE(etcd->ok()) << "etcd did not come up; logs in " << etcd->dir();
        cfg.endpoints = {etcd->endpoint(0), etcd->endpoint(1), etcd->endpoint(2)};
    }
    std::unique_ptr<testutil::EtcdCluster> etcd;
    Config cfg;
};

TEST_F(EtcdTest, LeaseLivesWhileKeptAliveAndDiesAfter) {
    Etcd e(cfg);
    std::string why;
    int64_t id = 0, ttl = 0;
    ASSERT_TRUE(e.grant(2, id, why)) << why;
    ASSERT_NE(id, 0);
    for (int i = 0; i < 4; i++) {
        std::this_thread::sleep_for(700ms);
        ASSERT_TRUE(e.keepalive(id, ttl, why)) << why;
        EXPECT_GT(ttl, 0) << "kept alive, the lease must live";
    }
    // Gone after its TTL without keepalives (a keepalive would renew it):
    // no TTL in the answer.
    std::this_thread::sleep_for(4s);
    ASSERT_TRUE(e.keepalive(id, ttl, why)) << why;
    EXPECT_EQ(ttl, 0);
    int64_t id2 = 0;
    ASSERT_TRUE(e.grant(5, id2, why)) << why;
    ASSERT_TRUE(e.revoke(id2, why)) << why;
    ASSERT_TRUE(e.keepalive(id2, ttl, why)) << why;
    EXPECT_EQ(ttl, 0);
}

TEST_F(EtcdTest, OneLeaderEpochsGrowAndResignHandsOver) {
    Etcd a(cfg), b(cfg);
    std::string why;
    int64_t la = 0, lb = 0;
    ASSERT_TRUE(a.grant(5, la, why)) << why;
    ASSERT_TRUE(b.grant(5, lb, why)) << why;
    LeaderKey ka, kb;
    ASSERT_TRUE(a.campaign("/tessaron/election/t", "host-a", la, 5000, ka, why)) << why;
    EXPECT_GT(ka.rev, 0);
    // b waits: its campaign ends only at its bound.
    EXPECT_FALSE(b.campaign("/tessaron/election/t", "host-b", lb, 700, kb, why));
    LeaderKey cur;
    bool found = false;
    ASSERT_TRUE(b.leader("/tessaron/election/t", cur, found, why)) << why;
    ASSERT_TRUE(found);
    EXPECT_EQ(cur.value, "host-a");
    EXPECT_EQ(cur.rev, ka.rev);

    std::atomic<bool> won{false};
    std::thread t([&] { won = b.campaign("/tessaron/election/t", "host-b", lb, 10000, kb, why); });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(won);
    std::string why_a;
    ASSERT_TRUE(a.resign(ka, why_a)) << why_a;
    t.join();
    ASSERT_TRUE(won) << why;
    EXPECT_GT(kb.rev, ka.rev) << "the next leader's epoch must be higher";
    ASSERT_TRUE(a.leader("/tessaron/election/t", cur, found, why_a)) << why_a;
    EXPECT_EQ(cur.value, "host-b");
}

TEST_F(EtcdTest, LostLeaseEndsTheLeadership) {
    Etcd a(cfg), b(cfg);
    std::string why;
    int64_t la = 0, lb = 0;
    ASSERT_TRUE(a.grant(2, la, why)) << why;
    ASSERT_TRUE(b.grant(10, lb, why)) << why;
    LeaderKey ka, kb;
    ASSERT_TRUE(a.campaign("/tessaron/election/t", "a", la, 5000, ka, why)) << why;
    // a stops keeping its lease: b is elected within the lease and a bit.
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(b.campaign("/tessaron/election/t", "b", lb, 10000, kb, why)) << why;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 6s);
    EXPECT_GT(kb.rev, ka.rev);
}

TEST_F(EtcdTest, AbortEndsABlockedCampaign) {
    Etcd a(cfg), b(cfg);
    std::string why, why_b;
    int64_t la = 0, lb = 0;
    ASSERT_TRUE(a.grant(10, la, why)) << why;
    ASSERT_TRUE(b.grant(10, lb, why)) << why;
    LeaderKey ka, kb;
    ASSERT_TRUE(a.campaign("/e", "a", la, 5000, ka, why)) << why;
    std::atomic<bool> done{false};
    std::thread t([&] {
        b.campaign("/e", "b", lb, 60000, kb, why_b);
        done = true;
    });
    std::this_thread::sleep_for(200ms);
    b.abort();
    EXPECT_TRUE(testutil::wait_until([&] { return done.load(); }, 5s));
    t.join();
    EXPECT_EQ(why_b, "stopped");
}

TEST_F(EtcdTest, CreateIfAbsentOnceWhileTheLeaseLives) {
    Etcd a(cfg), b(cfg);
    std::string why, holder;
    int64_t l = 0;
    ASSERT_TRUE(a.grant(2, l, why)) << why;
    bool created = false;
    ASSERT_TRUE(a.create_if_absent("/tessaron/alert/x", "host-a", l, created, holder, why)) << why;
    EXPECT_TRUE(created);
    ASSERT_TRUE(b.create_if_absent("/tessaron/alert/x", "host-b", 0, created, holder, why)) << why;
    EXPECT_FALSE(created);
    EXPECT_EQ(holder, "host-a");
    // The lease ends: the key goes with it.
    EXPECT_TRUE(testutil::wait_until(
        [&] {
            int64_t l2 = 0;
            return b.grant(5, l2, why) && b.create_if_absent("/tessaron/alert/x", "host-b", l2, created, holder, why) &&
                   created;
        },
        8s));
}

TEST_F(EtcdTest, OneMemberDownIsNoOutageQuorumLostIsAnError) {
    Etcd a(cfg);
    a.set_timeout(1500);
    std::string why;
    int64_t l = 0;
    etcd->stop(0);
    ASSERT_TRUE(a.grant(5, l, why)) << why;   // the next endpoint answers
    etcd->stop(1);
    int64_t ttl = 0;
    // The last member notices within its election timeout.
    EXPECT_TRUE(testutil::wait_until([&] { return !a.keepalive(l, ttl, why); }, 10s));
    EXPECT_FALSE(why.empty());
    ASSERT_TRUE(etcd->start(1));
    EXPECT_TRUE(testutil::wait_until([&] { return a.keepalive(l, ttl, why) && ttl > 0; }, 20s)) << why;
}

TEST_F(EtcdTest, UnreachableEndpointsSayWhere) {
    Config bad;
    bad.endpoints = {"http://127.0.0.99:2379", "http://127.0.0.98:1"};
    Etcd e(bad);
    std::string why;
    int64_t id = 0;
    EXPECT_FALSE(e.grant(5, id, why));
    EXPECT_TRUE(testutil::contains(why, "http://127.0.0.99:2379: ")) << why;
    EXPECT_TRUE(testutil::contains(why, "http://127.0.0.98:1: ")) << why;
}

TEST_F(EtcdTest, AuthenticatedUser) {
    auto ctl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/etcdctl", "--endpoints", etcd->endpoint(0)});
        return testutil::run(args, {"ETCDCTL_API=3"});
    };
    ASSERT_EQ(ctl({"user", "add", "root:rootpw"}).status, 0);
    ASSERT_EQ(ctl({"user", "add", "kord:kordpw"}).status, 0);
    ASSERT_EQ(ctl({"role", "add", "master"}).status, 0);
    ASSERT_EQ(ctl({"role", "grant-permission", "master", "--prefix=true", "readwrite", "/tessaron/"}).status, 0);
    ASSERT_EQ(ctl({"user", "grant-role", "kord", "master"}).status, 0);
    ASSERT_EQ(ctl({"auth", "enable"}).status, 0);
    Config c = cfg;
    c.user = "kord";
    c.password = "kordpw";
    Etcd e(c);
    std::string why, holder;
    bool created = false;
    EXPECT_TRUE(e.create_if_absent("/tessaron/k", "v", 0, created, holder, why)) << why;
    EXPECT_TRUE(created);
    EXPECT_FALSE(e.create_if_absent("/other/k", "v", 0, created, holder, why));
    EXPECT_TRUE(testutil::contains(why, "permission denied")) << why;
    c.password = "wrong";
    Etcd w(c);
    EXPECT_FALSE(w.create_if_absent("/tessaron/k", "v", 0, created, holder, why));
    EXPECT_TRUE(testutil::contains(why, "authentication failed")) << why;
}
