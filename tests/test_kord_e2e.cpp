// kord end to end: the built program against a real DNS server (dnsmasq),
// a real SMTP sink, real ICMP and TCP on loopback, in a private network and
// mount namespace. A silent node goes down and one down mail arrives, a
// closed port mails "Port Down!" to its own address, the zone file is right.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "master/records.h"
#include "testutil.h"

using namespace std::chrono_literals;

namespace {

// A network namespace of this test's own (root only), loopback up: its
// addresses, ports and firewall rules are then the test's alone.
bool own_netns() {
    if (!testutil::is_root() || unshare(CLONE_NEWNET) != 0)
        return false;
    return system("ip link set lo up") == 0;
}

using testutil::Proc;

std::vector<std::string> mails(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strstr(e->d_name, ".eml")) out.push_back(testutil::read_file(dir + "/" + e->d_name));
        closedir(d);
    }
    return out;
}

int count_with(const std::vector<std::string> &m, const std::string &a, const std::string &b) {
    int n = 0;
    for (const auto &s : m)
        if (s.find(a) != std::string::npos && s.find(b) != std::string::npos) n++;
    return n;
}

// The first group record of the data map, read afresh.
bool read_group(const std::string &path, kord::GroupRecord &g) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool ok = pread(fd, &g, sizeof g, 0) == sizeof g;
    close(fd);
    return ok;
}

uint16_t refused_port(int &fd) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, (sockaddr *)&a, sizeof a);  // bound, never listening: refuses
    getsockname(fd, (sockaddr *)&a, &len);
    return ntohs(a.sin_port);
}

}  // namespace

TEST(KordEndToEnd, SilentNodeClosedPortAndZoneFile) {
    if (!own_netns())
        GTEST_SKIP() << "needs root for a network namespace of its own";
    // Our own mount namespace, so the resolver can be pointed at dnsmasq.
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    testutil::TempDir tmp;
    testutil::write_file(tmp / "resolv.conf", "nameserver 127.0.0.1\n");
    ASSERT_EQ(mount((tmp / "resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
    if (system("nft add table ip korde2e && nft add chain ip korde2e in "
               "'{ type filter hook input priority 0; }' && nft add rule ip korde2e in "
               "ip daddr 127.0.0.3 icmp type echo-request drop") != 0)
        GTEST_SKIP() << "nft not usable";

    Proc dns({"dnsmasq", "-k", "-C", "/dev/null", "--no-resolv", "--no-hosts", "--user=root",
              "--listen-address=127.0.0.1", "--bind-interfaces", "--pid-file=",
              "--mx-host=demo.test,mx.demo.test,10", "--host-record=mx.demo.test,127.0.0.1"},
             {}, tmp / "dnsmasq.out");
    mkdir((tmp / "mail").c_str(), 0755);
    Proc smtp({"python3", std::string(TESSARON_SOURCE_DIR) + "/tests/support/smtp_sink.py", "--host",
               "127.0.0.1", "--port", "25", "--dir", tmp / "mail"},
              {}, tmp / "smtp.out");
    ASSERT_TRUE(testutil::wait_until(
        [&] { return testutil::read_file(tmp / "smtp.out").find("ready") != std::string::npos; }, 10s));

    const std::string root = tmp / "root";
    for (const char *d : {"", "/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"})
        mkdir((root + d).c_str(), 0755);
    // retries 2, interval 0.2 s, time-out 0.1 s, alert interval 1 min.
    testutil::write_file(root + "/gpfile",
                         "e2e:demo.test:pw:200000:rtt:1:2:100000:0::ops@demo.test:1:0:"
                         "127.0.0.1,127.0.0.3\n");
    int cfd;
    uint16_t closed = refused_port(cfd);
    testutil::write_file(root + "/ports/e2e.demo.test.cfg",
                         std::to_string(closed) + "/closed/portwatch@demo.test\n");

    auto t0 = std::chrono::steady_clock::now();
    Proc kord({testutil::bin_path("kord")},
              {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (tmp / "kord.log")}, tmp / "kord.out");

    kord::GroupRecord g{};
    const std::string map = root + "/data/map.data";
    ASSERT_TRUE(testutil::wait_until(
        [&] { return read_group(map, g) && g.slot[1].ping.state == kord::kStateDown; }, 10s))
        << testutil::read_file(tmp / "kord.log");
    auto detect = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    // (retries + 1) x interval + time-out + 1 s, plus the start offset (one interval).
    EXPECT_LT(detect.count(), 3 * 200 + 100 + 1000 + 200 + 500) << "detection took " << detect.count();
    EXPECT_GE(g.slot[1].ping.failures, 3u);
    EXPECT_EQ(g.slot[0].ping.state, kord::kStateUp);

    ASSERT_TRUE(testutil::wait_until(
        [&] {
            auto m = mails(tmp / "mail");
            return count_with(m, "Cluster Node went down?", "RCPT TO:<ops@demo.test>") >= 1 &&
                   count_with(m, "Port Down!", "RCPT TO:<portwatch@demo.test>") >= 1;
        },
        15s))
        << testutil::read_file(tmp / "kord.log");
    // The node stays down: no second mail within the alert interval.
    std::this_thread::sleep_for(2s);
    auto m = mails(tmp / "mail");
    EXPECT_EQ(count_with(m, "Cluster Node went down?", "e2e 127.0.0.3"), 1);
    EXPECT_EQ(count_with(m, "Port Down!", "Port " + std::to_string(closed) + " is not responding?"), 1);
    EXPECT_EQ(count_with(m, "Cluster Node went down?", "127.0.0.1\r\n"), 0);

    read_group(map, g);
    EXPECT_EQ(g.slot[0].port, closed);
    EXPECT_EQ(g.slot[0].port_status.state, kord::kStateDown);
    EXPECT_EQ(testutil::read_file(root + "/nsdb/cn/demo.test.cndb"),
              "e2e\t0\tIN\tA\t127.0.0.1\n\t0\tIN\tA\t127.0.0.3\n");

    EXPECT_EQ(kord.stop(), 0);
    read_group(map, g);
    EXPECT_EQ(g.slot[0].ping.state, kord::kStateUp);  // the map outlives kord
    close(cfd);
    (void)system("nft delete table ip korde2e");
    printf("detection of a silent node: %lld ms\n", static_cast<long long>(detect.count()));
}
