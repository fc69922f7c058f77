// The request server's file handlers behind a valid key, fed arbitrary
// records, descriptors and content streams. Every path is kept inside a
// sandbox directory, so nothing outside it is ever touched.
//
// Input: kind, version, attributes (4), size (4), path NUL, path2 NUL,
// descriptor flag, descriptor length (2), descriptor, content flag, content.
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "util/sorvan.h"

namespace {

// The sandbox is also the handlers' one served root: a path that got out
// of it would be refused as well.
const std::string &sandbox() {
    static const std::string dir = [] {
        std::string d = fuzz_scratch_dir("fuzz_handlers");
        const char *roots[] = {d.c_str(), nullptr};
        if (confine_roots(roots) != 0) std::abort();
        return d;
    }();
    return dir;
}

struct Reader {
    const uint8_t *p;
    size_t n;
    uint8_t byte() { return n ? (--n, *p++) : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(byte()) << (8 * i);
        return v;
    }
    std::string text(size_t max) {
        std::string s;
        while (n && s.size() < max) {
            char c = char(byte());
            if (!c) break;
            s += c;
        }
        return s;
    }
    std::string bytes(size_t k) {
        k = std::min(k, n);
        std::string s(reinterpret_cast<const char *>(p), k);
        p += k;
        n -= k;
        return s;
    }
};

// Keeps a path inside the sandbox: no "..", always below its directory.
std::string confine(const std::string &raw) {
    if (raw.empty()) return raw;
    std::string clean;
    for (char c : raw) clean += (c == 0 || c == '.') ? '_' : c;
    return sandbox() + "/" + clean;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 48000) return 0;   // stays within the socket buffer
    std::memcpy(key_phrase, "FUZZKEY!", 8);
    Reader in{data, size};
    uint32_t kind = 2 + in.byte() % 7;
    uint8_t v = in.byte() % 3;
    uint32_t version = v == 0 ? 1 : v == 1 ? 2 : 3;

    FileRecord rec;
    std::memset(&rec, 0, sizeof rec);
    rec.attributes = in.u32();
    rec.size = in.u32() % (1u << 20);
    std::string p1 = confine(in.text(100)), p2 = confine(in.text(100));
    std::memcpy(rec.path, p1.c_str(), p1.size() + 1);
    std::memcpy(rec.path2, p2.c_str(), p2.size() + 1);
    bool with_sd = in.byte() & 1;
    size_t sd_len = in.byte() | size_t(in.byte()) << 8;
    std::string sd = in.bytes(sd_len);
    bool deflated = in.byte() & 1;
    std::string content = in.bytes(in.n);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int buf = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    unsigned char h[20] = {0, 0, 0, uint8_t(version), 0, 0, 0, uint8_t(kind), 0, 0, 0, 0};
    std::memcpy(h + 12, "FUZZKEY!", 8);
    xwrite(sv[0], h, sizeof h);
    xwrite(sv[0], &rec, sizeof rec);
    if (with_sd) xwrite(sv[0], sd.data(), uint32_t(sd.size()));
    if (deflated) {
        uLongf out_len = compressBound(uLong(content.size()));
        std::vector<Bytef> out(out_len);
        if (compress2(out.data(), &out_len, reinterpret_cast<const Bytef *>(content.data()),
                      uLong(content.size()), 9) == Z_OK)
            (void)!write(sv[0], out.data(), out_len);
    } else {
        (void)!write(sv[0], content.data(), content.size());
    }
    shutdown(sv[0], SHUT_WR);
    authenticate_and_process(sv[1], nullptr, nullptr, nullptr);
    close(sv[0]);
    close(sv[1]);
    rm_all(sandbox().c_str(), 0);
    return 0;
}
