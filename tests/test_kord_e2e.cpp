// kord end to end against dnsmasq, an SMTP sink, real ICMP and TCP on
// loopback, in a private network and mount namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>

#include "maps/records.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;

using testutil::count_with;
using testutil::Proc;

TEST(KordEndToEnd, SilentNodeClosedPortAndZoneFile) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    testutil::MailWorld world;   // resolver pointed at dnsmasq, mail sink on 127.0.0.1
    ASSERT_TRUE(world.ok);
    const testutil::TempDir &tmp = world.dir;
    // 127.0.0.3 never answers; echo requests to 127.0.0.4 never leave
    // (kord's sends fail with EPERM, a local error).
    if (!testutil::nft({"add table ip e2e { chain in { type filter hook input priority 0; "
                        "ip daddr 127.0.0.3 icmp type echo-request drop; }; chain out { type filter hook "
                        "output priority 0; ip daddr 127.0.0.4 icmp type echo-request drop; }; }"}))
        GTEST_SKIP() << "nft not usable";
    const std::string root = tmp / "root";
    for (const char *d : {"", "/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"}) mkdir((root + d).c_str(), 0755);
    // retries 2, interval 0.2 s, time-out 0.1 s, alert interval 1 min.
    testutil::write_file(root + "/gpfile",
                         "e2e:demo.test:pw:200000:rtt:1:2:100000:0::ops@demo.test:1:0:"
                         "127.0.0.1,127.0.0.3,127.0.0.4\n");
    uint16_t closed = 0;
    int cfd = testutil::loopback_socket(&closed, SOCK_STREAM, false);   // bound, never listening: refuses
    testutil::write_file(root + "/ports/e2e.demo.test.cfg",
                         std::to_string(closed) + "/closed/portwatch@demo.test\n");

    auto t0 = std::chrono::steady_clock::now();
    Proc kord({testutil::bin_path("kord")},
              {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (tmp / "kord.log")}, tmp / "kord.out");

    kord::GroupRecord g{};
    const std::string map = root + "/data/map.data";
    ASSERT_TRUE(testutil::wait_until(
        [&] { return testutil::read_record(map, 0, g) && g.slot[1].ping.state == kord::kStateDown; }, 20s))
        << testutil::read_file(tmp / "kord.log");
    // (retries + 1) x interval + time-out + 1 s, plus the start offset (one
    // interval): 2.4 s. Four times that still catches a wrong unit or a lost
    // round, and holds on a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4 * (3 * 200ms + 100ms + 1s + 200ms + 500ms));
    EXPECT_GE(g.slot[1].ping.failures, 3u);
    EXPECT_EQ(g.slot[0].ping.state, kord::kStateUp);

    ASSERT_TRUE(testutil::wait_until(
        [&] {
            auto m = world.mails();
            return count_with(m, "Cluster Node went down?", "e2e 127.0.0.3") >= 1 &&
                   count_with(m, "Cluster Node went down?", "e2e 127.0.0.4") >= 1 &&
                   count_with(m, "Port Down!", "RCPT TO:<portwatch@demo.test>") >= 1;
        },
        15s))
        << testutil::read_file(tmp / "kord.log");
    // The node stays down: no second mail within the alert interval.
    std::this_thread::sleep_for(2s);
    auto m = world.mails();
    EXPECT_EQ(count_with(m, "Cluster Node went down?", "e2e 127.0.0.3"), 1);
    EXPECT_EQ(count_with(m, "Cluster Node went down?", "e2e 127.0.0.4"), 1);
    // Greeted with kord's own host name, not the exchanger's.
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(count_with(m, "\r\nX-Helo: " + std::string(host), "RCPT TO:<ops@demo.test>"), 2);
    EXPECT_EQ(count_with(m, "Port Down!", "Port " + std::to_string(closed) + " is not responding?"), 1);
    EXPECT_EQ(count_with(m, "Cluster Node went down?", "127.0.0.1\r\n"), 0);

    testutil::read_record(map, 0, g);
    EXPECT_EQ(g.slot[2].ping.state, kord::kStateDown);
    EXPECT_LT(g.slot[2].last_ping, 0);
    EXPECT_GT(g.slot[2].last_ping, -10);
    const std::string log = testutil::read_file(tmp / "kord.log");
    auto lines = [&](const std::string &text) {
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
        return n;
    };
    EXPECT_EQ(lines("e2e/127.0.0.3 (127.0.0.3): ping failing -> down (no reply in time, rtt -11, 3 failures)"), 1)
        << log;
    EXPECT_EQ(lines("e2e/127.0.0.4 (127.0.0.4): ping local errors begin (rtt -4)"), 1) << log;
    EXPECT_EQ(lines("e2e/127.0.0.4 (127.0.0.4): ping failing -> down (local error, rtt -4, 5 passes)"), 1) << log;
    EXPECT_EQ(lines("KORD("), 1) << log;   // the ICMP warning, once per alert interval
    EXPECT_EQ(lines("e2e/127.0.0.1 (127.0.0.1): port " + std::to_string(closed) + " failing -> down (refused, 3 failures)"),
              1) << log;
    EXPECT_EQ(lines("mail to ops@demo.test \"" + std::string(host)), 2) << log;
    EXPECT_EQ(lines("\": accepted by mx.demo.test [127.0.0.1]:25 (250"), 3) << log;
    EXPECT_EQ(g.slot[0].port, closed);
    EXPECT_EQ(g.slot[0].port_status.state, kord::kStateDown);
    EXPECT_EQ(testutil::read_file(root + "/nsdb/cn/demo.test.cndb"),
              "e2e\t0\tIN\tA\t127.0.0.1\n\t0\tIN\tA\t127.0.0.3\n\t0\tIN\tA\t127.0.0.4\n");

    EXPECT_EQ(kord.stop(), 0);
    testutil::read_record(map, 0, g);
    EXPECT_EQ(g.slot[0].ping.state, kord::kStateUp);  // the map outlives kord
    close(cfd);
}

// Mail for stuck.test goes to an exchanger that accepts connections and
// never greets: every mail sits there for its whole reply time-out.
TEST(KordEndToEnd, StuckMailHoldsUpNoProbe) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    testutil::MailWorld world({"--mx-host=stuck.test,mx.stuck.test,10", "--host-record=mx.stuck.test,127.0.0.9"});
    ASSERT_TRUE(world.ok);
    const testutil::TempDir &tmp = world.dir;
    int mx = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{AF_INET, htons(25), {inet_addr("127.0.0.9")}, {}};
    ASSERT_EQ(bind(mx, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(mx, 16), 0);   // never accepted, never greeted

    const std::string root = tmp / "root";
    for (const char *d : {"", "/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"}) mkdir((root + d).c_str(), 0755);
    // Three members that do not resolve, each mailed about before any worker
    // starts; interval 1 s. And a node to silence: interval 0.2 s, retries 1.
    testutil::write_file(root + "/gpfile",
                         "busy:stuck.test:pw:1000000:rtt:1:1:300000:0::ops@stuck.test:1:0:"
                         "127.0.0.1,nosuch1.stuck.test,nosuch2.stuck.test,nosuch3.stuck.test,127.0.0.2\n"
                         "flap:stuck.test:pw:200000:rtt:1:1:100000:0::ops@stuck.test:1:0:127.0.0.3\n");
    auto t0 = std::chrono::steady_clock::now();
    Proc kord({testutil::bin_path("kord")}, {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (tmp / "kord.log")},
              tmp / "kord.out");
    const std::string map = root + "/data/map.data";
    kord::GroupRecord busy{}, flap{};
    ASSERT_TRUE(testutil::wait_until(
        [&] {
            return testutil::read_record(map, 0, busy) && busy.slot[0].ping.state == kord::kStateUp &&
                   busy.slot[1].ping.state == kord::kStateUp;
        },
        9s))
        << testutil::read_file(tmp / "kord.log");
    // Two intervals when idle. A probe held up by the mails would wait at
    // least one mail's 10 s reply time-out: anything below that shows none is.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 9s);
    ASSERT_TRUE(testutil::wait_until(
        [&] { return testutil::read_record(map, 1, flap) && flap.slot[0].ping.state == kord::kStateUp; }, 5s));

    ASSERT_TRUE(testutil::nft({"add table ip stuck { chain in { type filter hook input priority 0; "
                               "ip daddr 127.0.0.3 icmp type echo-request drop; }; }"}));
    ASSERT_TRUE(testutil::wait_until(
        [&] { return testutil::read_record(map, 1, flap) && flap.slot[0].ping.state == kord::kStateDown; }, 9s));
    ASSERT_TRUE(testutil::nft({"delete", "table", "ip", "stuck"}));
    auto t1 = std::chrono::steady_clock::now();
    ASSERT_TRUE(testutil::wait_until(
        [&] { return testutil::read_record(map, 1, flap) && flap.slot[0].ping.state == kord::kStateUp; }, 9s));
    // One interval when idle; below the 10 s a stuck mail would hold it.
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 9s);

    // The mailer is still waiting for the first greeting: nothing is sent
    // yet, as long as the first mail's 10 s reply time-out has not run out
    // (on a loaded machine the probes above may take that long).
    const std::string log = testutil::read_file(tmp / "kord.log");
    pollfd p{mx, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1) << "the mailer's connection waits at the exchanger";
    if (std::chrono::steady_clock::now() - t0 < 9s) {
        EXPECT_FALSE(testutil::contains(log, "mail to ops@stuck.test")) << log;
    }
    EXPECT_TRUE(testutil::contains(log, "flap/127.0.0.3 (127.0.0.3): ping up -> down (no reply in time")) << log;
    EXPECT_TRUE(testutil::contains(log, "flap/127.0.0.3 (127.0.0.3): ping down -> up (rtt ")) << log;
    EXPECT_EQ(kord.stop(), 0);
    // The mails still waiting at the stop are told of.
    EXPECT_TRUE(testutil::contains(testutil::read_file(tmp / "kord.log"),
                                   "mail to ops@stuck.test \"Tessaron Group busy: nosuch1.stuck.test is not "
                                   "resolvable by DNS.\": not sent: kord stopped while sending it"));
    close(mx);
}
