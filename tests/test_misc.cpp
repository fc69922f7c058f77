// Small utilities: names, random passwords, memory blocks, sealed messages.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "port/varro.h"
#include "util/sorvan.h"
#include "tests/support/testutil.h"
#include "util/net/request.h"

namespace {

// Runs f on a writable copy of text.
template <class F> std::string on_copy(const char *text, F f) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s", text);
    return f(buf);
}

struct Pair {
    int fd[2];
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~Pair() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    void close_end(int i) {
        close(fd[i]);
        fd[i] = -1;
    }
};

}  // namespace

TEST(Names, BasenameAndTrimDomain) {
    struct { const char *path, *suffix, *want; } base[] = {
        {"/usr/lib/", nullptr, "lib"}, {"///", nullptr, "/"}, {"", nullptr, ""}, {"a/b.txt", ".txt", "b"},
        {"a/.txt", ".txt", ".txt"}, {"plain", nullptr, "plain"}, {"dir//file//", "le", "fi"}};
    for (auto &c : base) EXPECT_EQ(on_copy(c.path, [&](char *b) { return basename(b, c.suffix); }), c.want) << c.path;
    struct { const char *name, *want; } trim[] = {{"a.b.c.d", "c.d"}, {"host.sub.dom.", "sub.dom"}, {"sub.dom", "sub.dom"},
                                                  {"localhost", "localhost"}, {"...", ""}, {"a.b..", "a.b"}, {"", ""}};
    for (auto &c : trim) EXPECT_EQ(on_copy(c.name, trim_domain), c.want) << c.name;
}

TEST(Basename, ProjectCodeNeverCallsTheLibcNamesItShadows) {
    // libsorvan exports basename() and crypt() with its own meanings; any
    // object of the library or of kord that calls them expecting glibc's
    // would reach ours instead.
    for (const char *lib : {"/static/libsorvan_static.a", "/static/libkord_core.a"}) {
        auto r = testutil::run({"/bin/sh", "-c", std::string("nm -A ") + TESSARON_LIB_DIR + lib +
                                                " | grep -E ' U (basename|crypt|__xpg_basename)$' || true"});
        EXPECT_EQ(r.out, "") << lib;
    }
    auto kord = testutil::run({"/bin/sh", "-c", "nm -D --undefined-only " + testutil::bin_path("kord") +
                                               " | grep -wE 'basename|crypt' || true"});
    EXPECT_EQ(kord.out, "");
    auto exports = testutil::run({"/bin/sh", "-c", std::string("nm -D --defined-only ") + TESSARON_LIB_DIR +
                                                  "/libsorvan.so | grep -cwE 'T (basename|crypt|crypt_md5)'"});
    EXPECT_EQ(exports.out, "3\n");
}

TEST(PwRandom, LengthAlphabetAndVariety) {
    const std::string alphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.<>?$#@:-=+()[]{";
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        char *p = pw_random();
        ASSERT_NE(p, nullptr);
        std::string s = p;
        EXPECT_GE(s.size(), 8u);
        EXPECT_LE(s.size(), 15u);
        EXPECT_EQ(s.find_first_not_of(alphabet), std::string::npos) << s;
        EXPECT_EQ(s.find('}'), std::string::npos);
        seen.insert(s);
    }
    EXPECT_GT(seen.size(), 45u);   // same second, different microseconds
    // Each thread has its own buffer.
    char *mine = pw_random();
    std::string before = mine;
    std::thread([] { pw_random(); }).join();
    EXPECT_EQ(before, mine);
}

TEST(MemoryBlocks, ZeroFilledResizableAndRecognised) {
    auto *p = static_cast<unsigned char *>(MemoryAllocate(100));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(MemorySize(p), 100u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
    std::memset(p, 0xAB, 100);
    p = static_cast<unsigned char *>(MemoryResize(p, 5000));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(MemorySize(p), 5000u);
    EXPECT_EQ(p[99], 0xAB);
    for (int i = 100; i < 5000; ++i) ASSERT_EQ(p[i], 0) << i;
    MemoryFree(p);
    EXPECT_EQ(MemoryResize(nullptr, 10), nullptr);
}

// An empty message is a stream, not a bare length; consecutive messages
// keep their boundaries.
TEST(SealedMessage, EmptyAndConsecutiveMessages) {
    Pair p;
    std::string big(100000, 'q');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = char('a' + i % 26);
    EXPECT_GT(xwrite(p.fd[0], "", 0), 4);
    EXPECT_GT(xwrite(p.fd[0], "first", 5), 4);
    std::thread w([&] { xwrite(p.fd[0], big.data(), static_cast<uint32_t>(big.size())); });
    for (const std::string &want : {std::string(), std::string("first"), big}) {
        uint32_t len = 99;
        void *m = sorvan::xread_len(p.fd[1], &len);
        ASSERT_NE(m, nullptr);
        EXPECT_TRUE(std::string(static_cast<char *>(m), len) == want) << want.size();
        std::free(m);
    }
    w.join();
}

TEST(SealedMessage, BadFramesAreRefused) {
    for (bool raw : {true, false}) {   // closed after 2 bytes of the length word
        Pair p;
        ASSERT_EQ(write(p.fd[0], "\0\0", 2), 2);
        p.close_end(0);
        if (raw) EXPECT_EQ(_xread(p.fd[1], nullptr, nullptr), -1);
        else EXPECT_EQ(xread(p.fd[1]), nullptr);
    }
    {   // A length far beyond any message is not allocated.
        Pair p;
        uint32_t be = htonl(0xFFFFFFF0u);
        ASSERT_EQ(write(p.fd[0], &be, 4), 4);
        uint32_t len = 7;
        void *buf = reinterpret_cast<void *>(1);
        EXPECT_EQ(_xread(p.fd[1], &buf, &len), -2);
        EXPECT_EQ(len, 0u);
        be = htonl(SORVAN_MAX_FRAME + 1);
        ASSERT_EQ(write(p.fd[0], &be, 4), 4);
        EXPECT_EQ(_xread(p.fd[1], nullptr, nullptr), -2);
    }
    {   // Payload cut short.
        Pair p;
        uint32_t be = htonl(100);
        ASSERT_EQ(write(p.fd[0], &be, 4), 4);
        ASSERT_EQ(write(p.fd[0], "abc", 3), 3);
        p.close_end(0);
        EXPECT_EQ(_xread(p.fd[1], nullptr, nullptr), -3);
    }
    {   // Framed whole, but not a zlib stream.
        Pair p;
        EXPECT_EQ(_xwrite(p.fd[0], "garbage!", 8), 12);
        EXPECT_EQ(xread(p.fd[1]), nullptr);
    }
    {   // A write to a closed peer fails; no SIGPIPE kills the test.
        Pair p;
        p.close_end(1);
        EXPECT_EQ(xwrite(p.fd[0], "hello", 5), -1);
    }
}

TEST(FileRecordRead, PathsAreTerminatedInsideTheirFields) {
    Pair p;
    std::string raw(sizeof(FileRecord), 'A');   // no NUL anywhere
    ASSERT_GT(xwrite(p.fd[0], raw.data(), static_cast<uint32_t>(raw.size())), 0);
    FileRecord rec;
    ASSERT_EQ(sorvan::read_file_record(p.fd[1], &rec), 0);
    EXPECT_EQ(std::strlen(rec.path), 1023u);
    EXPECT_EQ(std::strlen(rec.path2), 1023u);
    // A short message is zero-extended, not read past.
    ASSERT_GT(xwrite(p.fd[0], "abc", 3), 0);
    ASSERT_EQ(sorvan::read_file_record(p.fd[1], &rec), 0);
    EXPECT_STREQ(rec.path, "abc");
    EXPECT_EQ(rec.size, 0u);
}

std::string date_in_zone(const char *tz, const char *ctime_text) {
    setenv("TZ", tz, 1);
    tzset();
    char *d = arpadate(ctime_text);
    std::string s = d ? d : "";
    free(d);
    unsetenv("TZ");
    tzset();
    return s;
}

// The fields of the text and the zone of now; a text too short to hold
// ctime's fields gives now and is not read past its end.
TEST(Arpadate, FieldsZonesAndShortText) {
    const char *text = "Tue Mar  1 09:05:03 2022\n";
    EXPECT_EQ(date_in_zone("CET-1", text), "Tue, 1 Mar 2022 09:05:03 +0100");
    EXPECT_EQ(date_in_zone("UTC0", text), "Tue, 1 Mar 2022 09:05:03 GMT");
    EXPECT_EQ(date_in_zone("EST5", text), "Tue, 1 Mar 2022 09:05:03 -0500");
    // Half-hour zone, local time already the next day.
    EXPECT_EQ(date_in_zone("ACST-9:30", "Sat Dec 31 23:59:59 2022\n"), "Sat, 31 Dec 2022 23:59:59 +0930");
    for (const char *shorter : {static_cast<const char *>(nullptr), "Tue", ""}) {
        std::string d = date_in_zone("UTC0", shorter);
        ASSERT_GE(d.size(), 26u) << d;
        EXPECT_EQ(d.substr(3, 2), ", ");
        EXPECT_EQ(d.substr(d.size() - 3), "GMT");
    }
}

// Names reach the log from files, maps and peers: their control bytes are
// written escaped, one log line stays one line, UTF-8 passes.
TEST(LogText, ControlBytesAreEscapedUtf8Kept) {
    char out[64];
    EXPECT_EQ(port_escape("web\n\x1b[2J\xc3\xa9\xff", out, sizeof out), 20u);
    EXPECT_STREQ(out, "web\\x0a\\x1b[2J\xc3\xa9\\xff");
    char small[6];
    port_escape("ab\x01" "cd", small, sizeof small);   // never half an escape
    EXPECT_STREQ(small, "ab");
    testutil::TempDir dir;
    setenv("TESSARON_LOG", (dir / "log").c_str(), 1);
    port_syslog(LOG_INFO, "node %s: up", "evil\nFAKE line\r\x07");
    std::string log = testutil::read_file(dir / "log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("node evil\\x0aFAKE line\\x0d\\x07: up"), std::string::npos) << log;
}
