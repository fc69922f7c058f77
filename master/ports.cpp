// Port probes: after a node answers its ping, its worker checks that one TCP
// port of the node accepts connections. The port file says which port and
// whom to tell; the probe looks at it on every pass and reads it again when
// it changed, so edits apply at the next pass.
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <string>

#include "master/kord.h"
#include "master/ports.h"
#include "port/paths.h"

namespace kord {

namespace {

int send_mail(void *record) {
    post_mail(static_cast<MailRequest *>(record));
    return 0;
}

bool has_at(const char *s) { return s[0] && strchr(s, '@'); }

// The port file this thread read last, and what it gave.
struct PortFileCache {
    bool valid = false;
    bool settled = false;   // read well after its last change: its times tell edits apart
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime{}, ctime{};
    uint16_t port = 0;
    char label[8] = {};
    char mail[64] = {};
    std::shared_ptr<const PortCheck> check;   // null: a bare connect
    std::string problem;                      // why the check lines were not used
};
thread_local PortFileCache t_port_cache;
thread_local bool t_port_fresh = false;   // the last lookup parsed the file again
thread_local uint32_t t_port_file_reads = 0;
thread_local bool t_port_known = false;   // this worker has read a port file before
thread_local std::string t_port_check;    // the check it made last, as describe_check says it

bool same_time(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool unchanged(const PortFileCache &c, const struct stat &st) {
    return c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size && same_time(c.mtime, st.st_mtim) &&
           same_time(c.ctime, st.st_ctim);
}

// Time stamps are coarse (a clock tick, a second, two on some file systems):
// a change made within that span of a reading may not move them.
bool settled(const struct timespec &changed, const struct timespec &read) {
    int64_t ns = int64_t(read.tv_sec - changed.tv_sec) * 1000000000 + (read.tv_nsec - changed.tv_nsec);
    return ns > int64_t(2) * 1000000000;
}

// The candidate files in the order they win, built in the caller's buffer
// (on its stack: thread-local storage would cost every thread its size).
constexpr size_t kPortPathMax = 1024;
void port_file_path(char (&path)[kPortPathMax], int which, const GroupRecord *g, const NodeRecord *slot) {
    const char *root = path_item(2);
    if (which == 0)
        snprintf(path, kPortPathMax, "%s%cports%c%s.%s.%s.cfg", root, '/', '/', slot->name, g->name, g->domain);
    else if (which == 1)
        snprintf(path, kPortPathMax, "%s%cports%c%s.%s.cfg", root, '/', '/', g->name, g->domain);
    else
        snprintf(path, kPortPathMax, "%s%cports%c%s", root, '/', '/', "fallback.cfg");
}
// FNV-1a: a worker's key only has to tell its own node's names apart
// from what it saw before a reload.
uint64_t fnv1a(uint64_t h, const char *p, size_t max) {
    for (size_t i = 0; i < max && p[i]; i++)
        h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    return h;
}
// The names the node's own candidate is built from, without building it.
uint64_t names_key(const GroupRecord *g, const NodeRecord *slot) {
    uint64_t h = 1469598103934665603ull;
    h = fnv1a(h, slot->name, sizeof slot->name);
    h = (h ^ '/') * 1099511628211ull;
    h = fnv1a(h, g->name, sizeof g->name);
    h = (h ^ '/') * 1099511628211ull;
    return fnv1a(h, g->domain, sizeof g->domain);
}

// Where the search for a node's port file ended, valid while the ports
// directory keeps its identity and time stamps.
struct PortDirCache {
    bool valid = false;
    bool settled = false;
    uint64_t key = 0;   // hash of the node's own candidate: names the node and group
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec mtime{}, ctime{};
    int winner = -1;   // candidate found, -1: none
};
thread_local PortDirCache t_port_dir;

struct DirStamp {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec mtime{}, ctime{};
};

// Out of line, so its stat buffer is not on the stack during the search:
// every worker has the same stack layout, so a few bytes more on its
// deepest path can cost each of them a page.
__attribute__((noinline)) DirStamp ports_dir_stamp(char (&buf)[kPortPathMax]) {
    DirStamp d;
    // The root is fixed for the life of the process.
    static const std::string dir = std::string(path_item(2)) + "/ports";
    (void)buf;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        d.known = true;
        d.dev = st.st_dev;
        d.ino = st.st_ino;
        d.mtime = st.st_mtim;
        d.ctime = st.st_ctim;
    }
    return d;
}

void remember_dir(PortDirCache &d, const DirStamp &dst, uint64_t key, int winner) {
    d.valid = false;
    if (!dst.known)
        return;
    d.key = key;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    d.settled = settled(dst.mtime, now) && settled(dst.ctime, now);
    d.dev = dst.dev;
    d.ino = dst.ino;
    d.mtime = dst.mtime;
    d.ctime = dst.ctime;
    d.winner = winner;
    d.valid = true;
}

}  // namespace

FILE *open_port_file(const GroupRecord *g, const NodeRecord *slot) {
    char path[kPortPathMax];
    for (int which = 0; which < 3; which++) {
        port_file_path(path, which, g, slot);
        if (access(path, R_OK) == 0)
            return fopen(path, "r");
    }
    return nullptr;
}

void parse_port_file(FILE *f, NodeRecord *slot, PortCheck *check, std::string *problem) {
    slot->port = 0;
    memset(slot->port_label, 0, sizeof slot->port_label);
    memset(slot->port_mail, 0, sizeof slot->port_mail);
    if (check) *check = PortCheck{};
    if (problem) problem->clear();

    char line[512];
    bool found = false;
    int no = 0;
    while (fgets(line, sizeof line, f)) {
        no++;
        bool whole = strchr(line, '\n') != nullptr;
        unsigned char c = static_cast<unsigned char>(line[0]);
        bool usable = c != '#' && c != '\n' && !isspace(c) && c != '\0';
        if (usable) {
            found = true;
            // The rest of an overlong port line is no check line.
            char rest[64];
            while (!whole && fgets(rest, sizeof rest, f))
                whole = strchr(rest, '\n') != nullptr;
            break;
        }
        // A skipped line longer than the buffer: drop the rest of it too.
        while (!whole && fgets(line, sizeof line, f))
            whole = strchr(line, '\n') != nullptr;
    }
    if (!found)
        return;
    line[strcspn(line, "\r\n")] = '\0';

    const char *field[3] = {};
    int n = 0;
    for (char *save = nullptr, *tok = strtok_r(line, "/", &save); tok && n < 3;
         tok = strtok_r(nullptr, "/", &save))
        field[n++] = tok;
    if (n >= 1)
        slot->port = static_cast<uint16_t>(atoi(field[0]));
    if (n >= 2)
        // The label may fill its field without a terminator.
        memcpy(slot->port_label, field[1], strnlen(field[1], sizeof slot->port_label));
    if (n >= 3)
        strncpy(slot->port_mail, field[2], sizeof slot->port_mail - 1);
    if (!check)
        return;

    // The check lines, on the heap: a worker's stack is small.
    PortCheck c;
    std::string why;
    char *text = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&text, &cap, f)) >= 0) {
        no++;
        std::string_view l(text, size_t(len));
        while (!l.empty() && isspace(static_cast<unsigned char>(l.front()))) l.remove_prefix(1);
        while (!l.empty() && isspace(static_cast<unsigned char>(l.back()))) l.remove_suffix(1);
        // A second port line was always ignored, and still is.
        if (l.empty() || l[0] == '#' || isdigit(static_cast<unsigned char>(l[0])) || !why.empty())
            continue;
        if (memchr(l.data(), '\0', l.size())) {
            why = "line " + std::to_string(no) + ": a NUL byte";
            continue;
        }
        std::string key, bad;
        if (!parse_check_line(l, c, &key, &bad))
            why = "line " + std::to_string(no) + ": " + key + ": " + bad;
    }
    free(text);
    if (why.empty() && c.kind == kCheckTcp && (c.head || !c.verify || !c.host.empty() || !c.ca.empty() ||
                                               !c.match.empty() || !c.headers.empty() || !c.expect.empty()))
        why = "check settings without an http or https line";
    if (!why.empty()) {
        if (problem) *problem = why;
        return;   // the bare connect
    }
    *check = std::move(c);
}

std::string describe_check(uint16_t port, const PortCheck &c) {
    std::string d = std::to_string(port) + "/" + check_kind_name(c.kind);
    if (c.kind != kCheckTcp) d += " " + c.path;
    return d;
}

int read_port_file(const GroupRecord *g, NodeRecord *slot) {
    FILE *f = open_port_file(g, slot);
    if (!f)
        return 1;
    parse_port_file(f, slot);
    fclose(f);
    return 0;
}

uint32_t port_file_reads(void) { return t_port_file_reads; }

int read_port_file_cached(const GroupRecord *g, NodeRecord *slot) {
    PortFileCache &c = t_port_cache;
    PortDirCache &d = t_port_dir;
    char path[kPortPathMax];
    // While the ports directory itself is unchanged no candidate came or
    // went: look only where the last search ended (often nowhere).
    const DirStamp dst = ports_dir_stamp(path);
    const uint64_t key = names_key(g, slot);
    const bool shortcut = dst.known && d.valid && d.settled && d.key == key && d.dev == dst.dev &&
                          d.ino == dst.ino && same_time(d.mtime, dst.mtime) && same_time(d.ctime, dst.ctime);
    if (shortcut && d.winner < 0) {
        c.valid = false;
        return 1;
    }
    const int first = shortcut ? d.winner : 0;
    bool clean = true;   // no candidate before this one exists
    for (int which = first; which < 3; which++) {
        port_file_path(path, which, g, slot);
        struct stat st;
        if (stat(path, &st) != 0)
            continue;
        if (clean && !(shortcut && which == first))
            remember_dir(d, dst, key, which);
        clean = false;
        if (c.valid && c.settled && c.path == path && unchanged(c, st)) {
            t_port_fresh = false;
            slot->port = c.port;
            memcpy(slot->port_label, c.label, sizeof c.label);
            memcpy(slot->port_mail, c.mail, sizeof c.mail);
            return 0;
        }
        if (access(path, R_OK) != 0)
            continue;
        c.valid = false;
        FILE *f = fopen(path, "r");
        if (!f)
            return 1;
        struct stat fst;
        bool known = fstat(fileno(f), &fst) == 0;
        auto check = std::make_shared<PortCheck>();
        parse_port_file(f, slot, check.get(), &c.problem);
        fclose(f);
        t_port_file_reads++;
        t_port_fresh = true;
        c.check = check->kind == kCheckTcp ? nullptr : std::move(check);
        if (!known)
            return 0;
        // A file changed within a tick of its reading may change again with
        // the same time stamp (and size): trust its times only once its last
        // change lies well before a reading.
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        c.settled = settled(fst.st_mtim, now) && settled(fst.st_ctim, now);
        c.path = path;
        c.dev = fst.st_dev;
        c.ino = fst.st_ino;
        c.size = fst.st_size;
        c.mtime = fst.st_mtim;
        c.ctime = fst.st_ctim;
        c.port = slot->port;
        memcpy(c.label, slot->port_label, sizeof c.label);
        memcpy(c.mail, slot->port_mail, sizeof c.mail);
        c.valid = true;
        return 0;
    }
    if (clean)
        remember_dir(d, dst, key, -1);
    c.valid = false;
    return 1;
}

namespace {

// The side record of a slot of the running data map; null for a slot
// outside it (a test's own records).
SideRecord *side_for(const GroupRecord *g, const NodeRecord *slot) {
    if (!g_side || !g_groups || g < g_groups || g >= g_groups + g_group_count)
        return nullptr;
    return side_of(g, slot);
}

enum Outcome { kNone, kUp, kDown };

// One connect to the port within the group's time-out; why says what failed.
// Made non-blocking at once: a probe is a handful of system calls, and on a
// large farm each one counts. A fresh socket's mode is O_RDWR.
Outcome connect_probe(const sockaddr *sa, socklen_t len, const GroupRecord *g, const char **why) {
    Outcome outcome = kDown;
    *why = "refused";
    int s = socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        lerror("kord", "socket", LOG_ERR, 0);
        return kNone;
    }
    if (connect(s, sa, len) == 0) {
        outcome = kUp;
    } else if (errno == EWOULDBLOCK || errno == EINPROGRESS) {
        // poll, not select: kord's descriptors run far past FD_SETSIZE.
        const int64_t start_us = mono_us();
        struct pollfd p{s, POLLIN | POLLOUT, 0};
        int r;
        for (;;) {
            int64_t left_us = int64_t(g->timeout_us) - (mono_us() - start_us);
            r = poll(&p, 1, left_us > 0 ? int((left_us + 999) / 1000) : 0);
            if (r < 0 && errno == EINTR)
                continue;
            break;
        }
        if (r < 0) {
            *why = strerror(errno);
        } else if (r == 0) {
            *why = "timed out";
        } else if (p.revents & (POLLIN | POLLOUT | POLLERR | POLLHUP)) {
            int err = 0;
            socklen_t elen = sizeof err;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &elen) != 0)
                *why = strerror(errno);
            else if (err == 0)
                outcome = kUp;
            else
                *why = connect_error_text(err);
        } else {
            outcome = kNone;
        }
    } else {
        *why = connect_error_text(errno);
    }
    block(s, O_RDWR);
    linger(s, outcome == kDown ? 50 : 100);
    close(s);
    return outcome;
}

// Where a port-down alert goes: the port file's address, else the group's.
void port_mail_to(const GroupRecord *g, const NodeRecord *slot, char (&to)[sizeof slot->port_mail + 1]) {
    to[0] = '\0';
    if (has_at(slot->port_mail))
        snprintf(to, sizeof to, "%.*s", int(sizeof slot->port_mail), slot->port_mail);
    else if (has_at(g->mailto))
        snprintf(to, sizeof to, "%.*s", int(sizeof g->mailto), g->mailto);
}

// The port's alert: to the port file's address, else the group's.
void port_alert(GroupRecord *g, NodeRecord *slot, const char *body) {
    char to[sizeof slot->port_mail + 1];
    port_mail_to(g, slot, to);
    if (!to[0])
        return;
    char subject[320];
    snprintf(subject, sizeof subject, "%s: %s[%s] Port %d is not responding?", g_host_name, g->name, slot->name,
             int(slot->port));
    subject[63] = '\0';  // subjects are cut to 63 characters
    AlertMail alert{{}, g->alert_interval_min};
    MailRequest &req = alert.req;
    req.to = to;
    req.from = to;
    req.subject = subject;
    req.body = body;
    alert_raise(&slot->port_status, send_alert_mail, &alert);
}

// The HTTP(S) check of a node's port: its outcome moves the port records
// exactly as a connect does.
void probe_http(uint32_t addr, GroupRecord *g, NodeRecord *slot, const PortCheck &c) {
    struct sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(slot->port);
    sa.sin_addr.s_addr = addr;
    const std::string name(slot->name, strnlen(slot->name, sizeof slot->name));
    const HttpOutcome o = run_http_check(c, reinterpret_cast<const sockaddr *>(&sa), name, g->timeout_us);
    if (SideRecord *side = side_for(g, slot)) {
        side->port_check = c.kind;
        side->http_status = o.status;
        side->http_us = o.us;
    }
    char probe[16];
    snprintf(probe, sizeof probe, "%s %u", check_kind_name(c.kind), unsigned(slot->port));
    const uint32_t before = slot->port_status.state;
    char detail[256];
    if (o.up) {
        status_ok(&slot->port_status);
        status_ok(&slot->port_summary);
        snprintf(detail, sizeof detail, "%s, %u ms", o.why.c_str(), unsigned((o.us + 500) / 1000));
        if (before == kStateFailing || before == kStateDown)
            node_log(LOG_INFO, g, slot, "%s ok again (%s)", probe, detail);
    } else {
        status_fail(&slot->port_status, g->retries);
        status_fail(&slot->port_summary, g->retries);
        snprintf(detail, sizeof detail, "%s, %u failures", o.why.c_str(), slot->port_status.failures);
        log_state_change(g, slot, probe, before, slot->port_status.state, detail);
        if (slot->port_status.state == kStateDown && !(slot->port_status.alert_flags & 3)) {
            char body[512];
            char ip[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
            snprintf(body, sizeof body, "%.*s/%s (%s): %s %s -> %s (%s)", int(sizeof g->name), g->name,
                     name.c_str(), ip, probe, state_text(before), state_text(slot->port_status.state), detail);
            port_alert(g, slot, body);
        }
    }
    alert_expire(&slot->port_status, g->alert_interval_min);
}

// The same check over IPv6: its own records, the IPv6 lines and mail.
void probe_http6(GroupRecord *g, NodeRecord *slot, SideRecord *side, const sockaddr_in6 &sa, const PortCheck &c) {
    const std::string name(slot->name, strnlen(slot->name, sizeof slot->name));
    const HttpOutcome o = run_http_check(c, reinterpret_cast<const sockaddr *>(&sa), name, g->timeout_us);
    side->port_check = c.kind;
    side->http_status6 = o.status;
    side->http_us6 = o.us;
    char probe[16];
    snprintf(probe, sizeof probe, "%s6 %u", check_kind_name(c.kind), unsigned(slot->port));
    const uint32_t before = side->port6.state;
    char detail[256];
    if (o.up) {
        status_ok(&side->port6);
        snprintf(detail, sizeof detail, "%s, %u ms", o.why.c_str(), unsigned((o.us + 500) / 1000));
        if (before == kStateFailing || before == kStateDown)
            node_log6(LOG_INFO, g, slot, "%s ok again (%s)", probe, detail);
    } else {
        status_fail(&side->port6, g->retries);
        snprintf(detail, sizeof detail, "%s, %u failures", o.why.c_str(), side->port6.failures);
        log_state_change6(g, slot, probe, before, side->port6.state, detail);
        char to[sizeof slot->port_mail + 1];
        port_mail_to(g, slot, to);
        if (to[0] && side->port6.state == kStateDown && !(side->port6.alert_flags & 3)) {
            char subject[320], body[512], ip[INET6_ADDRSTRLEN] = "?";
            snprintf(subject, sizeof subject, "%s: %s[%s] Port %d (IPv6) is not responding?", g_host_name, g->name,
                     slot->name, int(slot->port));
            subject[63] = '\0';  // subjects are cut to 63 characters
            inet_ntop(AF_INET6, &sa.sin6_addr, ip, sizeof ip);
            snprintf(body, sizeof body, "%.*s/%s (%s): %s %s -> %s (%s)", int(sizeof g->name), g->name, name.c_str(),
                     ip, probe, state_text(before), state_text(side->port6.state), detail);
            MailRequest req{};
            req.to = to;
            req.from = to;
            req.subject = subject;
            req.body = body;
            alert_raise(&side->port6, send_mail, &req);
        }
    }
    alert_expire(&side->port6, g->alert_interval_min);
}

}  // namespace

int probe_port(uint32_t addr, GroupRecord *g, NodeRecord *slot) {
    const uint16_t old_port = slot->port;
    if (read_port_file_cached(g, slot) == 1)
        return -3;
    const PortFileCache &pc = t_port_cache;
    if (t_port_fresh && !pc.problem.empty())
        node_log(LOG_WARNING, g, slot, "port file %s: %s; probing with a bare connect", pc.path.c_str(),
                 pc.problem.c_str());
    // An edit that moves the probe is news; the first reading is not.
    if (slot->port != old_port && t_port_known)
        node_log(LOG_INFO, g, slot, "port file %s: probing port %u (was %u)", pc.path.c_str(),
                 unsigned(slot->port), unsigned(old_port));
    if (t_port_fresh) {
        std::string now = describe_check(slot->port, pc.check ? *pc.check : PortCheck{});
        if (t_port_known && now != t_port_check && slot->port != 0 && slot->port == old_port)
            node_log(LOG_INFO, g, slot, "port file %s: checking %s (was %s)", pc.path.c_str(), now.c_str(),
                     t_port_check.c_str());
        t_port_check = std::move(now);
    }
    t_port_known = true;
    if (slot->port == 0) {
        alert_expire(&slot->port_status, g->alert_interval_min);
        return 0;
    }
    status_step(&slot->port_status, g->retries);
    // Copied out: a later reading may replace the cached one.
    if (std::shared_ptr<const PortCheck> check = pc.valid ? pc.check : nullptr) {
        probe_http(addr, g, slot, *check);
        return 0;
    }
    if (SideRecord *side = side_for(g, slot)) {
        side->port_check = kCheckTcp;
        side->http_status = 0;
        side->http_us = 0;
    }

    struct sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(slot->port);
    sa.sin_addr.s_addr = addr;
    const char *why;
    const Outcome outcome = connect_probe(reinterpret_cast<sockaddr *>(&sa), sizeof sa, g, &why);

    char probe[16];
    snprintf(probe, sizeof probe, "port %u", unsigned(slot->port));
    const uint32_t before = slot->port_status.state;
    if (outcome == kUp) {
        status_ok(&slot->port_status);
        status_ok(&slot->port_summary);
        log_state_change(g, slot, probe, before, slot->port_status.state, "connected");
    } else if (outcome == kDown) {
        status_fail(&slot->port_status, g->retries);
        status_fail(&slot->port_summary, g->retries);
        char detail[96];
        snprintf(detail, sizeof detail, "%s, %u failures", why, slot->port_status.failures);
        log_state_change(g, slot, probe, before, slot->port_status.state, detail);
        port_alert(g, slot, "Port Down!");
    }
    alert_expire(&slot->port_status, g->alert_interval_min);
    return 0;
}

int probe_port6(GroupRecord *g, NodeRecord *slot, SideRecord *side, bool read_file) {
    if (read_file && read_port_file_cached(g, slot) == 1)
        return -3;
    if (slot->port == 0) {
        alert_expire(&side->port6, g->alert_interval_min);
        return 0;
    }
    status_step(&side->port6, g->retries);
    struct sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(slot->port);
    memcpy(&sa.sin6_addr, side->addr6, sizeof side->addr6);
    if (std::shared_ptr<const PortCheck> check = t_port_cache.valid ? t_port_cache.check : nullptr) {
        probe_http6(g, slot, side, sa, *check);
        return 0;
    }
    side->http_status6 = 0;
    side->http_us6 = 0;
    const char *why;
    const Outcome outcome = connect_probe(reinterpret_cast<sockaddr *>(&sa), sizeof sa, g, &why);
    char probe[16];
    snprintf(probe, sizeof probe, "port6 %u", unsigned(slot->port));
    const uint32_t before = side->port6.state;
    if (outcome == kUp) {
        status_ok(&side->port6);
        log_state_change6(g, slot, probe, before, side->port6.state, "connected");
    } else if (outcome == kDown) {
        status_fail(&side->port6, g->retries);
        char detail[96];
        snprintf(detail, sizeof detail, "%s, %u failures", why, side->port6.failures);
        log_state_change6(g, slot, probe, before, side->port6.state, detail);
        char to[sizeof slot->port_mail + 1];
        port_mail_to(g, slot, to);
        if (to[0]) {
            char subject[320];
            snprintf(subject, sizeof subject, "%s: %s[%s] Port %d (IPv6) is not responding?", g_host_name,
                     g->name, slot->name, int(slot->port));
            subject[63] = '\0';  // subjects are cut to 63 characters
            MailRequest req{};
            req.to = to;
            req.from = to;
            req.subject = subject;
            req.body = "Port Down over IPv6!";
            alert_raise(&side->port6, send_mail, &req);
        }
    }
    alert_expire(&side->port6, g->alert_interval_min);
    return 0;
}

}  // namespace kord
