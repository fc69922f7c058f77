// Request protocol, requester side, and the library's DES cipher context.
#include "util/net/request.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "port/varro.h"
#include "util/net/bitdes.h"
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
    sorvan::BitDesKey bulk;                    // the same key, for long buffers
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
    sorvan::bitdes_set_key(C->bulk, k);
    return 0;
}

// The protocol's fixed key, in this byte order.
static const unsigned char kProtocolKey[8] = {0x5A, 0xC3, 0x19, 0x7E, 0x02, 0xB4, 0xD8, 0x61};

SORVAN_API des_cipher *req_cipher_init(const char *dir) {
    std::string lib = dir && *dir ? std::string(dir) + "/libcrypto.so.3" : "libcrypto.so.3";
    if (!C) {
        void *h = dlopen(lib.c_str(), RTLD_NOW);
        if (!h || !des_init(h)) return nullptr;
    }
    des_setkey_ecb(kProtocolKey, 8);
    return C;
}

SORVAN_API int32_t req_serve_password(const char *password) {
    if (!password) return -1;
    unsigned char k[8];
    sorvan::derive_key(password, "Q4", k);
    std::memset(key_phrase, 0, sizeof key_phrase);
    std::memcpy(key_phrase, k, 8);
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
    uint32_t off = 0;
    // Short messages (most of kord's, on small worker stacks) stay block by block.
    if (len / 8 >= sorvan::kBitDesBatch)
        off = static_cast<uint32_t>(sorvan::bitdes_ecb(C->bulk, p, p, len / 8, enc != 0) * 8);
    for (; len >= 8 && off <= len - 8; off += 8) ecb(p + off, p + off, enc);
    return 0;
}

}  // extern "C"

namespace sorvan {

int32_t xcrypt_spans(unsigned char *buf, const Span *spans, size_t n, bool encipher) {
    if (!C) return -1;
    size_t bytes = 0;
    for (size_t i = 0; i < n; ++i) bytes += spans[i].len / 8 * 8;
    // A bulk pass costs about what 36 blocks do one by one: a remainder of
    // more than that is padded to a whole pass.
    constexpr size_t kWorthAPass = 40;
    size_t tail = bytes / 8 % kBitDesBatch;
    size_t padded = tail >= kWorthAPass ? bytes + (kBitDesBatch - tail) * 8 : bytes;
    if (padded / 8 < kBitDesBatch) {
        for (size_t i = 0; i < n; ++i) transform(buf + spans[i].at, spans[i].len, encipher);
        return 0;
    }
    // ECB takes each block alone: gathered, deciphered, put back, they come
    // out as they would in place; a payload's last partial block stays plain.
    thread_local std::vector<unsigned char> blocks;
    if (blocks.size() < padded) blocks.resize(padded);
    unsigned char *b = blocks.data();
    for (size_t i = 0, at = 0; i < n; ++i) {
        size_t whole = spans[i].len / 8 * 8;
        std::memcpy(b + at, buf + spans[i].at, whole);
        at += whole;
    }
    size_t off = bitdes_ecb(C->bulk, b, b, padded / 8, encipher) * 8;
    for (; off < bytes; off += 8) ecb(b + off, b + off, encipher);
    for (size_t i = 0, at = 0; i < n; ++i) {
        size_t whole = spans[i].len / 8 * 8;
        std::memcpy(buf + spans[i].at, b + at, whole);
        at += whole;
    }
    return 0;
}

}  // namespace sorvan

extern "C" {

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

}  // namespace sorvan

namespace {

constexpr useconds_t kFirstPause = 500000;        // after the first failure
constexpr useconds_t kLongestPause = 30000000;
constexpr int kAnswerWaitMs = 30000;              // for the agent to end the request
constexpr int kProbeWaitSec = 5;                  // for a load report
constexpr int kResetsBeforeRefusal = 3;   // an agent refuses an operation by a reset

// The descriptor for a request, its control word turned big-endian for
// transit; null (and *len 0) when it cannot be read.
void *read_descriptor(const FileRecord *rec, bool of_source, uint32_t *len) {
    *len = 0;
    void *sd = nullptr;
    if (of_source) {
        // A link's own descriptor says 0777: the content sent is the target's.
        if (rec->path[0]) {
            char real[PATH_MAX];
            struct stat ls;
            bool link = lstat(rec->path, &ls) == 0 && S_ISLNK(ls.st_mode);
            const char *path = link && realpath(rec->path, real) ? real : rec->path;
            sd = get_NT_SD(path, len);
        }
    } else {
        const char *path = rec->path2[0] ? rec->path2 : rec->path[0] ? rec->path : nullptr;
        if (path) sd = get_NT_SD(path, len);
    }
    if (sd && *len >= sorvan::sd::kHeaderSize) {
        sorvan::sd::control_to_transit(static_cast<unsigned char *>(sd));
        return sd;
    }
    std::free(sd);
    *len = 0;
    return nullptr;
}

const char *op_name(uint32_t kind) {
    switch (kind) {
    case REQ_SEND_FILE_ALT:
    case REQ_SEND_FILE: return "send";
    case REQ_REMOVE: return "remove";
    case REQ_CHANGE_ATTRIBUTE: return "change attributes of";
    case REQ_CHANGE_SD: return "change the descriptor of";
    case REQ_MKDIR: return "mkdir";
    case REQ_RENAME: return "rename";
    default: return "request";
    }
}

void header_wire(const sorvan::Delivery &d, uint32_t kind, unsigned char wire[20], uint32_t argument = 0) {
    RequestHeader h{};
    h.version = REQ_VERSION;
    h.kind = kind;
    h.argument = argument;
    sorvan::derive_key(d.password, d.salt, h.key);
    sorvan::encode_header(h, wire);
}

enum class Fate { Delivered, Heal, Reset, Refused };

// After a failed write: a reset is told apart, anything else may heal.
Fate write_fate(int sock, int err, const char *what, std::string *why) {
    if (err == ECONNRESET || err == EPIPE || sorvan::connection_reset(sock)) {
        *why = std::string("the agent reset the connection while the ") + what + " went out";
        return Fate::Reset;
    }
    *why = std::string(what) + " not sent: " + (err == EAGAIN ? "time-out" : std::strerror(err));
    return Fate::Heal;
}

// Connects and writes header, record and descriptor. The socket, or -1
// with the fate and req_send's code.
int send_messages(const sorvan::Delivery &d, const unsigned char wire[20], Fate *fate, int *code,
                  std::string *why) {
    int s = connect_nb(d.addr, d.port, d.timeout_us);
    if (s < 0) {
        *fate = Fate::Heal;
        *code = -4;
        *why = std::string("no connection: ") + std::strerror(errno == EAGAIN ? ETIMEDOUT : errno);
        return -1;
    }
    int one = 1;   // header, record and descriptor are small: no Nagle wait
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{kAnswerWaitMs / 1000, 0};   // a stalled agent is a time-out
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    *code = 0;
    const char *what = "header";
    if (xwrite(s, wire, 20) < 0) {
        *code = -5;
    } else if (d.rec) {
        uint32_t sd_len = 0;
        void *sd = d.descriptor ? read_descriptor(d.rec, d.descriptor_of_source, &sd_len) : nullptr;
        if (xwrite(s, d.rec, sizeof *d.rec) < 0) {
            *code = -6;
            what = "record";
        } else if (sd && xwrite(s, sd, sd_len) < 0) {
            *code = -7;
            what = "descriptor";
        }
        std::free(sd);
    }
    if (*code == 0) return s;
    *fate = write_fate(s, errno, what, why);
    close(s);
    return -1;
}

// After the last message: the write side is closed and the agent's end
// awaited. A clean end means the agent read everything it was sent.
Fate await_end(int s, std::string *why) {
    shutdown(s, SHUT_WR);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
    auto left_ms = [&] {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return int(std::max<int64_t>(0, ms.count()));
    };
    char buf[512];
    for (;;) {
        pollfd p{s, POLLIN, 0};
        int pr = poll(&p, 1, left_ms());
        if (pr < 0 && errno == EINTR) continue;
        if (pr <= 0) break;
        ssize_t n = read(s, buf, sizeof buf);
        if (n > 0) continue;   // nothing is expected; whatever comes is read past
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ECONNRESET) {
                *why = "the agent reset the connection";
                return Fate::Reset;
            }
            *why = std::string("connection failed: ") + std::strerror(errno);
            return Fate::Heal;
        }
        // The agent has closed. Had it left some of the request unread, its
        // system answers the rest with a reset: wait for our end to close.
        for (int pause = 1;; pause = std::min(pause * 2, 50)) {
            struct tcp_info ti;
            socklen_t len = sizeof ti;
            if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0) return Fate::Delivered;
            if (ti.tcpi_state == TCP_CLOSE) {
                int err = 0;
                len = sizeof err;
                getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err == 0) return Fate::Delivered;
                *why = err == ECONNRESET ? "the agent reset the connection" : std::strerror(err);
                return err == ECONNRESET ? Fate::Reset : Fate::Heal;
            }
            if (left_ms() == 0) break;
            poll(nullptr, 0, pause);
        }
        break;
    }
    *why = "no end of the request from the agent within " + std::to_string(kAnswerWaitMs / 1000) + " s";
    return Fate::Heal;
}

// Whether the agent accepts the request's key, asked with a load query
// (its answer comes only after the key was checked): 1 it answered, 0 it
// reset the query, -1 no verdict.
int key_verdict(const sorvan::Delivery &d) {
    unsigned char wire[20];
    header_wire(d, REQ_LOAD, wire);
    int s = connect_nb(d.addr, d.port, d.timeout_us);
    if (s < 0) return -1;
    timeval tv{kProbeWaitSec, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    unsigned char stats[sizeof(AgentStats)];
    int n = -1, err = 0;
    if (xwrite(s, wire, sizeof wire) >= 0) {
        n = nread(s, stats, int(sizeof stats));
        err = errno;
    } else {
        err = errno;
    }
    bool reset = err == ECONNRESET || err == EPIPE || sorvan::connection_reset(s);
    close(s);
    if (n == int(sizeof stats)) return 1;
    return n <= 0 && reset ? 0 : -1;
}

std::string peer_text(const sorvan::Delivery &d) {
    char a[INET_ADDRSTRLEN] = "?";
    in_addr in;
    in.s_addr = d.addr;
    inet_ntop(AF_INET, &in, a, sizeof a);
    return std::string(a) + ":" + std::to_string(d.port);
}

// The pause before the next attempt, and the one after it.
void pause_before_retry(useconds_t *pause) {
    usleep(*pause);
    *pause = std::min(*pause * 2, kLongestPause);
}

int open_with(const sorvan::Delivery &d, const unsigned char wire[20], bool retry) {
    if (d.addr == 0) return -1;
    useconds_t pause = kFirstPause;
    for (;;) {
        Fate fate;
        int code;
        std::string why;
        int s = send_messages(d, wire, &fate, &code, &why);
        if (s >= 0) return s;
        if (!retry) return code;
        if (fate == Fate::Reset && key_verdict(d) == 0) {
            sorvan::note_request(LOG_ERR, d, "the agent rejects the key (wrong password or cipher key)");
            return -5;
        }
        pause_before_retry(&pause);
    }
}

}  // namespace

namespace sorvan {

bool connection_reset(int sock) {
    struct tcp_info ti;
    socklen_t len = sizeof ti;
    if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0) return false;   // not TCP
    return ti.tcpi_state == TCP_CLOSE;
}

void note_request(int priority, const Delivery &d, const std::string &text) {
    const char *path = d.rec ? d.rec->path : "";
    if (d.kind == REQ_SEND_FILE && d.rec && d.rec->path2[0])
        port_syslog(priority, "%s %s as %s to %s: %s", op_name(d.kind), path, d.rec->path2, peer_text(d).c_str(),
                    text.c_str());
    else
        port_syslog(priority, "%s %s to %s: %s", op_name(d.kind), path, peer_text(d).c_str(), text.c_str());
}

int open_request(const Delivery &d, bool retry) {
    unsigned char wire[20];
    header_wire(d, d.kind, wire);
    return open_with(d, wire, retry);
}

int deliver(const Delivery &d) {
    if (d.addr == 0) {
        note_request(LOG_ERR, d, "no address");
        return -1;
    }
    unsigned char wire[20];
    header_wire(d, d.kind, wire);
    useconds_t pause = kFirstPause;
    int resets = 0;
    bool told = false;
    for (;;) {
        Fate fate;
        int code;
        std::string why;
        int s = send_messages(d, wire, &fate, &code, &why);
        if (s >= 0) {
            int c = d.content ? d.content(s, d.arg, &why) : 0;
            if (c == -2) {
                fate = Fate::Refused;
            } else if (c < 0) {
                fate = connection_reset(s) ? Fate::Reset : Fate::Heal;
                if (why.empty()) why = fate == Fate::Reset ? "the agent reset the connection" : "content not sent whole";
            } else {
                fate = await_end(s, &why);
            }
            close(s);
        }
        if (fate == Fate::Delivered) {
            if (told) note_request(LOG_INFO, d, "delivered");
            return 0;
        }
        if (fate == Fate::Refused) {
            note_request(LOG_ERR, d, why + ": given up");
            return -100;
        }
        if (fate == Fate::Reset) {
            int verdict = key_verdict(d);
            if (verdict == 0) {
                note_request(LOG_ERR, d, "the agent rejects the key (wrong password or cipher key): given up");
                return -5;
            }
            // A reset counts whether or not the load query answered: an agent
            // too busy to answer it must not turn a refusal into endless retries.
            if (++resets >= kResetsBeforeRefusal) {
                note_request(LOG_ERR, d, std::string(verdict == 1 ? "the agent accepts the key but reset" : "the agent reset") +
                                             " the request " + std::to_string(resets) + " times: given up");
                return -6;
            }
        }
        if (!told) {
            note_request(LOG_WARNING, d, why + "; trying again");
            told = true;
        }
        pause_before_retry(&pause);
    }
}

}  // namespace sorvan

extern "C" {

SORVAN_API int req_send(uint32_t addr, int port, int32_t timeout_us, const char *password,
                        const char *salt, FileRecord *rec, uint32_t kind, uint32_t argument,
                        int32_t descriptor, int32_t retry) {
    sorvan::Delivery d{addr, port, timeout_us, password, salt, rec, kind, descriptor != 0, false};
    unsigned char wire[20];
    header_wire(d, kind, wire, argument);
    return open_with(d, wire, retry != 0);
}

static int32_t wrapper(uint32_t addr, int port, int32_t timeout_us, const char *password,
                       FileRecord *rec, uint32_t kind, int32_t descriptor) {
    sorvan::Delivery d{addr, port, timeout_us, password, "Q4", rec, kind, descriptor != 0, false};
    return sorvan::deliver(d);
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
