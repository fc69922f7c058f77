// kord end to end with nodes behind firewalls that answer echo requests
// with ICMP errors (administratively prohibited, host unreachable): such a
// node fails like a silent one, goes down, and one down mail goes out.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

#include "maps/records.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;

TEST(KordPingRejects, NodeAnsweredWithIcmpErrorsGoesDownAndIsMailedOnce) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    testutil::MailWorld world;   // resolver pointed at dnsmasq, mail sink on 127.0.0.1
    ASSERT_TRUE(world.ok);
    if (!testutil::nft({"add table ip rejects { chain in { type filter hook input priority 0; "
                        "ip daddr 127.0.0.3 icmp type echo-request reject with icmp type admin-prohibited; "
                        "ip daddr 127.0.0.4 icmp type echo-request reject with icmp type host-unreachable; }; }"}))
        GTEST_SKIP() << "nft not usable";
    const std::string root = world.dir / "root";
    for (const char *d : {"", "/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"}) mkdir((root + d).c_str(), 0755);
    // retries 2, interval 0.2 s, time-out 0.1 s, alert interval 1 min.
    testutil::write_file(root + "/gpfile",
                         "rej:demo.test:pw:200000:rtt:1:2:100000:0::ops@demo.test:1:0:"
                         "127.0.0.1,127.0.0.3,127.0.0.4\n");
    const std::string log = world.dir / "kord.log";
    testutil::Proc kord({testutil::bin_path("kord")}, {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + log},
                        world.dir / "kord.out");

    kord::GroupRecord g{};
    const std::string map = root + "/data/map.data";
    ASSERT_TRUE(testutil::wait_until(
        [&] {
            return testutil::read_record(map, 0, g) && g.slot[1].ping.state == kord::kStateDown &&
                   g.slot[2].ping.state == kord::kStateDown;
        },
        10s))
        << testutil::read_file(log);
    EXPECT_EQ(g.slot[0].ping.state, kord::kStateUp);
    EXPECT_EQ(g.slot[1].last_ping, -11);
    EXPECT_EQ(g.slot[2].last_ping, -11);

    auto down = [&](const char *node) {
        return testutil::count_with(world.mails(), "Cluster Node went down?", std::string("rej ") + node);
    };
    ASSERT_TRUE(testutil::wait_until([&] { return down("127.0.0.3") >= 1 && down("127.0.0.4") >= 1; }, 15s))
        << testutil::read_file(log);
    std::this_thread::sleep_for(2s);   // still down: nothing more within the alert interval
    EXPECT_EQ(down("127.0.0.3"), 1);
    EXPECT_EQ(down("127.0.0.4"), 1);
    EXPECT_EQ(testutil::count_with(world.mails(), "Cluster Node went down?", "127.0.0.1\r\n"), 0);
    EXPECT_FALSE(testutil::contains(testutil::read_file(log), "ICMP rtt")) << "no local ping errors";
    EXPECT_EQ(kord.stop(), 0);
}
