// Registry items on the file tree under $TESSARON_REGISTRY.
#include <gtest/gtest.h>

#include "util/sorvan.h"
#include "tests/support/testutil.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include <sys/stat.h>

namespace fs = std::filesystem;
using testutil::TempDir;
using testutil::read_file;
using testutil::write_file;

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        reg = tmp / "reg";
        setenv("TESSARON_REGISTRY", reg.c_str(), 1);
    }
    void TearDown() override { unsetenv("TESSARON_REGISTRY"); }
    void plant(const std::string &rel, const std::string &bytes) {
        fs::create_directories(fs::path(reg + "/" + rel).parent_path());
        write_file(reg + "/" + rel, bytes);
    }
    TempDir tmp;
    std::string reg;
};

TEST_F(Registry, RoundTripsAndMissingValues) {
    EXPECT_EQ(SetRegItemString("SOFTWARE\\Tessaron\\Kord", "Name", "alpha beta"), 0);
    // Stored as the type byte then the text, without a terminator.
    EXPECT_EQ(read_file(reg + "/SOFTWARE/Tessaron/Kord/Name"), std::string("\x01") + "alpha beta");
    EXPECT_STREQ(GetRegItemString("SOFTWARE\\Tessaron\\Kord", "Name"), "alpha beta");
    EXPECT_EQ(SetRegItemNumber("SOFTWARE\\Tessaron\\Kord", "Port", -2), 0);
    EXPECT_EQ(read_file(reg + "/SOFTWARE/Tessaron/Kord/Port"), std::string("\x04\xfe\xff\xff\xff", 5));
    for (int32_t v : {-2, 0, INT32_MIN, INT32_MAX}) {
        ASSERT_EQ(SetRegItemNumber("SOFTWARE\\Tessaron\\Kord", "Port", v), 0);
        EXPECT_EQ(GetRegItemNumber("SOFTWARE\\Tessaron\\Kord", "Port"), v);
    }
    // A shorter text leaves nothing of the old; a missing value after a
    // long one reads empty, a missing key as null.
    ASSERT_EQ(SetRegItemString("SOFTWARE\\Tessaron\\Kord", "Name", std::string(500, 'q').c_str()), 0);
    ASSERT_EQ(std::strlen(GetRegItemString("SOFTWARE\\Tessaron\\Kord", "Name")), 500u);
    EXPECT_STREQ(GetRegItemString("SOFTWARE\\Tessaron\\Kord", "Missing"), "");
    EXPECT_EQ(SetRegItemString("SOFTWARE\\Tessaron\\Kord", "Name", "x"), 0);
    EXPECT_STREQ(GetRegItemString("SOFTWARE\\Tessaron\\Kord", "Name"), "x");
    EXPECT_EQ(GetRegItemNumber("SOFTWARE\\Tessaron\\Kord", "Missing"), 0);
    EXPECT_EQ(GetRegItemString("SOFTWARE\\Nowhere", "Name"), nullptr);
    EXPECT_EQ(GetRegItemNumber("SOFTWARE\\Nowhere", "Port"), 0);
}

TEST_F(Registry, LengthLimitsAndOddFilesReadAsEmpty) {
    std::string t1023(1023, 'a'), t1024(1024, 'b');
    ASSERT_EQ(SetRegItemString("K", "v1023", t1023.c_str()), 0);
    ASSERT_EQ(SetRegItemString("K", "v1024", t1024.c_str()), 0);
    EXPECT_EQ(std::string(GetRegItemString("K", "v1023")), t1023);
    // No room for the terminator: read as empty rather than unterminated.
    EXPECT_STREQ(GetRegItemString("K", "v1024"), "");
    plant("K/huge", std::string("\x01") + std::string(1 << 20, 'h'));
    EXPECT_STREQ(GetRegItemString("K", "huge"), "");
    EXPECT_EQ(GetRegItemNumber("K", "huge"), 0);
    ASSERT_EQ(SetRegItemNumber("K", "num", 0x00434241), 0);      // types are not checked
    EXPECT_STREQ(GetRegItemString("K", "num"), "ABC");
    plant("K/empty", "");                                        // not even a type byte
    EXPECT_STREQ(GetRegItemString("K", "empty"), "");
    EXPECT_EQ(GetRegItemNumber("K", "empty"), 0);
    ASSERT_EQ(mkfifo((reg + "/K/fifo").c_str(), 0644), 0);      // must not block
    EXPECT_STREQ(GetRegItemString("K", "fifo"), "");
    EXPECT_EQ(GetRegItemNumber("K", "fifo"), 0);
    fs::create_directories(reg + "/K/sub");                     // a subkey, not a value
    EXPECT_STREQ(GetRegItemString("K", "sub"), "");
    EXPECT_EQ(SetRegItemString("K", "sub", "x"), -2);
    EXPECT_TRUE(fs::is_directory(reg + "/K/sub"));
}

TEST_F(Registry, KeyPathsStayInsideTheTree) {
    std::string outside = tmp / "outside";
    fs::create_directories(outside);
    EXPECT_EQ(SetRegItemString("..\\outside", "v", "x"), -1);
    EXPECT_EQ(SetRegItemString("A\\..\\..\\outside", "v", "x"), -1);
    EXPECT_EQ(SetRegItemString("A/../../outside", "v", "x"), -1);
    EXPECT_EQ(GetRegItemString("..", "v"), nullptr);
    EXPECT_FALSE(fs::exists(outside + "/v"));
    // Leading separators are relative to the root; doubled ones collapse.
    EXPECT_EQ(SetRegItemString("\\abs\\\\path\\", "v", "in"), 0);
    EXPECT_STREQ(GetRegItemString("/abs/path", "v"), "in");
    EXPECT_TRUE(fs::exists(reg + "/abs/path/v"));
    // Value names are single file names.
    EXPECT_EQ(SetRegItemString("A", "../escape", "x"), -2);
    EXPECT_EQ(SetRegItemString("A", "", "x"), -2);
    EXPECT_STREQ(GetRegItemString("A", "../abs/path/v"), "");
    EXPECT_FALSE(fs::exists(tmp / "escape"));
    EXPECT_EQ(CleanRegistry("A", ".."), -2);
    EXPECT_EQ(CleanRegistry("A", "..\\A"), -2);
    EXPECT_TRUE(fs::exists(reg + "/A"));
    // A symbolic link planted in the tree is not followed.
    fs::create_directory_symlink(outside, reg + "/link");
    EXPECT_EQ(SetRegItemString("link", "v", "x"), -1);
    EXPECT_EQ(GetRegItemString("link", "v"), nullptr);
    write_file(outside + "/secret", "\x01secret");
    fs::create_symlink(outside + "/secret", reg + "/A/secret");
    EXPECT_STREQ(GetRegItemString("A", "secret"), "");
    EXPECT_EQ(SetRegItemString("A", "secret", "over"), 0);      // replaces the link itself
    EXPECT_EQ(read_file(outside + "/secret"), "\x01secret");
    EXPECT_FALSE(fs::exists(outside + "/v"));
}

TEST_F(Registry, CleanRegistryDeletesLeafKeysOnly) {
    ASSERT_EQ(SetRegItemString("SOFTWARE\\Uninstall\\{A}", "InstallSource", "/src"), 0);
    ASSERT_EQ(SetRegItemNumber("SOFTWARE\\Uninstall\\{A}", "Count", 3), 0);
    ASSERT_EQ(SetRegItemNumber("SOFTWARE\\Uninstall\\{B}\\Inner", "Count", 3), 0);

    EXPECT_EQ(CleanRegistry("SOFTWARE\\Missing", "{A}"), -1);
    EXPECT_EQ(CleanRegistry("SOFTWARE\\Uninstall", "{C}"), -2);
    EXPECT_EQ(CleanRegistry("SOFTWARE\\Uninstall", "{B}"), -2);  // still has a subkey
    EXPECT_EQ(GetRegItemNumber("SOFTWARE\\Uninstall\\{B}\\Inner", "Count"), 3);
    EXPECT_EQ(CleanRegistry("SOFTWARE\\Uninstall", "{A}"), 0);
    EXPECT_FALSE(fs::exists(reg + "/SOFTWARE/Uninstall/{A}"));
    EXPECT_EQ(CleanRegistry("SOFTWARE\\Uninstall", "{B}\\Inner"), 0);
    EXPECT_EQ(CleanRegistry("SOFTWARE\\Uninstall", "{B}"), 0);
    EXPECT_EQ(CleanRegistry("SOFTWARE", ""), -2);
    EXPECT_TRUE(fs::exists(reg + "/SOFTWARE/Uninstall"));
}

TEST_F(Registry, EachThreadHasItsOwnTextBuffer) {
    ASSERT_EQ(SetRegItemString("K", "a", std::string(700, 'a').c_str()), 0);
    ASSERT_EQ(SetRegItemString("K", "b", "b"), 0);
    std::atomic<int> bad{0};
    auto reader = [&](const char *name, const std::string &expect) {
        const char *first = GetRegItemString("K", name);
        for (int i = 0; i < 2000; i++) {
            const char *s = GetRegItemString("K", name);
            if (s != first || expect != s) bad++;
        }
    };
    std::thread t1(reader, "a", std::string(700, 'a'));
    std::thread t2(reader, "b", std::string("b"));
    t1.join();
    t2.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(Retry, CountsPerThreadAndSleepsWhenAsked) {
    EXPECT_EQ(retry(2, 0), 1);
    EXPECT_EQ(retry(2, 0), 1);
    EXPECT_EQ(retry(2, 0), 0);
    EXPECT_EQ(retry(2, 0), 1);
    // Another thread starts from its own zero.
    int other[2] = {-1, -1};
    std::thread([&] { for (int &r : other) r = retry(1, 0); }).join();
    EXPECT_EQ(other[0], 1);
    EXPECT_EQ(other[1], 0);
    // A sleep leaves this thread's count where it was (1 of 2 used).
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(retry(2, 1), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(retry(2, 0), 1);
    EXPECT_EQ(retry(2, 0), 0);
    EXPECT_EQ(retry(0, 0), 0);
}

}  // namespace
