// Replication sessions: one authenticated connection carries operation
// after operation, and the agent answers each with its outcome, so a
// requester pays the connection, the key and the agent's hand-off once per
// session instead of once per file, and learns what became of every write.
#include "util/net/session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "port/varro.h"
#include "util/net/frame.h"
#include "util/net/handlers.h"
#include "util/net/request.h"
#include "util/net/transfer.h"
#include "util/store/compress.h"
#include "util/sys/secdesc.h"

using sorvan::transfer::Outcome;

namespace sorvan::session {

namespace {

void put32(unsigned char *p, uint32_t v) {
    uint32_t be = htonl(v);
    std::memcpy(p, &be, 4);
}
uint32_t get32(const unsigned char *p) {
    uint32_t be;
    std::memcpy(&be, p, 4);
    return ntohl(be);
}

}  // namespace

void put_hello(const Hello &h, unsigned char out[8]) {
    put32(out, h.version);
    put32(out + 4, h.busy);
}

bool parse_hello(const void *msg, size_t len, Hello *h) {
    if (!msg || len < 8) return false;
    auto *p = static_cast<const unsigned char *>(msg);
    h->version = get32(p);
    h->busy = get32(p + 4);
    return h->version >= 1 && h->busy <= 1;
}

void put_op(const Op &op, unsigned char out[kOpSize]) {
    put32(out, op.kind);
    put32(out + 4, op.flags);
    put32(out + 8, op.seq);
    put32(out + 12, 0);
    std::memcpy(out + kOpHead, &op.rec, sizeof op.rec);
}

bool parse_op(const void *msg, size_t len, Op *op) {
    if (!msg || len != kOpSize) return false;
    auto *p = static_cast<const unsigned char *>(msg);
    op->kind = get32(p);
    op->flags = get32(p + 4);
    op->seq = get32(p + 8);
    if (op->flags & ~kOpDescriptor) return false;
    if (op->kind != 0 && (op->kind < REQ_SEND_FILE_ALT || op->kind > REQ_RENAME)) return false;
    std::memcpy(&op->rec, p + kOpHead, sizeof op->rec);
    // Paths come from the peer: never trust them to be terminated.
    op->rec.path[sizeof op->rec.path - 1] = 0;
    op->rec.path2[sizeof op->rec.path2 - 1] = 0;
    return true;
}

bool parse_chunk_head(const void *payload, size_t len, ChunkHead *c) {
    if (!payload || len < kChunkHead) return false;
    auto *p = static_cast<const unsigned char *>(payload);
    c->raw = get32(p);
    c->flags = get32(p + 4);
    return c->raw <= kMaxChunk && !(c->flags & ~kChunkLast);
}

std::string put_reply(const Reply &r) {
    std::string out(kReplyHead, '\0');
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    put32(p, r.seq);
    put32(p + 4, uint32_t(r.status));
    put32(p + 8, r.err);
    out += r.text.substr(0, kMaxReplyText);
    return out;
}

bool parse_reply(const void *msg, size_t len, Reply *r) {
    if (!msg || len < kReplyHead || len > kReplyHead + kMaxReplyText) return false;
    auto *p = static_cast<const unsigned char *>(msg);
    r->seq = get32(p);
    r->status = int32_t(get32(p + 4));
    r->err = get32(p + 8);
    if (r->status < kDone || r->status > kNever) return false;
    r->text.assign(reinterpret_cast<const char *>(p + kReplyHead), len - kReplyHead);
    // The text goes into our log: no control bytes.
    for (char &c : r->text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return true;
}

int64_t inflate_chunk(const unsigned char *payload, size_t len, unsigned char *out, ChunkHead *head) {
    if (!parse_chunk_head(payload, len, head)) return -1;
    uLongf n = head->raw;
    if (head->raw == 0) return len == kChunkHead ? 0 : -1;
    if (sorvan::inflate_sized(out, &n, payload + kChunkHead, uLong(len - kChunkHead)) != Z_OK || n != head->raw)
        return -1;
    return int64_t(n);
}

bool may_heal(int err) {
    switch (err) {
    case ENOSPC:
    case EDQUOT:
    case ENOMEM:
    case EIO:
    case EROFS:
    case EMFILE:
    case ENFILE:
    case EAGAIN:
    case EBUSY:
    case ETXTBSY: return true;
    default: return false;
    }
}

}  // namespace sorvan::session

// ---------------------------------------------------------------- agent side

namespace {

namespace ss = sorvan::session;

std::atomic<int> g_limit{8};
std::atomic<int> g_serving{0};

constexpr int kIdleMs = 30000;      // between two operations
constexpr int kMessageMs = 30000;   // for each message of an operation

bool write_all(int sock, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += size_t(w);
    }
    return true;
}

// Frames on their way out. Their payloads are enciphered together just
// before they are written: a batch of small messages is one bulk pass of
// the cipher instead of a call per block.
class Outbox {
public:
    // A small message sealed as literals and runs, else at zlib level 1
    // (the receiver inflates any stream); false when it does not deflate.
    bool seal(const void *data, size_t len) {
        uLongf room = compressBound(uLong(len));
        size_t at = bytes_.size();
        bytes_.resize(at + 4 + room);
        auto *z = reinterpret_cast<unsigned char *>(bytes_.data()) + at + 4;
        auto *src = static_cast<const unsigned char *>(data);
        uLongf runs = room;
        if (len <= 8192 && sorvan::deflate_runs(z, &runs, src, uLong(len)) == Z_OK) {
            room = runs;
        } else if (sorvan::deflate_sized(z, &room, src, uLong(len), 1) != Z_OK) {
            bytes_.resize(at);
            return false;
        }
        bytes_.resize(at + 4 + room);
        frame_at(at, uint32_t(room));
        return true;
    }

    // A payload as it stands, enciphered when the box is written.
    void add(const unsigned char *payload, uint32_t len) {
        size_t at = bytes_.size();
        bytes_.resize(at + 4);
        bytes_.append(reinterpret_cast<const char *>(payload), len);
        frame_at(at, len);
    }

    // A frame already enciphered.
    void add_sealed(const unsigned char *payload, uint32_t len) {
        uint32_t be = htonl(len);
        bytes_.append(reinterpret_cast<const char *>(&be), 4);
        bytes_.append(reinterpret_cast<const char *>(payload), len);
    }

    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }

    void clear() {
        bytes_.clear();
        plain_.clear();
    }

    void encipher() {
        if (!plain_.empty())
            sorvan::xcrypt_spans(reinterpret_cast<unsigned char *>(bytes_.data()), plain_.data(), plain_.size(),
                                 true);
        plain_.clear();
    }

    // Enciphers and writes what is in the box, and empties it.
    bool write(int sock) {
        encipher();
        bool ok = bytes_.empty() || write_all(sock, bytes_);
        clear();
        return ok;
    }

private:
    void frame_at(size_t at, uint32_t len) {
        uint32_t be = htonl(len);
        std::memcpy(bytes_.data() + at, &be, 4);
        plain_.push_back({at + 4, len});
    }

    std::string bytes_;
    std::vector<sorvan::Span> plain_;
};

bool seal(int sock, const void *data, size_t len) {
    Outbox box;
    return box.seal(data, len) && box.write(sock);
}

// The session's bytes from the peer, read in large pieces: one read often
// brings several operations with their content, and every frame that came
// whole is deciphered with the others in one pass. What is to go back waits
// in `out` until the input runs dry, so a requester that sends operations
// ahead gets their replies in one write, and one that waits for each reply
// gets it before we wait for more.
class Wire {
public:
    explicit Wire(int sock) : sock_(sock) {}

    // Whether input came within `ms` (what waits to go back leaves first).
    bool await(int ms) { return fill(1, mono_us() / 1000 + ms); }

    // The payload of the next frame, deciphered and valid until the next
    // call: null when none came whole within `ms`, or it announced more
    // than `max` bytes (left unread).
    unsigned char *frame(uint32_t *len, uint32_t max, int ms) {
        int64_t deadline = mono_us() / 1000 + ms;
        if (!fill(4, deadline)) return nullptr;
        uint32_t n = length_at(pos_);
        if (n > max || !fill(4 + size_t(n), deadline)) return nullptr;
        unsigned char *payload = buf_.data() + pos_ + 4;
        pos_ += 4 + size_t(n);
        if (scan_ < pos_) {   // not among those deciphered ahead
            xdecrypt(payload, n);
            scan_ = pos_;
        }
        *len = n;
        return payload;
    }

    // The next sealed message, inflated (malloc'd), as xread_bounded has it.
    void *message(uint32_t *len, uint32_t max, int ms) {
        uint32_t n = 0;
        unsigned char *payload = frame(&n, max, ms);
        if (!payload) return nullptr;
        uint32_t out_len = 0;
        int32_t status = 0;
        void *msg = compress_data(payload, n, &out_len, &status, 0);
        if (msg) *len = out_len;
        return msg;
    }

    Outbox &out() { return out_; }

    bool flush() { return out_.write(sock_); }

private:
    uint32_t length_at(size_t at) const {
        const unsigned char *w = buf_.data() + at;
        return uint32_t(w[0]) << 24 | uint32_t(w[1]) << 16 | uint32_t(w[2]) << 8 | w[3];
    }

    // Deciphers the frames that have come whole since the last look.
    void decipher_ahead() {
        spans_.clear();
        while (end_ - scan_ >= 4) {
            uint32_t n = length_at(scan_);
            if (end_ - scan_ - 4 < n) break;
            spans_.push_back({scan_ + 4, n});
            scan_ += 4 + size_t(n);
        }
        if (!spans_.empty()) sorvan::xcrypt_spans(buf_.data(), spans_.data(), spans_.size(), false);
    }

    // Until `need` bytes are buffered; false at the end of the stream, an
    // error or the deadline (CLOCK_MONOTONIC ms).
    bool fill(size_t need, int64_t deadline) {
        while (end_ - pos_ < need) {
            if (pos_ > 0 && (buf_.size() - pos_ < need || pos_ == end_)) {
                std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
                end_ -= pos_;
                scan_ -= pos_;
                pos_ = 0;
            }
            if (buf_.size() < std::max(need, kPiece)) buf_.resize(std::max(need, kPiece));
            ssize_t r = recv(sock_, buf_.data() + end_, buf_.size() - end_, MSG_DONTWAIT);
            if (r > 0) {
                end_ += size_t(r);
                decipher_ahead();
                continue;
            }
            if (r == 0) return false;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (!out_.empty() && !flush()) return false;
            int64_t left = deadline - mono_us() / 1000;
            if (left <= 0) return false;
            pollfd p{sock_, POLLIN, 0};
            if (poll(&p, 1, int(std::min<int64_t>(left, 60000))) < 0 && errno != EINTR) return false;
        }
        return true;
    }

    static constexpr size_t kPiece = 256 * 1024;
    int sock_;
    std::vector<unsigned char> buf_;
    size_t pos_ = 0, end_ = 0;
    size_t scan_ = 0;   // where the next frame not yet deciphered starts
    std::vector<sorvan::Span> spans_;
    Outbox out_;
};

// Reads the chunks of one file's content to the last, writing them into
// fd while that works; a failed write is remembered and the rest read past,
// so the session stays in step. False when the stream itself broke.
struct ChunkReader {
    Wire &wire;
    unsigned char *buf;   // room for one chunk
    bool broken = false;

    bool run(int fd, uint64_t size, Outcome *out) {
        uint64_t got = 0;
        int werr = 0;
        for (;;) {
            uint32_t len = 0;
            unsigned char *payload = wire.frame(&len, SORVAN_MAX_FRAME, kMessageMs);
            if (!payload) {
                broken = true;
                break;
            }
            ss::ChunkHead head;
            int64_t n = ss::inflate_chunk(payload, len, buf, &head);
            if (n < 0 || got + uint64_t(n) > size) {
                broken = true;
                break;
            }
            if (!werr && fd >= 0) {
                const unsigned char *p = buf;
                for (int64_t left = n; left > 0;) {
                    ssize_t w = write(fd, p, size_t(left));
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) {
                        werr = w < 0 ? errno : ENOSPC;
                        break;
                    }
                    p += w;
                    left -= w;
                }
            }
            got += uint64_t(n);
            if (head.flags & ss::kChunkLast) break;
        }
        if (broken) {
            out->rc = -4;
            out->why = "the content stream broke off";
            return false;
        }
        if (werr) {
            out->rc = -4;
            out->err = werr;
            out->why = std::strerror(werr);
            return false;
        }
        if (got != size) {
            out->rc = -4;
            out->why = std::to_string(got) + " bytes arrived, " + std::to_string(size) + " announced";
            return false;
        }
        return true;
    }
};

Outcome carry_op(Wire &wire, const ss::Op &op, unsigned char *sd, uint32_t sd_len, unsigned char *buf, bool *broken) {
    Outcome out;
    bool refused = false;
    namespace h = sorvan::handlers;
    switch (op.kind) {
    case REQ_SEND_FILE_ALT:
    case REQ_SEND_FILE: {
        ChunkReader reader{wire, buf};
        std::string dest = sorvan::transfer::destination(op.rec, &out, &refused);
        if (!dest.empty()) {
            out = sorvan::transfer::store_file(dest, op.rec, sd, sd_len, [&](int fd, uint64_t size, Outcome *o) {
                return reader.run(fd, size, o);
            });
        } else if (op.rec.size > 0) {
            Outcome ignored;
            reader.run(-1, op.rec.size, &ignored);   // read past the content
        }
        *broken = reader.broken;
        break;
    }
    case REQ_REMOVE: out = h::remove_path(op.rec, &refused); break;
    case REQ_CHANGE_ATTRIBUTE:
    case REQ_CHANGE_SD: out = h::change_descriptor(op.rec, sd, sd_len, &refused); break;
    case REQ_MKDIR: out = h::make_dir(op.rec, sd, sd_len, &refused); break;
    case REQ_RENAME: out = h::rename_path(op.rec, sd, sd_len, &refused); break;
    default: out.rc = -9; out.why = "unknown operation"; break;
    }
    // A missing descriptor is not worth a failure where the operation
    // itself was carried out.
    if (out.rc == -2 && out.err == 0) out = Outcome{};
    return out;
}

}  // namespace

namespace sorvan::session {

void serve(int sock, const struct sockaddr_in *peer, uint32_t version) {
    uint32_t peer_addr = peer ? peer->sin_addr.s_addr : 0;
    int limit = g_limit.load();
    if (limit <= 0 || version < 1) {
        reset(sock, peer_addr, "Unknown request?");   // as an agent without sessions
        return;
    }
    Hello hello;
    hello.version = kVersion;
    if (g_serving.fetch_add(1) >= limit) {
        g_serving.fetch_sub(1);
        hello.busy = 1;
        unsigned char b[8];
        put_hello(hello, b);
        seal(sock, b, sizeof b);
        return;
    }
    struct Slot {
        ~Slot() { g_serving.fetch_sub(1); }
    } slot;
    unsigned char b[8];
    put_hello(hello, b);
    if (!seal(sock, b, sizeof b)) return;
    int one = 1;   // replies are small: no Nagle wait
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::unique_ptr<unsigned char[]> chunk;   // one chunk's content, for the session's life
    Wire wire(sock);
    for (;;) {
        if (!wire.await(kIdleMs)) break;   // idle too long, or the requester is gone
        Op op;
        unsigned char *sd = nullptr;
        uint32_t sd_len = 0;
        uint32_t len = 0;
        void *msg = wire.message(&len, 2 * kOpSize, kMessageMs);
        bool ok = parse_op(msg, len, &op);
        std::free(msg);
        if (!msg) break;   // the requester ended the connection
        if (!ok) {
            wire.flush();
            reset(sock, peer_addr, "Bad REQ");
            return;
        }
        if (op.kind == 0) break;
        if (op.flags & kOpDescriptor) {
            sd = static_cast<unsigned char *>(wire.message(&sd_len, SORVAN_MAX_FRAME, kMessageMs));
            if (!sd) break;
        }
        bool broken = false;
        if (!chunk) chunk.reset(new (std::nothrow) unsigned char[kMaxChunk]);
        if (!chunk) {
            std::free(sd);
            break;
        }
        Outcome out = carry_op(wire, op, sd, sd_len, chunk.get(), &broken);
        std::free(sd);
        if (broken) {
            wire.flush();
            reset(sock, peer_addr, "Bad REQ");
            return;
        }
        Reply r;
        r.seq = op.seq;
        r.status = out.ok() ? kDone : may_heal(out.err) ? kMayHeal : kNever;
        r.err = uint32_t(out.err);
        r.text = out.why;
        std::string rw = put_reply(r);
        if (!wire.out().seal(rw.data(), rw.size())) break;
        if (wire.out().size() >= 64 * 1024 && !wire.flush()) return;
    }
    wire.flush();
}

}  // namespace sorvan::session

// ------------------------------------------------------------ requester side

namespace {

std::atomic<int> g_level{0};   // 0: chosen by the link
// The level the link last allowed: from the cheapest that compresses, so a
// fast link is not made to wait while it steps down; a slow one steps up a
// level per chunk.
std::atomic<int> g_learned{1};
// What level 1 last cost and gave, to judge whether leaving stored chunks
// for it can pay: compress time per MiB (0: not known) and output per mille.
std::atomic<int64_t> g_level1_us{0};
std::atomic<int> g_level1_ratio{1000};
std::atomic<int> g_stored_run{0};   // chunks sent at level 0 since
// Small files: what a raw byte of their chunks lately cost stored and at
// level 1 (ps, 0 not known), and the batches judged.
std::atomic<int64_t> g_small_cost[2] = {0, 0};
std::atomic<unsigned> g_small_batches{0};

std::mutex g_without_lock;
std::set<std::pair<uint32_t, int>> g_without;   // agents that reset a session

int64_t now_us() { return mono_us(); }

class Session {
    struct Sent {
        int i;          // in the batch
        uint32_t seq;   // its reply's
    };

public:
    Session(uint32_t addr, int port, int32_t timeout, const char *password)
        : addr_(addr), port_(port), timeout_(timeout), password_(password) {}
    ~Session() { end(); }

    // Carries out n operations that touch none of one another's paths, sent
    // ahead of their replies where the agent takes that: each rc 0 done,
    // -100 given up, -200 keep, 1 not carried out here (use the request of
    // its own).
    void carry(TlogRecord *recs, int n, int32_t *rcs) {
        for (int i = 0; i < n; ++i) rcs[i] = 1;
        if (!ready()) return;
        std::vector<Sent> sent;
        thread_local Outbox pending;
        pending.clear();
        held_ = Held{};
        bool broken = false;
        for (int i = 0; i < n && !broken; ++i) {
            std::string why;
            uint32_t seq = 0;
            int rc = send_op(&recs[i], &pending, &seq, &why);
            if (rc == -100) {
                note(recs[i], LOG_ERR, why + ": given up");
                rcs[i] = -100;
            } else if (rc == 0) {
                sent.push_back({i, seq});
            } else {
                broken = true;   // this one stays not carried out here
            }
            // One operation at a time to an agent that answers each before
            // it reads the next; else a window's worth in few writes.
            if (broken || !pipelined_ || pending.size() >= 64 * 1024 || i + 1 == n) {
                if (!pending.empty() && !write_batch(&pending)) broken = true;
                pending.clear();
            }
            if (!pipelined_ && !broken && !collect(recs, rcs, &sent)) broken = true;
        }
        // What was sent before a break may still have been answered.
        if (!collect(recs, rcs, &sent) || broken) close_now();
    }

    void end() {
        if (sock_ < 0) return;
        ss::Op op;   // kind 0: the end
        op.seq = ++seq_;
        auto wire = std::make_unique<unsigned char[]>(ss::kOpSize);
        ss::put_op(op, wire.get());
        seal(sock_, wire.get(), ss::kOpSize);
        close_now();
    }

private:
    void note(TlogRecord &rec, int level, const std::string &what) {
        sorvan::Delivery d{rec.addr, rec.port, rec.timeout, password_.c_str(), "Q4", &rec.file, rec.kind,
                           false, false};
        sorvan::note_request(level, d, what);
    }

    // The replies to what was sent, in order: false when the session broke
    // (the rest stay not carried out here).
    bool collect(TlogRecord *recs, int32_t *rcs, std::vector<Sent> *sent) {
        bool ok = sock_ >= 0;
        for (const Sent &s : *sent) {
            ss::Reply reply;
            uint32_t len = 0;
            void *msg = ok ? wire_->message(&len, 4096, kMessageMs) : nullptr;
            ok = ss::parse_reply(msg, len, &reply) && reply.seq == s.seq;
            std::free(msg);
            if (!ok) break;
            if (reply.status == ss::kDone) {
                rcs[s.i] = 0;
            } else if (reply.status == ss::kMayHeal) {
                note(recs[s.i], LOG_ERR, "the agent could not carry it out: " + reply.text + "; kept queued");
                rcs[s.i] = -200;
            } else {
                note(recs[s.i], LOG_ERR, "the agent refused it: " + reply.text + ": given up");
                rcs[s.i] = -100;
            }
        }
        sent->clear();
        return ok;
    }

    void close_now() {
        if (sock_ >= 0) close(sock_);
        sock_ = -1;
        wire_.reset();
    }

    bool without() {
        std::lock_guard<std::mutex> lk(g_without_lock);
        return g_without.count({addr_, port_}) != 0;
    }

    bool ready() {
        if (sock_ >= 0) return true;
        if (without() || now_us() < retry_after_us_) return false;
        retry_after_us_ = now_us() + 2000000;   // a failed opening is not tried again at once
        int s = connect_nb(addr_, port_, timeout_);
        if (s < 0) return false;
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv{30, 0};
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        RequestHeader h{};
        h.version = REQ_VERSION;
        h.kind = ss::kKind;
        h.argument = ss::kVersion;
        sorvan::derive_key(password_.c_str(), "Q4", h.key);
        unsigned char wire[20];
        sorvan::encode_header(h, wire);
        uint32_t len = 0;
        void *msg = xwrite(s, wire, sizeof wire) >= 0 ? sorvan::xread_bounded(s, &len, 64) : nullptr;
        ss::Hello hello;
        bool ok = ss::parse_hello(msg, len, &hello);
        std::free(msg);
        if (!ok) {
            // An agent without sessions resets the kind it does not know.
            if (!msg && (errno == ECONNRESET || sorvan::connection_reset(s))) {
                std::lock_guard<std::mutex> lk(g_without_lock);
                g_without.insert({addr_, port_});
            }
            close(s);
            return false;
        }
        if (hello.busy) {
            close(s);
            return false;
        }
        sock_ = s;
        wire_ = std::make_unique<Wire>(s);
        pipelined_ = hello.version >= 2;
        retry_after_us_ = 0;
        return true;
    }

    // Sends one operation, or leaves it in `pending` for the next write
    // (its sequence number in seq): 0; -100 it can never be sent (why); -1
    // the session broke.
    int send_op(TlogRecord *rec, Outbox *pending, uint32_t *seq, std::string *why) {
        ss::Op op;
        op.kind = rec->kind;
        op.seq = *seq = ++seq_;
        op.rec = rec->file;
        op.rec.path[sizeof op.rec.path - 1] = 0;
        op.rec.path2[sizeof op.rec.path2 - 1] = 0;
        bool send = op.kind == REQ_SEND_FILE || op.kind == REQ_SEND_FILE_ALT;
        int fd = -1;
        // The descriptor of what is sent: the source for a file (its
        // target, where it is a link), else as the request of its own has it.
        uint32_t sd_len = 0;
        void *sd = nullptr;
        if (send) {
            // Not blocking on a pipe put where the file was.
            fd = open(op.rec.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) {
                *why = std::string("the source is gone: ") + std::strerror(errno);
                return -100;
            }
            sorvan::sd::OpenFile f;
            if (!sorvan::sd::describe_fd(fd, &f) || !S_ISREG(f.st.st_mode)) {
                std::free(f.sd);
                close(fd);
                *why = "the source is not a regular file";
                return -100;
            }
            // The file goes as it is now, whatever it was when queued.
            op.rec.size = rec->file.size = uint64_t(f.st.st_size);
            op.rec.attributes = rec->file.attributes = f.attributes;
            sd = f.sd;
            sd_len = f.sd_len;
        } else if (op.kind != REQ_REMOVE) {
            const char *path = op.rec.path2[0] ? op.rec.path2 : op.rec.path;
            if (path[0]) sd = get_NT_SD(path, &sd_len);
        }
        if (sd) {
            if (sd_len >= sorvan::sd::kHeaderSize) {
                sorvan::sd::control_to_transit(static_cast<unsigned char *>(sd));
                op.flags |= ss::kOpDescriptor;
            } else {
                std::free(sd);
                sd = nullptr;
            }
        }
        unsigned char wire[ss::kOpSize];
        ss::put_op(op, wire);
        // The operation, its descriptor and (for a small file) its one
        // chunk leave in one write: the agent wakes once for all of them.
        bool ok = pending->seal(wire, ss::kOpSize) && (!sd || pending->seal(sd, sd_len));
        std::free(sd);
        if (ok && send && op.rec.size > 0) ok = send_chunks(fd, op.rec.size, pending);
        if (fd >= 0) close(fd);
        return ok ? 0 : -1;
    }

    // The content in chunks, each compressed at the level the link allows.
    // Read, not mapped: unmapping after every small file costs every core
    // a TLB flush.
    bool send_chunks(int fd, uint64_t size, Outbox *pending) {
        thread_local std::vector<unsigned char> in, out;
        size_t first = size_t(std::min<uint64_t>(size, ss::kMaxChunk));
        size_t room = ss::kChunkHead + compressBound(uLong(first));
        if (in.size() < first) in.resize(first);
        if (out.size() < room) out.resize(room);
        int fixed = g_level.load();
        for (uint64_t off = 0; off < size;) {
            uint32_t n = uint32_t(std::min<uint64_t>(ss::kMaxChunk, size - off));
            bool last = off + n == size;
            for (uint32_t got = 0; got < n;) {
                ssize_t r = pread(fd, in.data() + got, n - got, off_t(off + got));
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) return false;   // shorter than announced: the agent keeps the old file
                got += uint32_t(r);
            }
            // A small file's one chunk goes with the operations after it,
            // enciphered with them, at the level small files last did best at.
            bool hold = last && pending->size() + 4 + room < 64 * 1024;
            int level = fixed ? fixed : hold ? held_.pick() : g_learned.load(std::memory_order_relaxed);
            int64_t t0 = now_us();
            uLongf zlen = uLongf(out.size() - ss::kChunkHead);
            if (sorvan::deflate_sized(out.data() + ss::kChunkHead, &zlen, in.data(), n, level) != Z_OK) return false;
            std::memset(out.data(), 0, ss::kChunkHead);
            out[0] = uint8_t(n >> 24), out[1] = uint8_t(n >> 16), out[2] = uint8_t(n >> 8), out[3] = uint8_t(n);
            out[7] = last ? ss::kChunkLast : 0;
            uint32_t plen = uint32_t(ss::kChunkHead + zlen);
            off += n;
            if (hold) {
                pending->add(out.data(), plen);
                held_.add(level, now_us() - t0, n);
                continue;
            }
            xencrypt(out.data(), plen);
            int64_t t1 = now_us();
            pending->add_sealed(out.data(), plen);
            if (!write_batch(pending)) return false;
            if (!fixed) learn(level, t1 - t0, now_us() - t1, n, zlen);
        }
        return true;
    }

    // Writes what waits to go, and notes what the small files' chunks in it
    // cost, from compressing them to the link taking the batch.
    bool write_batch(Outbox *pending) {
        int64_t t0 = now_us();
        bool ok = pending->write(sock_);
        if (ok && !g_level.load()) held_.judge(now_us() - t0);
        held_ = Held{};
        return ok;
    }

    // Compressing slower than the link takes the bytes: step down, as far
    // as sending it stored where the link is faster than any deflate; the
    // link the slower: step up again. Content stored for what it is
    // (random, already compressed) says nothing about either.
    static void learn(int level, int64_t compress, int64_t wait, uint64_t n, uint64_t zlen) {
        if (n == 0 || (level > 0 && zlen >= n)) return;
        if (level == 1) {
            g_level1_us.store(int64_t(uint64_t(compress) * 1048576 / n), std::memory_order_relaxed);
            g_level1_ratio.store(int(zlen * 1000 / n), std::memory_order_relaxed);
            g_stored_run.store(0, std::memory_order_relaxed);
        }
        if (compress > wait && level > 0) {
            g_learned.store(level - 1, std::memory_order_relaxed);
        } else if (level == 0) {
            // Leave stored chunks only where level 1, at what it last cost
            // and gave, would take this link's bytes sooner; what it gave
            // is forgotten after a while of content.
            int64_t c1 = int64_t(uint64_t(g_level1_us.load(std::memory_order_relaxed)) * n / 1048576);
            int64_t period = compress + wait;
            int64_t sent1 = period * g_level1_ratio.load(std::memory_order_relaxed) / 1000;
            bool stale = g_stored_run.fetch_add(1, std::memory_order_relaxed) >= 32;
            if ((c1 == 0 || stale) ? wait > 2 * compress : std::max(c1, sent1) * 10 < period * 9)
                g_learned.store(1, std::memory_order_relaxed);
        } else if (wait > 2 * compress && level < 9) {
            g_learned.store(level + 1, std::memory_order_relaxed);
        }
    }

    // The small files' chunks waiting in a batch. Whether a batch goes
    // sooner stored or at level 1 depends on more than the link (the agent's
    // work per file, the cipher, the other sessions), so it is measured:
    // each level's recent cost per raw byte is kept, the cheaper is used,
    // and the other is tried every 16th batch (64th when they are far
    // apart) to see the link change.
    struct Held {
        int level = -1;   // -1: none yet; 2: levels mixed
        int64_t us = 0;
        uint64_t raw = 0;

        static int pick() {
            int64_t c0 = g_small_cost[0].load(std::memory_order_relaxed);
            int64_t c1 = g_small_cost[1].load(std::memory_order_relaxed);
            int best = c1 != 0 && c1 < c0 ? 1 : 0;
            if (c0 == 0) best = 0;   // untried first
            else if (c1 == 0) best = 1;
            // Far apart, the other is looked at less often.
            unsigned every = c0 && c1 && std::max(c0, c1) > 2 * std::min(c0, c1) ? 64 : 16;
            bool probe = g_small_batches.load(std::memory_order_relaxed) % every == every - 1;
            return probe ? 1 - best : best;
        }
        void add(int l, int64_t t, uint64_t n) {
            level = level == -1 || level == l ? l : 2;
            us += t;
            raw += n;
        }
        void judge(int64_t write_us) {
            if (level < 0 || level > 1 || raw < 16384) return;
            int64_t cost = std::max<int64_t>(1, (us + write_us) * 1000000 / int64_t(raw));   // ps per byte
            int64_t was = g_small_cost[level].load(std::memory_order_relaxed);
            g_small_cost[level].store(was ? (3 * was + cost) / 4 : cost, std::memory_order_relaxed);
            g_small_batches.fetch_add(1, std::memory_order_relaxed);
        }
    };

    uint32_t addr_;
    int port_;
    int32_t timeout_;
    std::string password_;
    int sock_ = -1;
    std::unique_ptr<Wire> wire_;   // the agent's replies
    bool pipelined_ = false;       // operations may go ahead of their replies
    uint32_t seq_ = 0;
    int64_t retry_after_us_ = 0;
    Held held_;
};

using Key = std::tuple<uint32_t, int, int32_t, std::string>;
thread_local std::map<Key, std::unique_ptr<Session>> t_sessions;

}  // namespace

extern "C" {

SORVAN_API void req_session_level(int32_t level) {
    g_level.store(std::clamp(level, 0, 9));
    sorvan::set_stream_level(level);   // a fixed level holds for requests of their own too
}

SORVAN_API void req_session_limit(int32_t n) { g_limit.store(std::max(n, 0)); }

SORVAN_API void tlog_session_end(void) {
    for (auto &kv : t_sessions) kv.second->end();
    t_sessions.clear();
}

SORVAN_API void tlog_do_ops_session(TlogRecord *queued, int32_t n, int32_t *rcs) {
    // Each agent's operations go on its session, in the order given.
    std::vector<TlogRecord> recs;
    std::vector<int32_t> out;
    std::vector<int> at;
    std::vector<bool> taken(size_t(std::max(n, 0)), false);
    for (int32_t i = 0; i < n; ++i) {
        TlogRecord &q = queued[i];
        rcs[i] = 1;
        if (q.kind < REQ_SEND_FILE_ALT || q.kind > REQ_RENAME) {
            rcs[i] = -100;
            taken[size_t(i)] = true;
            continue;
        }
        q.passwd[sizeof q.passwd - 1] = 0;
        q.file.path[sizeof q.file.path - 1] = 0;
        q.file.path2[sizeof q.file.path2 - 1] = 0;
        if (q.addr == 0) taken[size_t(i)] = true;   // the request of its own below
    }
    for (int32_t i = 0; i < n; ++i) {
        if (taken[size_t(i)]) continue;
        Key key{queued[i].addr, queued[i].port, queued[i].timeout, queued[i].passwd};
        recs.clear();
        at.clear();
        for (int32_t j = i; j < n; ++j) {
            if (taken[size_t(j)] || Key{queued[j].addr, queued[j].port, queued[j].timeout, queued[j].passwd} != key)
                continue;
            taken[size_t(j)] = true;
            recs.push_back(queued[j]);
            at.push_back(j);
        }
        auto &s = t_sessions[key];
        if (!s) s = std::make_unique<Session>(queued[i].addr, queued[i].port, queued[i].timeout, queued[i].passwd);
        out.assign(recs.size(), 1);
        s->carry(recs.data(), int(recs.size()), out.data());
        for (size_t k = 0; k < recs.size(); ++k) {
            rcs[at[k]] = out[k];
            queued[at[k]].file.size = recs[k].file.size;
            queued[at[k]].file.attributes = recs[k].file.attributes;
        }
    }
    // What no session carried: one request of its own each, retried as
    // ever, a file as it is now.
    for (int32_t i = 0; i < n; ++i) {
        if (rcs[i] != 1) continue;
        TlogRecord &q = queued[i];
        struct stat st;
        if ((q.kind == REQ_SEND_FILE || q.kind == REQ_SEND_FILE_ALT) && stat(q.file.path, &st) == 0 &&
            S_ISREG(st.st_mode)) {
            q.file.size = uint64_t(st.st_size);
            q.file.attributes = sorvan::sd::attr_word(q.file.path);
        }
        rcs[i] = tlog_do_op(nullptr, &q);
    }
}

SORVAN_API int32_t tlog_do_op_session(TlogRecord *queued) {
    TlogRecord rec = *queued;
    int32_t rc = 1;
    tlog_do_ops_session(&rec, 1, &rc);
    return rc;
}

}  // extern "C"
