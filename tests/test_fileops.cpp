// File-tree operations on real directories.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "sorvan.h"
#include "testutil.h"

namespace fs = std::filesystem;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

const std::string &log_path() { return testutil::log_file("test_fileops"); }

void mkdir_p(const std::string &p) { fs::create_directories(p); }

}  // namespace

TEST(TreeCopy, FileReplacesAndFailureIsReported) {
    log_path();
    TempDir t;
    write_file(t / "a", "new content");
    write_file(t / "b", "old");
    EXPECT_EQ(cp((t / "a").c_str(), (t / "b").c_str()), 0);
    EXPECT_EQ(read_file(t / "b"), "new content");

    EXPECT_EQ(cp((t / "a").c_str(), (t / "missing/b").c_str()), -1);
    EXPECT_NE(read_file(log_path()).find("cp: CopyFile"), std::string::npos);
    EXPECT_EQ(cp((t / "nothing").c_str(), (t / "c").c_str()), -1);
}

TEST(TreeCopy, DirectoryIsOneLevelDeepAndCreatesDestination) {
    TempDir t;
    mkdir_p(t / "src/sub/deeper");
    write_file(t / "src/top.txt", "top");
    write_file(t / "src/sub/inner.txt", "inner");
    ASSERT_EQ(cp((t / "src").c_str(), (t / "dst").c_str()), 0);
    EXPECT_EQ(read_file(t / "dst/top.txt"), "top");
    EXPECT_TRUE(fs::is_directory(t / "dst/sub"));
    EXPECT_FALSE(fs::exists(t / "dst/sub/inner.txt"));
    EXPECT_FALSE(fs::exists(t / "dst/sub/deeper"));
    EXPECT_EQ(createdirs(nullptr, "x"), -1);
    EXPECT_EQ(cpfiles("x", nullptr), -2);
}

TEST(TreeRemove, ReadOnlyFileAndDeepTree) {
    TempDir t;
    write_file(t / "ro", "x");
    chmod((t / "ro").c_str(), 0444);
    EXPECT_EQ(rm((t / "ro").c_str()), 0);
    EXPECT_FALSE(fs::exists(t / "ro"));
    EXPECT_EQ(rm((t / "ro").c_str()), -1);

    mkdir_p(t / "tree/a/b/c");
    write_file(t / "tree/a/b/c/f", "1");
    write_file(t / "tree/a/g", "2");
    chmod((t / "tree/a/b").c_str(), 0555);   // read-only directory on the way
    EXPECT_EQ(rm((t / "tree").c_str()), 0);
    EXPECT_FALSE(fs::exists(t / "tree"));
}

TEST(TreeRemove, SymbolicLinkIsRemovedNotFollowed) {
    TempDir t;
    mkdir_p(t / "keep");
    write_file(t / "keep/precious", "data");
    mkdir_p(t / "tree");
    fs::create_directory_symlink(t / "keep", t / "tree/link");
    fs::create_directory_symlink(t / "keep", t / "toplink");
    EXPECT_EQ(rm((t / "toplink").c_str()), 0);
    EXPECT_EQ(rm((t / "tree").c_str()), 0);
    EXPECT_EQ(read_file(t / "keep/precious"), "data");
}

TEST(TreeRemove, RmAllWithoutFlagKeepsDirectory) {
    TempDir t;
    mkdir_p(t / "d/e");
    write_file(t / "d/e/f", "1");
    EXPECT_EQ(rm_all((t / "d").c_str(), 0), 0);
    EXPECT_TRUE(fs::is_directory(t / "d"));
    EXPECT_TRUE(fs::is_empty(t / "d"));
    EXPECT_EQ(rm_pass(nullptr), -1);
    EXPECT_EQ(rm_pass((t / "none").c_str()), -2);
}

// An entry that can never go (a mount point) must not make rm_all loop
// forever; the mount lives in this test's own mount namespace.
TEST(TreeRemove, RmAllEndsOnEntryThatCannotBeRemoved) {
    if (!testutil::is_root()) GTEST_SKIP() << "needs root for a private mount";
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    TempDir t;
    mkdir_p(t / "d/sub");
    ASSERT_EQ(mount("tmpfs", (t / "d/sub").c_str(), "tmpfs", 0, "size=1m"), 0);
    write_file(t / "d/sub/inside", "1");
    write_file(t / "d/other", "2");
    int r = rm_all((t / "d").c_str(), 1);
    EXPECT_EQ(r, -9);   // the directory itself stays
    EXPECT_FALSE(fs::exists(t / "d/other"));
    EXPECT_FALSE(fs::exists(t / "d/sub/inside"));
    EXPECT_EQ(rm_all((t / "d").c_str(), 0), 1);   // the one failure counted
    umount((t / "d/sub").c_str());
}

TEST(TreeRemove, RmdirsAndRmfilesLeaveWhatTheyMust) {
    log_path();
    TempDir t;
    mkdir_p(t / "d/empty");
    mkdir_p(t / "d/full");
    write_file(t / "d/full/x", "1");
    EXPECT_EQ(rmdirs((t / "d").c_str()), 0);
    EXPECT_FALSE(fs::exists(t / "d/empty"));
    EXPECT_TRUE(fs::exists(t / "d/full/x"));
    EXPECT_TRUE(fs::exists(t / "d"));
    EXPECT_NE(read_file(log_path()).find("rmdirs: RemoveDirectory"), std::string::npos);

    write_file(t / "d/plain", "1");
    write_file(t / "d/ro", "1");
    chmod((t / "d/ro").c_str(), 0444);
    EXPECT_EQ(rmfiles((t / "d").c_str()), 0);
    EXPECT_FALSE(fs::exists(t / "d/plain"));
    EXPECT_TRUE(fs::exists(t / "d/ro"));
    EXPECT_TRUE(fs::is_directory(t / "d/full"));
}

TEST(TreeAttributes, ClearReadonlyClearsStoredBitsAndGivesWriteBack) {
    TempDir t;
    write_file(t / "f", "x");
    set_NT_file_attr((t / "f").c_str(), 0x1 | 0x2 | 0x20);
    struct stat st;
    stat((t / "f").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(clear_readonly((t / "f").c_str()), 0);
    stat((t / "f").c_str(), &st);
    EXPECT_TRUE(st.st_mode & S_IWUSR);
    uint32_t w = 0;
    if (getxattr((t / "f").c_str(), "user.tessaron.attributes", &w, 4) == 4) {
        EXPECT_EQ(w, 0x20u);
    }
    EXPECT_EQ(clear_readonly((t / "missing").c_str()), -1);
}
