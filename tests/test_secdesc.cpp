// Security descriptors and attribute words on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <cstring>

#include "util/sorvan.h"
#include "util/sys/secdesc.h"
#include "tests/support/testutil.h"

using testutil::TempDir;
using testutil::write_file;

namespace {

// user::rw- user:1234:r-- group::r-- mask::r-- other::---
std::vector<unsigned char> sample_acl() {
    std::vector<unsigned char> a = {2, 0, 0, 0};
    auto entry = [&](uint16_t tag, uint16_t perm, uint32_t id) {
        unsigned char e[8] = {uint8_t(tag), uint8_t(tag >> 8), uint8_t(perm), uint8_t(perm >> 8),
                              uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16), uint8_t(id >> 24)};
        a.insert(a.end(), e, e + 8);
    };
    entry(0x01, 6, 0xFFFFFFFF);
    entry(0x02, 4, 1234);
    entry(0x04, 4, 0xFFFFFFFF);
    entry(0x10, 4, 0xFFFFFFFF);
    entry(0x20, 0, 0xFFFFFFFF);
    return a;
}

struct Sd {
    unsigned char *p = nullptr;
    uint32_t len = 0;
    explicit Sd(const std::string &path) { p = static_cast<unsigned char *>(get_NT_SD(path.c_str(), &len)); }
    ~Sd() { std::free(p); }
};

}  // namespace

TEST(Descriptor, RoundTripCarriesOwnerModeAndAcl) {
    if (!testutil::is_root()) GTEST_SKIP() << "needs root to change owners";
    TempDir t;
    write_file(t / "src", "s");
    write_file(t / "dst", "d");
    ASSERT_EQ(chown((t / "src").c_str(), 4321, 8765), 0);
    auto acl = sample_acl();
    bool have_acl = setxattr((t / "src").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    if (!have_acl) chmod((t / "src").c_str(), 0640);

    Sd sd(t / "src");
    ASSERT_NE(sd.p, nullptr);
    EXPECT_EQ(sd.len, 24u + (have_acl ? acl.size() : 0));
    sorvan::sd::control_to_transit(sd.p);   // as the requester sends it
    ASSERT_EQ(set_NT_SD((t / "dst").c_str(), sd.p), 0);

    struct stat a, b;
    stat((t / "src").c_str(), &a);
    stat((t / "dst").c_str(), &b);
    EXPECT_EQ(b.st_uid, 4321u);
    EXPECT_EQ(b.st_gid, 8765u);
    EXPECT_EQ(a.st_mode, b.st_mode);
    if (have_acl) {
        unsigned char got[256];
        ssize_t n = getxattr((t / "dst").c_str(), "system.posix_acl_access", got, sizeof got);
        ASSERT_EQ(n, ssize_t(acl.size()));
        EXPECT_EQ(std::memcmp(got, acl.data(), acl.size()), 0);
    }
}

// A descriptor of the wrong shape is refused before anything is applied.
TEST(Descriptor, WrongShapeIsRefusedWholeAndNullArguments) {
    TempDir t;
    write_file(t / "f", "x");
    chmod((t / "f").c_str(), 0600);
    std::free(get_NT_SD((t / "f").c_str(), nullptr));
    uint32_t len = 99;
    EXPECT_EQ(get_NT_SD((t / "none").c_str(), &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(set_NT_SD(nullptr, &len), -1);
    Sd good(t / "f");
    ASSERT_NE(good.p, nullptr);
    auto attempt = [&](auto mutate, size_t len) {
        std::vector<unsigned char> b(good.p, good.p + good.len);
        b.resize(std::max<size_t>(b.size(), 64));
        // give it a mode that would show if applied
        b[12] = 0x7F; b[13] = 0x01; b[14] = 0; b[15] = 0;   // 0577
        sorvan::sd::control_to_transit(b.data());
        mutate(b);
        return sorvan::sd::set_sd((t / "f").c_str(), b.data(), len);
    };
    EXPECT_EQ(attempt([](auto &b) { b[0] = 7; }, 24), -3);                    // revision
    EXPECT_EQ(attempt([](auto &b) { b[2] = 0; }, 24), -3);                    // not self-relative
    EXPECT_EQ(attempt([](auto &b) { b[14] = 1; }, 24), -3);                   // file-type bits
    EXPECT_EQ(attempt([](auto &b) { b[16] = 20; b[3] |= 4; }, 40), -3);      // ACL past the end
    EXPECT_EQ(attempt([](auto &b) { b[16] = 12; b[3] |= 4; b[24] = 2; }, 64), -3);  // ragged ACL
    EXPECT_EQ(attempt([](auto &) {}, 20), -3);                                // short header
    EXPECT_EQ(attempt([](auto &) {}, 3), -2);                                 // no control word
    struct stat st;
    stat((t / "f").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(attempt([](auto &) {}, 24), 0);
    stat((t / "f").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0577u);
}

// What a sender reads of an open file in one pass is what the separate
// calls give: a plain file, a read-only one, one with a stored word, one
// with an access list.
TEST(AttributeWord, OnePassDescriptionAgreesWithTheSeparateCalls) {
    TempDir t;
    write_file(t / "plain", "x");
    write_file(t / "ro", "xy");
    chmod((t / "ro").c_str(), 0444);
    write_file(t / "word", "xyz");
    bool xattrs = set_NT_file_attr((t / "word").c_str(), 0x26) == 0 &&
                  getxattr((t / "word").c_str(), "user.tessaron.attributes", nullptr, 0) == 4;
    write_file(t / "acl", "acl");
    auto acl = sample_acl();
    bool acls = setxattr((t / "acl").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    for (const char *name : {"plain", "ro", "word", "acl"}) {
        int fd = open((t / name).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        uint32_t len = 0;
        void *sd = sorvan::sd::descriptor_fd(fd, st, &len);
        sorvan::sd::OpenFile f;
        ASSERT_TRUE(sorvan::sd::describe_fd(fd, &f));
        EXPECT_EQ(f.st.st_size, st.st_size) << name;
        EXPECT_EQ(f.st.st_mode, st.st_mode) << name;
        EXPECT_EQ(f.st.st_ino, st.st_ino) << name;
        EXPECT_EQ(f.attributes, sorvan::sd::attr_word_fd(fd, st)) << name;
        ASSERT_EQ(f.sd_len, len) << name;
        EXPECT_EQ(std::memcmp(f.sd, sd, len), 0) << name;
        std::free(sd);
        std::free(f.sd);
        close(fd);
    }
    if (!xattrs || !acls) GTEST_SKIP() << "no user xattrs or ACLs here: only the plain files compared";
}

TEST(AttributeWord, ReadOnlyWordCompressionAndStatFile) {
    TempDir t;
    write_file(t / "f", "x");
    chmod((t / "f").c_str(), 0664);
    ASSERT_EQ(set_NT_file_attr((t / "f").c_str(), 0x21), 0);
    struct stat st;
    stat((t / "f").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    uint32_t w = 0;
    if (getxattr((t / "f").c_str(), "user.tessaron.attributes", &w, 4) == 4) {
        EXPECT_EQ(w, 0x21u);
        EXPECT_EQ(sorvan::sd::attr_word((t / "f").c_str()), 0x21u);
    }
    // Compressed where the file system cannot compress: still applied.
    ASSERT_EQ(set_NT_file_attr((t / "f").c_str(), 0x820), 0);
    stat((t / "f").c_str(), &st);
    EXPECT_TRUE(st.st_mode & S_IWUSR);
    EXPECT_EQ(set_NT_file_attr((t / "none").c_str(), 0x20), -1);

    write_file(t / "f", std::string(70000, 'a'));
    ByHandleFileInformation info;
    ASSERT_EQ(stat_file((t / "f").c_str(), &info), 0);
    stat((t / "f").c_str(), &st);
    EXPECT_EQ(info.nFileSizeLow, 70000u);
    EXPECT_EQ(info.nFileIndexLow, uint32_t(st.st_ino));
    uint64_t wt = uint64_t(info.ftLastWriteTime[1]) << 32 | info.ftLastWriteTime[0];
    EXPECT_EQ(wt / 10000000 - 11644473600ull, uint64_t(st.st_mtime));
    EXPECT_EQ(stat_file(t.path().c_str(), &info), 0);
    EXPECT_EQ(info.dwFileAttributes & 0x10, 0x10u);
    EXPECT_EQ(stat_file((t / "none").c_str(), &info), -1);

    // Creation is the birth time where the file system keeps one: a later
    // change of mode moves the change time, not that.
    struct statx sx;
    if (statx(AT_FDCWD, (t / "f").c_str(), 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
        usleep(20000);
        chmod((t / "f").c_str(), 0600);
        ASSERT_EQ(stat_file((t / "f").c_str(), &info), 0);
        uint64_t ct = uint64_t(info.ftCreationTime[1]) << 32 | info.ftCreationTime[0];
        EXPECT_EQ(ct, (uint64_t(sx.stx_btime.tv_sec) + 11644473600ull) * 10000000ull + sx.stx_btime.tv_nsec / 100);
    }
}
