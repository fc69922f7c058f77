// The bit-sliced bulk cipher against libcrypto's own DES, block for block.
#include <dlfcn.h>

#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/testutil.h"
#include "util/net/bitdes.h"
#include "util/net/request.h"
#include "util/sorvan.h"

namespace {

using set_key_fn = void (*)(const unsigned char (*)[8], void *);
using ecb_fn = void (*)(const unsigned char (*)[8], unsigned char (*)[8], void *, int);

struct Reference {
    set_key_fn set_key = nullptr;
    ecb_fn ecb = nullptr;
    alignas(16) unsigned char schedule[128];
    Reference() {
        void *h = dlopen("libcrypto.so.3", RTLD_NOW);
        if (!h) return;
        set_key = reinterpret_cast<set_key_fn>(dlsym(h, "DES_set_key_unchecked"));
        ecb = reinterpret_cast<ecb_fn>(dlsym(h, "DES_ecb_encrypt"));
    }
    void key(const unsigned char k[8]) {
        unsigned char kk[8];
        std::memcpy(kk, k, 8);
        set_key(&kk, schedule);
    }
    void run(unsigned char *buf, size_t blocks, bool enc) {
        for (size_t i = 0; i < blocks; ++i) {
            unsigned char in[8], out[8];
            std::memcpy(in, buf + 8 * i, 8);
            ecb(&in, &out, schedule, enc ? 1 : 0);
            std::memcpy(buf + 8 * i, out, 8);
        }
    }
};

std::vector<unsigned char> random_bytes(std::mt19937_64 &rng, size_t n) {
    std::vector<unsigned char> v(n);
    for (auto &b : v) b = static_cast<unsigned char>(rng());
    return v;
}

TEST(BitDes, SameBytesAsLibcryptoForManyKeysBothWays) {
    Reference ref;
    ASSERT_TRUE(ref.ecb && ref.set_key);
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        auto key = random_bytes(rng, 8);
        if (trial == 0) key.assign(8, 0);        // weak keys too
        if (trial == 1) key.assign(8, 0xFF);
        sorvan::BitDesKey bk;
        sorvan::bitdes_set_key(bk, key.data());
        ref.key(key.data());
        const size_t blocks = sorvan::kBitDesBatch * (1 + trial % 3) + trial * 5;
        auto plain = random_bytes(rng, blocks * 8);
        if (trial == 2) std::fill(plain.begin(), plain.end(), 0);

        auto want = plain;
        ref.run(want.data(), blocks, true);
        std::vector<unsigned char> got(plain.size(), 0xAA);
        size_t done = sorvan::bitdes_ecb(bk, plain.data(), got.data(), blocks, true);
        EXPECT_EQ(done, blocks - blocks % sorvan::kBitDesBatch);
        ASSERT_EQ(std::memcmp(got.data(), want.data(), done * 8), 0) << "key trial " << trial;
        // Past the whole batches nothing is touched.
        for (size_t i = done * 8; i < got.size(); ++i) ASSERT_EQ(got[i], 0xAA);

        // In place, back again.
        size_t back = sorvan::bitdes_ecb(bk, got.data(), got.data(), done, false);
        EXPECT_EQ(back, done);
        ASSERT_EQ(std::memcmp(got.data(), plain.data(), done * 8), 0);
    }
}

TEST(BitDes, FewerBlocksThanABatchAreLeftToTheCaller) {
    sorvan::BitDesKey bk;
    const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    sorvan::bitdes_set_key(bk, key);
    std::vector<unsigned char> buf(8 * (sorvan::kBitDesBatch - 1), 0x5C), copy = buf;
    EXPECT_EQ(sorvan::bitdes_ecb(bk, buf.data(), buf.data(), sorvan::kBitDesBatch - 1, true), 0u);
    EXPECT_EQ(buf, copy);
}

// The library's message cipher takes the bulk path on long buffers and the
// per-block one for the rest: both must give libcrypto's bytes.
TEST(BitDes, MessageCipherMatchesBlockByBlockAtEveryLength) {
    ASSERT_TRUE(testutil::des_key());
    std::mt19937_64 rng(11);
    for (size_t len : {size_t(0), size_t(7), size_t(2047), size_t(2048), size_t(2055),
                       size_t(4096 + 13), size_t(32768), size_t(32768 + 2040)}) {
        auto plain = random_bytes(rng, len);
        auto bulk = plain;
        ASSERT_EQ(xencrypt(bulk.data(), uint32_t(len)), 0);
        auto single = plain;
        for (size_t off = 0; off + 8 <= len; off += 8) des_encrypt_ecb(&single[off], &single[off]);
        ASSERT_EQ(bulk, single) << "length " << len;
        ASSERT_EQ(xdecrypt(bulk.data(), uint32_t(len)), 0);
        ASSERT_EQ(bulk, plain) << "length " << len;
    }
}

// Frames of a batch enciphered together come out as each alone would,
// whether the batch fills bulk passes or not, and back again.
TEST(BitDes, SpansOfABatchMatchEachMessageEnciphered) {
    ASSERT_TRUE(testutil::des_key());
    std::mt19937_64 rng(12);
    for (size_t frames : {size_t(1), size_t(3), size_t(40), size_t(400)}) {
        std::vector<unsigned char> buf;
        std::vector<sorvan::Span> spans;
        for (size_t i = 0; i < frames; ++i) {
            uint32_t len = uint32_t(rng() % 3000);
            if (i % 7 == 0) len = uint32_t(rng() % 9);   // shorter than a block or barely over
            buf.resize(buf.size() + 4 + rng() % 5);      // a frame head and some bytes between
            spans.push_back({buf.size(), len});
            auto body = random_bytes(rng, len);
            buf.insert(buf.end(), body.begin(), body.end());
        }
        auto plain = buf, each = buf;
        for (const auto &sp : spans) ASSERT_EQ(xencrypt(each.data() + sp.at, sp.len), 0);
        ASSERT_EQ(sorvan::xcrypt_spans(buf.data(), spans.data(), spans.size(), true), 0);
        ASSERT_EQ(buf, each) << frames << " frames";
        ASSERT_EQ(sorvan::xcrypt_spans(buf.data(), spans.data(), spans.size(), false), 0);
        ASSERT_EQ(buf, plain) << frames << " frames";
    }
}

}  // namespace
