// File-tree operations on real directories, in a scratch tmpfs ($TMPDIR
// points there).
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <filesystem>

#include "tests/support/scratch.h"
#include "util/sorvan.h"
#include "tests/support/testutil.h"

namespace fs = std::filesystem;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

const std::string &log_path() { return testutil::log_file("test_fileops"); }

void mkdir_p(const std::string &p) { fs::create_directories(p); }

const bool g_scratch = testutil::scratch_tmpdir();
#define NEED_SCRATCH() \
    if (!g_scratch) GTEST_SKIP() << "needs root for a scratch tmpfs"

}  // namespace

TEST(TreeCopy, FileReplacesDirectoryIsOneLevelDeepFailuresReported) {
    NEED_SCRATCH();
    log_path();
    TempDir t;
    write_file(t / "a", "new content");
    write_file(t / "b", "old");
    EXPECT_EQ(cp((t / "a").c_str(), (t / "b").c_str()), 0);
    EXPECT_EQ(read_file(t / "b"), "new content");
    EXPECT_EQ(cp((t / "a").c_str(), (t / "missing/b").c_str()), -1);
    EXPECT_NE(read_file(log_path()).find("cp: CopyFile"), std::string::npos);
    EXPECT_EQ(cp((t / "nothing").c_str(), (t / "c").c_str()), -1);

    mkdir_p(t / "src/sub/deeper");
    write_file(t / "src/top.txt", "top");
    write_file(t / "src/sub/inner.txt", "inner");
    ASSERT_EQ(cp((t / "src").c_str(), (t / "dst").c_str()), 0);
    EXPECT_EQ(read_file(t / "dst/top.txt"), "top");
    EXPECT_TRUE(fs::is_directory(t / "dst/sub"));
    EXPECT_FALSE(fs::exists(t / "dst/sub/inner.txt"));
    EXPECT_EQ(createdirs(nullptr, "x"), -1);
    EXPECT_EQ(cpfiles("x", nullptr), -2);
}

TEST(TreeRemove, ReadOnlyDeepTreeAndLinksNotFollowed) {
    NEED_SCRATCH();
    TempDir t;
    write_file(t / "ro", "x");
    chmod((t / "ro").c_str(), 0444);
    EXPECT_EQ(rm((t / "ro").c_str()), 0);
    EXPECT_EQ(rm((t / "ro").c_str()), -1);
    mkdir_p(t / "tree/a/b/c");
    write_file(t / "tree/a/b/c/f", "1");
    chmod((t / "tree/a/b").c_str(), 0555);   // read-only directory on the way
    mkdir_p(t / "keep");
    write_file(t / "keep/precious", "data");
    fs::create_directory_symlink(t / "keep", t / "tree/link");
    fs::create_directory_symlink(t / "keep", t / "slashed");
    EXPECT_EQ(rm((t / "slashed//").c_str()), 0);   // a trailing slash does not follow it
    EXPECT_FALSE(fs::is_symlink(t / "slashed"));
    EXPECT_EQ(rm((t / "tree").c_str()), 0);
    EXPECT_FALSE(fs::exists(t / "tree"));
    EXPECT_EQ(read_file(t / "keep/precious"), "data");
}

// A tree carrying the read-only attribute goes for an owner without
// privileges too: each directory's write bit is lifted before its entries.
TEST(TreeRemove, ReadOnlyTreeOfAnUnprivilegedOwner) {
    NEED_SCRATCH();
    TempDir t;
    mkdir_p(t / "ro/sub");
    write_file(t / "ro/sub/f", "1");
    write_file(t / "ro/g", "2");
    mkdir_p(t / "kept/sub");
    write_file(t / "kept/sub/f", "3");
    for (const auto &e : fs::recursive_directory_iterator(t.path())) lchown(e.path().c_str(), 65534, 65534);
    chown(t.path().c_str(), 65534, 65534);
    for (const char *d : {"ro/sub/f", "ro/g", "ro/sub", "ro", "kept/sub/f", "kept/sub", "kept"})
        set_NT_file_attr((t / d).c_str(), 0x1);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        int a = rm((t / "ro").c_str()), b = rm_all((t / "kept").c_str(), 0);
        _exit(a == 0 && b == 0 ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_FALSE(fs::exists(t / "ro"));
    EXPECT_TRUE(fs::is_empty(t / "kept"));
    struct stat kept;
    ASSERT_EQ(stat((t / "kept").c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mode & 0222, 0u);   // emptied, and still read-only
}

// An entry that can never go (a mount point) must not make rm_all loop
// forever; the mount lives in the scratch tree's private mount namespace.
TEST(TreeRemove, RmAllEndsOnEntryThatCannotBeRemoved) {
    NEED_SCRATCH();
    TempDir t;
    mkdir_p(t / "d/sub");
    ASSERT_EQ(mount("tmpfs", (t / "d/sub").c_str(), "tmpfs", 0, "size=1m"), 0);
    write_file(t / "d/sub/inside", "1");
    write_file(t / "d/other", "2");
    EXPECT_EQ(rm_all((t / "d").c_str(), 1), -9);   // the directory itself stays
    EXPECT_FALSE(fs::exists(t / "d/other"));
    EXPECT_FALSE(fs::exists(t / "d/sub/inside"));
    EXPECT_EQ(rm_all((t / "d").c_str(), 0), 1);   // the one failure counted
    umount((t / "d/sub").c_str());
}

TEST(TreeRemove, RmdirsAndRmfilesLeaveWhatTheyMust) {
    NEED_SCRATCH();
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
    // rm_all without its flag empties the directory and keeps it.
    EXPECT_EQ(rm_all((t / "d").c_str(), 0), 0);
    EXPECT_TRUE(fs::is_empty(t / "d"));
    EXPECT_EQ(rm_pass(nullptr), -1);
    EXPECT_EQ(rm_pass((t / "none").c_str()), -2);
}

TEST(TreeAttributes, ClearReadonlyClearsStoredBitsAndGivesWriteBack) {
    NEED_SCRATCH();
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
