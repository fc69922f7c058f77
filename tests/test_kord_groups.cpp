// Cluster groups, maps and zone files: what a load puts into the data map
// and the zone files, and how mirror groups follow their peers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/stat.h>

#include "master/kord.h"
#include "port/paths.h"
#include "tests/support/testutil.h"

using namespace kord;

namespace {

// One installation root per test process: install paths resolve once.
struct Root {
    std::string path;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};
const Root &root() {
    static const Root r{[] {
        const std::string &p = testutil::process_root({"nsdb/cn", "nodes"});
        setenv("TESSARON_LOG", (p + "/kord.log").c_str(), 1);
        return p;
    }()};
    return r;
}

std::string zone(const std::string &domain) {
    return testutil::read_file(root() / ("nsdb/cn/" + domain + ".cndb"));
}

// Writes the group file and loads it into a fresh data map.
GroupRecord *load(const std::string &gpfile, int *count_out = nullptr) {
    root();
    testutil::write_file(path_item(7), gpfile);
    int n = count_groups();
    if (count_out) *count_out = n;
    GroupRecord *g = open_data_map(path_item(8), n);
    g_groups = g;
    g_group_count = n;
    load_groups(g, n);
    return g;
}

const std::string kLong = std::string(32, 'n');  // one too many for a slot name

// One group line: the 13 fields in file order, then the members.
std::string line(const std::string &name, const std::string &domain, const std::string &members,
                 const std::string &ints = "", const std::string &extra = "",
                 const std::string &mailto = "", const std::string &passwd = "",
                 const std::string &method = "") {
    // ints: "interval alert retries timeout port param1 param2", blanks for all empty
    std::string f[7];
    std::istringstream in(ints);
    for (auto &x : f) in >> x;
    return name + ":" + domain + ":" + passwd + ":" + f[0] + ":" + method + ":" + f[1] + ":" +
           f[2] + ":" + f[3] + ":" + f[4] + ":" + extra + ":" + mailto + ":" + f[5] + ":" + f[6] +
           ":" + members + "\n";
}

}  // namespace

TEST(LoadGroups, SlotsDefaultsAndZoneLines) {
    root();
    unlink(path_item(8));
    // A stale map from an earlier run: a load must clear what it owns.
    {
        GroupRecord *old = open_data_map(path_item(8), 5);
        memset(&old[0].slot[2], 0x5a, sizeof old[0].slot[2]);
        strcpy(old[0].slot[0].name, "OLDNAME");
        old[0].slot[0].name_changed = 9;
        old[0].slot[1].traffic_alloc = 0;
    }
    unlink((root() / "nsdb/cn/d.test.cndb").c_str());
    testutil::write_file(root() / "nsdb/cn/stale.cndb", "old\n");

    std::string name40(40, 'g');
    int n = 0;
    GroupRecord *g = load(
        "# groups\n\n" + line("a", "d.test", "127.0.0.1," + kLong + ",127.0.0.3", "0 0 0 0 65536 0 5", "", "",
             "pw") +
            line("empty", "d.test", "", "5000000 7 10 200000 99 3 0", "", "", "pw", "LOAD") +
            line("six", "d.test", "127.0.1.1,127.0.1.2,127.0.1.3,127.0.1.4,127.0.1.5,127.0.1.6") +
            line("mirror", "m.test", "127.0.0.7,127.0.0.8", "", "a.d.test") +
            line(name40, std::string(70, 'd'), "", "", "", std::string(40, 'm') + "@x",
                 std::string(30, 'p')) +
            line("esc", "../../outside", "127.0.0.9") + line("sub", "a/b", "127.0.0.9"),
        &n);
    ASSERT_EQ(n, 7);   // comment and blank line not counted
    EXPECT_EQ(testutil::read_file(path_item(8)).size(), 7 * sizeof(GroupRecord));

    const GroupRecord &a = g[0];
    EXPECT_STREQ(a.name, "a");
    EXPECT_EQ(a.interval_us, 1000000u);
    EXPECT_EQ(a.method, kMethodRtt);
    EXPECT_EQ(a.alert_interval_min, 60u);
    EXPECT_EQ(a.retries, 2u);
    EXPECT_EQ(a.timeout_us, 800000u);
    EXPECT_EQ(a.agent_port, 10000);  // 65536: low 16 bits are 0
    EXPECT_EQ(a.param1, 1);
    EXPECT_EQ(a.param2, 5);
    // The over-long name is left out like an unresolvable one, so the walk
    // of the slots reaches the node after it.
    EXPECT_EQ(a.node_count, 2u);
    EXPECT_STREQ(a.slot[0].name, "127.0.0.1");
    EXPECT_EQ(a.slot[0].addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(a.slot[0].name_changed, 0u);  // name changed from OLDNAME
    EXPECT_STREQ(a.slot[1].name, "127.0.0.3");
    EXPECT_EQ(a.slot[0].min_vm, 512u);  // node-file defaults
    for (int k = 2; k < 4; k++) {   // the stale slot is cleared
        const NodeRecord &z = a.slot[k];
        EXPECT_TRUE(!z.name[0] && !z.addr && !z.ping.state && !z.port && !z.fs_summary && !z.min_vm &&
                    !z.agent_stats.word[0]) << k;
    }
    const std::string log = testutil::read_file(root() / "kord.log");
    EXPECT_NE(log.find("Node name \"" + kLong + "\" too long!"), std::string::npos) << log;

    const GroupRecord &e = g[1];
    EXPECT_EQ(e.method, kMethodLoad);
    EXPECT_EQ(e.interval_us, 5000000u);
    EXPECT_EQ(e.alert_interval_min, 7u);
    EXPECT_EQ(e.retries, 10u);
    EXPECT_EQ(e.timeout_us, 200000u);
    EXPECT_EQ(e.agent_port, 99);
    EXPECT_EQ(e.param1, 3);
    EXPECT_EQ(e.node_count, 0u);

    EXPECT_EQ(g[2].node_count, 4u);
    EXPECT_STREQ(g[2].slot[3].name, "127.0.1.4");

    EXPECT_STREQ(g[3].peer, "a.d.test");
    EXPECT_EQ(g[3].node_count, 0u);  // mirrors get no workers
    EXPECT_EQ(g[3].slot[1].addr, inet_addr("127.0.0.8"));

    // Fields longer than the map's stay terminated inside it.
    EXPECT_EQ(strlen(g[4].name), 31u);
    EXPECT_EQ(strlen(g[4].domain), 63u);
    EXPECT_EQ(strlen(g[4].passwd), 23u);
    // A cut address would be another one: none is kept, and that is said.
    EXPECT_EQ(g[4].mailto[0], 0);
    EXPECT_NE(log.find("alert address \"" + std::string(40, 'm') + "@x\" is longer than 31"), std::string::npos);

    // A domain that could name a file outside the zone directory: the group
    // is monitored, its zone text left out.
    EXPECT_EQ(g[5].node_count, 1u);
    EXPECT_NE(log.find("Group esc: domain \"../../outside\" holds"), std::string::npos) << log;
    EXPECT_NE(log.find("Group sub: domain \"a/b\" holds"), std::string::npos);
    EXPECT_NE(access((root() / "outside.cndb").c_str(), F_OK), 0);
    EXPECT_NE(access((root() / "nsdb/cn/a").c_str(), F_OK), 0);

    // Groups of one domain share its file in record order; a group without
    // any address writes nothing, so no name is left without its line.
    EXPECT_EQ(zone("d.test"),
              "a\t0\tIN\tA\t127.0.0.1\n\t0\tIN\tA\t127.0.0.3\n"
              "six\t0\tIN\tA\t127.0.1.1\n\t0\tIN\tA\t127.0.1.2\n\t0\tIN\tA\t127.0.1.3\n"
              "\t0\tIN\tA\t127.0.1.4\n");
    EXPECT_EQ(zone("m.test"), "mirror\t0\tIN\tA\t127.0.0.7\n\t0\tIN\tA\t127.0.0.8\n");
    EXPECT_NE(access((root() / "nsdb/cn/stale.cndb").c_str(), F_OK), 0);
}

TEST(LoadGroups, UnresolvableNodeIsLeftOut) {
    if (!testutil::own_network())
        GTEST_SKIP() << "resolving a missing name needs a network namespace of its own (root)";
    GroupRecord *g = load(line("u", "u.test", "127.0.0.1,no-such-node.invalid,127.0.0.3"));
    EXPECT_EQ(g[0].node_count, 2u);
    EXPECT_STREQ(g[0].slot[1].name, "127.0.0.3");
    EXPECT_EQ(g[0].slot[2].name[0], 0);
    std::string log = testutil::read_file(root() / "kord.log");
    EXPECT_NE(log.find("Group u: Node \"no-such-node.invalid\" cannot be resolved by DNS."),
              std::string::npos)
        << log;
    EXPECT_EQ(zone("u.test"), "u\t0\tIN\tA\t127.0.0.1\n\t0\tIN\tA\t127.0.0.3\n");
}

TEST(Zone, OnlyFilesWhoseLastSuffixStartsWithCndbAreRemoved) {
    root();
    const std::string dir = root() / "nsdb/cn/";
    for (const char *f : {"x.cndb", "y.cndbak", "z.cndb.bak", "w.txt", "cndb"})
        testutil::write_file(dir + f, "x");
    EXPECT_EQ(clean_all_cndb(), 0);
    EXPECT_NE(access((dir + "x.cndb").c_str(), F_OK), 0);
    EXPECT_NE(access((dir + "y.cndbak").c_str(), F_OK), 0);
    EXPECT_EQ(access((dir + "z.cndb.bak").c_str(), F_OK), 0);
    EXPECT_EQ(access((dir + "w.txt").c_str(), F_OK), 0);
    EXPECT_EQ(access((dir + "cndb").c_str(), F_OK), 0);
    EXPECT_EQ(cnode_close(), -1);  // none open
}

TEST(Mirrors, CopyLeadingPairsAndAgentDataOnlyWithoutRtt) {
    static GroupRecord g[2] = {};
    strcpy(g[0].name, "web");
    strcpy(g[0].domain, "d.test");
    strcpy(g[1].name, "m");
    strcpy(g[1].domain, "m.test");
    strcpy(g[1].peer, "web.d.test");
    g[1].method = kMethodLoad;
    // The peer has two nodes with an address; the mirror has three slots.
    for (int k = 0; k < 2; k++) {
        NodeRecord &p = g[0].slot[k];
        snprintf(p.name, sizeof p.name, "peer%d", k);
        p.addr = inet_addr("127.0.0.1");
        p.ping.state = kStateDown;
        p.ping.failures = 4;
        p.last_ping = -11;
        p.port = 80;
        p.port_status.state = kStateUp;
        p.agent_stats.word[0] = k;  // only peer1 has agent data
        p.min_vm = 77;
        p.mem_status = kMemLowBit;
    }
    for (int k = 0; k < 3; k++) g[1].slot[k].addr = inet_addr("127.0.0.2");
    g_groups = g;
    g_group_count = 2;
    // The IPv6 states travel with the node; the mirror's IPv6-only third
    // slot counts as a slot with an address.
    static SideRecord side[8] = {};
    g_side = side;
    side[1].addr6[0] = 0xfd;
    side[1].ping6.state = kStateDown;
    side[1].last_ping6 = -11;
    side[4].addr6[0] = 0xfd;
    side[4].addr6[15] = 9;
    side[6].addr6[0] = 0xfd;
    g[1].slot[2].addr = 0;

    copy_peer_groups();
    EXPECT_STREQ(g[1].slot[0].name, "peer0");
    const NodeRecord &m0 = g[1].slot[0], &m1 = g[1].slot[1];
    EXPECT_EQ(m0.ping.state, kStateDown);
    EXPECT_EQ(m0.ping.failures, 0u);  // only the state word is copied
    EXPECT_EQ(m0.last_ping, -11);
    EXPECT_EQ(m0.port, 80);
    EXPECT_EQ(m0.addr, inet_addr("127.0.0.2"));  // own address kept
    EXPECT_EQ(m0.peer_copies, 0u);  // peer0 has no agent data
    EXPECT_TRUE(m1.peer_copies == 1 && m1.min_vm == 77 && m1.mem_status == kMemLowBit);
    EXPECT_EQ(g[1].slot[2].name[0], 0);  // no third peer node
    EXPECT_EQ(side[5].ping6.state, kStateDown);
    EXPECT_EQ(side[5].last_ping6, -11);
    EXPECT_EQ(side[4].addr6[15], 9);   // the mirror's own IPv6 address stays

    g[1].method = kMethodRtt;
    copy_peer_groups();
    EXPECT_EQ(g[1].slot[1].peer_copies, 1u);

    EXPECT_EQ(find_group("web.d.test"), &g[0]);
    EXPECT_EQ(find_group("web.d.tes"), nullptr);
    g_side = nullptr;
    g_groups = nullptr;
    g_group_count = 0;
}
