// Hosts-file entries: find, add, remove, and the hexadecimal helper.
#include <gtest/gtest.h>

#include "util/sorvan.h"
#include "tests/support/scratch.h"
#include "tests/support/testutil.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>

namespace fs = std::filesystem;
using testutil::TempDir;
using testutil::read_file;
using testutil::write_file;

namespace {

const std::string kHosts =
    "# static table\n"
    "127.0.0.1\t\tlocalhost\n"
    "\n"
    "#10.0.0.1 old entry\n"
    "10.0.0.10\t\tten\n"
    "10.0.0.2\t\ttwo\n";

TEST(HostsFind, PrefixMatchSkipsCommentsAndBlankLines) {
    TempDir d;
    std::string h = d / "hosts";
    write_file(h, kHosts);
    EXPECT_EQ(HostsFileFindEntry(h.c_str(), "127.0.0.1"), 1);
    EXPECT_EQ(HostsFileFindEntry(h.c_str(), "10.0.0.1"), 1);   // matches 10.0.0.10
    EXPECT_EQ(HostsFileFindEntry(h.c_str(), "10.0.0.3"), 0);
    EXPECT_EQ(HostsFileFindEntry(h.c_str(), "#10.0.0.1"), 0);  // comments are not entries
    EXPECT_EQ(HostsFileFindEntry(h.c_str(), "10.0.0.2\t\ttwos"), 0);
    EXPECT_EQ(HostsFileFindEntry((d / "missing").c_str(), "10.0.0.1"), -1);
    // An empty key would match every line: refused.
    EXPECT_EQ(HostsFileFindEntry(h.c_str(), ""), -1);
    EXPECT_EQ(HostsFileFindEntry(h.c_str(), nullptr), -1);
    // The caller names the file: no path falls back on any other file.
    setenv("TESSARON_HOSTS", h.c_str(), 1);
    auto einval = [](int rc) { return errno == EINVAL ? rc : -99; };   // the result, when errno says why
    for (const char *path : {static_cast<const char *>(nullptr), ""}) {
        errno = 0;
        EXPECT_EQ(einval(HostsFileFindEntry(path, "10.0.0.2")), -1);
        errno = 0;
        EXPECT_EQ(einval(HostsFileAddEntry(path, "192.0.2.2", "b")), 1);
        errno = 0;
        EXPECT_EQ(einval(HostsFileRemoveEntry(path, "10.0.0.2")), -1);
    }
    unsetenv("TESSARON_HOSTS");
    EXPECT_EQ(read_file(h), kHosts);
}

TEST(HostsFind, LongAndBinaryLinesAreWholeLines) {
    TempDir d;
    std::string h = d / "hosts";
    // The key sits 1023 characters into a long line: not the start of a line.
    std::string longline = "# " + std::string(1021, 'x') + "10.9.9.9 hidden\n";
    std::string binary("\x00\xff\x01 10.1.1.1\n", 13);
    write_file(h, longline + binary + "10.2.2.2 last-without-newline");
    EXPECT_EQ(HostsFileFindEntry(h.c_str(), "10.9.9.9"), 0);
    EXPECT_EQ(HostsFileFindEntry(h.c_str(), "10.2.2.2"), 1);
    EXPECT_EQ(HostsFileRemoveEntry(h.c_str(), "10.2.2.2"), 1);
    EXPECT_EQ(read_file(h), longline + binary);
}

TEST(HostsAdd, AppendsOnceKeepsLinesApartAndRefusesBadInput) {
    TempDir d;
    std::string h = d / "hosts";
    write_file(h, "127.0.0.1 localhost\n10.0.0.10 ten");  // no final newline
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "10.0.0.3", "three"), 0);
    const std::string before = "127.0.0.1 localhost\n10.0.0.10 ten\n10.0.0.3\t\tthree\n";
    EXPECT_EQ(read_file(h), before);
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "10.0.0.3", "other"), 1);
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "10.0.0.1", "one"), 1);  // prefix of 10.0.0.10
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "10.0.0.6", "six\n10.6.6.6 injected"), 1);
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "10.0.0.6\n", "six"), 1);
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "", "six"), 1);
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "#10.0.0.6", "six"), 1);
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "10.0.0.6", nullptr), 1);
    // 1023 characters is the longest entry; a longer one would lose its newline.
    std::string longest(1023 - 8 - 2 - 1, 'n');  // key, two tabs, name, newline
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "10.0.0.8", (longest + "n").c_str()), 1);
    EXPECT_EQ(read_file(h), before);
    EXPECT_EQ(HostsFileAddEntry(h.c_str(), "10.0.0.7", longest.c_str()), 0);
    EXPECT_EQ(read_file(h), before + "10.0.0.7\t\t" + longest + "\n");
    EXPECT_EQ(HostsFileAddEntry((d / "missing").c_str(), "10.0.0.1", "one"), 1);
    EXPECT_FALSE(fs::exists(d / "missing"));
}

TEST(HostsRemove, DropsEveryMatchingLineKeepsTheRest) {
    TempDir d;
    std::string h = d / "hosts";
    write_file(h, kHosts + "10.0.0.1 again\n");
    chmod(h.c_str(), 0640);
    EXPECT_EQ(HostsFileRemoveEntry(h.c_str(), "10.0.0.1"), 1);
    EXPECT_EQ(read_file(h),
              "# static table\n127.0.0.1\t\tlocalhost\n\n#10.0.0.1 old entry\n10.0.0.2\t\ttwo\n");
    EXPECT_EQ(fs::status(h).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_FALSE(fs::exists(h + ".new"));
    // Comments that begin with the key go too.
    EXPECT_EQ(HostsFileRemoveEntry(h.c_str(), "#10.0.0.1"), 1);
    EXPECT_EQ(read_file(h), "# static table\n127.0.0.1\t\tlocalhost\n\n10.0.0.2\t\ttwo\n");
    std::string before = read_file(h);
    EXPECT_EQ(HostsFileRemoveEntry((d / "missing").c_str(), "10.0.0.1"), -1);
    EXPECT_EQ(HostsFileRemoveEntry(h.c_str(), ""), -1);  // would empty the file
    EXPECT_EQ(read_file(h), before);
}

TEST(HostsRemove, FailuresKeepTheOriginal) {
    TempDir d;
    std::string h = d / "hosts";
    write_file(h, kHosts);
    // The copy cannot be created.
    fs::create_directory(h + ".new");
    EXPECT_EQ(HostsFileRemoveEntry(h.c_str(), "10.0.0.2"), -2);
    EXPECT_EQ(read_file(h), kHosts);
    fs::remove(h + ".new");
    // A path too long for the copy's name.
    std::string deep = d.path();
    while (deep.size() < 1100) deep += "/dddddddddddddddddddddddddddddddddddddddddddddddddd";
    fs::create_directories(deep);
    write_file(deep + "/h", kHosts);
    EXPECT_EQ(HostsFileRemoveEntry((deep + "/h").c_str(), "10.0.0.2"), -2);
    EXPECT_EQ(read_file(deep + "/h"), kHosts);
}

TEST(HostsRemove, FullDiskKeepsTheOriginal) {
    const std::string d = testutil::scratch_tmpfs("size=64k");
    if (d.empty()) GTEST_SKIP() << "needs root for a private tmpfs";
    std::string h = d + "/hosts";
    std::string big;
    for (int i = 0; big.size() < 40000; i++) big += "10.1." + std::to_string(i) + " host\n";
    write_file(h, big);
    ASSERT_EQ(read_file(h), big);
    EXPECT_EQ(HostsFileRemoveEntry(h.c_str(), "10.1.0 "), -3);
    EXPECT_EQ(read_file(h), big);
    EXPECT_FALSE(fs::exists(h + ".new"));
    // An append that does not fit leaves the file as it was.
    write_file(d + "/filler", std::string(64 * 1024 - 40960 - 4096, 'f'));
    std::string name(1000, 'a');
    int rc = 0;
    for (int i = 0; i < 64 && rc == 0; i++)
        rc = HostsFileAddEntry(h.c_str(), ("10.2." + std::to_string(i)).c_str(), name.c_str());
    EXPECT_EQ(rc, -2);
    std::string after = read_file(h);
    EXPECT_EQ(after.back(), '\n');  // no half entry
    EXPECT_EQ(after.compare(0, big.size(), big), 0);
}

TEST(Hexstr2dec, FirstCharacterIsLeastSignificant) {
    EXPECT_EQ(hexstr2dec("a", 1), 10);
    EXPECT_EQ(hexstr2dec("g", 1), -1);
    EXPECT_EQ(hexstr2dec("1f", 2), 241);
    EXPECT_EQ(hexstr2dec("12zz", 2), 0x21);      // only count characters are read
    EXPECT_EQ(hexstr2dec("000000001", 9), 0);    // ninth digit vanishes in 32 bits
    EXPECT_EQ(hexstr2dec("1", 4), -1);           // stops at the end of the text
    EXPECT_EQ(hexstr2dec(nullptr, 1), -1);
}

}  // namespace
