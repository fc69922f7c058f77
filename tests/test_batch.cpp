// Many groups of one zone in one update message: the batches as built, and
// a real BIND 9 primary taking 60 changed groups in a handful of messages.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <ldns/ldns.h>

#include <thread>

#include "flowgate/update.h"
#include "maps/records.h"
#include "tests/support/dns_servers.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;
using testutil::read_file;
using testutil::write_file;

namespace {

flowgate::TsigKey test_key() {
    flowgate::TsigKey k;
    k.name = dnsserver::kKeyName;
    k.secret = dnsserver::kKeySecret;
    k.algorithm = "hmac-sha256";
    return k;
}

// The number of update records (RFC 2136's update section) in a message.
size_t update_records(const std::vector<uint8_t> &wire) {
    ldns_pkt *p = nullptr;
    if (ldns_wire2pkt(&p, wire.data(), wire.size()) != LDNS_STATUS_OK) return 0;
    size_t n = ldns_pkt_nscount(p);
    ldns_pkt_free(p);
    return n;
}

uint32_t soa_serial(const std::string &server, int port, const std::string &zone) {
    auto r = dnsserver::query(server, port, zone, "SOA");
    if (r.empty()) return 0;
    // "ns.zone. hostmaster.zone. SERIAL ..."
    unsigned serial = 0;
    if (sscanf(r[0].c_str(), "%*s %*s %u", &serial) != 1) return 0;
    return serial;
}

}  // namespace

// Batches stay within the size, carry every change once in order, and stop
// before an owner outside the zone, which then fails alone.
TEST(Batch, MessagesWithinSizeCarryEveryChange) {
    std::vector<std::vector<uint32_t>> sets(200);
    std::vector<flowgate::OwnerChange> all;
    for (int g = 0; g < 200; g++) {
        for (int k = 0; k < 1 + g % 4; k++) sets[size_t(g)].push_back(htonl(0x0a000000u | uint32_t(g << 8 | k)));
        flowgate::OwnerChange c;
        c.owner = "group" + std::to_string(g) + ".farm.demo.test";
        c.a = &sets[size_t(g)];
        c.ttl = 5;
        all.push_back(c);
    }
    for (bool signed_ : {true, false}) {
        flowgate::TsigKey key = signed_ ? test_key() : flowgate::TsigKey{};
        size_t at = 0, messages = 0;
        while (at < all.size()) {
            std::vector<flowgate::OwnerChange> rest(all.begin() + long(at), all.end());
            flowgate::Update u;
            size_t taken = 0;
            std::string why;
            ASSERT_TRUE(flowgate::build_zone_update("demo.test", rest, flowgate::kMaxUpdateSize, key, 7, u, taken, why))
                << why;
            ASSERT_GE(taken, 1u);
            EXPECT_LE(u.wire.size(), flowgate::kMaxUpdateSize);
            size_t want = 0;
            for (size_t i = 0; i < taken; i++) want += 1 + rest[i].a->size();   // the delete, then the adds
            EXPECT_EQ(update_records(u.wire), want);
            at += taken;
            messages++;
        }
        // A few owners of 1 to 4 addresses fit in one message each.
        EXPECT_LT(messages, 200u / 5) << messages;
        EXPECT_GT(messages, 200u / 60) << messages;
    }
    // An owner outside the zone: the batch ends before it, and alone it fails.
    all[3].owner = "elsewhere.test";
    flowgate::Update u;
    size_t taken = 0;
    std::string why;
    ASSERT_TRUE(flowgate::build_zone_update("demo.test", all, 65535, test_key(), 7, u, taken, why));
    EXPECT_EQ(taken, 3u);
    std::vector<flowgate::OwnerChange> bad(all.begin() + 3, all.end());
    EXPECT_FALSE(flowgate::build_zone_update("demo.test", bad, 65535, test_key(), 7, u, taken, why));
    EXPECT_NE(why.find("is not inside zone"), std::string::npos) << why;
    EXPECT_FALSE(flowgate::build_zone_update("demo.test", {}, 65535, test_key(), 7, u, taken, why));
    // An owner too large for the size still goes, alone.
    ASSERT_TRUE(flowgate::build_zone_update("demo.test", all, 100, test_key(), 7, u, taken, why));
    EXPECT_EQ(taken, 1u);
}

// flowgate and BIND 9, which adds one to the zone's serial for each update
// message it applies: 60 groups changing together cost a few messages.
TEST(Batch, ZoneOfChangedGroupsInFewMessages) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    testutil::TempDir dir;
    const std::string root = dir / "root";
    for (const char *d : {"", "/data", "/nsdb", "/nsdb/cn"}) mkdir((root + d).c_str(), 0755);
    constexpr int kGroups = 60;
    std::vector<kord::GroupRecord> groups(kGroups);
    for (int g = 0; g < kGroups; g++) {
        auto &r = groups[size_t(g)];
        snprintf(r.name, sizeof r.name, "g%02d", g);
        snprintf(r.domain, sizeof r.domain, "demo.test");
        r.method = kord::kMethodRtt;
        for (int k = 0; k < 3; k++) {
            snprintf(r.slot[k].name, sizeof r.slot[k].name, "127.1.%d.%d", g, k + 1);
            inet_pton(AF_INET, r.slot[k].name, &r.slot[k].addr);
            r.slot[k].ping.state = kord::kStateUp;
        }
        r.node_count = 3;
    }
    auto write_map = [&] {
        int fd = open((root + "/data/map.data").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_EQ(pwrite(fd, groups.data(), groups.size() * sizeof groups[0], 0),
                  ssize_t(groups.size() * sizeof groups[0]));
        close(fd);
    };
    write_map();
    int32_t count = kGroups;
    write_file(root + "/data/.ctlmap", std::string(reinterpret_cast<char *>(&count), 4));
    auto named = dnsserver::named(dir / "named", "127.0.0.1", 5300, {"demo.test"});
    ASSERT_TRUE(dnsserver::wait_serving(*named, "demo.test", 20s)) << read_file(named->log);
    write_file(root + "/flowgate.conf", "server 127.0.0.1:5300\ntsig hmac-sha256:" + dnsserver::kKeyName + ":" +
                                            dnsserver::kKeySecret + "\n");
    const uint32_t serial0 = soa_serial("127.0.0.1", 5300, "demo.test");
    ASSERT_GT(serial0, 0u);
    testutil::Proc fg({testutil::bin_path("flowgate")},
                      {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (dir / "flowgate.log")}, dir / "flowgate.out");
    auto all_answer = [&](size_t n) {
        return testutil::wait_until([&] {
            for (int g = 0; g < kGroups; g++)
                if (dnsserver::query("127.0.0.1", 5300, "g" + std::string(g < 10 ? "0" : "") + std::to_string(g) +
                                                            ".demo.test").size() != n)
                    return false;
            return true;
        }, 30s);
    };
    ASSERT_TRUE(all_answer(3)) << read_file(dir / "flowgate.log");
    const uint32_t serial1 = soa_serial("127.0.0.1", 5300, "demo.test");
    for (auto &r : groups) r.slot[2].ping.state = kord::kStateDown;
    write_map();
    ASSERT_TRUE(all_answer(2)) << read_file(dir / "flowgate.log");
    const uint32_t serial2 = soa_serial("127.0.0.1", 5300, "demo.test");
    printf("first push: %u messages, the change of all %d groups: %u messages\n", serial1 - serial0, kGroups,
           serial2 - serial1);
    // About ten groups a message; never one message per group.
    EXPECT_LE(serial1 - serial0, uint32_t(kGroups / 4));
    EXPECT_LE(serial2 - serial1, uint32_t(kGroups / 4));
    EXPECT_GE(serial2 - serial1, 1u);
    EXPECT_EQ(fg.stop(), 0);
}
