// MD5 (RFC 1321 suite) and the 22-character MD5-crypt of the request keys,
// checked against an independent Python implementation built on hashlib.
#include <cstring>

#include <gtest/gtest.h>

#include "port/varro.h"
#include "util/sorvan.h"
#include "tests/support/testutil.h"

namespace {

std::string md5_hex(const std::string &s, size_t chunk = 0) {
    MD5_CTX_S ctx;
    md5_init(&ctx);
    if (chunk == 0) chunk = s.size() ? s.size() : 1;
    for (size_t i = 0; i < s.size(); i += chunk)
        md5_update(&ctx, s.data() + i, static_cast<uint32_t>(std::min(chunk, s.size() - i)));
    unsigned char d[16];
    md5_final(d, &ctx);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

std::string hash(const char *pw, const char *salt) {
    char *p = crypt_md5(pw, salt);
    EXPECT_NE(p, nullptr);
    if (!p) return {};
    std::string s = p;
    memput(p, 120);
    return s;
}

// The scheme as described, written independently with hashlib.
const char *kReference = R"PY(
import hashlib, os, sys
A64 = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
def h(pw, salt):
    pw = os.fsencode(pw); s = os.fsencode(salt)
    cut = 0
    while cut < len(s) and cut < 8 and s[cut:cut+1] != b'$': cut += 1
    s = s[:cut]
    a = hashlib.md5(pw + s)
    f = hashlib.md5(pw + s + pw).digest()
    n = len(pw)
    while n > 0:
        a.update(f[:min(16, n)]); n -= 16
    i = len(pw)
    while i:
        a.update(b'\0' if i & 1 else pw[:1]); i >>= 1
    f = a.digest()
    for r in range(1000):
        b = hashlib.md5()
        b.update(pw if r & 1 else f)
        if r % 3: b.update(s)
        if r % 7: b.update(pw)
        b.update(f if r & 1 else pw)
        f = b.digest()
    out = ""
    def enc(v, k):
        nonlocal out
        for _ in range(k):
            out += A64[v & 63]; v >>= 6
    for x, y, z in ((0,6,12),(1,7,13),(2,8,14),(3,9,15),(4,10,5)):
        enc(f[x] << 16 | f[y] << 8 | f[z], 4)
    enc(f[11], 2)
    return out
args = sys.argv[1:]
for i in range(0, len(args), 2):
    print(h(args[i], args[i+1]))
)PY";

}  // namespace

TEST(Md5, Rfc1321Suite) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    std::string digits;
    for (int i = 0; i < 8; ++i) digits += "1234567890";
    EXPECT_EQ(md5_hex(digits), "57edf4a22be3c955ac49da2e2107b67a");
    // Block boundaries crossed in odd steps give the same digest.
    EXPECT_EQ(md5_hex(digits, 7), "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(md5_hex(std::string(1000, 'x'), 63), md5_hex(std::string(1000, 'x')));
}

// The salt is cut at 8 characters or a '$', no magic prefix is skipped.
TEST(CryptMd5, MatchesIndependentImplementation) {
    const char *cases[][2] = {{"secret", "Q4"}, {"", "Q4"},       {"pw", ""},
                              {"longer password than sixteen chars", "saltsaltXYZ"},
                              {"x", "$1$abc"},  {"p@ss", "ab$cd"}, {"caf\xe9", "Q4"}};
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", kReference};
    for (auto &c : cases) {
        argv.push_back(c[0]);
        argv.push_back(c[1]);
    }
    auto r = testutil::run(argv);
    ASSERT_EQ(r.status, 0) << r.err;
    size_t pos = 0;
    for (auto &c : cases) {
        size_t nl = r.out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string want = r.out.substr(pos, nl - pos);
        pos = nl + 1;
        EXPECT_EQ(hash(c[0], c[1]), want) << "pw='" << c[0] << "' salt='" << c[1] << "'";
        EXPECT_EQ(want.size(), 22u);
    }
    char *classic = crypt("pw", "Q4");   // the classic name, same operation
    ASSERT_NE(classic, nullptr);
    EXPECT_EQ(std::string(classic), hash("pw", "Q4"));
    memput(classic, 120);
}
