// Alert mail in a cluster: the kord that creates the alert's key in etcd
// mails it, the others log who did; without etcd every kord mails.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sys/stat.h>

#include <cstring>
#include <thread>

#include "cluster/config.h"
#include "cluster/etcd.h"
#include "master/kord.h"
#include "tests/support/etcd_cluster.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;
using testutil::contains;

namespace {

void alert(const std::string &what) {
    std::string subject = std::string(kord::g_host_name) + ": " + what;
    MailRequest r{};
    r.to = r.from = "ops@demo.test";
    r.subject = subject.c_str();
    r.body = "down";
    kord::post_alert_mail(&r, 2);
}

}  // namespace

TEST(ClusterAlerts, OneHostMailsEachAlertAndNoEtcdMeansMailAsAlone) {
    if (!testutil::in_private_netns()) GTEST_SKIP() << "needs a private network namespace";
    if (access("/usr/bin/etcd", X_OK) != 0) GTEST_SKIP() << "etcd not installed";
    const std::string &log = testutil::log_file("cluster_alerts");
    const std::string &root = testutil::process_root();
    testutil::EtcdCluster etcd;
    ASSERT_TRUE(etcd.ok()) << etcd.dir();
    testutil::TempDir mail;
    auto sink = testutil::smtp_sink("127.0.0.1", mail.path());
    ASSERT_TRUE(sink);
    setenv("TESSARON_SMTP_RELAY", "127.0.0.1:25", 1);
    std::strcpy(kord::g_host_name, "host-a");
    testutil::write_file(root + "/cluster.conf", "etcd " + etcd.endpoints() + "\ncluster west\nname host-a\n");

    // host-b got there first for node n1.
    cluster::Config cfg;
    cfg.endpoints = {etcd.endpoint(1)};
    cluster::Etcd other(cfg);
    bool created = false;
    std::string holder, why;
    int64_t lease = 0;
    ASSERT_TRUE(other.grant(120, lease, why)) << why;
    ASSERT_TRUE(other.create_if_absent("/tessaron/west/alert/web n1", "host-b", lease, created, holder, why)) << why;
    ASSERT_TRUE(created);

    alert("web n1");
    alert("web n2");
    alert("web n2");   // the same alert again within the interval: one mail
    EXPECT_TRUE(testutil::wait_until(
        [&] { return testutil::contains(testutil::read_file(log), "\"host-a: web n1\": sent by host-b of cluster west"); },
        10s))
        << testutil::read_file(log);
    EXPECT_TRUE(testutil::wait_until([&] { return testutil::mails(mail.path()).size() == 1; }, 10s));
    EXPECT_TRUE(testutil::wait_until(
        [&] { return testutil::contains(testutil::read_file(log), "\"host-a: web n2\": sent by host-a of cluster west"); },
        10s))
        << testutil::read_file(log);
    std::vector<std::string> m = testutil::mails(mail.path());
    ASSERT_EQ(m.size(), 1u);
    EXPECT_TRUE(testutil::contains(m[0], "web n2"));
    // The key names this host for the alert interval.
    ASSERT_TRUE(other.create_if_absent("/tessaron/west/alert/web n2", "host-b", 0, created, holder, why)) << why;
    EXPECT_FALSE(created);
    EXPECT_EQ(holder, "host-a");

    // etcd gone: the alert is mailed all the same, with a warning.
    for (int i = 0; i < 3; i++) etcd.stop(i);
    alert("web n3");
    EXPECT_TRUE(testutil::wait_until([&] { return testutil::mails(mail.path()).size() == 2; }, 20s))
        << testutil::read_file(log);
    EXPECT_TRUE(testutil::contains(testutil::read_file(log), "Cluster west: etcd unreachable ("));
    kord::mailer_stop();
}

TEST(ClusterAlerts, CheckReportsABadClusterConf) {
    const std::string &root = testutil::process_root();
    testutil::write_file(root + "/cluster.conf", "etcd 127.0.0.1:2379\nlease 1\n");
    kord::CheckResult r = kord::check_config(false);
    int found = 0;
    for (const auto &f : r.findings) {
        if (f.file != root + "/cluster.conf") continue;
        EXPECT_EQ(f.severity, kord::kCheckError);
        found++;
        if (f.line == 1) {
            EXPECT_EQ(f.field, "etcd");
            EXPECT_TRUE(testutil::contains(f.problem, "\"127.0.0.1:2379\"")) << f.problem;
        } else {
            EXPECT_EQ(f.line, 2);
            EXPECT_EQ(f.field, "lease");
        }
    }
    EXPECT_EQ(found, 2);
}

// Two real kords of one cluster watch the same node; it goes down: one mail
// at the sink, and the other kord logs who sent it.
TEST(ClusterAlerts, TwoKordsMailANodeDownOnce) {
    if (!testutil::in_private_netns()) GTEST_SKIP() << "needs a private network namespace";
    if (access("/usr/bin/etcd", X_OK) != 0) GTEST_SKIP() << "etcd not installed";
    if (!testutil::nft({"add", "table", "ip", "catest"}) ||
        !testutil::nft({"add", "chain", "ip", "catest", "in", "{ type filter hook input priority 0; }"}))
        GTEST_SKIP() << "nft not usable";
    testutil::EtcdCluster etcd;
    ASSERT_TRUE(etcd.ok()) << etcd.dir();
    testutil::TempDir d;
    mkdir((d / "mail").c_str(), 0755);
    auto sink = testutil::smtp_sink("127.0.0.1", d / "mail");
    ASSERT_TRUE(sink);
    std::vector<std::unique_ptr<testutil::Proc>> kords;
    for (const char *host : {"a", "b"}) {
        std::string root = d / (std::string("root-") + host);
        for (const char *sub : {"", "/data", "/nsdb", "/nsdb/cn", "/nodes", "/ports"}) mkdir((root + sub).c_str(), 0755);
        testutil::write_file(root + "/gpfile",
                             "web:demo.test:pw:250000:rtt:1:1:150000:10000::ops@demo.test:1:0:127.0.0.1,127.0.0.2\n");
        testutil::write_file(root + "/cluster.conf", "etcd " + etcd.endpoints() + "\nname kord-" + host + "\n");
        kords.push_back(std::make_unique<testutil::Proc>(
            std::vector<std::string>{testutil::bin_path("kord")},
            std::vector<std::string>{"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (d / (std::string("kord-") + host + ".log")),
                                     "TESSARON_SMTP_RELAY=127.0.0.1:25"},
            d / (std::string("kord-") + host + ".out")));
    }
    auto log = [&](const char *h) { return testutil::read_file(d / (std::string("kord-") + h + ".log")); };
    ASSERT_TRUE(testutil::wait_until([&] { return contains(log("a"), "Start Tessaron") && contains(log("b"), "Start Tessaron"); }, 10s))
        << log("a") << log("b");
    std::this_thread::sleep_for(1s);   // the node is up at both
    ASSERT_TRUE(testutil::nft({"add", "rule", "ip", "catest", "in", "ip", "daddr", "127.0.0.2", "icmp", "type",
                               "echo-request", "drop"}));
    auto down_mails = [&] {
        int n = 0;
        for (const auto &m : testutil::mails(d / "mail")) n += contains(m, "web 127.0.0.2");
        return n;
    };
    EXPECT_TRUE(testutil::wait_until([&] { return down_mails() >= 1; }, 15s)) << log("a") << log("b");
    // Both kords have decided: one sent, the other logged who did.
    EXPECT_TRUE(testutil::wait_until(
        [&] {
            return contains(log("a") + log("b"), "web 127.0.0.2\": sent by kord-");
        },
        10s))
        << log("a") << log("b");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(down_mails(), 1) << log("a") << log("b");
    for (auto &k : kords) k->stop();
    testutil::nft({"delete", "table", "ip", "catest"});
}
