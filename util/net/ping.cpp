// ICMP echo round trips on one socket for the whole process: callers send
// on it themselves, one receiver thread reads every reply and wakes the
// caller it belongs to (matched by identifier, sequence and source).
#include "util/net/ping.h"
#include "util/sorvan.h"
#include "port/varro.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/filter.h>
#include <linux/futex.h>
#include <memory>
#include <new>
#include <mutex>
#include <unordered_map>
#include <netinet/in.h>
#include <netinet/icmp6.h>
#include <string>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sorvan {

namespace {

constexpr size_t kRequestSize = 12;   // type, code, checksum, id, seq, timestamp
constexpr size_t kReplyLimit = 36;    // the largest reply taken, IP header included
constexpr int kMaxOversize = 3;       // oversize replies tolerated per call

// Echo request layout; identifier, sequence and timestamp are little-endian,
// the way the peer hands them back.
constexpr size_t kOffType = 0;
constexpr size_t kOffChecksum = 2;
constexpr size_t kOffIdent = 4;
constexpr size_t kOffSeq = 6;
constexpr size_t kOffStamp = 8;
static_assert(kOffStamp + 4 == kRequestSize, "echo request is 12 bytes");
constexpr uint8_t kEchoRequest = 8, kEchoReply = 0;
constexpr uint8_t kEcho6Request = 128, kEcho6Reply = 129;

// A burst of replies for ten thousand nodes, at about a kilobyte of kernel
// memory each, must fit in the queue while the receiver is off the CPU.
constexpr int kReceiveBuffer = 16 << 20;
constexpr int kSendBuffer = 4 << 20;
// While calls come from more than one thread, the receiver reads at most
// this often; the mode lasts this long after two threads last took turns.
constexpr int64_t kReadSpacingNs = 4000000;
constexpr int64_t kSharedHoldNs = 100000000;
// ... and while no caller sleeps for its reply (every echo outstanding is
// collected later), this often: the queue then only needs emptying.
constexpr int64_t kIdleSpacingNs = 50000000;

// SOL_RAW / ICMP_FILTER of <linux/icmp.h>, whose header clashes with glibc's.
constexpr int kSolRaw = 255;
constexpr int kIcmpFilter = 1;

void put16le(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32le(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get16le(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32le(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int64_t now_us() { return mono_us(); }

const char *dotted(uint32_t addr, char *buf) {
    in_addr a{};
    a.s_addr = addr;
    return inet_ntop(AF_INET, &a, buf, INET_ADDRSTRLEN) ? buf : "?";
}

// One echo outstanding. Linked into the table under its sequence number
// until the receiver takes its reply or its caller gives up. A caller that
// sleeps for the reply says so in the word; one that collects the result
// later (at its next scheduled probe) costs the receiver no wake-up.
constexpr uint32_t kPending = 0, kDone = 1, kSleeping = 2;
struct Waiter {
    uint8_t addr[16] = {};   // IPv4 in the first four bytes, or IPv6
    uint32_t stamp = 0;
    uint16_t seq = 0;
    int oversize = 0;
    int result = -11;
    Waiter *next = nullptr;
    std::atomic<uint32_t> word{kPending};   // futex word: kDone once result is final
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word");

uint32_t *futex_word(std::atomic<uint32_t> &a) { return reinterpret_cast<uint32_t *>(&a); }

// Sleeps while *w is value, at most until the absolute monotonic deadline
// (none: no limit). false once the deadline has passed.
bool futex_wait(std::atomic<uint32_t> &w, uint32_t value, const timespec *deadline) {
    long r = syscall(SYS_futex, futex_word(w), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, value, deadline,
                     nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(r < 0 && errno == ETIMEDOUT);
}
void futex_wake(std::atomic<uint32_t> &w) {
    syscall(SYS_futex, futex_word(w), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
}

// Marks the result final; wakes the caller only when it sleeps for it.
// The caller may return (and reuse or free the waiter) as soon as the word
// reads kDone: nothing here touches the waiter after the exchange but the
// futex call, which uses only the address.
void finish_waiter(Waiter *w) {
    if (w->word.exchange(kDone, std::memory_order_acq_rel) == kSleeping) futex_wake(w->word);
}

// Sleeps until the result is final or the deadline (null: none) passes.
// true when final.
bool sleep_for_result(Waiter &w, const timespec *deadline) {
    uint32_t v = kPending;
    for (;;) {
        if (v == kPending &&
            !w.word.compare_exchange_strong(v, kSleeping, std::memory_order_acq_rel, std::memory_order_acquire))
            continue;   // v now holds what the word says
        if (v == kDone) return true;
        if (!futex_wait(w.word, kSleeping, deadline)) return w.word.load(std::memory_order_acquire) == kDone;
        v = w.word.load(std::memory_order_acquire);
        if (v == kDone) return true;
    }
}

// A datagram read by the receiver: what it says, and whether it fits.
struct Reply {
    uint8_t from[16];
    uint16_t seq;
    uint32_t stamp;
    uint32_t arrived;   // tick of arrival
    bool oversize;
};

// Room for one read of many datagrams, with their senders, arrival stamps
// and drop counters.
struct Batch {
    static constexpr int kMax = 128;
    static constexpr size_t kCapture = 80;   // the longest IP header and the echo
    static constexpr size_t kControl = CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t));
    uint8_t bufs[kMax][kCapture];
    sockaddr_in6 names[kMax];   // room for either family
    alignas(cmsghdr) char controls[kMax][kControl];
    mmsghdr msgs[kMax];
    iovec iov[kMax];
    Reply replies[kMax];
    Waiter *woken[kMax];
};

// The process's ping socket. Opened on first use and kept for the life of
// the process; a forked child opens its own on its first ping.
struct EchoSocket {
    int family = AF_INET;
    int fd = -1;
    int kind = kPingNotOpen;
    int rcvbuf = 0;
    uint16_t ident = 0;              // raw: ours; unprivileged: the kernel's
    std::mutex lock;                 // the table and next_seq
    Waiter **table = nullptr;        // outstanding calls by sequence number
    uint16_t next_seq = 0;
    pthread_t last_caller{};         // who sent last, and until when reads
    std::atomic<int64_t> shared_until{0};   // are spaced (monotonic ns)
    std::atomic<int> sleepers{0};           // callers sleeping for a reply
    std::atomic<uint32_t> nudge{0};         // futex word: a caller began to sleep
    std::atomic<bool> idle{false};          // the receiver waits at the idle spacing
    Batch receiver_batch;
    std::mutex late_lock;            // a caller reading at its deadline
    Batch late_batch;
    std::atomic<uint64_t> received{0}, matched{0}, ignored{0}, dropped{0};
};

// sleep_for_result, counted: while anyone sleeps, the receiver reads at the
// short spacing, and one that waits at the idle spacing is told at once.
bool await_result(EchoSocket &es, Waiter &w, const timespec *deadline) {
    if (w.word.load(std::memory_order_acquire) == kDone) return true;
    es.sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (es.idle.load(std::memory_order_seq_cst)) {
        es.nudge.fetch_add(1, std::memory_order_seq_cst);
        futex_wake(es.nudge);
    }
    const bool done = sleep_for_result(w, deadline);
    es.sleepers.fetch_sub(1, std::memory_order_relaxed);
    return done;
}

std::mutex g_open_lock;
std::atomic<EchoSocket *> g_socket{nullptr}, g_socket6{nullptr};

// Removes w from its chain; false when the receiver already took it.
bool unlink_waiter(EchoSocket &es, Waiter *w) {
    for (Waiter **p = &es.table[w->seq]; *p; p = &(*p)->next)
        if (*p == w) {
            *p = w->next;
            return true;
        }
    return false;
}

// Kernel memory for replies, and the socket's own drop counter in every read.
void size_buffers(EchoSocket &es) {
    int v = kReceiveBuffer;
    if (setsockopt(es.fd, SOL_SOCKET, SO_RCVBUFFORCE, &v, sizeof v) != 0)
        setsockopt(es.fd, SOL_SOCKET, SO_RCVBUF, &v, sizeof v);   // up to net.core.rmem_max
    v = kSendBuffer;
    if (setsockopt(es.fd, SOL_SOCKET, SO_SNDBUFFORCE, &v, sizeof v) != 0)
        setsockopt(es.fd, SOL_SOCKET, SO_SNDBUF, &v, sizeof v);
    socklen_t len = sizeof es.rcvbuf;
    getsockopt(es.fd, SOL_SOCKET, SO_RCVBUF, &es.rcvbuf, &len);
    int one = 1, zero = 0;
    setsockopt(es.fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
    // Replies are timed by their arrival, not by when the receiver reads them.
    setsockopt(es.fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    // ICMP errors about our echoes must never become a socket error that
    // fails the next read for every caller: no error queue, and the socket
    // is never connected (an unconnected socket gets no hard errors either).
    if (es.family == AF_INET6)
        setsockopt(es.fd, IPPROTO_IPV6, IPV6_RECVERR, &zero, sizeof zero);
    else
        setsockopt(es.fd, IPPROTO_IP, IP_RECVERR, &zero, sizeof zero);
}


// Checks the datagram and takes out what matching needs; false when it is
// not an echo reply to this socket's requests.
bool parse_reply(const EchoSocket &es, const uint8_t *buf, size_t len, size_t captured, Reply &r) {
    // A raw socket sees the IP header; an unprivileged one starts at ICMP,
    // the kernel having checked the identifier already.
    // ICMPv6 sockets never see the IP header.
    size_t h = 0, limit = kReplyLimit - 20;
    if (es.kind == kPingRaw && es.family == AF_INET) {
        if (captured < 1) return false;
        h = static_cast<size_t>(buf[0] & 0x0f) * 4;
        limit = kReplyLimit;
    }
    if (captured < h + kRequestSize || len < h + kRequestSize) return false;
    if (buf[h + kOffType] != (es.family == AF_INET6 ? kEcho6Reply : kEchoReply)) return false;
    if (es.kind == kPingRaw && get16le(buf + h + kOffIdent) != es.ident) return false;
    r.seq = get16le(buf + h + kOffSeq);
    r.stamp = get32le(buf + h + kOffStamp);
    r.oversize = len > limit;
    return true;
}

int64_t clock_ns(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Reads what is queued (with wait, sleeping until the first datagram comes)
// and hands every reply to the call it answers. Datagrams read, or -1.
int read_replies(EchoSocket &es, Batch &b, bool wait) {
    for (int i = 0; i < Batch::kMax; ++i) {
        b.iov[i] = {b.bufs[i], Batch::kCapture};
        b.msgs[i].msg_hdr = {};
        b.msgs[i].msg_hdr.msg_name = &b.names[i];
        b.msgs[i].msg_hdr.msg_namelen = sizeof b.names[i];
        b.msgs[i].msg_hdr.msg_iov = &b.iov[i];
        b.msgs[i].msg_hdr.msg_iovlen = 1;
        b.msgs[i].msg_hdr.msg_control = b.controls[i];
        b.msgs[i].msg_hdr.msg_controllen = sizeof b.controls[i];
    }
    // MSG_TRUNC: each length is the whole datagram's, to tell oversize ones.
    const int n = recvmmsg(es.fd, b.msgs, Batch::kMax, (wait ? MSG_WAITFORONE : MSG_DONTWAIT) | MSG_TRUNC,
                           nullptr);
    if (n <= 0) return n;
    // Arrival stamps are wall-clock time; ticks are monotonic.
    const int64_t wall_offset = clock_ns(CLOCK_REALTIME) - clock_ns(CLOCK_MONOTONIC);
    const uint32_t now = tick_count_ms();
    es.received.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);

    // What each datagram says, read outside the lock (callers take it to send).
    int nparsed = 0;
    for (int i = 0; i < n; ++i) {
        msghdr &mh = b.msgs[i].msg_hdr;
        uint32_t arrived = now;
        for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level != SOL_SOCKET) continue;
            if (c->cmsg_type == SO_RXQ_OVFL) {
                uint32_t d;
                std::memcpy(&d, CMSG_DATA(c), sizeof d);
                if (d > es.dropped.load(std::memory_order_relaxed)) es.dropped.store(d, std::memory_order_relaxed);
            } else if (c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                const int64_t mono = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec - wall_offset;
                if (mono > 0) arrived = static_cast<uint32_t>(uint64_t(mono) / 1000000u);
            }
        }
        const size_t len = b.msgs[i].msg_len;
        Reply &r = b.replies[nparsed];
        if (!parse_reply(es, b.bufs[i], len, len < Batch::kCapture ? len : Batch::kCapture, r)) continue;
        std::memset(r.from, 0, sizeof r.from);
        if (es.family == AF_INET6)
            std::memcpy(r.from, &b.names[i].sin6_addr, 16);
        else
            std::memcpy(r.from, &reinterpret_cast<const sockaddr_in *>(&b.names[i])->sin_addr, 4);
        r.arrived = arrived;
        nparsed++;
    }

    int nwoken = 0;
    {
        std::lock_guard<std::mutex> g(es.lock);
        for (int i = 0; i < nparsed; ++i) {
            const Reply &r = b.replies[i];
            Waiter *w = es.table[r.seq];
            while (w && std::memcmp(w->addr, r.from, sizeof r.from) != 0) w = w->next;
            if (!w) continue;   // not ours, or after its caller gave up
            if (r.oversize) {
                if (++w->oversize <= kMaxOversize) continue;
                w->result = -12;
            } else {
                // A stamp from the future, or from before the request, is
                // not an answer to it. The arrival is never taken as later
                // than now (the wall clock may be set between arrival and read).
                const uint32_t upper = now - r.stamp;
                if (upper > 0x7fffffffu || static_cast<int32_t>(r.stamp - w->stamp) < 0) continue;
                const uint32_t rtt = r.arrived - r.stamp;
                w->result = static_cast<int>(rtt < upper ? rtt : upper);
            }
            unlink_waiter(es, w);
            b.woken[nwoken++] = w;
        }
    }
    es.matched.fetch_add(static_cast<uint64_t>(nwoken), std::memory_order_relaxed);
    es.ignored.fetch_add(static_cast<uint64_t>(n - nwoken), std::memory_order_relaxed);
    for (int i = 0; i < nwoken; ++i) finish_waiter(b.woken[i]);
    return n;
}

void *receive_loop(void *arg) {
    auto &es = *static_cast<EchoSocket *>(arg);
    bool failing = false;
    int64_t last_read = 0;
    for (;;) {
        // With many callers, at most one read every few milliseconds:
        // replies that come faster wait in the queue, stamped on arrival,
        // and are read together (waking costs more than reading). A caller
        // whose deadline comes meanwhile reads the queue itself. A lone
        // caller pinging one host after another is answered at once.
        // While no caller sleeps for its reply, the replies are collected
        // later by their callers: read only to keep the queue short.
        for (;;) {
            const uint32_t seen = es.nudge.load(std::memory_order_seq_cst);
            es.idle.store(true, std::memory_order_seq_cst);
            const int64_t now = clock_ns(CLOCK_MONOTONIC), since = now - last_read;
            const int64_t spacing =
                es.sleepers.load(std::memory_order_seq_cst) > 0 ? kReadSpacingNs : kIdleSpacingNs;
            if (since >= spacing || now >= es.shared_until.load(std::memory_order_relaxed)) break;
            const timespec ts{0, static_cast<long>(spacing - since)};
            syscall(SYS_futex, futex_word(es.nudge), FUTEX_WAIT | FUTEX_PRIVATE_FLAG, seen, &ts, nullptr, 0);
        }
        es.idle.store(false, std::memory_order_relaxed);
        int n = read_replies(es, es.receiver_batch, true);
        while (n == Batch::kMax) n = read_replies(es, es.receiver_batch, false);
        if (n == 0 || (n < 0 && errno == EAGAIN)) n = Batch::kMax;   // the queue is empty
        last_read = clock_ns(CLOCK_MONOTONIC);
        if (n > 0) {
            failing = false;
        } else if (!(n < 0 && errno == EINTR)) {
            // Nothing the reader meets fails a call: the callers' deadlines
            // decide. Say so once per run of failures.
            if (!failing) {
                char abuf[INET_ADDRSTRLEN];
                port_syslog(LOG_WARNING, "_ping(%ld): from %s recvfrom() %s?", long(port_gettid()),
                            es.family == AF_INET6 ? "::" : dotted(INADDR_ANY, abuf), NTstrerror(errno));
                failing = true;
            }
            poll(nullptr, 0, 10);
        }
    }
    return nullptr;
}

void forget_after_fork() {
    // The receiver did not come along: the child opens its own socket.
    if (EchoSocket *old = g_socket.exchange(nullptr)) close(old->fd);
    if (EchoSocket *old = g_socket6.exchange(nullptr)) close(old->fd);
    g_open_lock.unlock();
}

// Opens the socket (raw, else unprivileged) and starts its receiver; null
// when neither kind of socket opens.
EchoSocket *open_echo_socket(int family) {
    auto es = std::make_unique<EchoSocket>();
    es->family = family;
    const int proto = family == AF_INET6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP);
    es->fd = socket(family, SOCK_RAW | SOCK_CLOEXEC, proto);
    if (es->fd >= 0 && family == AF_INET6) {
        // The kernel fills in the ICMPv6 checksum; only echo replies come in.
        es->kind = kPingRaw;
        es->ident = static_cast<uint16_t>(getpid());
        icmp6_filter f;
        ICMP6_FILTER_SETBLOCKALL(&f);
        ICMP6_FILTER_SETPASS(kEcho6Reply, &f);
        setsockopt(es->fd, IPPROTO_ICMPV6, ICMP6_FILTER, &f, sizeof f);
    } else if (es->fd >= 0) {
        es->kind = kPingRaw;
        es->ident = static_cast<uint16_t>(getpid());
        // Only echo replies, by type before the kernel copies a packet for
        // us (echo requests to local addresses and ICMP errors are
        // skipped here); then only those with our identifier.
        const uint32_t blocked = ~(1u << kEchoReply);
        setsockopt(es->fd, kSolRaw, kIcmpFilter, &blocked, sizeof blocked);
        ping_attach_filter(es->fd, es->ident);
    } else {
        // Without CAP_NET_RAW: an ICMP echo socket, where the group may use
        // it (net.ipv4.ping_group_range). The kernel picks the identifier
        // and hands us only replies that carry it.
        es->fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, proto);
        if (es->fd < 0) return nullptr;
        es->kind = kPingUnprivileged;
        sockaddr_in6 any{};   // the port sits at the same offset in both families
        any.sin6_family = static_cast<sa_family_t>(family);
        socklen_t len = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (bind(es->fd, reinterpret_cast<sockaddr *>(&any), len) != 0 ||
            getsockname(es->fd, reinterpret_cast<sockaddr *>(&any), &len) != 0) {
            close(es->fd);
            return nullptr;
        }
        es->ident = ntohs(any.sin6_port);
    }
    size_buffers(*es);
    es->table = static_cast<Waiter **>(calloc(65536, sizeof(Waiter *)));
    es->next_seq = static_cast<uint16_t>(now_us());
    es->last_caller = pthread_self();

    // The receiver takes no signals: they stay with the threads that expect them.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    int rc = es->table ? pthread_create(&t, &attr, receive_loop, es.get()) : ENOMEM;
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        close(es->fd);
        free(es->table);
        return nullptr;
    }
    pthread_setname_np(t, "ping-receiver");
    return es.release();
}

EchoSocket *echo_socket(int family) {
    std::atomic<EchoSocket *> &slot = family == AF_INET6 ? g_socket6 : g_socket;
    EchoSocket *es = slot.load(std::memory_order_acquire);
    if (es) return es;
    std::lock_guard<std::mutex> g(g_open_lock);
    es = slot.load(std::memory_order_acquire);
    if (es) return es;
    static bool fork_handled = false;
    if (!fork_handled) {
        fork_handled = pthread_atfork([] { g_open_lock.lock(); }, [] { g_open_lock.unlock(); },
                                      forget_after_fork) == 0;
        if (!fork_handled) return nullptr;
    }
    // Not opening now (no right, no descriptor left) is tried again next call.
    es = open_echo_socket(family);
    if (es) slot.store(es, std::memory_order_release);
    return es;
}

// A firewalled or unroutable node fails every send: say so once a minute
// per address, with the number of failures left out since the last line.
class SendWarnings {
public:
    // True when the line is due; *left_out gets the failures not logged.
    bool due(const std::string &addr, uint32_t *left_out) {
        const time_t now = std::time(nullptr);
        std::lock_guard<std::mutex> g(lock_);
        if (seen_.size() > 65536) seen_.clear();
        Entry &e = seen_[addr];
        if (e.last != 0 && now - e.last < 60) {
            e.skipped++;
            return false;
        }
        *left_out = e.skipped;
        e = {now, 0};
        return true;
    }

private:
    struct Entry {
        time_t last = 0;
        uint32_t skipped = 0;
    };
    std::mutex lock_;
    std::unordered_map<std::string, Entry> seen_;
};

SendWarnings g_send_warnings;

}  // namespace

uint16_t icmp_checksum(const uint8_t *data, size_t len) {
    uint32_t sum = 0;
    size_t i = 0;
    // Sum 16-bit words in memory order; the result is stored the same way.
    for (; i + 1 < len; i += 2) {
        uint16_t w;
        std::memcpy(&w, data + i, 2);
        sum += w;
    }
    if (i < len) {
        uint16_t w = 0;
        std::memcpy(&w, data + i, 1);
        sum += w;
    }
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

int ping_attach_filter(int sock, uint16_t ident) {
    // Packet loads are big-endian: the identifier, stored little-endian,
    // compares as its byte swap.
    const uint32_t id_be = static_cast<uint16_t>((ident >> 8) | (ident << 8));
    sock_filter code[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),               // x = IP header length
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                // ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kEchoReply, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),                // identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id_be, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffffu),               // keep, whole
        BPF_STMT(BPF_RET | BPF_K, 0),                         // drop
    };
    sock_fprog prog{};
    prog.len = sizeof code / sizeof code[0];
    prog.filter = code;
    return setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0 ? 0 : -1;
}

PingCounters ping_counters() {
    PingCounters c{};
    if (EchoSocket *es = g_socket.load(std::memory_order_acquire)) {
        c.kind = es->kind;
        c.rcvbuf = es->rcvbuf;
        c.received = es->received.load(std::memory_order_relaxed);
        c.matched = es->matched.load(std::memory_order_relaxed);
        c.ignored = es->ignored.load(std::memory_order_relaxed);
        c.dropped = es->dropped.load(std::memory_order_relaxed);
    }
    return c;
}

}  // namespace sorvan

using namespace sorvan;

namespace {

// An echo and where its result is kept between send and collection.
struct Echo {
    Waiter w;
    EchoSocket *es = nullptr;
    int64_t deadline_us = 0;
    int32_t timeout_us = 0;
    bool outstanding = false;   // sent, result not yet taken
};

// Takes the echo's result: waits for the reply until the deadline when it
// has not come, then reads what has queued meanwhile (the receiver reads at
// intervals). A reply matched after the time-out (the receiver read it
// late, the caller collected late) is no reply in time, as it would have
// been for a caller that waited.
int collect_echo(Echo &e) {
    if (!e.outstanding) return -11;
    e.outstanding = false;
    EchoSocket *es = e.es;
    Waiter &w = e.w;
    if (w.word.load(std::memory_order_acquire) != kDone && now_us() < e.deadline_us) {
        const timespec until{static_cast<time_t>(e.deadline_us / 1000000),
                             static_cast<long>(e.deadline_us % 1000000) * 1000};
        await_result(*es, w, &until);
    }
    if (w.word.load(std::memory_order_acquire) != kDone) {
        {
            std::lock_guard<std::mutex> g(es->late_lock);
            while (read_replies(*es, es->late_batch, false) == Batch::kMax) {
            }
        }
        {
            std::lock_guard<std::mutex> g(es->lock);
            if (unlink_waiter(*es, &w)) return -11;
        }
        // The receiver has taken it: the result is on its way.
        await_result(*es, w, nullptr);
    }
    if (w.result >= 0 && int64_t(w.result) * 1000 > e.timeout_us) return -11;
    return w.result;
}

// Withdraws an echo whose result nobody will take.
void drop_echo(Echo &e) {
    if (!e.outstanding) return;
    e.outstanding = false;
    {
        std::lock_guard<std::mutex> g(e.es->lock);
        if (unlink_waiter(*e.es, &e.w)) return;
    }
    sleep_for_result(e.w, nullptr);   // the receiver is about to let go of it
}

// Sends one echo on the family's shared socket; addr is the 16-byte
// matching key, to the destination. 0 once sent (the result is then
// collected), else the failure.
int send_echo(Echo &e, int family, const uint8_t (&addr)[16], const sockaddr *to, socklen_t tolen,
              int32_t timeout_us) {
    drop_echo(e);
    if (timeout_us < 0) timeout_us = 0;
    EchoSocket *es = echo_socket(family);
    if (!es) return -1;

    e.es = es;
    e.timeout_us = timeout_us;
    Waiter &w = e.w;
    std::memcpy(w.addr, addr, sizeof w.addr);
    w.oversize = 0;
    w.result = -11;
    w.next = nullptr;
    w.word.store(kPending, std::memory_order_relaxed);
    {
        // A sequence number no outstanding call to this address holds, so a
        // reply can only ever match one call.
        std::lock_guard<std::mutex> g(es->lock);
        bool free_seq = false;
        for (int tries = 0; tries < 65536 && !free_seq; ++tries) {
            w.seq = es->next_seq++;
            free_seq = true;
            for (Waiter *o = es->table[w.seq]; o; o = o->next)
                if (std::memcmp(o->addr, w.addr, sizeof w.addr) == 0) free_seq = false;
        }
        if (!free_seq) return -10;   // 65,536 calls to one host in flight
        if (!pthread_equal(es->last_caller, pthread_self())) {
            es->last_caller = pthread_self();
            es->shared_until.store(clock_ns(CLOCK_MONOTONIC) + kSharedHoldNs, std::memory_order_relaxed);
        }
        w.stamp = tick_count_ms();
        w.next = es->table[w.seq];
        es->table[w.seq] = &w;
    }
    e.outstanding = true;
    e.deadline_us = now_us() + timeout_us;
    auto give_up = [&](int result) {
        std::lock_guard<std::mutex> g(es->lock);
        if (!unlink_waiter(*es, &w)) return 0;
        e.outstanding = false;
        return result;
    };

    uint8_t req[kRequestSize] = {};
    req[kOffType] = family == AF_INET6 ? kEcho6Request : kEchoRequest;
    put16le(req + kOffIdent, es->ident);
    put16le(req + kOffSeq, w.seq);
    put32le(req + kOffStamp, w.stamp);
    if (family == AF_INET) {   // ICMPv6 sums a pseudo-header: the kernel does it
        const uint16_t sum = icmp_checksum(req, sizeof req);
        std::memcpy(req + kOffChecksum, &sum, 2);
    }

    // The socket is shared: never block in send past this call's deadline.
    while (sendto(es->fd, req, sizeof req, MSG_DONTWAIT, to, tolen) < 0) {
        const int err = errno;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            const int64_t left = e.deadline_us - now_us();
            if (left > 0) {
                pollfd p{es->fd, POLLOUT, 0};
                poll(&p, 1, static_cast<int>((left + 999) / 1000));
                continue;
            }
            return give_up(-10);   // 0: a forged reply took it meanwhile; collect what it says
        }
        if (int r = give_up(-4)) {
            uint32_t left_out = 0;
            if (g_send_warnings.due(std::string(reinterpret_cast<const char *>(addr), sizeof addr), &left_out)) {
                char abuf[INET6_ADDRSTRLEN];
                if (!inet_ntop(family, family == AF_INET6 ? static_cast<const void *>(addr) : addr, abuf,
                               sizeof abuf))
                    std::strcpy(abuf, "?");
                port_syslog(LOG_WARNING, "_ping%s(%ld): to %s sendto() %s?", family == AF_INET6 ? "6" : "",
                            long(port_gettid()), abuf, NTstrerror(err));
                if (left_out)
                    port_syslog(LOG_WARNING, "_ping: %u more failed sends to %s left out since the last such line",
                                left_out, abuf);
            }
            return r;
        }
        break;
    }
    return 0;
}

struct Target {
    uint8_t key[16] = {};
    sockaddr_in6 to{};   // room for either family
    socklen_t len = 0;
};

Target target4(uint32_t addr_network_order) {
    Target t;
    std::memcpy(t.key, &addr_network_order, 4);
    auto *sin = reinterpret_cast<sockaddr_in *>(&t.to);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = addr_network_order;
    t.len = sizeof(sockaddr_in);
    return t;
}

Target target6(const uint8_t addr[16]) {
    Target t;
    std::memcpy(t.key, addr, 16);
    t.to.sin6_family = AF_INET6;
    std::memcpy(&t.to.sin6_addr, addr, 16);
    t.len = sizeof(sockaddr_in6);
    return t;
}

int round_trip(int family, const Target &t, int32_t timeout_us) {
    Echo e;
    if (int r = send_echo(e, family, t.key, reinterpret_cast<const sockaddr *>(&t.to), t.len, timeout_us)) return r;
    return collect_echo(e);
}

}  // namespace

struct ping_echo {
    Echo e;
};

extern "C" SORVAN_API int ping(uint32_t addr_network_order, int32_t timeout_us) {
    return round_trip(AF_INET, target4(addr_network_order), timeout_us);
}

extern "C" SORVAN_API int ping6(const uint8_t addr[16], int32_t timeout_us) {
    if (!addr) return -1;
    return round_trip(AF_INET6, target6(addr), timeout_us);
}

extern "C" SORVAN_API ping_echo *ping_echo_open(void) { return new (std::nothrow) ping_echo; }

extern "C" SORVAN_API int ping_echo_send(ping_echo *p, uint32_t addr_network_order, int32_t timeout_us) {
    if (!p) return -1;
    const Target t = target4(addr_network_order);
    return send_echo(p->e, AF_INET, t.key, reinterpret_cast<const sockaddr *>(&t.to), t.len, timeout_us);
}

extern "C" SORVAN_API int ping_echo_send6(ping_echo *p, const uint8_t addr[16], int32_t timeout_us) {
    if (!p || !addr) return -1;
    const Target t = target6(addr);
    return send_echo(p->e, AF_INET6, t.key, reinterpret_cast<const sockaddr *>(&t.to), t.len, timeout_us);
}

extern "C" SORVAN_API int ping_echo_collect(ping_echo *p) { return p ? collect_echo(p->e) : -11; }

extern "C" SORVAN_API void ping_echo_close(ping_echo *p) {
    if (!p) return;
    drop_echo(p->e);
    delete p;
}
