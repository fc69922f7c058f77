// Load probes: the load report built from a prepared /proc tree and from the
// real one.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <utmp.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "util/sorvan.h"
#include "tests/support/testutil.h"
#include "util/sys/probes.h"

namespace {

uint32_t w(const AgentStats &a, int i) { return ntohl(a.word[i]); }

// Replaces a file in one step, so a collection never sees half of it.
void put(const std::string &path, const std::string &text) {
    testutil::write_file(path + ".new", text);
    std::rename((path + ".new").c_str(), path.c_str());
}

std::string snmp(int established, int passive) {
    return "Ip: Forwarding DefaultTTL\nIp: 2 64\n"
           "Tcp: RtoAlgorithm RtoMin RtoMax MaxConn ActiveOpens PassiveOpens AttemptFails EstabResets CurrEstab InSegs\n"
           "Tcp: 1 200 120000 -1 43 " + std::to_string(passive) + " 9 7 " + std::to_string(established) + " 1413\n"
           "Udp: InDatagrams\nUdp: 5\n";
}

struct FakeProc {
    testutil::TempDir dir;
    std::string root = dir / "proc";
    FakeProc() {
        mkdir(root.c_str(), 0755);
        for (const char *d : {"1", "22", "333", "self", "sys", "12ab", "net"}) mkdir((root + "/" + d).c_str(), 0755);
        put(root + "/meminfo", "MemTotal:       16384000 kB\nMemFree:  100 kB\nMemAvailable:    8388608 kB\n");
        put(root + "/stat", "cpu  100 0 100 1000 0 0 0 0 0 0\ncpu0 100 0 100 1000 0 0 0 0 0 0\n");
        put(root + "/loadavg", "0.50 0.40 0.30 2/345 999\n");
        put(root + "/uptime", "12345.67 1000.00\n");
        put(root + "/net/snmp", snmp(5, 100));
        put(root + "/self/mounts", "proc /proc proc rw 0 0\ntmpfs /tmp tmpfs rw 0 0\n");
        std::string u;
        for (short type : {USER_PROCESS, DEAD_PROCESS, USER_PROCESS, LOGIN_PROCESS}) {
            struct utmp e{};
            e.ut_type = type;
            u.append(reinterpret_cast<char *>(&e), sizeof e);
        }
        testutil::write_file(dir / "utmp", u);
        sorvan::set_probe_sources(root.c_str(), (dir / "utmp").c_str());
    }
    ~FakeProc() { sorvan::set_probe_sources(nullptr, nullptr); }
};

}  // namespace

TEST(LoadReport, WordsFromTheCounters) {
    FakeProc fp;
    PdhContext ctx{};
    ASSERT_EQ(pdh_init(&ctx), 0);

    // All processor time busy between the two samples.
    std::thread busy([&] {
        usleep(150000);
        put(fp.root + "/stat", "cpu  300 0 200 1000 0 0 0 0 0 0\n");
    });
    AgentStats a{};
    EXPECT_EQ(build_agent_stats(&a, nullptr, &ctx), 0);
    busy.join();
    EXPECT_EQ(w(a, 0), 3u);              // numeric entries only
    EXPECT_EQ(w(a, 1), 0u);              // 100 % processor time
    EXPECT_EQ(w(a, 2), 8388608u);        // 8 GiB in KiB: no wrap at 4 GiB
    EXPECT_EQ(w(a, 5), 2u);              // logged-in users
    EXPECT_EQ(w(a, 13), 100u);           // first report: the whole count
    EXPECT_EQ(w(a, 11), 105u);
    // 100 % x 345 threads / 8192 drives the averages up from 0.
    EXPECT_GT(w(a, 8), w(a, 9));
    EXPECT_GT(w(a, 9), w(a, 10));
    EXPECT_EQ(w(a, 7), (w(a, 8) + w(a, 9) + w(a, 10)) / 3);

    put(fp.root + "/net/snmp", snmp(7, 130));
    put(fp.root + "/meminfo", "MemAvailable: 5368709120 kB\n");   // 5 TiB
    AgentStats b{};
    EXPECT_EQ(build_agent_stats(&b, nullptr, &ctx), 0);
    EXPECT_EQ(w(b, 1), 100u);            // idle between these samples
    EXPECT_EQ(w(b, 13), 30u);            // opened since the previous report
    EXPECT_EQ(w(b, 11), 37u);
    EXPECT_EQ(w(b, 2), 0xFFFFFFFFu);     // saturates
    pdh_close(&ctx);
}

TEST(LoadReport, FailedCountersAndNoCounters) {
    FakeProc fp;
    for (const char *f : {"/stat", "/loadavg", "/uptime", "/net/snmp"}) unlink((fp.root + f).c_str());
    for (const char *d : {"/1", "/22", "/333"}) rmdir((fp.root + d).c_str());
    PdhContext ctx{};
    ASSERT_EQ(pdh_init(&ctx), 0);
    unlink((fp.root + "/meminfo").c_str());   // readable once, failing now
    AgentStats a{};
    EXPECT_EQ(build_agent_stats(&a, nullptr, &ctx), 0);
    EXPECT_EQ(w(a, 1), 101u);
    EXPECT_EQ(w(a, 2), 4194303u);
    for (int i : {4, 11, 12, 13}) EXPECT_EQ(int32_t(w(a, i)), -1) << i;
    EXPECT_EQ(w(a, 0), 0u);              // an empty process list still reads
    pdh_close(&ctx);

    sorvan::set_probe_sources((fp.dir / "nothing").c_str(), (fp.dir / "nothing").c_str());
    PdhContext none{};
    ASSERT_EQ(pdh_init(&none), 0);
    EXPECT_EQ(none.added, 0);
    EXPECT_EQ(pdh_collect(&none), -1);
    AgentStats b{};
    EXPECT_EQ(build_agent_stats(&b, nullptr, &none), -1);
    EXPECT_NE(w(b, 3), 0u);              // the memory total is always there
    pdh_close(&none);
}

TEST(LoadAverages, ConstantInputApproachesScalePerThread) {
    double first = 0;
    std::thread([&] {
        for (int i = 0; i < 100; ++i) loadavg(1.0);
        double *a = loadavg(1.0);
        EXPECT_GT(a[0], 4090.0);
        EXPECT_LT(a[0], 4096.0);
        EXPECT_GT(a[2], 0.0);
    }).join();
    std::thread([&] { first = loadavg(1.0)[0]; }).join();   // a new thread starts from 0
    EXPECT_LT(first, 1000.0);
}

// Mount points come escaped (\040 for a blank); one device mounted or bound
// three times is one drive.
TEST(Drives, EscapedMountPointsAndOneEntryPerDevice) {
    DriveInfo none[1] = {};
    EXPECT_EQ(drvinfo(none, 0), 0);
    EXPECT_EQ(none[0].total_mb, 0u);
    std::string src, line;
    std::istringstream in(testutil::read_file("/proc/self/mounts"));
    while (std::getline(in, line))
        if (line.rfind("/dev/", 0) == 0 && line.find(" / ") != std::string::npos) src = line.substr(0, line.find(' '));
    struct stat st;
    if (src.empty() || stat(src.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) GTEST_SKIP() << "no block device at /";
    FakeProc p;
    mkdir((p.dir / "a b").c_str(), 0755);
    put(p.root + "/self/mounts", src + " " + p.dir.path() + "/a\\040b ext4 rw 0 0\n" + src + " / ext4 rw 0 0\n" +
                                     src + " " + p.dir.path() + " ext4 rw 0 0\n");
    DriveInfo d[8] = {};
    ASSERT_EQ(drvinfo(d, 8), 0);
    EXPECT_GT(d[0].total_mb, 0u);
    EXPECT_EQ(std::string(d[0].name, strnlen(d[0].name, 16)), (p.dir.path() + "/a b").substr(0, 15));
    EXPECT_EQ(d[1].total_mb, 0u);
}
