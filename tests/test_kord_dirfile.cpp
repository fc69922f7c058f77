// A directory where kord's group file should be: named as such, at start
// and by --check, not as an input/output error.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/support/testutil.h"

TEST(KordDirFile, GroupFileThatIsADirectorySaysSo) {
    testutil::TempDir root;
    const std::string gp = root / "gpfile";
    ASSERT_EQ(mkdir(gp.c_str(), 0755), 0);
    mkdir((root / "nsdb").c_str(), 0755);
    mkdir((root / "nsdb/cn").c_str(), 0755);
    const std::vector<std::string> env = {"TESSARON_ROOT=" + root.path()};

    auto r = testutil::run({testutil::bin_path("kord")}, env);
    EXPECT_EQ(r.status, 254) << r.err;
    EXPECT_TRUE(testutil::contains(r.err, "group file " + gp + ": unreadable (Is a directory)")) << r.err;

    for (const char *opt : {"-t", "--check"}) {
        auto c = testutil::run({testutil::bin_path("kord"), opt}, env);
        EXPECT_EQ(c.status, 2) << opt;
        EXPECT_TRUE(testutil::contains(c.out + c.err, gp + ": file: error: unreadable (Is a directory)"))
            << opt << "\n" << c.out << c.err;
        EXPECT_FALSE(testutil::contains(c.out + c.err, "Input/output error")) << c.out << c.err;
    }
}
