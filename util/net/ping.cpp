// ICMP echo round trip on the calling thread's own raw socket.
#include "net/ping.h"
#include "sorvan.h"
#include "port/varro.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sorvan {

std::atomic<bool> ping_use_filter{true};
std::atomic<bool> ping_keep_socket{false};

namespace {

constexpr size_t kRequestSize = 12;   // type, code, checksum, id, seq, timestamp
constexpr size_t kReplyBuffer = 36;   // IP header (with room for options) + 12
constexpr int kMaxOversize = 3;       // oversize datagrams tolerated per call

// Echo request layout; the identifier, sequence and timestamp are
// little-endian, the way the peer hands them back.
constexpr size_t kOffType = 0;
constexpr size_t kOffCode = 1;
constexpr size_t kOffChecksum = 2;
constexpr size_t kOffIdent = 4;
constexpr size_t kOffSeq = 6;
constexpr size_t kOffStamp = 8;
static_assert(kOffStamp + 4 == kRequestSize, "echo request is 12 bytes");

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

int64_t now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

const char *dotted(uint32_t addr, char *buf) {
    in_addr a{};
    a.s_addr = addr;
    return inet_ntop(AF_INET, &a, buf, INET_ADDRSTRLEN) ? buf : "?";
}

bool timed_out(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT; }

}  // namespace

int32_t ping_socket_timeout_ms(int32_t timeout_us) {
    int32_t t = timeout_us < 1000 ? 1000 : timeout_us;
    return t / 1000 + t % 1000;
}

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

int ping_attach_filter(int sock, uint16_t ident, uint32_t addr_network_order) {
    // Packet loads are big-endian: the source address compares as ntohl, and
    // the identifier, stored little-endian, as its byte swap.
    const uint32_t src = ntohl(addr_network_order);
    const uint32_t id_be = static_cast<uint16_t>((ident >> 8) | (ident << 8));
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 12),               // IP source
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, src, 0, 6),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),               // x = IP header length
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                // ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 3),          // echo reply
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),                // identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id_be, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffff),                    // keep
        BPF_STMT(BPF_RET | BPF_K, 0),                         // drop
    };
    sock_fprog prog{};
    prog.len = sizeof code / sizeof code[0];
    prog.filter = code;
    return setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0 ? 0 : -1;
}

}  // namespace sorvan

using namespace sorvan;

namespace {

// SOL_RAW / ICMP_FILTER of <linux/icmp.h>, whose header clashes with glibc's.
constexpr int kSolRaw = 255;
constexpr int kIcmpFilter = 1;
constexpr int kIcmpEchoReply = 0;

// A ping socket with what has been set on it, so that a kept one is not
// set up again on every call.
struct PingSocket {
    int fd = -1;
    int32_t timeout_ms = -1;
    bool filtered = false;
    uint32_t filter_addr = 0;
    uint16_t filter_ident = 0;
    bool connected = false;
    uint32_t peer = 0;
    pid_t owner = 0;   // a forked child makes its own

    PingSocket() = default;
    PingSocket(const PingSocket &) = delete;
    PingSocket &operator=(const PingSocket &) = delete;
    ~PingSocket() { reset(); }
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
        timeout_ms = -1;
        filtered = false;
        connected = false;
        peer = 0;
    }
};

// The calling thread's kept socket, when sockets are kept.
thread_local PingSocket t_socket;

int ping_on(PingSocket &ps, uint32_t addr_network_order, int32_t timeout_us, long tid, uint16_t ident) {
    char abuf[INET_ADDRSTRLEN];
    const int fd = ps.fd;

    const int32_t v = ping_socket_timeout_ms(timeout_us);
    if (ps.timeout_ms != v) {
        timeval tv{};
        tv.tv_sec = v / 1000;
        tv.tv_usec = (v % 1000) * 1000;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) return -2;
        if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0) return -3;
        ps.timeout_ms = v;
    }

    // Every raw ICMP socket gets a copy of every ICMP packet on the host; let
    // the kernel drop what is not ours before it wakes us or fills the queue.
    // Should attaching fail, the checks after receipt still hold.
    if (ping_use_filter.load(std::memory_order_relaxed)) {
        if (!ps.filtered || ps.filter_addr != addr_network_order || ps.filter_ident != ident) {
            ps.filtered = ping_attach_filter(fd, ident, addr_network_order) == 0;
            ps.filter_addr = addr_network_order;
            ps.filter_ident = ident;
        }
    } else if (ps.filtered) {
        int zero = 0;
        setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &zero, sizeof zero);
        ps.filtered = false;
    }

    // Connected to the node, a raw socket is offered only that host's ICMP:
    // the kernel skips it for everyone else's replies before copying them,
    // so a thousand kept sockets cost no more than one. Should it fail, the
    // filter and the checks after receipt still hold.
    if (!ps.connected || ps.peer != addr_network_order) {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = addr_network_order;
        ps.connected = connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0;
        ps.peer = addr_network_order;
    }

    // What an earlier call left behind (late replies) is not for this one.
    uint8_t junk[kReplyBuffer];
    while (recv(fd, junk, sizeof junk, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = 0;
    to.sin_addr.s_addr = addr_network_order;

    uint8_t req[kRequestSize] = {};
    req[kOffType] = 8;
    req[kOffCode] = 0;
    put16le(req + kOffIdent, ident);

    uint16_t seq = 0;
    int oversize = 0;
    int64_t deadline = 0;   // set at the first send: the whole call waits at most the time-out
    uint32_t first_stamp = 0;

    for (;;) {
        // Send a request.
        put16le(req + kOffChecksum, 0);
        put32le(req + kOffStamp, tick_count_ms());
        put16le(req + kOffSeq, seq++);
        uint16_t sum = icmp_checksum(req, sizeof req);
        std::memcpy(req + kOffChecksum, &sum, 2);
        if (deadline == 0) {
            deadline = now_us() + timeout_us;
            first_stamp = get32le(req + kOffStamp);
        }
        if (sendto(fd, req, sizeof req, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) {
            if (timed_out(errno)) return -10;
            port_syslog(LOG_WARNING, "_ping(%ld): to %s sendto() %s?", tid,
                        dotted(addr_network_order, abuf), NTstrerror(errno));
            return -4;
        }

        // Wait for our reply, never past the deadline.
        bool resend = false;
        while (!resend) {
            // Past the deadline, still look once at what is already queued.
            int64_t left = deadline - now_us();
            if (left < 0) left = 0;
            pollfd p{fd, POLLIN, 0};
            timespec ts{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
            int pr = ppoll(&p, 1, &ts, nullptr);
            if (pr < 0) {
                if (errno == EINTR) continue;   // the deadline still bounds us
                port_syslog(LOG_WARNING, "_ping(%ld): to %s recvfrom() %s?", tid,
                            dotted(addr_network_order, abuf), NTstrerror(errno));
                return -5;
            }
            if (pr == 0) return -11;

            uint8_t buf[kReplyBuffer];
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            // MSG_TRUNC: the length of the whole datagram, to tell oversize ones.
            ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_TRUNC,
                                 reinterpret_cast<sockaddr *>(&from), &flen);
            if (n < 0) {
                int err = errno;
                if (timed_out(err)) return -12;
                if (err == EINTR) {
                    resend = true;
                    continue;
                }
                if (err != EMSGSIZE) {
                    port_syslog(LOG_WARNING, "_ping(%ld): from %s recvfrom() %s?", tid,
                                dotted(from.sin_addr.s_addr, abuf), NTstrerror(err));
                    return -6;
                }
                n = static_cast<ssize_t>(sizeof buf) + 1;
            }
            if (n > static_cast<ssize_t>(sizeof buf)) {
                if (++oversize > kMaxOversize) return -12;
                continue;
            }

            const size_t len = static_cast<size_t>(n);
            const size_t h = static_cast<size_t>(buf[0] & 0x0f) * 4;
            if (len < h + kRequestSize) continue;
            if (buf[h + kOffType] != 0) continue;
            if (get16le(buf + h + kOffIdent) != ident) continue;
            // Identifiers are 16 bits of a thread id and can collide: the
            // reply must also come from the address we pinged.
            if (from.sin_addr.s_addr != addr_network_order) continue;
            const uint32_t stamp = get32le(buf + h + kOffStamp);
            uint32_t rtt = tick_count_ms() - stamp;
            // A stamp from the future, or from before this call, is not an
            // answer to this call.
            if (rtt > 0x7fffffffu || static_cast<int32_t>(stamp - first_stamp) < 0) continue;
            return static_cast<int>(rtt);
        }
    }
}

}  // namespace

extern "C" SORVAN_API int ping(uint32_t addr_network_order, int32_t timeout_us) {
    const long tid = port_gettid();
    const uint16_t ident = static_cast<uint16_t>(tid & 0xffff);
    if (timeout_us < 0) timeout_us = 0;

    PingSocket once;
    PingSocket &ps = ping_keep_socket.load(std::memory_order_relaxed) ? t_socket : once;
    if (ps.fd >= 0 && ps.owner != getpid()) ps.reset();
    if (ps.fd < 0) {
        ps.fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (ps.fd < 0) return -1;
        ps.owner = getpid();
        // Only echo replies, checked by type before the kernel copies a
        // packet for this socket (echo requests to local addresses included).
        const uint32_t blocked = ~(1u << kIcmpEchoReply);
        setsockopt(ps.fd, kSolRaw, kIcmpFilter, &blocked, sizeof blocked);
    }
    int r = ping_on(ps, addr_network_order, timeout_us, tid, ident);
    // After a local failure the next call starts with a fresh socket.
    if (r < 0 && r > -10) ps.reset();
    return r;
}
