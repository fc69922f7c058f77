// kord's command line and its refusals to start, run as the built program.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>

#include "tests/support/testutil.h"

namespace {
const std::string kord = testutil::bin_path("kord");
}

TEST(KordCli, VersionUsageAndExtraArguments) {
    testutil::TempDir root;
    const std::vector<std::string> env = {"TESSARON_ROOT=" + root.path()};

    auto v = testutil::run({kord, "-v"}, env);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, " Tessaron(tm):\n " + kord + " v" TESSARON_VERSION "\n");

    const std::string usage_tail =
        " [options]\n\nOptions\n-d: debug level\n-m: administrator email address\n-v: version\n\n";
    auto bad = testutil::run({kord, "-x"}, env);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "Usage: " + kord + usage_tail);

    // Arguments left after the options: the usage names the program only.
    auto extra = testutil::run({kord, "-d", "3", "leftover"}, env);
    EXPECT_EQ(extra.status, 1);
    EXPECT_EQ(extra.err, "Usage: kord" + usage_tail);

    EXPECT_NE(access((root / "data/.ctlmap").c_str(), F_OK), 0);   // nothing started
    EXPECT_EQ(testutil::run({kord, "--help"}, env).status, 0);
    EXPECT_EQ(testutil::run({kord, "--version"}, env).out, v.out);
}

TEST(KordCli, NoGroupsEndsWithMinusTwoAndASecondInstanceBailsOut) {
    testutil::TempDir root;
    const std::string gp = root / "gpfile";
    testutil::write_file(gp, "# no groups yet\n\nhalf:line\n");
    auto r = testutil::run({kord}, {"TESSARON_ROOT=" + root.path(), "TESSARON_LOG=" + (root / "log")});
    EXPECT_EQ(r.status, 254);  // exit status -2
    EXPECT_TRUE(testutil::contains(r.err, "No Cluster Groups found!\nkord: group file " + gp +
                                              ": no valid line")) << r.err;
    EXPECT_EQ(testutil::read_file(root / "data/.ctlmap"), std::string(4, '\0'));
    // The reason is in the log too, after the finding that explains it.
    EXPECT_TRUE(testutil::contains(testutil::read_file(root / "log"), gp + ":3: line: error:"));

    unlink(gp.c_str());
    auto m = testutil::run({kord}, {"TESSARON_ROOT=" + root.path()});
    EXPECT_EQ(m.status, 254);
    EXPECT_TRUE(testutil::contains(m.err, "group file " + gp + ": missing")) << m.err;

    // With a group but another kord holding the lock: no map touched.
    int fd = open((root / "data/kord.pid").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    testutil::write_file(gp, "g:g.test:::::::::::::127.0.0.1\n");
    r = testutil::run({kord}, {"TESSARON_ROOT=" + root.path(), "TESSARON_LOG=" + (root / "log")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        testutil::contains(testutil::read_file(root / "log"), "Tessaron Master Server already running. Bail out!"));
    EXPECT_EQ(testutil::read_file(root / "data/.ctlmap"), std::string(4, '\0'));
    close(fd);
}

// The installation root: followed when it is a link, made absolute when
// relative, and an unusable data directory named with its error.
TEST(KordCli, RootLinkRelativeRootAndUnusableDataDirectory) {
    testutil::TempDir t;
    const std::string real = t / "real";
    for (const char *d : {"", "/nodes", "/nsdb", "/nsdb/cn"}) mkdir((real + d).c_str(), 0755);
    testutil::write_file(real + "/gpfile", "g:g.test:pw:0::0:0:0:0:::0:0:127.0.0.1\n");
    ASSERT_EQ(symlink(real.c_str(), (t / "link").c_str()), 0);
    for (const std::string &rootvar : {t / "link", std::string("real")}) {
        unlink((real + "/data/kord.status").c_str());
        testutil::Proc k({"/bin/sh", "-c", "cd '" + t.path() + "' && exec " + kord},
                         {"TESSARON_ROOT=" + rootvar, "TESSARON_LOG=" + (t / "log")}, t / "out");
        EXPECT_TRUE(testutil::wait_until([&] { return access((real + "/data/kord.status").c_str(), F_OK) == 0; },
                                         std::chrono::seconds(10)))
            << rootvar << ": " << testutil::read_file(t / "out");
        EXPECT_EQ(k.stop(), 0);
    }
    EXPECT_EQ(testutil::read_file(real + "/data/.ctlmap"), std::string("\1\0\0\0", 4));
    EXPECT_NE(access((real + "/real").c_str(), F_OK), 0);   // never real/real/...

    // A misspelt root is named and not created; so is a data directory that
    // is not one.
    const std::string typo = t / "rael";
    auto r = testutil::run({kord}, {"TESSARON_ROOT=" + typo});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(testutil::contains(r.err, "Installation root " + typo + ": No such file or directory")) << r.err;
    EXPECT_NE(access(typo.c_str(), F_OK), 0);
    r = testutil::run({kord}, {"TESSARON_ROOT=" + real, "TESSARON_PATH_3=" + (real + "/gpfile")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(testutil::contains(r.err, "Data directory " + real + "/gpfile: Not a directory")) << r.err;
}

TEST(KordCli, WithoutAnyIcmpSocketKordSaysWhatItNeeds) {
    if (!testutil::is_root() || !testutil::in_private_netns())
        GTEST_SKIP() << "needs root in a network namespace of its own";
    testutil::TempDir root;
    testutil::write_file(root / "gpfile", "");
    const std::string range = "/proc/sys/net/ipv4/ping_group_range";
    const std::vector<std::string> no_raw = {"/usr/bin/setpriv", "--bounding-set", "-net_raw", kord};
    const std::vector<std::string> env = {"TESSARON_ROOT=" + root.path(), "TESSARON_LOG=" + (root / "log")};
    testutil::write_file(range, "1 0");
    auto r = testutil::run(no_raw, env);
    EXPECT_EQ(r.status, 1);
    for (const char *need : {"CAP_NET_RAW", "net.ipv4.ping_group_range", "(now \"1 0\")"})
        EXPECT_TRUE(testutil::contains(r.err, need)) << need << "\n" << r.err;
    EXPECT_NE(access((root / "data/.ctlmap").c_str(), F_OK), 0);   // no map touched
    // Unprivileged echo sockets will do: kord goes on (here to find no group).
    testutil::write_file(range, "0 0");
    EXPECT_EQ(testutil::run(no_raw, env).status, 254);
    EXPECT_TRUE(testutil::contains(testutil::read_file(root / "log"), "unprivileged ICMP echo sockets"));
}

TEST(KordCli, CheckNamesEachProblemWithFileAndLine) {
    testutil::TempDir t;
    const std::string root = t.path();
    for (const char *d : {"nodes", "ports", "nsdb", "nsdb/cn"}) mkdir((t / d).c_str(), 0755);
    const std::string ok = "ok:ok.test:pw:1000000:rtt:1:2:800000:10000::ops@ok.test:1:0:127.0.0.1\n";
    testutil::write_file(t / "gpfile",
                         "# name:domain:password:interval:method:alert:retries:timeout:port:peer:mail:p1:p2:members\n" +
                             ok +
                             "a:a.test:pw:1000000:laod:1:2:800000:10000:::1:0:127.0.0.1\n"           // 3
                             "b:b.test:pw:1s:rtt:-5:20:0:70000:::1:0:127.0.0.1\n"                     // 4
                             "c:c.test:pw:1000000:rtt:1:2:800000:10000:ops@c.test:1:0:127.0.0.1\n"    // 5
                             "d:d.test:pw:0::0:0:0:0:nope.test::0:0:127.0.0.1, 127.0.0.2\n"           // 6
                             "e:e.test:pw:0::0:0:0:0::ops@a-rather-long-example.example:0:0:1.1.1.1\n"  // 7
                             "ok:ok2.test:pw:0::0:0:0:0:::0:0:1.2.3.4,1.2.3.5,1.2.3.6,1.2.3.7,1.2.3.8\n"  // 8
                             "f:../f:pw:0::0:0:0:0:::0:0:1.2.3.4\r\n"                                  // 9
                             "g:g.test:pw:0::0:0:0:0:::0:0:1.2.3.4");                                   // 10
    testutil::write_file(t / "nodes/127.0.0.1.cfg", "min_fs=-5\nmin_vm 256\nmax_conections 9\n");
    testutil::write_file(t / "ports/ok.ok.test.cfg", "# port\nhttp/8080\n");
    auto r = testutil::run({kord, "--check"}, {"TESSARON_ROOT=" + root});
    EXPECT_EQ(r.status, 2) << r.out;
    for (const std::string want :
         {":3: method: error: unknown method \"laod\"; kord uses rtt",
          ":4: interval: error: \"1s\" is not a number; kord uses 1000000",
          ":4: alert interval: error: negative (-5); kord uses 60", ":4: retries: error: 20 is above 10; kord uses 2",
          ":4: agent port: error: 70000 is outside 0..65535; kord uses 4464",
          ":5: line: error: 12 fields before the member list, 13 needed",
          ":6: peer: error: no group \"nope.test\"", ":6: member list: error: a blank ends the list",
          ":7: alert address: error: \"ops@a-rather-long-example.example\" is longer than its 31-character map field",
          ":8: name: error: group \"ok\" is defined again (first at line 2)",
          ":8: member list: warning: 5 members for 4 slots", ":9: domain: error: \"../f\" holds",
          ":9: line end: note: CR LF", ":10: line end: error: the last line has no line end"})
        EXPECT_TRUE(testutil::contains(r.out, t / "gpfile" + want)) << want << "\n" << r.out;
    for (const std::string want :
         {"nodes/127.0.0.1.cfg:1: min_fs: error: negative (-5); kord uses 4294967291",
          "nodes/127.0.0.1.cfg:3: max_conections: warning: unknown key",
          "ports/ok.ok.test.cfg:2: port: error: \"http\" is not a port number; kord uses 0 (no probe)"})
        EXPECT_TRUE(testutil::contains(r.out, t / want)) << want << "\n" << r.out;
    EXPECT_TRUE(testutil::contains(r.out, "17 errors, 2 warnings, 1 note in " + (t / "gpfile"))) << r.out;

    // Warnings only, then clean; the demo's root is clean too.
    testutil::write_file(t / "gpfile", ok);
    testutil::write_file(t / "ports/ok.ok.test.cfg", "8080/http\n");
    testutil::write_file(t / "nodes/127.0.0.1.cfg", "max_conections 9\n");
    EXPECT_EQ(testutil::run({kord, "-t"}, {"TESSARON_ROOT=" + root}).status, 1);
    unlink((t / "nodes/127.0.0.1.cfg").c_str());
    r = testutil::run({kord, "-t"}, {"TESSARON_ROOT=" + root});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "0 errors, 0 warnings, 0 notes in " + (t / "gpfile") + " (1 group), 0 node files, 1 port file\n");
    r = testutil::run({kord, "--check"}, {"TESSARON_ROOT=" + std::string(TESSARON_SOURCE_DIR) + "/examples/demo"});
    EXPECT_EQ(r.status, 0) << r.out;
}
