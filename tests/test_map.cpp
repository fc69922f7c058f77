// Shared maps: real files, real mappings, a second process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "util/sorvan.h"
#include "tests/support/testutil.h"

namespace {

off_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

long entry_count(const std::string &dir) {
    return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
}

}  // namespace

TEST(Map, NamedMapGrowsWithZerosAndIsShared) {
    testutil::TempDir dir;
    std::string path = dir / "map.data";
    testutil::write_file(path, "abc");
    const uint32_t size = 3 * 3240;  // three groups' records
    auto *p = static_cast<unsigned char *>(MapOpen(path.c_str(), size, 0, 3));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(file_size(path), size);
    EXPECT_EQ(std::memcmp(p, "abc", 3), 0);
    for (uint32_t i = 3; i < size; ++i) ASSERT_EQ(p[i], 0) << i;

    // A second view (another thread) and another process see every write.
    unsigned char *q = nullptr;
    std::thread([&] { q = static_cast<unsigned char *>(MapOpen(path.c_str(), 0, 0, 1)); }).join();
    ASSERT_NE(q, nullptr);
    p[size - 1] = 7;
    EXPECT_EQ(q[size - 1], 7);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto *c = static_cast<unsigned char *>(MapOpen(path.c_str(), size, 0, 3));
        if (!c || c[size - 1] != 7) _exit(1);
        c[0] = 'X';
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(*static_cast<volatile unsigned char *>(q), 'X');
    EXPECT_EQ(MapClose(q), 0);  // closed on another thread than it was opened on
    EXPECT_EQ(MapClose(p), 0);
    EXPECT_EQ(testutil::read_file(path).substr(0, 3), "Xbc");  // the content stays
}

TEST(Map, FailuresGiveNullTmpFilesGoAtCloseEvenOutOfOrder) {
    testutil::TempDir dir, bad;
    EXPECT_EQ(MapOpen((bad / "empty").c_str(), 0, 0, 3), nullptr);  // size 0 on a new file
    EXPECT_EQ(MapOpen((bad / "no/such/dir").c_str(), 16, 0, 3), nullptr);
    EXPECT_EQ(errno, ENOENT);
    std::string long_path = bad / std::string(1100, 'x');  // would be cut to another name
    EXPECT_EQ(MapOpen(long_path.c_str(), 16, 0, 3), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    int on_stack = 0;
    EXPECT_EQ(MapClose(&on_stack), 0);

    setenv("TMPDIR", dir.path().c_str(), 1);
    // Closing a temporary map deletes its own file, not a later named one.
    auto *tmp = static_cast<char *>(MapOpen(nullptr, 8192, 0, 3));
    ASSERT_NE(tmp, nullptr);
    EXPECT_EQ(entry_count(dir.path()), 1);
    std::string named = dir / "named";
    auto *keep = static_cast<char *>(MapOpen(named.c_str(), 1 << 20, 0, 3));
    ASSERT_NE(keep, nullptr);
    std::memset(tmp, 1, 8192);
    EXPECT_NE(MapClose(tmp), 0);
    EXPECT_EQ(entry_count(dir.path()), 1);
    keep[(1 << 20) - 1] = 'z';
    EXPECT_EQ(MapClose(keep), 0);
    EXPECT_EQ(file_size(named), 1 << 20);
    // A caller's own name holding ".tmp" goes too.
    std::string path = dir / "work.tmp.map";
    void *p = MapOpen(path.c_str(), 64, 0, 3);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(MapClose(p), 0);
    EXPECT_EQ(file_size(path), -1);
    unsetenv("TMPDIR");
}
