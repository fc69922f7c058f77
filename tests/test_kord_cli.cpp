// kord's command line and its refusals to start, run as the built program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "testutil.h"

namespace {
const std::string kord = testutil::bin_path("kord");
}

TEST(KordCli, VersionUsageAndExtraArguments) {
    testutil::TempDir root;
    const std::vector<std::string> env = {"TESSARON_ROOT=" + root.path()};

    auto v = testutil::run({kord, "-v"}, env);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, " Tessaron(tm):\n " + kord + " v3.6.7\n");

    const std::string usage_tail =
        " [options]\n\nOptions\n-d: debug level\n-m: administrator email address\n-v: version\n\n";
    auto bad = testutil::run({kord, "-x"}, env);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "Usage: " + kord + usage_tail);

    // Arguments left after the options: the usage names the program only.
    auto extra = testutil::run({kord, "-d", "3", "leftover"}, env);
    EXPECT_EQ(extra.status, 1);
    EXPECT_EQ(extra.err, "Usage: kord" + usage_tail);

    // Nothing was started: no maps were made.
    EXPECT_NE(access((root / "data/.ctlmap").c_str(), F_OK), 0);
}

TEST(KordCli, NoGroupsEndsWithMinusTwoAfterCountingIntoTheControlMap) {
    testutil::TempDir root;
    testutil::write_file(root / "gpfile", "# no groups yet\n\n");
    auto r = testutil::run({kord}, {"TESSARON_ROOT=" + root.path(), "TESSARON_LOG=" + (root / "log")});
    EXPECT_EQ(r.status, 254);  // exit status -2
    EXPECT_NE(r.err.find("No Cluster Groups found!"), std::string::npos) << r.err;
    EXPECT_EQ(testutil::read_file(root / "data/.ctlmap"), std::string(4, '\0'));

    // A missing group file is the same as an empty one.
    testutil::TempDir bare;
    auto m = testutil::run({kord}, {"TESSARON_ROOT=" + bare.path()});
    EXPECT_EQ(m.status, 254);
}

TEST(KordCli, SecondInstanceBailsOut) {
    testutil::TempDir root;
    mkdir((root / "data").c_str(), 0755);
    int fd = open((root / "data/kord.pid").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    testutil::write_file(root / "gpfile", "g:g.test:::::::::::::127.0.0.1\n");
    auto r = testutil::run({kord}, {"TESSARON_ROOT=" + root.path(), "TESSARON_LOG=" + (root / "log")});
    EXPECT_NE(testutil::read_file(root / "log").find("Tessaron Master Server already running. Bail out!"),
              std::string::npos);
    EXPECT_NE(access((root / "data/.ctlmap").c_str(), F_OK), 0);
    close(fd);
}
