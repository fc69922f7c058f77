// sorvan-agent: a node's agent. Answers the request protocol (load reports
// for kord, file operations for replication) on a TCP port.
//
//   sorvan-agent -k PASSWORD [-r DIR]... [-p PORT] [-l ADDRESS]
//
// New connections wait in one event loop until their sealed header has
// arrived whole (at most 5 s); only then does a worker thread take them,
// so peers that say nothing, or trickle their bytes, hold no worker. The
// connections in progress are bounded per peer address and in total;
// beyond the bound per peer a new connection is reset at once; with the
// table full, the connection that has waited longest for its header is
// dropped to make room.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "port/paths.h"
#include "port/varro.h"
#include "util/sorvan.h"


namespace {

constexpr int kWorkers = 16;          // requests whose header has arrived
constexpr int kHeaderWaitMs = 5000;   // from accept to a whole header
constexpr int kPerPeer = 32;          // connections in progress per address
constexpr int kInProgress = 512;      // ... and in all
constexpr int kIoTimeoutSec = 30;     // a content stream silent this long ends
constexpr int kStopGraceMs = 3000;    // workers get this long to finish on stop
constexpr int kAcceptPauseMs = 100;   // out of descriptors: try again after

int64_t now_ms() { return mono_us() / 1000; }

struct Job {
    int fd;
    sockaddr_storage peer;
};

// The peer as the request handlers take it: its IPv4 address (also when
// it came mapped into IPv6), 0.0.0.0 for an IPv6 peer.
sockaddr_in peer_v4(const sockaddr_storage &p) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    if (p.ss_family == AF_INET) {
        out = reinterpret_cast<const sockaddr_in &>(p);
    } else if (p.ss_family == AF_INET6) {
        const auto &a6 = reinterpret_cast<const sockaddr_in6 &>(p);
        out.sin_port = a6.sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) std::memcpy(&out.sin_addr, a6.sin6_addr.s6_addr + 12, 4);
    }
    return out;
}

// The key the per-peer bound counts under: the IPv4 address, or the IPv6
// one folded (two IPv6 peers may share a bound, never exceed it together).
uint32_t peer_key(const sockaddr_storage &p) {
    if (p.ss_family == AF_INET6) {
        const auto &a6 = reinterpret_cast<const sockaddr_in6 &>(p);
        if (!IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) {
            uint32_t w[4], k = 0x9e3779b9u;
            std::memcpy(w, a6.sin6_addr.s6_addr, 16);
            for (uint32_t x : w) k = (k ^ x) * 16777619u;
            return k | 1u;   // never 0.0.0.0's key
        }
    }
    return peer_v4(p).sin_addr.s_addr;
}

std::mutex g_lock;
std::condition_variable g_cv;        // work for the workers, or the stop
std::condition_variable g_done_cv;   // a worker ended
std::deque<Job> g_ready;             // header arrived, waiting for a worker
std::set<int> g_active;              // being served, shut down on stop
std::unordered_map<uint32_t, int> g_per_peer;
int g_in_progress = 0;
int g_live_workers = 0;
bool g_stopping = false;
PdhContext g_pdh;

// Counts a new connection in, unless a bound is reached.
enum class Admit { kIn, kPeerFull, kTableFull };
Admit admit(uint32_t addr) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = g_per_peer.find(addr);
    int mine = it == g_per_peer.end() ? 0 : it->second;
    if (mine >= kPerPeer) return Admit::kPeerFull;
    if (g_in_progress >= kInProgress) return Admit::kTableFull;
    ++g_per_peer[addr];
    ++g_in_progress;
    return Admit::kIn;
}

void release(uint32_t addr) {   // with g_lock held
    auto it = g_per_peer.find(addr);
    if (it != g_per_peer.end() && --it->second <= 0) g_per_peer.erase(it);
    --g_in_progress;
}

// A connection that will never bring a header: counted out, reset, closed.
void drop(int fd, const sockaddr_storage &peer) {
    reset(fd, peer_v4(peer).sin_addr.s_addr, "Bad REQ");
    close(fd);
    std::lock_guard<std::mutex> lk(g_lock);
    release(peer_key(peer));
}

void serve() {
    // A thread's first report counts every passive open since boot as new
    // connections, which would trip kord's connection limit: take that
    // report here, so every answer holds a true difference.
    AgentStats first{};
    build_agent_stats(&first, nullptr, &g_pdh);
    for (;;) {
        Job j;
        {
            std::unique_lock<std::mutex> lk(g_lock);
            g_cv.wait(lk, [] { return g_stopping || !g_ready.empty(); });
            if (g_stopping) break;
            j = g_ready.front();
            g_ready.pop_front();
            g_active.insert(j.fd);
        }
        const sockaddr_in peer4 = peer_v4(j.peer);
        authenticate_and_process(j.fd, &peer4, nullptr, &g_pdh);
        std::lock_guard<std::mutex> lk(g_lock);
        g_active.erase(j.fd);
        close(j.fd);   // under the lock: the stop must never shut a reused number
        release(peer_key(j.peer));
    }
    std::lock_guard<std::mutex> lk(g_lock);
    --g_live_workers;
    g_done_cv.notify_all();
}

// Whether a waiting connection's first frame is all there: the header is
// peeked at, never taken, so the request server reads it as sent.
enum class Header { kWait, kReady, kNever };
Header header_state(int fd, bool peer_closed) {
    unsigned char b[4 + SORVAN_MAX_HEADER_FRAME];
    ssize_t n = recv(fd, b, sizeof b, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return peer_closed ? Header::kNever : Header::kWait;
    if (n <= 0) return Header::kNever;
    if (n >= 4) {
        uint32_t len = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
        // An oversized frame is refused unread by the request server: a
        // worker's moment, never its time.
        if (len > SORVAN_MAX_HEADER_FRAME || size_t(n) >= 4 + len) return Header::kReady;
    }
    return peer_closed ? Header::kNever : Header::kWait;
}

const char *kUsage =
    "usage: %s -k PASSWORD [-r DIR]... [-p PORT] [-l ADDRESS]\n"
    "       %s --help | --version\n";

void help(const char *prog) {
    std::printf(kUsage, prog, prog);
    std::printf(
        "Serves the Tessaron request protocol: load reports for kord and the file\n"
        "operations that replication sends.\n"
        "\n"
        "  -k, --password PW   the agent password of the node's groups (required;\n"
        "                      also $TESSARON_AGENT_PASSWORD, which ps does not show)\n"
        "  -r, --root DIR      confine file operations to the tree DIR (repeatable;\n"
        "                      more trees in $TESSARON_AGENT_ROOTS, colon-separated).\n"
        "                      Without any root they reach the whole machine.\n"
        "  -p, --port PORT     TCP port to listen on (default 10000)\n"
        "  -l, --listen ADDR   listen on this IPv4 or IPv6 address only (default: all, both families)\n"
        "  -S, --sessions N    replication sessions served at once, 0 to %d (default %d;\n"
        "                      0 serves one request per connection only)\n"
        "  -h, --help          show this text and exit\n"
        "  -v, --version       show the version and exit (-V, the older spelling,\n"
        "                      still works with a warning)\n"
        "\n"
        "Environment: TESSARON_AGENT_PASSWORD, TESSARON_AGENT_ROOTS, TESSARON_LOG\n"
        "(a file that also receives the log, - for standard error), TESSARON_PATH_6\n"
        "(directory of libcrypto.so.3).\n",
        kWorkers, kWorkers / 2);
}

[[noreturn]] void usage(const char *prog) {
    std::fprintf(stderr, kUsage, prog, prog);
    std::exit(2);
}

[[noreturn]] void refuse_start(const char *prog, const std::string &why) {
    std::fprintf(stderr, "%s: %s\n", prog, why.c_str());
    port_syslog(LOG_ALERT, "sorvan-agent: %s", why.c_str());
    std::exit(1);
}
struct Options {
    int port = 10000;
    sockaddr_storage bind_addr{};   // AF_UNSPEC: both families
    const char *password = std::getenv("TESSARON_AGENT_PASSWORD");
    std::vector<std::string> roots;
    int sessions = kWorkers / 2;   // the other workers stay free for kord's queries
};

// The command line and the environment; exits on --help, --version and
// anything it cannot use.
Options parse_options(const char *prog, int argc, char **argv) {
    Options o;
    const char *listen_addr = nullptr;
    static const option longopts[] = {{"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'v'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"listen", required_argument, nullptr, 'l'},
                                      {"password", required_argument, nullptr, 'k'},
                                      {"root", required_argument, nullptr, 'r'},
                                      {"sessions", required_argument, nullptr, 'S'},
                                      {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "p:l:k:r:S:hvV", longopts, nullptr)) != -1) {
        if (opt == 'V') {   // the spelling of earlier releases
            std::fprintf(stderr, "%s: warning: -V is now -v\n", prog);
            opt = 'v';
        }
        switch (opt) {
        case 'p': {
            char *end;
            long v = std::strtol(optarg, &end, 10);
            if (!*optarg || *end || v < 0 || v > 65535) {
                std::fprintf(stderr, "%s: bad port '%s'\n", prog, optarg);
                std::exit(2);
            }
            o.port = static_cast<int>(v);
            break;
        }
        case 'l': listen_addr = optarg; break;
        case 'k': o.password = optarg; break;
        case 'r': o.roots.emplace_back(optarg); break;
        case 'S': {
            char *end;
            long v = std::strtol(optarg, &end, 10);
            if (!*optarg || *end || v < 0 || v > kWorkers) {
                std::fprintf(stderr, "%s: bad number of sessions '%s' (0 to %d)\n", prog, optarg, kWorkers);
                std::exit(2);
            }
            o.sessions = static_cast<int>(v);
            break;
        }
        case 'h': help(prog); std::exit(0);
        case 'v': std::printf("sorvan-agent (Tessaron) %s\n", TESSARON_VERSION); std::exit(0);
        default: usage(prog);
        }
    }
    if (optind != argc) usage(prog);
    if (const char *env = std::getenv("TESSARON_AGENT_ROOTS")) {   // more trees
        std::string list(env);
        for (size_t i = 0; i <= list.size();) {
            size_t j = list.find(':', i);
            if (j == std::string::npos) j = list.size();
            if (j > i) o.roots.push_back(list.substr(i, j - i));
            i = j + 1;
        }
    }
    if (listen_addr) {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&o.bind_addr);
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&o.bind_addr);
        if (inet_pton(AF_INET, listen_addr, &a4->sin_addr) == 1) {
            a4->sin_family = AF_INET;
        } else if (inet_pton(AF_INET6, listen_addr, &a6->sin6_addr) == 1) {
            a6->sin6_family = AF_INET6;
        } else {
            std::fprintf(stderr, "%s: bad address '%s' (want an IPv4 or IPv6 address)\n", prog, listen_addr);
            std::exit(2);
        }
    }
    return o;
}

// File operations reach only below the roots; leftovers of transfers cut
// short by an earlier run are swept.
void confine(const char *prog, const std::vector<std::string> &roots) {
    std::vector<const char *> root_list;
    for (const std::string &r : roots) {
        const char *one[] = {r.c_str(), nullptr};
        if (confine_roots(one) != 0)
            refuse_start(prog, "root '" + r + "': " + std::strerror(errno));
        root_list.push_back(r.c_str());
    }
    root_list.push_back(nullptr);
    confine_roots(root_list.data());
    if (roots.empty()) {
        port_syslog(LOG_WARNING, "sorvan-agent: no root given (-r): file operations are not confined");
        return;
    }
    std::string all;
    for (const std::string &r : roots) all += (all.empty() ? "" : ", ") + r;
    port_syslog(LOG_INFO, "sorvan-agent: file operations confined to %s", all.c_str());
    int swept = confine_sweep();
    if (swept > 0) port_syslog(LOG_INFO, "sorvan-agent: %d leftover temporary files removed", swept);
}

// The key requests must carry, and DES as kord loads it.
void set_up_keys(const char *prog, const char *password) {
    // Without a password every peer would be served with the empty one's key.
    if (!password || !*password)
        refuse_start(prog, "no password: give -k PASSWORD or set TESSARON_AGENT_PASSWORD");
    if (std::strlen(password) < 12)
        port_syslog(LOG_WARNING, "sorvan-agent: the password is short; its key travels in every request");
    req_serve_password(password);
    // Without the library both ends must go without.
    init_path("sorvan-agent", nullptr);
    if (!req_cipher_init(path_item(6)))
        port_syslog(LOG_WARNING, "sorvan-agent: %s/libcrypto.so.3 not loaded: requests travel unenciphered",
                    path_item(6));
}

// Room for every connection in progress and what the workers open.
void raise_file_limit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max && rl.rlim_cur < 4096) {
        rl.rlim_cur = rl.rlim_max < 4096 ? rl.rlim_max : 4096;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// SIGTERM and SIGINT arrive on a descriptor the loop waits on; every
// thread started later inherits the mask.
int stop_signals() {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &mask, SFD_CLOEXEC);
}

// The listening socket, or -1 with errno.
int open_listener(const Options &o) {
    // By default one IPv6 socket takes both families; where the host has
    // no IPv6, an IPv4 one.
    sockaddr_storage sa = o.bind_addr;
    const bool both = sa.ss_family == AF_UNSPEC;
    int ls = socket(both ? AF_INET6 : sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (ls >= 0 && both) {
        sa.ss_family = AF_INET6;
        int zero = 0;
        setsockopt(ls, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    } else if (ls < 0 && both && errno == EAFNOSUPPORT) {
        sa.ss_family = AF_INET;
        ls = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (ls < 0) return -1;
    int one = 1, header_wait = kHeaderWaitMs / 1000;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // A connection that has sent nothing stays with the kernel: floods of
    // empty connections never reach the accept queue ahead of requests.
    setsockopt(ls, IPPROTO_TCP, TCP_DEFER_ACCEPT, &header_wait, sizeof header_wait);
    // The port sits at the same offset in both families.
    reinterpret_cast<sockaddr_in *>(&sa)->sin_port = htons(static_cast<uint16_t>(o.port));
    socklen_t sl = sa.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (sa.ss_family == AF_INET6) {
        int one6 = 1;   // an IPv6 address given: that address only
        if (!both) setsockopt(ls, IPPROTO_IPV6, IPV6_V6ONLY, &one6, sizeof one6);
    }
    if (bind(ls, reinterpret_cast<sockaddr *>(&sa), sl) != 0 || listen(ls, SOMAXCONN) != 0) {
        int e = errno;
        close(ls);
        errno = e;
        return -1;
    }
    sl = sizeof sa;
    getsockname(ls, reinterpret_cast<sockaddr *>(&sa), &sl);
    char shown[INET6_ADDRSTRLEN + 2] = "?";
    int port;
    if (sa.ss_family == AF_INET6) {
        const auto &a6 = reinterpret_cast<const sockaddr_in6 &>(sa);
        shown[0] = '[';
        inet_ntop(AF_INET6, &a6.sin6_addr, shown + 1, INET6_ADDRSTRLEN);
        std::strcat(shown, "]");
        port = ntohs(a6.sin6_port);
    } else {
        const auto &a4 = reinterpret_cast<const sockaddr_in &>(sa);
        inet_ntop(AF_INET, &a4.sin_addr, shown, sizeof shown);
        port = ntohs(a4.sin_port);
    }
    std::printf("sorvan-agent listening on %s:%d\n", shown, port);
    std::fflush(stdout);
    port_syslog(LOG_INFO, "sorvan-agent: listening on %s:%d", shown, port);
    return ls;
}

// New connections wait here until their header is whole, at most
// kHeaderWaitMs; then a worker takes them.
class Loop {
public:
    Loop(int ls, int sfd, int ep) : ls_(ls), sfd_(sfd), ep_(ep) {}
    void run();
    void drop_waiting() {
        for (auto &[fd, w] : waiting_) drop(fd, w.peer);
        waiting_.clear();
    }

private:
    struct Waiting {
        sockaddr_storage peer;
        uint64_t serial;
    };
    struct Expiry {
        int64_t at;
        int fd;
        uint64_t serial;
    };
    void expire(int64_t now);
    void accept_all();
    void pause_accepting();
    void hand_over(int fd);
    void give_up(int fd);
    bool evict_oldest();

    int ls_, sfd_, ep_;
    std::unordered_map<int, Waiting> waiting_;   // header not complete yet
    std::deque<Expiry> expiries_;                // in accept order, so in deadline order
    uint64_t serial_ = 0;
    bool accept_paused_ = false, short_of_fds_ = false, fd_logged_ = false;
    int64_t resume_at_ = 0, fd_logged_at_ = -60000;
};

void Loop::hand_over(int fd) {
    Waiting w = waiting_[fd];
    waiting_.erase(fd);
    epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);   // may not be there yet
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval tv{kIoTimeoutSec, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::lock_guard<std::mutex> lk(g_lock);
    g_ready.push_back({fd, w.peer});
    g_cv.notify_one();
}

void Loop::give_up(int fd) {
    Waiting w = waiting_[fd];
    waiting_.erase(fd);
    drop(fd, w.peer);   // closing also takes it out of the epoll set
}

// The table is full: the connection that has waited longest for its
// header makes room, so a peer that sends its header whole always gets
// in, however many trickle theirs. False when none is waiting.
bool Loop::evict_oldest() {
    while (!expiries_.empty()) {
        Expiry e = expiries_.front();
        expiries_.pop_front();
        auto it = waiting_.find(e.fd);
        if (it == waiting_.end() || it->second.serial != e.serial) continue;   // served or dropped
        give_up(e.fd);
        return true;
    }
    return false;
}

void Loop::expire(int64_t now) {
    while (!expiries_.empty()) {
        const Expiry &e = expiries_.front();
        auto it = waiting_.find(e.fd);
        if (it == waiting_.end() || it->second.serial != e.serial) {
            expiries_.pop_front();   // served or dropped meanwhile
            continue;
        }
        if (e.at > now) break;
        int fd = e.fd;
        expiries_.pop_front();
        give_up(fd);
    }
}

// Out of descriptors: the pending connection stays queued; pause rather
// than spin on it. Logged once a minute at most, however often it flaps
// between short and not.
void Loop::pause_accepting() {
    if (!short_of_fds_ && now_ms() - fd_logged_at_ >= 60000) {
        port_syslog(LOG_ERR, "sorvan-agent: cannot accept: %s; pausing new connections", std::strerror(errno));
        fd_logged_at_ = now_ms();
        fd_logged_ = true;
    }
    short_of_fds_ = true;
    accept_paused_ = true;
    resume_at_ = now_ms() + kAcceptPauseMs;
    epoll_event ev{};
    ev.data.fd = ls_;
    epoll_ctl(ep_, EPOLL_CTL_MOD, ls_, &ev);
}

void Loop::accept_all() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t pl = sizeof peer;
        int c = accept4(ls_, reinterpret_cast<sockaddr *>(&peer), &pl, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) pause_accepting();
            return;
        }
        if (short_of_fds_ && fd_logged_) port_syslog(LOG_INFO, "sorvan-agent: accepting new connections again");
        short_of_fds_ = fd_logged_ = false;
        Admit a = admit(peer_key(peer));
        if (a == Admit::kTableFull && evict_oldest()) a = admit(peer_key(peer));
        if (a != Admit::kIn) {
            reset(c, peer_v4(peer).sin_addr.s_addr, "Too many connections");
            close(c);
            continue;
        }
        waiting_[c] = {peer, ++serial_};
        // Most connections come with their header (or their end) already
        // there: only the others wait in the loop.
        Header now_state = header_state(c, false);
        if (now_state == Header::kReady) {
            hand_over(c);
            continue;
        }
        if (now_state == Header::kNever) {
            give_up(c);
            continue;
        }
        expiries_.push_back({now_ms() + kHeaderWaitMs, c, serial_});
        epoll_event cev{};
        cev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        cev.data.fd = c;
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, c, &cev) != 0) give_up(c);
    }
}

void Loop::run() {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = ls_;
    epoll_ctl(ep_, EPOLL_CTL_ADD, ls_, &ev);
    ev.data.fd = sfd_;
    epoll_ctl(ep_, EPOLL_CTL_ADD, sfd_, &ev);
    for (;;) {
        int64_t now = now_ms();
        expire(now);
        if (accept_paused_ && now >= resume_at_) {
            ev.events = EPOLLIN;
            ev.data.fd = ls_;
            epoll_ctl(ep_, EPOLL_CTL_MOD, ls_, &ev);
            accept_paused_ = false;
        }
        int64_t wait = expiries_.empty() ? 1000 : expiries_.front().at - now;
        if (accept_paused_ && resume_at_ - now < wait) wait = resume_at_ - now;
        if (wait < 0) wait = 0;

        epoll_event events[64];
        int n = epoll_wait(ep_, events, 64, int(wait));
        if (n < 0 && errno != EINTR) {
            port_syslog(LOG_ERR, "sorvan-agent: epoll_wait: %s", std::strerror(errno));
            return;
        }
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == sfd_) return;
            if (fd == ls_) {
                accept_all();
            } else if (waiting_.count(fd)) {
                bool closed = events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
                switch (header_state(fd, closed)) {
                case Header::kReady: hand_over(fd); break;
                case Header::kNever: give_up(fd); break;
                case Header::kWait: break;
                }
            }
        }
    }
}

// The stop: workers get kStopGraceMs to finish what they serve; a worker
// busy in the file system (a long remove, say) is not waited for beyond it.
void shut_down(std::vector<std::thread> &pool) {
    {
        std::unique_lock<std::mutex> lk(g_lock);
        g_stopping = true;
        for (const Job &j : g_ready) close(j.fd);
        g_ready.clear();
        // A peer that is still sending must not hold the stop.
        for (int fd : g_active) shutdown(fd, SHUT_RDWR);
        g_cv.notify_all();
        if (!g_done_cv.wait_for(lk, std::chrono::milliseconds(kStopGraceMs), [] { return g_live_workers == 0; })) {
            port_syslog(LOG_WARNING, "sorvan-agent: %d workers still busy; stopped without them", g_live_workers);
            port_closelog();
            std::fflush(nullptr);
            _exit(0);
        }
    }
    for (auto &t : pool) t.join();
}

}  // namespace

int main(int argc, char **argv) {
    const char *prog = appname(argv[0]);
    Options o = parse_options(prog, argc, argv);
    port_openlog("sorvan-agent", LOG_PID, LOG_DAEMON);
    set_up_keys(prog, o.password);
    req_session_limit(o.sessions);
    confine(prog, o.roots);
    raise_file_limit();

    std::memset(&g_pdh, 0, sizeof g_pdh);
    if (pdh_init(&g_pdh) != 0) {
        std::fprintf(stderr, "%s: no memory for the counter query\n", prog);
        return 1;
    }
    int sfd = stop_signals();
    int ep = epoll_create1(EPOLL_CLOEXEC);
    int ls = open_listener(o);
    if (ls < 0 || sfd < 0 || ep < 0) {
        std::fprintf(stderr, "%s: cannot listen on port %d: %s\n", prog, o.port, std::strerror(errno));
        return 1;
    }

    std::vector<std::thread> pool;
    g_live_workers = kWorkers;
    for (int i = 0; i < kWorkers; ++i) pool.emplace_back(serve);

    Loop loop(ls, sfd, ep);
    loop.run();

    port_syslog(LOG_INFO, "sorvan-agent: stopping");
    close(ls);
    loop.drop_waiting();
    shut_down(pool);
    pdh_close(&g_pdh);
    port_syslog(LOG_INFO, "sorvan-agent: stopped");
    port_closelog();
    return 0;
}
