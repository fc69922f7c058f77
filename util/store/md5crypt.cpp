// MD5 (RFC 1321) and the MD5-crypt password hash of the request keys.
#include "util/store/md5crypt.h"

#include <bit>
#include <cstring>
#include <vector>

#include "port/varro.h"

static_assert(std::endian::native == std::endian::little, "MD5 words are read in place");
static_assert(sizeof(MD5_CTX_S) == 88);
static_assert(offsetof(MD5_CTX_S, count) == 16);
static_assert(offsetof(MD5_CTX_S, buffer) == 24);

namespace {

constexpr uint32_t K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, x, k, s) \
    (a) += f((b), (c), (d)) + (x) + (k); \
    (a) = rotl((a), (s)) + (b)

void transform(uint32_t st[4], const unsigned char *block) {
    uint32_t m[16];
    std::memcpy(m, block, 64);   // little-endian host: the words as they lie
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
    MD5_STEP(MD5_F, a, b, c, d, m[0], K[0], 7);
    MD5_STEP(MD5_F, d, a, b, c, m[1], K[1], 12);
    MD5_STEP(MD5_F, c, d, a, b, m[2], K[2], 17);
    MD5_STEP(MD5_F, b, c, d, a, m[3], K[3], 22);
    MD5_STEP(MD5_F, a, b, c, d, m[4], K[4], 7);
    MD5_STEP(MD5_F, d, a, b, c, m[5], K[5], 12);
    MD5_STEP(MD5_F, c, d, a, b, m[6], K[6], 17);
    MD5_STEP(MD5_F, b, c, d, a, m[7], K[7], 22);
    MD5_STEP(MD5_F, a, b, c, d, m[8], K[8], 7);
    MD5_STEP(MD5_F, d, a, b, c, m[9], K[9], 12);
    MD5_STEP(MD5_F, c, d, a, b, m[10], K[10], 17);
    MD5_STEP(MD5_F, b, c, d, a, m[11], K[11], 22);
    MD5_STEP(MD5_F, a, b, c, d, m[12], K[12], 7);
    MD5_STEP(MD5_F, d, a, b, c, m[13], K[13], 12);
    MD5_STEP(MD5_F, c, d, a, b, m[14], K[14], 17);
    MD5_STEP(MD5_F, b, c, d, a, m[15], K[15], 22);
    MD5_STEP(MD5_G, a, b, c, d, m[1], K[16], 5);
    MD5_STEP(MD5_G, d, a, b, c, m[6], K[17], 9);
    MD5_STEP(MD5_G, c, d, a, b, m[11], K[18], 14);
    MD5_STEP(MD5_G, b, c, d, a, m[0], K[19], 20);
    MD5_STEP(MD5_G, a, b, c, d, m[5], K[20], 5);
    MD5_STEP(MD5_G, d, a, b, c, m[10], K[21], 9);
    MD5_STEP(MD5_G, c, d, a, b, m[15], K[22], 14);
    MD5_STEP(MD5_G, b, c, d, a, m[4], K[23], 20);
    MD5_STEP(MD5_G, a, b, c, d, m[9], K[24], 5);
    MD5_STEP(MD5_G, d, a, b, c, m[14], K[25], 9);
    MD5_STEP(MD5_G, c, d, a, b, m[3], K[26], 14);
    MD5_STEP(MD5_G, b, c, d, a, m[8], K[27], 20);
    MD5_STEP(MD5_G, a, b, c, d, m[13], K[28], 5);
    MD5_STEP(MD5_G, d, a, b, c, m[2], K[29], 9);
    MD5_STEP(MD5_G, c, d, a, b, m[7], K[30], 14);
    MD5_STEP(MD5_G, b, c, d, a, m[12], K[31], 20);
    MD5_STEP(MD5_H, a, b, c, d, m[5], K[32], 4);
    MD5_STEP(MD5_H, d, a, b, c, m[8], K[33], 11);
    MD5_STEP(MD5_H, c, d, a, b, m[11], K[34], 16);
    MD5_STEP(MD5_H, b, c, d, a, m[14], K[35], 23);
    MD5_STEP(MD5_H, a, b, c, d, m[1], K[36], 4);
    MD5_STEP(MD5_H, d, a, b, c, m[4], K[37], 11);
    MD5_STEP(MD5_H, c, d, a, b, m[7], K[38], 16);
    MD5_STEP(MD5_H, b, c, d, a, m[10], K[39], 23);
    MD5_STEP(MD5_H, a, b, c, d, m[13], K[40], 4);
    MD5_STEP(MD5_H, d, a, b, c, m[0], K[41], 11);
    MD5_STEP(MD5_H, c, d, a, b, m[3], K[42], 16);
    MD5_STEP(MD5_H, b, c, d, a, m[6], K[43], 23);
    MD5_STEP(MD5_H, a, b, c, d, m[9], K[44], 4);
    MD5_STEP(MD5_H, d, a, b, c, m[12], K[45], 11);
    MD5_STEP(MD5_H, c, d, a, b, m[15], K[46], 16);
    MD5_STEP(MD5_H, b, c, d, a, m[2], K[47], 23);
    MD5_STEP(MD5_I, a, b, c, d, m[0], K[48], 6);
    MD5_STEP(MD5_I, d, a, b, c, m[7], K[49], 10);
    MD5_STEP(MD5_I, c, d, a, b, m[14], K[50], 15);
    MD5_STEP(MD5_I, b, c, d, a, m[5], K[51], 21);
    MD5_STEP(MD5_I, a, b, c, d, m[12], K[52], 6);
    MD5_STEP(MD5_I, d, a, b, c, m[3], K[53], 10);
    MD5_STEP(MD5_I, c, d, a, b, m[10], K[54], 15);
    MD5_STEP(MD5_I, b, c, d, a, m[1], K[55], 21);
    MD5_STEP(MD5_I, a, b, c, d, m[8], K[56], 6);
    MD5_STEP(MD5_I, d, a, b, c, m[15], K[57], 10);
    MD5_STEP(MD5_I, c, d, a, b, m[6], K[58], 15);
    MD5_STEP(MD5_I, b, c, d, a, m[13], K[59], 21);
    MD5_STEP(MD5_I, a, b, c, d, m[4], K[60], 6);
    MD5_STEP(MD5_I, d, a, b, c, m[11], K[61], 10);
    MD5_STEP(MD5_I, c, d, a, b, m[2], K[62], 15);
    MD5_STEP(MD5_I, b, c, d, a, m[9], K[63], 21);
    st[0] += a; st[1] += b; st[2] += c; st[3] += d;
}

const char kItoa64[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

char *to64(char *p, uint32_t v, int n) {
    while (n-- > 0) {
        *p++ = kItoa64[v & 0x3f];
        v >>= 6;
    }
    return p;
}

// MD5 of one message that has room for its padding (64 bytes + 8 after
// it): the crypt rounds hash short messages a thousand times, so they pad in
// place and skip the streaming context.
void md5_padded(unsigned char *msg, size_t len, unsigned char out[16]) {
    uint32_t st[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    size_t total = (len + 8) / 64 * 64 + 64;
    msg[len] = 0x80;
    std::memset(msg + len + 1, 0, total - len - 9);
    uint64_t bits = uint64_t(len) << 3;
    std::memcpy(msg + total - 8, &bits, 8);
    for (size_t i = 0; i < total; i += 64) transform(st, msg + i);
    std::memcpy(out, st, 16);
}

}  // namespace

extern "C" {

SORVAN_API void md5_init(MD5_CTX_S *ctx) {
    ctx->count[0] = ctx->count[1] = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
}

SORVAN_API void md5_update(MD5_CTX_S *ctx, const void *data, uint32_t len) {
    auto *in = static_cast<const unsigned char *>(data);
    uint32_t index = (ctx->count[0] >> 3) & 0x3f;
    uint32_t lo = ctx->count[0] + (len << 3);
    if (lo < ctx->count[0]) ctx->count[1]++;
    ctx->count[0] = lo;
    ctx->count[1] += len >> 29;
    uint32_t part = 64 - index, i = 0;
    if (len >= part) {
        std::memcpy(ctx->buffer + index, in, part);
        transform(ctx->state, ctx->buffer);
        for (i = part; i + 63 < len; i += 64) transform(ctx->state, in + i);
        index = 0;
    }
    std::memcpy(ctx->buffer + index, in + i, len - i);
}

SORVAN_API void md5_final(unsigned char digest[16], MD5_CTX_S *ctx) {
    unsigned char bits[8];
    for (int i = 0; i < 8; ++i) bits[i] = static_cast<unsigned char>(ctx->count[i / 4] >> (8 * (i % 4)));
    uint32_t index = (ctx->count[0] >> 3) & 0x3f;
    uint32_t pad = index < 56 ? 56 - index : 120 - index;
    static const unsigned char padding[64] = {0x80};
    md5_update(ctx, padding, pad);
    md5_update(ctx, bits, 8);
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(ctx->state[i / 4] >> (8 * (i % 4)));
    std::memset(ctx, 0, sizeof *ctx);
}

SORVAN_API char *crypt_md5(const char *pw, const char *salt) {
    if (!pw) pw = "";
    if (!salt) salt = "";
    uint32_t sl = 0;
    while (sl < 8 && salt[sl] && salt[sl] != '$') ++sl;
    uint32_t pl = static_cast<uint32_t>(std::strlen(pw));

    MD5_CTX_S a, b;
    unsigned char f[16];
    md5_init(&a);
    md5_update(&a, pw, pl);
    md5_update(&a, salt, sl);

    md5_init(&b);
    md5_update(&b, pw, pl);
    md5_update(&b, salt, sl);
    md5_update(&b, pw, pl);
    md5_final(f, &b);
    for (int32_t n = static_cast<int32_t>(pl); n > 0; n -= 16) md5_update(&a, f, n > 16 ? 16 : n);
    std::memset(f, 0, sizeof f);
    for (uint32_t i = pl; i; i >>= 1) md5_update(&a, (i & 1) ? reinterpret_cast<const char *>(f) : pw, 1);
    md5_final(f, &a);

    // Each round hashes at most F, pw, s, pw, F: one buffer for all of them.
    std::vector<unsigned char> buf(32 + 2 * size_t(pl) + sl + 72);
    for (int i = 0; i < 1000; ++i) {
        unsigned char *p = buf.data();
        auto add = [&p](const void *src, size_t n) {
            std::memcpy(p, src, n);
            p += n;
        };
        if (i & 1) add(pw, pl);
        else add(f, 16);
        if (i % 3) add(salt, sl);
        if (i % 7) add(pw, pl);
        if (i & 1) add(f, 16);
        else add(pw, pl);
        md5_padded(buf.data(), size_t(p - buf.data()), f);
    }

    char *out = static_cast<char *>(memget(120));
    if (!out) return nullptr;
    std::memset(out, 0, 120);
    char *p = out;
    auto w = [&](int x, int y, int z) {
        p = to64(p, uint32_t(f[x]) << 16 | uint32_t(f[y]) << 8 | f[z], 4);
    };
    w(0, 6, 12);
    w(1, 7, 13);
    w(2, 8, 14);
    w(3, 9, 15);
    w(4, 10, 5);
    p = to64(p, f[11], 2);
    std::memset(f, 0, sizeof f);
    return out;
}

SORVAN_API char *crypt(const char *pw, const char *salt) noexcept { return crypt_md5(pw, salt); }

}  // extern "C"
