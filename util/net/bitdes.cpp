// Bit-sliced DES. Word p of a batch holds bit p of every block, so each
// permutation of the cipher is a renaming of words and each S-box a fixed
// boolean circuit over them; the circuits are built at compile time from
// the S-box tables (16 minterms of the middle four bits, an XOR of minterms
// per row and output bit, then the row chosen by the outer two bits).
#include "util/net/bitdes.h"

#include <cstring>
#include <utility>

namespace sorvan {
namespace {

// Tables in the cipher's own numbering: bit 1 is the first bit of a block.
constexpr unsigned char kIP[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr unsigned char kE[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
    12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
    22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr unsigned char kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                  26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                  3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

constexpr unsigned char kPC1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr unsigned char kPC2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
    26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
    51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr unsigned char kShift[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Row by row, 16 columns each.
constexpr unsigned char kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

struct Inverses {
    unsigned char fp[64];    // final permutation: the inverse of kIP
    unsigned char pinv[32];  // where each S-box output bit lands in the round
};

constexpr Inverses make_inverses() {
    Inverses v{};
    for (int i = 0; i < 64; ++i) v.fp[kIP[i] - 1] = static_cast<unsigned char>(i + 1);
    for (int i = 0; i < 32; ++i) v.pinv[kP[i] - 1] = static_cast<unsigned char>(i);
    return v;
}
constexpr Inverses kInv = make_inverses();

// Output bit J (0 = most significant) of S-box S at row R and column C.
template <int S, int R, int C, int J>
constexpr bool kBit = (kS[S][R * 16 + C] >> (3 - J)) & 1;

// 64 x 64 bit matrix transpose in place: afterwards bit (63 - c) of a[r] is
// what bit (63 - r) of a[c] was. On vectors, one matrix per lane.
template <class T>
[[gnu::always_inline]] inline void transpose64(T a[64]) {
    uint64_t m = 0x00000000FFFFFFFFull;
    for (int j = 32; j; j >>= 1, m ^= m << j) {
        for (int k = 0; k < 64; k = ((k | j) + 1) & ~j) {
            T t = (a[k] ^ (a[k | j] >> j)) & m;
            a[k] ^= t;
            a[k | j] ^= t << j;
        }
    }
}

inline uint64_t load_be(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

inline void store_be(unsigned char *p, uint64_t v) {
    v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

// The rounds over vectors of W 64-bit words: 64 x W blocks at a time. Every
// helper is inlined into the entry points below, one per instruction set.
template <class V, int W>
struct Slice {
    static constexpr size_t kBlocks = 64 * W;

    template <bool On>
    [[gnu::always_inline]] static inline void add(V &acc, const V &m) {
        if constexpr (On) acc ^= m;
    }

    template <int S, int R, int J, size_t... C>
    [[gnu::always_inline]] static inline void row(V &acc, const V *m,
                                                  std::index_sequence<C...>) {
        acc = V{};
        (add<kBit<S, R, int(C), J>>(acc, m[C]), ...);
    }

    // b selects the second: a ^ ((a ^ b) & s).
    [[gnu::always_inline]] static inline void mux(V &out, const V &s, const V &a, const V &b) {
        out = a ^ ((a ^ b) & s);
    }

    template <int S, int J>
    [[gnu::always_inline]] static inline void output(V &o, const V *x, const V *m) {
        V g0, g1, g2, g3, h0, h1;
        constexpr auto cols = std::make_index_sequence<16>{};
        row<S, 0, J>(g0, m, cols);
        row<S, 1, J>(g1, m, cols);
        row<S, 2, J>(g2, m, cols);
        row<S, 3, J>(g3, m, cols);
        mux(h0, x[5], g0, g1);
        mux(h1, x[5], g2, g3);
        mux(o, x[0], h0, h1);
    }

    // One S-box of a round: L ^= P(S(E(R) ^ K)) for its four output bits.
    template <int S>
    [[gnu::always_inline]] static inline void box(V *l, const V *r, const uint64_t *key) {
        V x[6];
        for (int i = 0; i < 6; ++i) x[i] = r[kE[6 * S + i] - 1] ^ key[6 * S + i];
        V n1 = ~x[1], n2 = ~x[2], n3 = ~x[3], n4 = ~x[4];
        V p12[4] = {n1 & n2, n1 & x[2], x[1] & n2, x[1] & x[2]};
        V p34[4] = {n3 & n4, n3 & x[4], x[3] & n4, x[3] & x[4]};
        V m[16];
        for (int c = 0; c < 16; ++c) m[c] = p12[c >> 2] & p34[c & 3];
        V o;
        output<S, 0>(o, x, m);
        l[kInv.pinv[4 * S + 0]] ^= o;
        output<S, 1>(o, x, m);
        l[kInv.pinv[4 * S + 1]] ^= o;
        output<S, 2>(o, x, m);
        l[kInv.pinv[4 * S + 2]] ^= o;
        output<S, 3>(o, x, m);
        l[kInv.pinv[4 * S + 3]] ^= o;
    }

    [[gnu::always_inline]] static inline void batch(const BitDesKey &k, const unsigned char *in,
                                                    unsigned char *out, bool encrypt) {
        // Lane e of t holds the 64 blocks from 64 * e on, bit-sliced.
        V t[64];
        for (int i = 0; i < 64; ++i)
            for (int e = 0; e < W; ++e) t[i][e] = load_be(in + (size_t(e) * 64 + i) * 8);
        transpose64(t);
        V lw[32], rw[32];
        for (int i = 0; i < 32; ++i) {
            lw[i] = t[kIP[i] - 1];
            rw[i] = t[kIP[32 + i] - 1];
        }
        V *l = lw, *r = rw;
        for (int round = 0; round < 16; ++round) {
            const uint64_t *key = k.round[encrypt ? round : 15 - round];
            box<0>(l, r, key);
            box<1>(l, r, key);
            box<2>(l, r, key);
            box<3>(l, r, key);
            box<4>(l, r, key);
            box<5>(l, r, key);
            box<6>(l, r, key);
            box<7>(l, r, key);
            std::swap(l, r);
        }
        // The block before the final permutation is R16 L16.
        for (int p = 0; p < 64; ++p) {
            int q = kInv.fp[p] - 1;
            t[p] = q < 32 ? r[q] : l[q - 32];
        }
        transpose64(t);
        for (int i = 0; i < 64; ++i)
            for (int e = 0; e < W; ++e) store_be(out + (size_t(e) * 64 + i) * 8, t[i][e]);
    }
};

using V2 = uint64_t __attribute__((vector_size(16)));
using V4 = uint64_t __attribute__((vector_size(32)));
static_assert(Slice<V4, 4>::kBlocks == kBitDesBatch);

size_t run_sse2(const BitDesKey &k, const unsigned char *in, unsigned char *out, size_t blocks,
                bool encrypt) {
    size_t done = 0;
    for (; blocks - done >= kBitDesBatch; done += kBitDesBatch) {
        Slice<V2, 2>::batch(k, in + done * 8, out + done * 8, encrypt);
        Slice<V2, 2>::batch(k, in + (done + 128) * 8, out + (done + 128) * 8, encrypt);
    }
    return done;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) size_t run_avx2(const BitDesKey &k, const unsigned char *in,
                                                unsigned char *out, size_t blocks, bool encrypt) {
    size_t done = 0;
    for (; blocks - done >= kBitDesBatch; done += kBitDesBatch)
        Slice<V4, 4>::batch(k, in + done * 8, out + done * 8, encrypt);
    return done;
}

using V8 = uint64_t __attribute__((vector_size(64)));

__attribute__((target("avx512f,avx2"))) size_t run_avx512(const BitDesKey &k,
                                                          const unsigned char *in,
                                                          unsigned char *out, size_t blocks,
                                                          bool encrypt) {
    size_t done = 0;
    for (; blocks - done >= 2 * kBitDesBatch; done += 2 * kBitDesBatch)
        Slice<V8, 8>::batch(k, in + done * 8, out + done * 8, encrypt);
    for (; blocks - done >= kBitDesBatch; done += kBitDesBatch)
        Slice<V4, 4>::batch(k, in + done * 8, out + done * 8, encrypt);
    return done;
}
#endif

using run_fn = size_t (*)(const BitDesKey &, const unsigned char *, unsigned char *, size_t, bool);

run_fn pick() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f")) return run_avx512;
    if (__builtin_cpu_supports("avx2")) return run_avx2;
#endif
    return run_sse2;
}

}  // namespace

void bitdes_set_key(BitDesKey &k, const unsigned char key[8]) {
    auto bit = [&](int p) { return (key[(p - 1) / 8] >> (7 - (p - 1) % 8)) & 1; };
    unsigned char cd[56];
    for (int i = 0; i < 56; ++i) cd[i] = static_cast<unsigned char>(bit(kPC1[i]));
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < kShift[round]; ++s) {
            unsigned char c0 = cd[0], d0 = cd[28];
            std::memmove(cd, cd + 1, 27);
            std::memmove(cd + 28, cd + 29, 27);
            cd[27] = c0;
            cd[55] = d0;
        }
        for (int i = 0; i < 48; ++i) k.round[round][i] = cd[kPC2[i] - 1] ? ~0ull : 0;
    }
}

size_t bitdes_ecb(const BitDesKey &k, const unsigned char *in, unsigned char *out, size_t blocks,
                  bool encrypt) {
    static const run_fn run = pick();
    return run(k, in, out, blocks, encrypt);
}

}  // namespace sorvan
