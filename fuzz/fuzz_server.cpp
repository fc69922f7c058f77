// The request server's front door: whatever a peer sends before it closes,
// authenticate_and_process neither crashes, hangs nor allocates without
// bound. File operations (kinds 2 to 8) are fuzzed with a sandbox by
// fuzz_handlers; inputs that would reach them are skipped here.
//
// Input: one mode byte (bit 0: cipher on), then the bytes the peer sends.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/sorvan.h"
#include "util/net/request.h"

namespace {

des_cipher *cipher() {
    static des_cipher *c = [] {
        des_cipher *d = req_cipher_init(nullptr);
        req_serve_password("agent-pw");
        return d;
    }();
    return c;
}

// True when the first message is an authenticated file operation.
bool reaches_file_handler(const uint8_t *p, size_t n) {
    if (n < 4) return false;
    uint32_t len = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    if (len > n - 4) return false;
    void *payload = std::malloc(len ? len : 1);
    std::memcpy(payload, p + 4, len);
    xdecrypt(payload, len);
    uint32_t out = 0;
    int32_t st = 0;
    auto *m = static_cast<unsigned char *>(compress_data(payload, len, &out, &st, 0));
    std::free(payload);
    bool file_op = false;
    if (m && out >= 20 && std::memcmp(m + 12, key_phrase, 8) == 0) {
        uint32_t kind = uint32_t(m[4]) << 24 | uint32_t(m[5]) << 16 | uint32_t(m[6]) << 8 | m[7];
        file_op = kind >= 2 && kind <= 8;
    }
    std::free(m);
    return file_op;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 60000) return 0;
    des_cipher *c = cipher();
    C = (data[0] & 1) ? c : nullptr;
    if (reaches_file_handler(data + 1, size - 1)) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    if (size > 1 && write(sv[0], data + 1, size - 1) != ssize_t(size - 1)) std::abort();
    shutdown(sv[0], SHUT_WR);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    PdhContext none{};   // no counters: a load report without the sampling wait
    int r = authenticate_and_process(sv[1], &peer, nullptr, &none);
    if (r != 0 && r != -1 && r != -2 && r != -3) std::abort();
    close(sv[1]);
    close(sv[0]);
    return 0;
}
