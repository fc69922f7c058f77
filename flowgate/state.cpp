// Reading kord's maps and zone files, and choosing each group's addresses.
#include "flowgate/state.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <ctime>

#include "flowgate/config.h"
#include "maps/side.h"

namespace flowgate {

namespace {

// The method bits of a group record.
using namespace kord;
constexpr int kMaxGroups = 1000000;

// A read of the mapping past the end of a file that shrank raises SIGBUS:
// the copy runs under this guard and gives up instead.
thread_local sigjmp_buf *t_guard = nullptr;

void on_sigbus(int sig, siginfo_t *, void *) {
    if (sigjmp_buf *g = t_guard) {
        t_guard = nullptr;
        siglongjmp(*g, 1);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void install_sigbus_guard() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = on_sigbus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, nullptr);
    });
}

void copy_text(char *dst, const char *src, size_t n) {
    size_t k = strnlen(src, n);
    memcpy(dst, src, k);
    dst[k] = '\0';
}

// Lower is better; nodes without a figure sort last.
double order_key(const NodeView &n, uint32_t method) {
    constexpr double kLast = std::numeric_limits<double>::infinity();
    if (method & kMethodRtt || !(method & kAgentMethods)) {
        if (n.ping == 0 || n.last_ping < 0) return kLast;
        return n.last_ping;
    }
    if (n.agent_word0 == 0) return kLast;
    double v = kLast;
    if (method & kMethodLoad) v = n.mean_ratio;
    else if (method & kMethodWload) v = n.ratio1;
    else if (method & kMethodCpu) v = n.idle_pct <= 100 ? 100.0 - n.idle_pct : kLast;
    else if (method & kMethodNusers) v = n.users;
    else if (method & kMethodMem) v = -double(n.free_kb);
    return std::isnan(v) ? kLast : v;
}

bool fit(const NodeView &n, uint32_t method) {
    if (n.ping == kord::kStateDown) return false;
    if (n.port != 0 && n.port_state == kord::kStateDown) return false;
    if (method & kAgentMethods) {
        if (n.agent == kord::kStateDown) return false;
        if ((n.mem_status & kord::kMemLowBit) || (n.conn_status & kord::kConnHighBit) ||
            (n.fs_summary & kord::kFsAnyBit))
            return false;
    }
    return true;
}

}  // namespace

void view_group(const kord::GroupRecord &g, GroupView &v, const void *side, size_t side_len, uint32_t index) {
    copy_text(v.name, g.name, sizeof g.name);
    copy_text(v.domain, g.domain, sizeof g.domain);
    v.mirror = g.peer[0] != '\0';
    v.method = g.method;
    v.nodes = 0;
    for (int k = 0; k < kord::kSlotsPerGroup; k++) {
        const kord::NodeRecord &s = g.slot[k];
        const kord::SideRecord *x = kord::side_record(side, side_len, index, uint32_t(k));
        static const uint8_t none[16] = {};
        const bool has6 = x && memcmp(x->addr6, none, sizeof none) != 0;
        // Ordinary groups end at the first nameless slot; a mirror's slots
        // carry its own addresses and end at the first without one.
        if (v.mirror ? (s.addr == 0 && !has6) : s.name[0] == '\0') break;
        if (s.addr == 0 && !has6) continue;
        NodeView &n = v.node[v.nodes++];
        n.has6 = has6;
        if (has6) {
            memcpy(n.addr6.data(), x->addr6, 16);
            n.ping6 = x->ping6.state;
            n.port6_state = x->port6.state;
            n.last_ping6 = x->last_ping6;
        } else {
            n.addr6 = {};
            n.ping6 = n.port6_state = 0;
            n.last_ping6 = -1;
        }
        n.addr = s.addr;
        n.ping = s.ping.state;
        n.agent = s.agent.state;
        n.port = s.port;
        n.port_state = s.port_status.state;
        n.last_ping = s.last_ping;
        n.mean_ratio = s.mean_ratio;
        n.ratio1 = s.ratio[0];
        n.agent_word0 = s.agent_stats.word[0];
        n.idle_pct = s.agent_stats.word[1];
        n.free_kb = s.agent_stats.word[2];
        n.users = s.agent_stats.word[5];
        n.mem_status = s.mem_status;
        n.conn_status = s.conn_status;
        n.fs_summary = s.fs_summary;
        n.traffic_alloc = s.traffic_alloc;
    }
}

Maps::Maps(std::string ctl_path, std::string data_path)
    : ctl_path_(std::move(ctl_path)), data_path_(std::move(data_path)), side_path_(kord::side_map_path(data_path_)) {
    install_sigbus_guard();
}

Maps::~Maps() { unmap(); }

void Maps::unmap() {
    if (base_ && mapped_) munmap(const_cast<unsigned char *>(base_), mapped_);
    base_ = nullptr;
    mapped_ = 0;
    count_ = 0;
    file_size_ = 0;
    ino_ = 0;
    if (side_) munmap(const_cast<unsigned char *>(side_), side_len_);
    side_ = nullptr;
    side_len_ = 0;
    side_ino_ = 0;
}

// The side map as it stands; none (no IPv6 at all) while kord has not made it.
void Maps::map_side() {
    int fd = open(side_path_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || size_t(st.st_size) < kord::kSideHeaderSize) {
        if (fd >= 0) close(fd);
        if (side_) munmap(const_cast<unsigned char *>(side_), side_len_);
        side_ = nullptr;
        side_len_ = 0;
        side_ino_ = 0;
        return;
    }
    if (side_ && size_t(st.st_size) == side_len_ && st.st_ino == side_ino_ && st.st_dev == side_dev_) {
        close(fd);
        return;
    }
    if (side_) munmap(const_cast<unsigned char *>(side_), side_len_);
    side_ = nullptr;
    side_len_ = 0;
    void *m = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) return;
    side_ = static_cast<const unsigned char *>(m);
    side_len_ = size_t(st.st_size);
    side_ino_ = st.st_ino;
    side_dev_ = st.st_dev;
}

bool Maps::refresh(std::string &why, bool &remapped) {
    remapped = false;
    int32_t count = 0;
    int fd = open(ctl_path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = ctl_path_ + ": " + strerror(errno);
        unmap();
        return false;
    }
    ssize_t got = pread(fd, &count, sizeof count, 0);
    close(fd);
    if (got != ssize_t(sizeof count)) {
        why = ctl_path_ + ": shorter than 4 bytes";
        unmap();
        return false;
    }
    if (count < 0 || count > kMaxGroups) {
        why = ctl_path_ + ": implausible group count " + std::to_string(count);
        unmap();
        return false;
    }
    fd = open(data_path_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        why = data_path_ + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        unmap();
        return false;
    }
    size_t need = size_t(count) * kord::kGroupRecordSize;
    if (size_t(st.st_size) < need) {
        why = data_path_ + ": " + std::to_string(st.st_size) + " bytes, fewer than " + std::to_string(count) +
              " groups need";
        close(fd);
        unmap();
        return false;
    }
    bool same = (base_ || count == 0) && count == count_ && size_t(st.st_size) == file_size_ &&
                st.st_ino == ino_ && st.st_dev == dev_;
    if (same) {
        close(fd);
        map_side();
        return true;
    }
    unmap();
    if (need > 0) {
        void *m = mmap(nullptr, need, PROT_READ, MAP_SHARED, fd, 0);
        if (m == MAP_FAILED) {
            why = data_path_ + ": mmap: " + strerror(errno);
            close(fd);
            return false;
        }
        base_ = static_cast<const unsigned char *>(m);
        mapped_ = need;
    }
    close(fd);
    count_ = count;
    file_size_ = size_t(st.st_size);
    ino_ = st.st_ino;
    dev_ = st.st_dev;
    map_side();
    remapped = true;
    return true;
}

bool Maps::snapshot(std::vector<GroupView> &out) {
    out.resize(size_t(count_));   // no allocation under the guard
    if (count_ == 0) return true;
    sigjmp_buf jb;
    if (sigsetjmp(jb, 1)) {
        unmap();
        out.clear();
        return false;
    }
    t_guard = &jb;
    const auto *groups = reinterpret_cast<const kord::GroupRecord *>(base_);
    for (int i = 0; i < count_; i++) view_group(groups[i], out[size_t(i)], side_, side_len_, uint32_t(i));
    t_guard = nullptr;
    return true;
}

void parse_zone_file(std::string_view text, const std::string &domain, ZoneMembers &out) {
    std::string owner;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        std::vector<std::string_view> f;
        size_t i = 0;
        bool continued = line[0] == ' ' || line[0] == '\t';
        while (i < line.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
            size_t s = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') i++;
            if (i > s) f.push_back(line.substr(s, i - s));
        }
        if (!continued) {
            if (f.empty()) continue;
            owner = lower(f[0]);
            f.erase(f.begin());
        }
        if (owner.empty() || f.size() != 4 || lower(f[1]) != "in" || lower(f[2]) != "a") continue;
        std::string a(f[3]);
        uint32_t addr;
        if (inet_pton(AF_INET, a.c_str(), &addr) != 1) continue;
        auto &v = out[owner + "." + lower(domain)];
        if (v.size() < 64 && std::find(v.begin(), v.end(), addr) == v.end()) v.push_back(addr);
    }
}

bool read_zone_files(const std::string &dir, ZoneMembers &out) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".cndb") != 0) continue;
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        parse_zone_file(ss.str(), name.substr(0, name.size() - 5), out);
    }
    closedir(d);
    return true;
}

const char *source_name(Source s) {
    switch (s) {
    case Source::Fit: return "fit";
    case Source::FailOpen: return "fail-open";
    case Source::ZoneFile: return "zone-file";
    default: return "none";
    }
}

const char *method_name(uint32_t bits) {
    const char *name = kord::method_name(bits);
    return name ? name : "rtt";
}

namespace {

// One family's choice among the group's nodes of that family (pointers
// into nodes), best first; the zone-file case is the caller's.
Source pick(const std::vector<NodeView> &nodes, uint32_t group_method, int answers, uint64_t slice,
            bool &rotated, std::vector<const NodeView *> &out) {
    out.clear();
    // An unknown method word reads as rtt, as kord reads an unknown keyword.
    uint32_t method = group_method;
    if (!(method & (kAgentMethods | kMethodRtt | kMethodFailsafe | kMethodTrafficAlloc))) method = kMethodRtt;
    for (const NodeView &n : nodes)
        if (fit(n, method)) out.push_back(&n);
    if (out.empty()) {
        for (const NodeView &n : nodes) out.push_back(&n);
        return out.empty() ? Source::None : Source::FailOpen;
    }
    if (method & kMethodFailsafe) {
        out.resize(1);   // active/standby: the first fit node in slot order
    } else if (method & kMethodTrafficAlloc) {
        std::vector<const NodeView *> shared;
        for (const NodeView *n : out)
            if (n->traffic_alloc > 0) shared.push_back(n);
        std::stable_sort(shared.begin(), shared.end(),
                         [](const NodeView *a, const NodeView *b) { return a->traffic_alloc > b->traffic_alloc; });
        // No fit node has a share: they share alike rather than none answer.
        if (!shared.empty()) out = shared;
        if (answers > 0 && out.size() > size_t(answers)) {
            // Fewer answers than nodes: the slice's turn, so that each node
            // gets its share of the time rather than the largest all of it.
            std::vector<double> w;
            for (const NodeView *n : out) w.push_back(shared.empty() ? 1.0 : double(n->traffic_alloc));
            std::vector<const NodeView *> turn;
            for (size_t i : rotate_shares(w, answers, slice)) turn.push_back(out[i]);
            out = std::move(turn);
            rotated = true;
        }
    } else {
        std::stable_sort(out.begin(), out.end(), [method](const NodeView *a, const NodeView *b) {
            return order_key(*a, method) < order_key(*b, method);
        });
    }
    if (answers > 0 && out.size() > size_t(answers)) out.resize(size_t(answers));
    return Source::Fit;
}

}  // namespace

std::vector<size_t> rotate_shares(const std::vector<double> &weights, int answers, uint64_t slice) {
    const size_t n = weights.size();
    std::vector<size_t> out;
    if (answers <= 0 || size_t(answers) >= n) {
        for (size_t i = 0; i < n; i++) out.push_back(i);
        return out;
    }
    // Each node's fraction of the slices: answers * weight / total, where a
    // node that would pass 1 is fixed at 1 and the rest share what is left.
    std::vector<double> f(n, 0.0);
    std::vector<bool> full(n, false);
    int left = answers;
    for (bool again = true; again && left > 0;) {
        again = false;
        double total = 0;
        for (size_t i = 0; i < n; i++)
            if (!full[i]) total += weights[i];
        for (size_t i = 0; i < n; i++) {
            if (full[i]) continue;
            f[i] = total > 0 ? left * weights[i] / total : 0;
            if (f[i] >= 1.0 - 1e-9) {
                full[i] = true;
                f[i] = 1.0;
                left--;
                again = true;
            }
        }
    }
    // The fractions laid end to end cover [0, answers); the slice takes the
    // points u, u + 1, ... of its offset u. No fraction is above 1, so no
    // node holds two points, and over the slices each node holds a point in
    // the fraction of them its length gives. The offsets follow the golden
    // ratio (fixed point, exact for any slice number): every run of slices
    // spreads them evenly over [0, 1).
    const double u = double(uint64_t(slice * 0x9E3779B97F4A7C15ull) >> 11) / double(1ull << 53);
    std::vector<bool> taken(n, false);
    double start = 0;
    int point = 0;
    for (size_t i = 0; i < n && point < answers; i++) {
        double end = start + f[i];
        if (u + point >= start && (u + point < end || i + 1 == n)) {
            taken[i] = true;
            point++;
        }
        start = end;
    }
    // Rounding at the edges may leave a point unplaced: the largest shares
    // not yet taken fill up.
    for (size_t i = 0; i < n && point < answers; i++)
        if (!taken[i]) {
            taken[i] = true;
            point++;
        }
    for (size_t i = 0; i < n; i++)
        if (taken[i]) out.push_back(i);
    return out;
}

long long ms_until(int64_t at) {
    if (at == 0) return -1;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    long long ms = (long long)at * 1000 - ((long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
    return ms > 0 ? ms : 0;
}

Selection select(const GroupView &g, int answers, const ZoneMembers &zone) {
    return select(g, answers, zone, Config{}.ttl, int64_t(time(nullptr)));
}

Selection select(const GroupView &g, int answers, const ZoneMembers &zone, uint32_t ttl, int64_t now) {
    Selection sel;
    const int64_t slice_len = ttl > 0 ? int64_t(ttl) : 1;
    const uint64_t slice = now > 0 ? uint64_t(now / slice_len) : 0;
    bool rotated = false;
    std::vector<NodeView> v4, v6;
    for (int k = 0; k < g.nodes; k++) {
        const NodeView &n = g.node[k];
        if (n.addr != 0) v4.push_back(n);
        if (n.has6) {
            // The IPv6 states stand in for the IPv4 ones; the agent's are shared.
            NodeView m = n;
            m.ping = n.ping6;
            m.port_state = n.port6_state;
            m.last_ping = n.last_ping6;
            v6.push_back(m);
        }
    }
    std::vector<const NodeView *> chosen;
    bool probed = false;
    for (const NodeView &n : v4) probed = probed || n.ping != 0;
    if (!probed) {
        // kord has not probed any node yet: the members it resolved at start.
        auto it = zone.find(lower(std::string(g.name) + "." + g.domain));
        if (it != zone.end() && !it->second.empty()) {
            sel.addrs = it->second;
        } else {
            for (const NodeView &n : v4) sel.addrs.push_back(n.addr);
        }
        sel.source = sel.addrs.empty() ? Source::None : Source::ZoneFile;
    } else {
        sel.source = pick(v4, g.method, answers, slice, rotated, chosen);
        for (const NodeView *n : chosen) sel.addrs.push_back(n->addr);
    }
    bool probed6 = false;
    for (const NodeView &n : v6) probed6 = probed6 || n.ping != 0;
    if (!probed6) {
        // The zone files hold IPv4 only: the addresses kord resolved.
        for (const NodeView &n : v6) sel.addrs6.push_back(n.addr6);
        sel.source6 = sel.addrs6.empty() ? Source::None : Source::ZoneFile;
    } else {
        sel.source6 = pick(v6, g.method, answers, slice, rotated, chosen);
        for (const NodeView *n : chosen) sel.addrs6.push_back(n->addr6);
    }
    if (rotated) sel.rotates_at = int64_t(slice + 1) * slice_len;
    return sel;
}

std::string addr_text(uint32_t addr) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return buf;
}

std::string addr6_text(const Addr6 &addr) {
    char buf[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, addr.data(), buf, sizeof buf);
    return buf;
}

}  // namespace flowgate
