// kord end to end: the built program against a real DNS server (dnsmasq),
// a real SMTP sink, real ICMP and TCP on loopback, in a private network and
// mount namespace. A silent node goes down and one down mail arrives, a
// closed port mails "Port Down!" to its own address, the zone file is right.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "master/records.h"
#include "testutil.h"

using namespace std::chrono_literals;

using testutil::Proc;

TEST(KordEndToEnd, SilentNodeClosedPortAndZoneFile) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    testutil::MailWorld world;   // resolver pointed at dnsmasq, mail sink on 127.0.0.1
    ASSERT_TRUE(world.ok);
    const testutil::TempDir &tmp = world.dir;
    if (system("nft add table ip korde2e && nft add chain ip korde2e in "
               "'{ type filter hook input priority 0; }' && nft add rule ip korde2e in "
               "ip daddr 127.0.0.3 icmp type echo-request drop") != 0)
        GTEST_SKIP() << "nft not usable";

    const std::string root = tmp / "root";
    for (const char *d : {"", "/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"})
        mkdir((root + d).c_str(), 0755);
    // retries 2, interval 0.2 s, time-out 0.1 s, alert interval 1 min.
    testutil::write_file(root + "/gpfile",
                         "e2e:demo.test:pw:200000:rtt:1:2:100000:0::ops@demo.test:1:0:"
                         "127.0.0.1,127.0.0.3\n");
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
        [&] { return testutil::read_record(map, 0, g) && g.slot[1].ping.state == kord::kStateDown; }, 10s))
        << testutil::read_file(tmp / "kord.log");
    auto detect = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    // (retries + 1) x interval + time-out + 1 s, plus the start offset (one interval).
    EXPECT_LT(detect.count(), 3 * 200 + 100 + 1000 + 200 + 500) << "detection took " << detect.count();
    EXPECT_GE(g.slot[1].ping.failures, 3u);
    EXPECT_EQ(g.slot[0].ping.state, kord::kStateUp);

    ASSERT_TRUE(testutil::wait_until(
        [&] {
            auto m = world.mails();
            return testutil::count_with(m, "Cluster Node went down?", "RCPT TO:<ops@demo.test>") >= 1 &&
                   testutil::count_with(m, "Port Down!", "RCPT TO:<portwatch@demo.test>") >= 1;
        },
        15s))
        << testutil::read_file(tmp / "kord.log");
    // The node stays down: no second mail within the alert interval.
    std::this_thread::sleep_for(2s);
    auto m = world.mails();
    using testutil::count_with;
    EXPECT_EQ(count_with(m, "Cluster Node went down?", "e2e 127.0.0.3"), 1);
    EXPECT_EQ(count_with(m, "Port Down!", "Port " + std::to_string(closed) + " is not responding?"), 1);
    EXPECT_EQ(count_with(m, "Cluster Node went down?", "127.0.0.1\r\n"), 0);

    testutil::read_record(map, 0, g);
    EXPECT_EQ(g.slot[0].port, closed);
    EXPECT_EQ(g.slot[0].port_status.state, kord::kStateDown);
    EXPECT_EQ(testutil::read_file(root + "/nsdb/cn/demo.test.cndb"),
              "e2e\t0\tIN\tA\t127.0.0.1\n\t0\tIN\tA\t127.0.0.3\n");

    EXPECT_EQ(kord.stop(), 0);
    testutil::read_record(map, 0, g);
    EXPECT_EQ(g.slot[0].ping.state, kord::kStateUp);  // the map outlives kord
    close(cfd);
    (void)system("nft delete table ip korde2e");
    printf("detection of a silent node: %lld ms\n", static_cast<long long>(detect.count()));
}
