// Sealed-message reading from a socket: the length word, the payload, the
// cipher and the expansion, and the readers built on them.
//
// Input: one mode byte (bit 0: cipher on, bits 1-2: which reader), then the
// bytes the peer sends before it closes.
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "util/sorvan.h"
#include "util/net/request.h"

namespace {

des_cipher *cipher() {
    static des_cipher *c = req_cipher_init(nullptr);
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 60000) return 0;   // stays within the socket buffer
    C = (data[0] & 1) ? cipher() : nullptr;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    if (size > 1 && write(sv[0], data + 1, size - 1) != ssize_t(size - 1)) std::abort();
    close(sv[0]);
    switch ((data[0] >> 1) & 3) {
    case 0: {
        void *p = nullptr;
        uint32_t n = 0;
        if (_xread(sv[1], &p, &n) == 0) std::free(p);
        std::free(xread(sv[1]));
        break;
    }
    case 1: {
        FileRecord rec;
        while (sorvan::read_file_record(sv[1], &rec) == 0) {
            if (rec.path[sizeof rec.path - 1] || rec.path2[sizeof rec.path2 - 1]) std::abort();
        }
        break;
    }
    case 2:
        while (req_reply_ok(sv[1]) >= 0) {
            char c;
            if (recv(sv[1], &c, 1, MSG_PEEK) <= 0) break;
        }
        break;
    default: {
        uint32_t n = 0;
        void *m;
        while ((m = sorvan::xread_len(sv[1], &n))) std::free(m);
        break;
    }
    }
    close(sv[1]);
    return 0;
}
