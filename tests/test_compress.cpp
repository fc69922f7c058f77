// Compression helpers: in-memory messages and file content on a socket,
// cross-checked against Python's zlib.
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include <zlib.h>

#include "util/sorvan.h"
#include "util/store/compress.h"
#include "tests/support/testutil.h"

namespace {

std::string pseudo_text(size_t n) {
    std::string s;
    uint32_t x = 12345;
    while (s.size() < n) {
        x = x * 1103515245u + 12345u;
        s += "word" + std::to_string((x >> 16) % 977) + (x & 0x100 ? " " : "\n");
    }
    s.resize(n);
    return s;
}

// Random bytes do not compress.
std::string noise(size_t n, uint32_t x) {
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    return s;
}

const char *kUnzip = "import sys,zlib; sys.stdout.buffer.write(zlib.decompress(open(sys.argv[1],'rb').read()))";

std::string python(const std::string &code, const std::string &in_file) {
    auto r = testutil::run({"/usr/bin/python3", "-c", code, in_file});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

}  // namespace

// The run coder's streams are plain zlib: runs of every length around the
// code boundaries (3, 258, 259, 260, 261...), any byte value, text, noise,
// the empty message; and a room too small is said so, never overrun.
TEST(DeflateRuns, ZlibReadsEveryShapeBackAndSmallRoomIsRefused) {
    std::vector<std::string> inputs = {"", "a", "aa", "aaa", pseudo_text(300), noise(700, 9)};
    for (size_t run : {3, 4, 10, 11, 18, 19, 130, 131, 257, 258, 259, 260, 261, 262, 516, 517, 2000})
        for (char c : {'\0', '\xff', 'x'}) inputs.push_back("/srv/p" + std::string(run, c) + "q" + std::string(run, c));
    std::string op(2112, '\0');
    op.replace(16, 18, "/tmp/s/src/d17/f42");
    inputs.push_back(op);
    for (const std::string &in : inputs) {
        const auto *src = reinterpret_cast<const unsigned char *>(in.data());
        std::vector<unsigned char> out(in.size() * 9 / 8 + 16);
        unsigned long n = out.size();
        ASSERT_EQ(sorvan::deflate_runs(out.data(), &n, src, in.size()), Z_OK) << in.size();
        std::vector<unsigned char> back(in.size() + 1);
        uLongf got = back.size();
        ASSERT_EQ(uncompress(back.data(), &got, out.data(), n), Z_OK) << in.size();
        ASSERT_EQ(std::string(reinterpret_cast<char *>(back.data()), got), in);
        unsigned long small = n - 1;
        std::vector<unsigned char> guard(n + 8, 0xA5);
        EXPECT_EQ(sorvan::deflate_runs(guard.data(), &small, src, in.size()), Z_BUF_ERROR);
        for (size_t i = n - 1; i < guard.size(); ++i) ASSERT_EQ(guard[i], 0xA5) << "wrote past the room";
    }
    unsigned long n = 4096;
    std::vector<unsigned char> out(n);
    ASSERT_EQ(sorvan::deflate_runs(out.data(), &n, reinterpret_cast<const unsigned char *>(op.data()), op.size()), Z_OK);
    EXPECT_LT(n, 80u);   // a path and zeros: as short as zlib makes it
}

// Round trips at the edges (10 bytes: the first destination is too small for
// a zlib stream), each read by Python's zlib; and Python's stream read by us.
TEST(CompressData, RoundTripsAndInteroperatesWithPythonZlib) {
    testutil::TempDir dir;
    for (size_t n : {size_t(0), size_t(10), size_t(512), size_t(100000)}) {
        std::string src = pseudo_text(n);
        uint32_t clen = 0, elen = 0;
        int32_t st = 99;
        void *z = compress_data(src.data(), static_cast<uint32_t>(n), &clen, &st, 1);
        ASSERT_NE(z, nullptr) << n;
        EXPECT_EQ(st, 0);
        testutil::write_file(dir / "ours.z", std::string(static_cast<char *>(z), clen));
        EXPECT_TRUE(python(kUnzip, dir / "ours.z") == src) << n;
        void *e = compress_data(z, clen, &elen, &st, 0);
        ASSERT_NE(e, nullptr) << n;
        EXPECT_TRUE(std::string(static_cast<char *>(e), elen) == src);
        std::free(z);
        std::free(e);
    }
    std::string src = pseudo_text(3000);
    testutil::write_file(dir / "plain", src);
    python("import sys,zlib; open(sys.argv[1]+'.z','wb').write(zlib.compress(open(sys.argv[1],'rb').read(),6))",
           dir / "plain");
    std::string theirs = testutil::read_file(dir / "plain.z");
    uint32_t elen = 0;
    int32_t st = 0;
    void *e = compress_data(theirs.data(), static_cast<uint32_t>(theirs.size()), &elen, &st, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(std::string(static_cast<char *>(e), elen) == src);
    std::free(e);
}

TEST(CompressData, ExpandFailures) {
    uint32_t len = 0;
    int32_t st = 0;
    const char text[] = "this is not a zlib stream at all";
    EXPECT_EQ(compress_data(text, sizeof text, &len, &st, 0), nullptr);
    EXPECT_EQ(st, -3);
    // 400 KB of zeros compress to ~400 bytes; expanding needs far more than
    // 4 x 400 + 114688 bytes, so every attempt is too small.
    std::vector<char> zeros(400000, 0);
    uint32_t clen = 0;
    void *z = compress_data(zeros.data(), static_cast<uint32_t>(zeros.size()), &clen, &st, 2);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(compress_data(z, clen, &len, &st, 0), nullptr);
    EXPECT_EQ(st, -5);
    std::free(z);
}

TEST(DeflateBuf, PeerGoneIsReportedNotSuccess) {
    std::string src = noise(300000, 12345);   // several pieces must be written
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    EXPECT_EQ(deflate_buf(src.data(), src.size(), sv[0], 1), -1);
    close(sv[0]);
}

// Above one block (128 KiB) the stream is made of blocks compressed on
// every core and joined: an independent inflater reads it, at the edges too.
TEST(DeflateBuf, StreamIsZlibAtEverySize) {
    testutil::TempDir dir;
    const size_t block = 128 * 1024;
    std::string all = pseudo_text(700000) + noise(600000, 3) + pseudo_text(400000);
    for (size_t n : {size_t(0), size_t(5000), block, block + 1, all.size()}) {
        std::string src = all.substr(0, n);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        std::string wire;
        std::thread reader([&] { wire = testutil::drain(sv[1]); });
        int64_t total = deflate_buf(src.data(), src.size(), sv[0], 0);
        close(sv[0]);
        reader.join();
        close(sv[1]);
        EXPECT_EQ(total, static_cast<int64_t>(wire.size())) << n;
        if (n == 0) {
            EXPECT_TRUE(wire.empty());
            continue;
        }
        testutil::write_file(dir / "wire", wire);
        EXPECT_TRUE(python(kUnzip, dir / "wire") == src) << n;
    }
}

TEST(DeflateBuf, EncipheredPiecesReadBackThroughInflateBuf) {
    ASSERT_TRUE(testutil::des_key());
    testutil::TempDir dir;
    std::string src = noise(70000, 7) + pseudo_text(300000);   // several pieces, several blocks
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int64_t sent = 0;
    std::thread writer([&] {
        sent = deflate_buf(src.data(), src.size(), sv[0], 1);
        close(sv[0]);
    });
    uint64_t written = 0;
    int64_t got = inflate_buf(sv[1], (dir / "out").c_str(), &written, 1);
    writer.join();
    close(sv[1]);
    EXPECT_GT(sent, 65536);   // more than two pieces
    EXPECT_EQ(got, sent);
    EXPECT_EQ(written, src.size());
    EXPECT_TRUE(testutil::read_file(dir / "out") == src);
}

TEST(InflateBuf, BrokenStreamsAndBadPaths) {
    testutil::TempDir dir;
    std::string src = pseudo_text(300000);
    uint32_t clen = 0;
    int32_t st = 0;
    void *z = compress_data(src.data(), static_cast<uint32_t>(src.size()), &clen, &st, 2);
    ASSERT_NE(z, nullptr);
    std::string stream(static_cast<char *>(z), clen);
    std::free(z);

    int sv[2];   // the connection ends mid-stream: 0, the partial file stays
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(write(sv[0], stream.data(), stream.size() / 2), ssize_t(stream.size() / 2));
    close(sv[0]);
    EXPECT_EQ(inflate_buf(sv[1], (dir / "part").c_str(), nullptr, 0), 0);
    close(sv[1]);
    std::string part = testutil::read_file(dir / "part");
    EXPECT_GT(part.size(), 0u);
    EXPECT_LT(part.size(), src.size());
    EXPECT_TRUE(part == src.substr(0, part.size()));

    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);   // garbage is a zlib error, not a hang
    std::string junk(5000, 'x');
    ASSERT_EQ(write(sv[0], junk.data(), junk.size()), ssize_t(junk.size()));
    EXPECT_EQ(inflate_buf(sv[1], (dir / "no/such/dir/file").c_str(), nullptr, 0), -100);
    close(sv[0]);
    EXPECT_EQ(inflate_buf(sv[1], (dir / "junk").c_str(), nullptr, 0), -3);
    close(sv[1]);
}
