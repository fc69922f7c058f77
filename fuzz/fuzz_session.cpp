// Replication sessions from the agent's side: the wire parsers on raw
// bytes, and whole sessions (operations, descriptors, content chunks, some
// of them damaged) served behind a valid key. Every path is kept inside a
// sandbox directory that is also the one served root.
//
// Input: a mode byte. Even: the rest is handed to each parser as it is.
// Odd: a session; per operation kind, flags, attributes (4), size (2),
// path NUL, path2 NUL, descriptor flag and length (1) and bytes, chunk
// count, and per chunk its flags, length (2) and bytes.
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "util/net/session.h"
#include "util/sorvan.h"

namespace ss = sorvan::session;

namespace {

const std::string &sandbox() {
    static const std::string dir = [] {
        std::string d = fuzz_scratch_dir("fuzz_session");
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
    uint32_t u16() { return uint32_t(byte()) | uint32_t(byte()) << 8; }
    uint32_t u32() { return u16() | u16() << 16; }
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

std::string confine(const std::string &raw) {
    if (raw.empty()) return raw;
    std::string clean;
    for (char c : raw) clean += (c == 0 || c == '.') ? '_' : c;
    return sandbox() + "/" + clean;
}

void raw_parsers(const uint8_t *data, size_t size) {
    ss::Op op;
    ss::parse_op(data, size, &op);
    ss::Reply r;
    ss::parse_reply(data, size, &r);
    ss::Hello h;
    ss::parse_hello(data, size, &h);
    static std::vector<unsigned char> out(ss::kMaxChunk);
    ss::ChunkHead c;
    ss::inflate_chunk(data, size, out.data(), &c);
}

// One chunk frame: length word, then the enciphered payload.
void chunk(int sock, Reader &in) {
    uint8_t flags = in.byte();
    std::string raw = in.bytes(in.u16());
    std::string payload(ss::kChunkHead, '\0');
    uint32_t n = flags & 2 ? in.u32() : uint32_t(raw.size());   // a length that may lie
    payload[0] = char(n >> 24), payload[1] = char(n >> 16), payload[2] = char(n >> 8), payload[3] = char(n);
    payload[7] = char(flags & 1 ? ss::kChunkLast : flags >> 4);
    if (flags & 4) {
        payload += raw;   // not deflated at all
    } else {
        uLongf zlen = compressBound(uLong(raw.size()));
        std::string z(zlen, '\0');
        compress2(reinterpret_cast<Bytef *>(z.data()), &zlen, reinterpret_cast<const Bytef *>(raw.data()),
                  uLong(raw.size()), 1);
        payload += z.substr(0, zlen);
    }
    xencrypt(payload.data(), uint32_t(payload.size()));
    _xwrite(sock, payload.data(), uint32_t(payload.size()));
}

void session(Reader &in) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
    int buf = 1 << 21;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    unsigned char h[20] = {0, 0, 0, 2, 0, 0, 0, uint8_t(ss::kKind), 0, 0, 0, uint8_t(in.byte() % 3)};
    std::memcpy(h + 12, "FUZZKEY!", 8);
    xwrite(sv[0], h, sizeof h);
    for (int ops = 0; ops < 16 && in.n > 0; ++ops) {
        ss::Op op;
        op.kind = in.byte() % 10;
        op.flags = in.byte() % 3;
        op.seq = uint32_t(ops);
        op.rec.attributes = in.u32();
        op.rec.size = in.u16();
        std::string p1 = confine(in.text(60)), p2 = confine(in.text(60));
        std::memcpy(op.rec.path, p1.c_str(), p1.size() + 1);
        std::memcpy(op.rec.path2, p2.c_str(), p2.size() + 1);
        unsigned char wire[ss::kOpSize];
        ss::put_op(op, wire);
        xwrite(sv[0], wire, sizeof wire);
        if (op.flags & ss::kOpDescriptor) {
            std::string sd = in.bytes(in.byte());
            xwrite(sv[0], sd.data(), uint32_t(sd.size()));
        }
        for (int c = in.byte() % 4; c > 0; --c) chunk(sv[0], in);
    }
    shutdown(sv[0], SHUT_WR);
    std::thread reader([&] {
        char b[4096];
        while (read(sv[0], b, sizeof b) > 0) {
        }
    });
    authenticate_and_process(sv[1], nullptr, nullptr, nullptr);
    shutdown(sv[1], SHUT_RDWR);
    reader.join();
    close(sv[0]);
    close(sv[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 48000) return 0;   // stays within the socket buffers
    std::memcpy(key_phrase, "FUZZKEY!", 8);
    sandbox();
    Reader in{data, size};
    if (!(in.byte() & 1)) {
        raw_parsers(in.p, in.n);
        return 0;
    }
    session(in);
    rm_all(sandbox().c_str(), 0);
    return 0;
}
