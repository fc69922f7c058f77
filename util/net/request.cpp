// Request protocol, requester side, and the library's DES cipher context.
#include "util/net/request.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "port/varro.h"
#include "util/sys/secdesc.h"

static_assert(sizeof(RequestHeader) == 20);
static_assert(offsetof(RequestHeader, version) == 0);
static_assert(offsetof(RequestHeader, kind) == 4);
static_assert(offsetof(RequestHeader, argument) == 8);
static_assert(offsetof(RequestHeader, key) == 12);
static_assert(sizeof(FileRecord) == 2096);
static_assert(offsetof(FileRecord, path) == 0);
static_assert(offsetof(FileRecord, path2) == 1024);
static_assert(offsetof(FileRecord, attributes) == 2048);
static_assert(offsetof(FileRecord, reserved1) == 2052);
static_assert(offsetof(FileRecord, size) == 2056);
static_assert(offsetof(FileRecord, reserved2) == 2064);

// libcrypto's DES entry points, bound by name from the caller's handle.
using des_set_key_fn = void (*)(const unsigned char (*key)[8], void *schedule);
using des_ecb_fn = void (*)(const unsigned char (*in)[8], unsigned char (*out)[8],
                            void *schedule, int enc);
using init_crypto_fn = int (*)(uint64_t opts, const void *settings);

struct des_cipher {
    alignas(16) unsigned char schedule[128];   // DES_key_schedule: 16 x 8 bytes
    des_set_key_fn set_key;
    des_ecb_fn ecb;
};

extern "C" {

SORVAN_API des_cipher *C = nullptr;
SORVAN_API char key_phrase[28];

SORVAN_API des_cipher *des_init(void *handle) {
    if (!handle) return nullptr;
    // OpenSSL 3's form of "add all algorithms": ciphers and digests.
    constexpr uint64_t kAddAllCiphers = 0x4, kAddAllDigests = 0x8;
    auto init = reinterpret_cast<init_crypto_fn>(dlsym(handle, "OPENSSL_init_crypto"));
    if (!init) return nullptr;
    init(kAddAllCiphers | kAddAllDigests, nullptr);
    auto *ctx = static_cast<des_cipher *>(std::calloc(1, sizeof(des_cipher)));
    if (!ctx) return nullptr;
    ctx->set_key = reinterpret_cast<des_set_key_fn>(dlsym(handle, "DES_set_key_unchecked"));
    ctx->ecb = reinterpret_cast<des_ecb_fn>(dlsym(handle, "DES_ecb_encrypt"));
    if (!ctx->set_key || !ctx->ecb) {
        std::free(ctx);
        return nullptr;
    }
    C = ctx;
    return ctx;
}

SORVAN_API int32_t des_setkey_ecb(const void *key, int32_t len) {
    if (!C) return 0;
    if (!key || len < 8) return -1;
    unsigned char k[8];
    std::memcpy(k, key, 8);
    C->set_key(&k, C->schedule);
    return 0;
}

static inline void ecb(const void *in, void *out, int enc) {
    unsigned char i[8], o[8];
    std::memcpy(i, in, 8);
    C->ecb(&i, &o, C->schedule, enc);
    std::memcpy(out, o, 8);
}

SORVAN_API void des_encrypt_ecb(const void *in, void *out) {
    if (C) ecb(in, out, 1);
}

SORVAN_API void des_decrypt_ecb(const void *in, void *out) {
    if (C) ecb(in, out, 0);
}

static int32_t transform(void *buf, uint32_t len, int enc) {
    if (!C) return -1;
    auto *p = static_cast<unsigned char *>(buf);
    for (uint32_t off = 0; len >= 8 && off <= len - 8; off += 8) ecb(p + off, p + off, enc);
    return 0;
}

SORVAN_API int32_t xencrypt(void *buf, uint32_t len) { return transform(buf, len, 1); }
SORVAN_API int32_t xdecrypt(void *buf, uint32_t len) { return transform(buf, len, 0); }

}  // extern "C"

namespace sorvan {

void encode_header(const RequestHeader &h, unsigned char out[20]) {
    uint32_t w[3] = {htonl(h.version), htonl(h.kind), htonl(h.argument)};
    std::memcpy(out, w, 12);
    std::memcpy(out + 12, h.key, 8);
}

void decode_header(const unsigned char in[20], RequestHeader *h) {
    uint32_t w[3];
    std::memcpy(w, in, 12);
    h->version = ntohl(w[0]);
    h->kind = ntohl(w[1]);
    h->argument = ntohl(w[2]);
    std::memcpy(h->key, in + 12, 8);
}

// The same password and salt give the same key for every request, so each
// thread keeps the last one it derived: a load query costs no MD5-crypt.
void derive_key(const char *password, const char *salt, unsigned char key[8]) {
    std::memset(key, 0, 8);
    if (!password) return;
    if (!salt) salt = "";
    thread_local std::string last_pw, last_salt;
    thread_local unsigned char last_key[8];
    thread_local bool have = false;
    if (have && last_pw == password && last_salt == salt) {
        std::memcpy(key, last_key, 8);
        return;
    }
    char *text;
    while (!(text = crypt_md5(password, salt))) sleep(1);
    std::memcpy(key, text, 8);
    memput(text, 120);
    last_pw = password;
    last_salt = salt;
    std::memcpy(last_key, key, 8);
    have = true;
}

// The descriptor of the record's path, its control word turned big-endian
// for transit; null (and *len 0) when it cannot be read.
static void *read_descriptor(const char *path, uint32_t *len) {
    *len = 0;
    void *sd = get_NT_SD(path, len);
    if (sd && *len >= sorvan::sd::kHeaderSize) {
        sorvan::sd::control_to_transit(static_cast<unsigned char *>(sd));
        return sd;
    }
    std::free(sd);
    *len = 0;
    return nullptr;
}

}  // namespace sorvan

extern "C" {

SORVAN_API int req_send(uint32_t addr, int port, int32_t timeout_us, const char *password,
                        const char *salt, FileRecord *rec, uint32_t kind, uint32_t argument,
                        int32_t descriptor, int32_t retry) {
    if (addr == 0) return -1;
    RequestHeader h{};
    h.version = REQ_VERSION;
    h.kind = kind;
    h.argument = argument;
    sorvan::derive_key(password, salt, h.key);
    unsigned char wire[20];
    sorvan::encode_header(h, wire);

    for (;;) {
        int rc = 0;
        int s = connect_nb(addr, port, timeout_us);
        if (s < 0) {
            rc = -4;
        } else if (xwrite(s, wire, sizeof wire) < 0) {
            rc = -5;
        } else if (!rec) {
            return s;
        } else {
            void *sd = nullptr;
            uint32_t sd_len = 0;
            if (descriptor) {
                const char *path = rec->path2[0] ? rec->path2 : rec->path[0] ? rec->path : nullptr;
                if (path) sd = sorvan::read_descriptor(path, &sd_len);
            }
            if (xwrite(s, rec, sizeof *rec) < 0)
                rc = -6;
            else if (sd && sd_len > 0 && xwrite(s, sd, sd_len) < 0)
                rc = -7;
            std::free(sd);
            if (rc == 0) return s;
        }
        if (s >= 0) close(s);
        if (!retry) return rc;
        usleep(500000);
    }
}

static int32_t wrapper(uint32_t addr, int port, int32_t timeout_us, const char *password,
                       FileRecord *rec, uint32_t kind, int32_t descriptor) {
    int s = req_send(addr, port, timeout_us, password, "Q4", rec, kind, 0, descriptor, 1);
    if (s > 0) close(s);
    return 0;
}

SORVAN_API int32_t req_mkdir(uint32_t addr, int port, int32_t timeout_us,
                             const char *password, FileRecord *rec) {
    return wrapper(addr, port, timeout_us, password, rec, REQ_MKDIR, 1);
}
SORVAN_API int32_t req_remove(uint32_t addr, int port, int32_t timeout_us,
                              const char *password, FileRecord *rec) {
    return wrapper(addr, port, timeout_us, password, rec, REQ_REMOVE, 0);
}
SORVAN_API int32_t req_rename(uint32_t addr, int port, int32_t timeout_us,
                              const char *password, FileRecord *rec) {
    return wrapper(addr, port, timeout_us, password, rec, REQ_RENAME, 1);
}
SORVAN_API int32_t req_change_sd(uint32_t addr, int port, int32_t timeout_us,
                                 const char *password, FileRecord *rec) {
    return wrapper(addr, port, timeout_us, password, rec, REQ_CHANGE_SD, 1);
}
SORVAN_API int32_t req_change_attribute(uint32_t addr, int port, int32_t timeout_us,
                                        const char *password, FileRecord *rec) {
    return wrapper(addr, port, timeout_us, password, rec, REQ_CHANGE_ATTRIBUTE, 1);
}

SORVAN_API int32_t req_reply(int sock, int32_t status) {
    uint32_t be = htonl(static_cast<uint32_t>(status));
    int32_t n = xwrite(sock, &be, sizeof be);
    return n < 0 ? -2 : n;
}

SORVAN_API int32_t req_reply_ok(int sock) {
    uint32_t len = 0;
    void *msg = sorvan::xread_len(sock, &len);
    if (!msg) return 0;
    int ok = 0;
    if (len >= 4) {
        uint32_t be;
        std::memcpy(&be, msg, 4);
        ok = ntohl(be) == 0;
    }
    std::free(msg);
    return ok;
}

}  // extern "C"
