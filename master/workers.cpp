// Node monitor workers: one thread per used node slot pings the node, probes
// its port, asks its agent, and keeps the slot's status records and alerts.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <link.h>
#include <linux/futex.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <random>
#include <semaphore.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "maps/notify.h"
#include "master/kord.h"

namespace kord {

namespace {

// Opened once every handle is stored: the workers begin. Shared by all the
// workers start_workers makes, so that one wake-up releases ten thousand;
// a bare futex, so that they need no lock on the way out (a condition
// variable would hand one mutex through all of them in turn).
struct Gate {
    std::atomic<uint32_t> open{0};
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word");
    uint32_t *word() { return reinterpret_cast<uint32_t *>(&open); }
    void wait() {
        while (open.load(std::memory_order_acquire) == 0)
            syscall(SYS_futex, word(), FUTEX_WAIT_PRIVATE, 0u, nullptr, nullptr, 0);
    }
    void release() {
        open.store(1, std::memory_order_release);
        syscall(SYS_futex, word(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }
};

// What the slot's handle words stand for: entry (word - 1) of this table.
struct Worker {
    NodeRecord *slot = nullptr;
    GroupRecord *group = nullptr;
    pthread_t thread{};
    std::mutex mutex;          // the slot's mutex; kord never takes it
    // The stop event: a word of its own, slept on with a bare futex wait
    // (an absolute deadline, nothing woken but at stop). A condition
    // variable would take a mutex on every wait; an eventfd and ppoll cost
    // a descriptor a node and a poll table on every pass.
    std::atomic<uint32_t> stop{0};
    int32_t tid = 0;
    sem_t started;             // the thread has its id
    std::shared_ptr<Gate> go;  // every handle is stored: begin
    ping_echo *echo = nullptr; // the echo collected at the next wake-up
};

// Well below a pass's slack (a pass may start 20 % of an interval late) and
// the detection bound's margin.
constexpr unsigned long kWorkerTimerSlackNs = 5000000;

std::mutex g_table_lock;
std::vector<std::unique_ptr<Worker>> g_table;


uint32_t now_s() { return static_cast<uint32_t>(time(nullptr)); }

bool has_at(const char *s, size_t n) { return s[0] && memchr(s, '@', strnlen(s, n)); }

uint64_t now_us() { return uint64_t(mono_us()); }

void end_worker(Worker *w, int code);

// Waits up to us microseconds; true when the stop event was signalled. The
// one place a worker sleeps between passes, so it is also where a stop
// request is seen; a wait that cannot be made ends the worker.
bool wait_or_stop(Worker *w, uint64_t us) {
    struct timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    uint64_t ns = uint64_t(due.tv_nsec) + us % 1000000 * 1000;
    due.tv_sec += static_cast<time_t>(us / 1000000 + ns / 1000000000);
    due.tv_nsec = static_cast<long>(ns % 1000000000);
    for (;;) {
        if (w->stop.load(std::memory_order_acquire))
            return true;
        long r = syscall(SYS_futex, &w->stop, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0, &due, nullptr,
                         FUTEX_BITSET_MATCH_ANY);
        if (r == 0 || errno == EAGAIN || errno == EINTR)
            continue;   // woken, or the word changed: look again
        if (errno == ETIMEDOUT)
            return w->stop.load(std::memory_order_acquire) != 0;
        port_syslog(LOG_ERR, "kord(%d): Node %s WaitForSingleObject() failed: %s\n", int(w->slot->thread_id),
                    w->slot->name, GetLastErrorString("kord", "WaitForSingleObject", 0));
        end_worker(w, -1);
    }
}

// A warning that may repeat every pass is logged at most once per alert
// interval; the ones in between are counted.
struct Repeats {
    bool any = false;
    uint32_t last = 0;       // when it was last logged
    uint32_t left_out = 0;   // since then
    bool due(uint32_t minutes) {
        uint32_t now = now_s();
        if (any && now - last < minutes * 60u) {
            left_out++;
            return false;
        }
        any = true;
        last = now;
        return true;
    }
    // The count to report with a line just allowed by due(); starts again.
    uint32_t take() {
        uint32_t n = left_out;
        left_out = 0;
        return n;
    }
};

const char *ping_failure_text(int rtt) {
    switch (rtt) {
    case -10: return "send timed out";
    case -11: return "no reply in time";
    case -12: return "receive timed out";
    default: return "no answer";
    }
}

// Mails a down alert for one status, or only raises the flags without an
// address to mail to.
// An IPv6 status's subject names the family.
void down_alert(GroupRecord *g, NodeRecord *s, ProbeStatus *st, const char *body, bool v6 = false) {
    if (has_at(g->mailto, sizeof g->mailto)) {
        char to[sizeof g->mailto + 1];
        snprintf(to, sizeof to, "%.*s", int(sizeof g->mailto), g->mailto);
        char subject[256];
        snprintf(subject, sizeof subject, "%s: %s %s%s", g_host_name, g->name, s->name, v6 ? " (IPv6)" : "");
        AlertMail alert{{}, g->alert_interval_min};
        MailRequest &req = alert.req;
        req.to = to;
        req.from = to;
        req.subject = subject;
        req.body = body;
        alert_raise(st, send_alert_mail, &alert);
    } else {
        alert_raise(st, nullptr, nullptr);
    }
    alert_expire(st, g->alert_interval_min);
}

void end_worker(Worker *w, int code) {
    ping_echo_close(w->echo);
    w->echo = nullptr;
    w->slot->thread_id = 0;
    w->slot->worker_tid = 0;
    pthread_exit(reinterpret_cast<void *>(static_cast<intptr_t>(code)));
}

}  // namespace

// ---- log lines about nodes ----

const char *state_text(uint32_t state) {
    const char *name = state_name(state);
    return name ? name : "unknown";
}

const char *connect_error_text(int err) {
    switch (err) {
    case ECONNREFUSED: return "refused";
    case ETIMEDOUT: return "timed out";
    case EHOSTUNREACH: return "host unreachable";
    case ENETUNREACH: return "network unreachable";
    case ECONNRESET: return "reset";
    default: return strerror(err);
    }
}

namespace {

// An IPv6-only node's lines name its IPv6 address.
void vnode_log(int priority, const GroupRecord *g, const NodeRecord *s, bool v6, const char *fmt, va_list ap) {
    char text[768];
    vsnprintf(text, sizeof text, fmt, ap);
    char addr[INET6_ADDRSTRLEN] = "?";
    if (v6 || s->addr == 0) {
        inet_ntop(AF_INET6, side_of(g, s)->addr6, addr, sizeof addr);
    } else {
        struct in_addr a;
        a.s_addr = s->addr;
        inet_ntop(AF_INET, &a, addr, sizeof addr);
    }
    port_syslog(priority, "%.*s/%.*s (%s): %s", int(sizeof g->name), g->name, int(sizeof s->name), s->name,
                addr, text);
}

void state_change(const GroupRecord *g, const NodeRecord *s, bool v6, const char *probe, uint32_t before,
                  uint32_t after, const char *detail) {
    if (before != after) notice_change();
    // A node found up at its first probe is no news.
    if (before == after || (before == 0 && after == kStateUp))
        return;
    (v6 ? node_log6 : node_log)(after == kStateUp ? LOG_INFO : LOG_WARNING, g, s, "%s %s -> %s (%s)", probe,
                                state_text(before), state_text(after), detail);
}

}  // namespace

void node_log(int priority, const GroupRecord *g, const NodeRecord *s, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vnode_log(priority, g, s, false, fmt, ap);
    va_end(ap);
}

void node_log6(int priority, const GroupRecord *g, const NodeRecord *s, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vnode_log(priority, g, s, true, fmt, ap);
    va_end(ap);
}

void log_state_change(const GroupRecord *g, const NodeRecord *s, const char *probe, uint32_t before,
                      uint32_t after, const char *detail) {
    state_change(g, s, false, probe, before, after, detail);
}

void log_state_change6(const GroupRecord *g, const NodeRecord *s, const char *probe, uint32_t before,
                       uint32_t after, const char *detail) {
    state_change(g, s, true, probe, before, after, detail);
}

// ---- status records ----

void status_step(ProbeStatus *s, uint32_t retries) {
    if (++s->cycle > retries)
        s->cycle = 0;
}

void status_ok(ProbeStatus *s) {
    s->state = kStateUp;
    s->failures = 0;
}

void status_fail(ProbeStatus *s, uint32_t retries) {
    uint32_t f = s->failures;
    s->failures = f + 1;
    if (f == retries)
        s->state = kStateDown;
    else if (f + 1 < retries && s->state != kStateDown)
        s->state = kStateFailing;
}

int alert_raise(ProbeStatus *s, alert_sender sender, void *record) {
    if (s->state != kStateDown || (s->alert_flags & 3))
        return 0;
    s->alert_time = now_s();
    s->alert_flags |= 3;
    return sender ? sender(record) : 0;
}

void alert_expire(ProbeStatus *s, uint32_t minutes) {
    if ((s->alert_flags & 2) && now_s() - s->alert_time > minutes * 60u)
        s->alert_flags &= ~3u;
}

void latch_alert(AlertLatch *l, uint32_t minutes, ThresholdAlert *record) {
    if (!(l->flags & 1)) {
        l->time = now_s();
        l->flags |= 3;
        if (record && record->sender)
            record->sender(record);
    }
    if ((l->flags & 2) && now_s() - l->time > minutes * 60u)
        l->flags &= ~3u;
}

int threshold_mail(void *record) {
    auto *r = static_cast<ThresholdAlert *>(record);
    if (!r || !r->group || !r->group->mailto[0])
        return -1;
    GroupRecord *g = r->group;
    char to[sizeof g->mailto + 1];
    snprintf(to, sizeof to, "%.*s", int(sizeof g->mailto), g->mailto);
    char subject[256];
    snprintf(subject, sizeof subject, "%s: %s(%s)", g_host_name, g->name, r->slot->name);
    MailRequest req{};
    req.to = to;
    req.from = to;
    req.subject = subject;
    req.body = r->text;
    post_alert_mail(&req, g->alert_interval_min);   // handed over: the mailer logs what becomes of it
    return 0;
}

void check_thresholds(GroupRecord *g, NodeRecord *s) {
    ThresholdAlert rec{};
    rec.sender = threshold_mail;
    rec.group = g;
    rec.slot = s;
    rec.group2 = g;
    const uint32_t minutes = g->alert_interval_min;
    const AgentStats &a = s->agent_stats;

    uint32_t free_kb = a.word[2];
    const uint32_t bits_before = (s->mem_status & kMemLowBit) | (s->conn_status & kConnHighBit) |
                                 (s->fs_summary & kFsAnyBit);
    const bool mem_was_low = s->mem_status & kMemLowBit;
    if (free_kb < s->min_vm) {
        if (!mem_was_low)
            node_log(LOG_WARNING, g, s, "memory low: %u K < min_vm %u K", free_kb, s->min_vm);
        snprintf(rec.text, sizeof rec.text, "Memory %d K < required minimum %d K.", int(free_kb),
                 int(s->min_vm));
        latch_alert(&s->mem_latch, minutes, &rec);
        s->mem_status |= kMemLowBit;
    } else {
        if (mem_was_low)
            node_log(LOG_INFO, g, s, "memory ok again: %u K >= min_vm %u K", free_kb, s->min_vm);
        s->mem_status &= ~kMemLowBit;
    }

    bool any_low = false;
    for (int k = 0; k < 8; k++) {
        const DriveInfo &d = a.drive[k];
        char name[sizeof d.name + 1];
        snprintf(name, sizeof name, "%.*s", int(sizeof d.name), d.name);
        const bool was_low = s->fs_status[k] & kFsLowBit;
        if (d.total_mb != 0 && strchr(name, '/') && d.free_mb < s->min_fs) {
            if (!was_low)
                node_log(LOG_WARNING, g, s, "file system '%s' low: %u M < min_fs %u M", name, d.free_mb,
                         s->min_fs);
            snprintf(rec.text, sizeof rec.text, "File System '%s': space %d M < minimum %d M.", name,
                     int(d.free_mb), int(s->min_fs));
            latch_alert(&s->fs_latch[k], minutes, &rec);
            s->fs_status[k] |= kFsLowBit;
        } else {
            if (was_low)
                node_log(LOG_INFO, g, s, "file system '%s' ok again: %u M free, min_fs %u M", name,
                         d.free_mb, s->min_fs);
            s->fs_status[k] &= ~kFsLowBit;
        }
        any_low = any_low || (s->fs_status[k] & kFsLowBit);
    }
    if (any_low)
        s->fs_summary |= kFsAnyBit;
    else
        s->fs_summary &= ~kFsAnyBit;

    int32_t conns = static_cast<int32_t>(a.word[11]);
    const bool conn_was_high = s->conn_status & kConnHighBit;
    if (conns > s->max_connections) {
        if (!conn_was_high)
            node_log(LOG_WARNING, g, s, "connections high: %d > max_connections %d", conns, s->max_connections);
        snprintf(rec.text, sizeof rec.text, "%s has exceeded maximum connection limit (%d > maximum %d).",
                 s->name, conns, s->max_connections);
        latch_alert(&s->conn_latch, minutes, &rec);
        s->conn_status |= kConnHighBit;
    } else {
        if (conn_was_high)
            node_log(LOG_INFO, g, s, "connections ok again: %d <= max_connections %d", conns,
                     s->max_connections);
        s->conn_status &= ~kConnHighBit;
    }
    if (((s->mem_status & kMemLowBit) | (s->conn_status & kConnHighBit) | (s->fs_summary & kFsAnyBit)) != bits_before)
        notice_change();
}

// ---- the worker ----

namespace {

// Asks the node's agent; its report stands for both families.
void agent_pass(GroupRecord *g, NodeRecord *s, Repeats &warnings, char *detail, size_t size) {
    status_step(&s->agent, g->retries);
    const uint32_t before = s->agent.state;
    if (query_agent_why(g, s, detail, size) == 0) {
        status_ok(&s->agent);
        log_state_change(g, s, "agent", before, s->agent.state, "answered");
        return;
    }
    status_fail(&s->agent, g->retries);
    if (warnings.due(g->alert_interval_min)) {
        if (uint32_t n = warnings.take())
            node_log(LOG_WARNING, g, s, "agent query failed (%s), %u warnings left out", detail, n);
        else
            node_log(LOG_WARNING, g, s, "agent query failed (%s)", detail);
    }
    log_state_change(g, s, "agent", before, s->agent.state, detail);
    down_alert(g, s, &s->agent, "Cluster Agent went down?");
}

// Local ICMP errors (no socket, a refused send) of one family, as the
// worker keeps them from pass to pass.
struct LocalErrors {
    uint32_t passes = 0;   // consecutive passes that ended in a local error
    Repeats warnings;
};

// The IPv6 half of a pass: ICMPv6 echo, then the port over IPv6 when it
// answers. States, failures and round trip of their own, with the group's
// retries and time-out. A local error is handled as over IPv4: tried again
// at once, then counted as a failure only once it has lasted retries + 1
// passes. True when the node answered.
bool probe_ipv6(GroupRecord *g, NodeRecord *s, SideRecord *x, LocalErrors &local) {
    status_step(&x->ping6, g->retries);
    int rtt = ping6(x->addr6, static_cast<int32_t>(g->timeout_us));
    if (rtt < 0 && rtt > -10) {
        if (local.warnings.due(g->alert_interval_min)) {
            if (uint32_t n = local.warnings.take())
                node_log6(LOG_WARNING, g, s, "ping6 local error %d repeated, %u warnings left out", rtt, n);
            else
                node_log6(LOG_WARNING, g, s, "ping6 local error %d", rtt);
        }
        rtt = ping6(x->addr6, static_cast<int32_t>(g->timeout_us));   // the one retry
    }
    x->last_ping6 = rtt;
    char detail[160];
    const uint32_t before = x->ping6.state;
    if (rtt < 0 && rtt > -10) {
        // A local failure that persists (an output firewall rule, a lost
        // route) must not keep a dead node in the AAAA set for ever.
        if (++local.passes == 1)
            node_log6(LOG_WARNING, g, s, "ping6 local errors begin (rtt %d)", rtt);
        if (local.passes >= g->retries + 1) {
            status_fail(&x->ping6, g->retries);
            snprintf(detail, sizeof detail, "local error, rtt %d, %u passes", rtt, local.passes);
            log_state_change6(g, s, "ping6", before, x->ping6.state, detail);
            down_alert(g, s, &x->ping6, "Cluster Node went down over IPv6?", true);
        }
        return false;
    }
    if (local.passes) {
        node_log6(LOG_INFO, g, s, "ping6 local errors end after %u passes (rtt %d)", local.passes, rtt);
        local.passes = 0;
    }
    if (rtt < 0) {
        status_fail(&x->ping6, g->retries);
        snprintf(detail, sizeof detail, "%s, rtt %d, %u failures", ping_failure_text(rtt), rtt, x->ping6.failures);
        log_state_change6(g, s, "ping6", before, x->ping6.state, detail);
        down_alert(g, s, &x->ping6, "Cluster Node went down over IPv6?", true);
        return false;
    }
    status_ok(&x->ping6);
    snprintf(detail, sizeof detail, "rtt %d ms", rtt);
    log_state_change6(g, s, "ping6", before, x->ping6.state, detail);
    alert_expire(&x->ping6, g->alert_interval_min);
    probe_port6(g, s, x, s->addr == 0);
    return true;
}

// Whether this pass's echo may be collected at the next wake-up instead of
// being waited for. Only while the node is up and answering, and only where
// one missed reply cannot take it down: a missed reply is then seen at the
// next pass, which waits for its own reply again, so the node is down as
// soon as when every reply is waited for. A node that is not up (coming up,
// failing) waits, so that a change is seen at once.
bool reply_can_wait(const GroupRecord *g, const NodeRecord *s) {
    return g->retries >= 1 && g->timeout_us < g->interval_us && s->ping.state == kStateUp &&
           s->ping.failures == 0 && s->last_ping >= 0;
}

// Whether the group's method asks the agents.
bool asks_agent(const GroupRecord *g) { return !(g->method & (kMethodRtt | kMethodFailsafe | kMethodTrafficAlloc)); }

}  // namespace

void *node_worker(void *arg) {
    auto *w = static_cast<Worker *>(arg);
    w->tid = port_gettid();
    sem_post(&w->started);
    w->go->wait();

    NodeRecord *s = w->slot;
    GroupRecord *g = w->group;

    // A worker's interval may end a few milliseconds late: the kernel then
    // ends the waits of several workers on one timer interrupt instead of
    // waking the processor for each (on a virtual machine, each of those
    // costs about as much as the pass itself).
    prctl(PR_SET_TIMERSLACK, kWorkerTimerSlackNs, 0, 0, 0);

    // Spread the workers' first probes over the first interval so that they
    // do not all fire in the same instant.
    {
        std::minstd_rand rng(static_cast<uint32_t>(w->tid) * 2654435761u);
        uint64_t offset = g->interval_us ? rng() % g->interval_us : 0;
        if (wait_or_stop(w, offset))
            end_worker(w, 1);
    }

    // The interval runs from the start of a pass, so a pass that waited out
    // a silent node's time-out does not push the next one back.
    bool retried = false;          // this pass already retried a local error
    uint32_t local_passes = 0;     // consecutive passes that ended in a local error
    Repeats local_warnings, agent_warnings;
    LocalErrors local6;
    uint64_t pass_start = now_us();
    auto wait_rest_of_interval = [&]() {
        uint64_t due = pass_start + g->interval_us, now = now_us();
        return wait_or_stop(w, due > now ? due - now : 0);
    };
    char detail[160];
    // Null without memory: every echo is then waited for.
    w->echo = ping_echo_open();
    for (;;) {
        if (!retried)
            pass_start = now_us();

        SideRecord *x = side_of(g, s);
        bool up6 = false;
        if (!retried && has_addr6(x))
            up6 = probe_ipv6(g, s, x, local6);
        if (s->addr == 0) {
            // IPv6 only: its agent is asked over IPv6 when the node answered.
            if (up6 && asks_agent(g))
                agent_pass(g, s, agent_warnings, detail, sizeof detail);
            if (wait_rest_of_interval())
                end_worker(w, 1);
            continue;
        }

        status_step(&s->ping, g->retries);
        int rtt;
        bool waited = false;   // the interval is over already
        if (w->echo && !retried && local_passes == 0 && reply_can_wait(g, s)) {
            // The reply is taken at the next wake-up, not woken for: one
            // wake-up a pass. The receiver has matched it long before.
            rtt = ping_echo_send(w->echo, s->addr, static_cast<int32_t>(g->timeout_us));
            if (rtt == 0) {
                if (wait_rest_of_interval())
                    end_worker(w, 1);
                waited = true;
                rtt = ping_echo_collect(w->echo);
            }
        } else {
            rtt = ping(s->addr, static_cast<int32_t>(g->timeout_us));
        }
        s->last_ping = rtt;
        auto next_pass = [&]() {
            if (!waited && wait_rest_of_interval())
                end_worker(w, 1);
        };

        if (rtt < 0 && rtt > -10) {
            if (local_warnings.due(g->alert_interval_min)) {
                port_syslog(LOG_WARNING, "KORD(%d): %s ICMP rtt %d?", int(s->thread_id), s->name, rtt);
                if (uint32_t n = local_warnings.take())
                    node_log(LOG_WARNING, g, s, "ping local error %d repeated, %u warnings left out", rtt, n);
            }
            // One local error is retried at once.
            if (!retried) {
                retried = true;
                continue;
            }
            retried = false;
            // A local failure that persists (an output firewall rule, a lost
            // route) must not keep a dead node up: after retries + 1 such
            // passes in a row each further one counts as a failure.
            if (++local_passes == 1)
                node_log(LOG_WARNING, g, s, "ping local errors begin (rtt %d)", rtt);
            if (local_passes >= g->retries + 1) {
                uint32_t before = s->ping.state;
                status_fail(&s->ping, g->retries);
                snprintf(detail, sizeof detail, "local error, rtt %d, %u passes", rtt, local_passes);
                log_state_change(g, s, "ping", before, s->ping.state, detail);
                down_alert(g, s, &s->ping, "Cluster Node went down?");
            }
            next_pass();
            continue;
        }
        retried = false;
        if (local_passes) {
            node_log(LOG_INFO, g, s, "ping local errors end after %u passes (rtt %d)", local_passes, rtt);
            local_passes = 0;
        }

        if (rtt <= -10) {
            uint32_t before = s->ping.state;
            status_fail(&s->ping, g->retries);
            snprintf(detail, sizeof detail, "%s, rtt %d, %u failures", ping_failure_text(rtt), rtt,
                     s->ping.failures);
            log_state_change(g, s, "ping", before, s->ping.state, detail);
            down_alert(g, s, &s->ping, "Cluster Node went down?");
            next_pass();
            continue;
        }

        uint32_t before = s->ping.state;
        status_ok(&s->ping);
        if (s->ping.state != before) {
            snprintf(detail, sizeof detail, "rtt %d ms", rtt);
            log_state_change(g, s, "ping", before, s->ping.state, detail);
        }
        probe_port(s->addr, g, s);

        if (asks_agent(g))
            agent_pass(g, s, agent_warnings, detail, sizeof detail);

        next_pass();
    }
}

size_t worker_stack_size(void) {
    static const size_t size = [] {
        // glibc carves each thread's static TLS (every module loaded at
        // start) out of its stack: add it, so that the stack proper stays
        // kWorkerStack however much TLS the libraries hold.
        size_t tls = 0;
        dl_iterate_phdr(
            [](struct dl_phdr_info *info, size_t, void *data) {
                for (int i = 0; i < info->dlpi_phnum; i++)
                    if (info->dlpi_phdr[i].p_type == PT_TLS)
                        *static_cast<size_t *>(data) +=
                            info->dlpi_phdr[i].p_memsz + info->dlpi_phdr[i].p_align;
                return 0;
            },
            &tls);
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        // The thread descriptor and glibc's spare static TLS live there too.
        size_t total = kWorkerStack + tls + 16 * 1024;
        return (total + page - 1) / page * page;
    }();
    return size;
}

namespace {

// The thread of a new worker, started but held until finish_worker; null
// when it could not be made.
Worker *spawn_worker(int gi, int i, std::shared_ptr<Gate> go) {
    GroupRecord *g = &g_groups[gi];
    NodeRecord *s = &g->slot[i];
    s->group_index = static_cast<uint32_t>(gi);
    s->slot_index = static_cast<uint32_t>(i);

    auto w = std::make_unique<Worker>();
    w->slot = s;
    w->group = g;
    sem_init(&w->started, 0, 0);
    w->go = std::move(go);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, worker_stack_size());
    pthread_attr_setguardsize(&attr, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
    int rc = pthread_create(&w->thread, &attr, node_worker, w.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        port_syslog(LOG_ERR, "CreateChild: CreateThread() %d failed!", gi);
        return nullptr;
    }
    return w.release();
}

// Stores the worker's handles in its slot; its thread id. Opening the gate
// lets it begin.
uint32_t finish_worker(Worker *wp) {
    std::unique_ptr<Worker> w(wp);
    sem_wait(&w->started);
    uint32_t tid = static_cast<uint32_t>(w->tid);
    NodeRecord *s = w->slot;
    uint32_t handle;
    {
        std::lock_guard<std::mutex> lock(g_table_lock);
        g_table.push_back(std::move(w));
        handle = static_cast<uint32_t>(g_table.size());
    }
    s->worker_handle = handle;
    s->worker_tid = tid;
    s->worker_mutex = handle;
    s->worker_stop = handle;
    s->thread_id = tid;  // the worker's id in both words before it starts
    return tid;
}

}  // namespace

uint32_t CreateChild(int gi, int i) {
    auto go = std::make_shared<Gate>();
    Worker *w = spawn_worker(gi, i, go);
    if (!w)
        return 0;
    uint32_t tid = finish_worker(w);
    go->release();
    return tid;
}

void start_workers(void) {
    if (!g_groups)
        return;
    // All threads first, then their handles, then the go: no thread waits
    // to be scheduled before the next one is made, and none probes (taking
    // the processors) while the rest are still being made.
    const uint64_t t0 = now_us();
    auto go = std::make_shared<Gate>();
    std::vector<std::pair<NodeRecord *, Worker *>> pending;
    for (int gi = 0; gi < g_group_count; gi++) {
        GroupRecord *g = &g_groups[gi];
        if (g->peer[0] || !g->name[0] || !g->domain[0] || g->node_count == 0)
            continue;
        uint32_t started = 0;
        for (int k = 0; k < kSlotsPerGroup && g->slot[k].name[0]; k++) {
            if (started < g->node_count) {
                pending.emplace_back(&g->slot[k], spawn_worker(gi, static_cast<int>(started), go));
                started++;
            }
        }
        g->worker_count = started;
    }
    size_t running = 0;
    for (auto &[slot, w] : pending) {
        slot->thread_id = w ? finish_worker(w) : 0;
        running += slot->thread_id != 0;
    }
    port_syslog(LOG_INFO, "node workers: %zu of %zu started in %llu ms (stack %zu KiB)", running, pending.size(),
                static_cast<unsigned long long>((now_us() - t0) / 1000), worker_stack_size() / 1024);
    go->release();
}

void stop_workers(void) {
    if (!g_groups)
        return;
    std::lock_guard<std::mutex> lock(g_table_lock);
    for (int gi = 0; gi < g_group_count; gi++) {
        GroupRecord *g = &g_groups[gi];
        for (int k = 0; k < kSlotsPerGroup && g->slot[k].name[0]; k++) {
            NodeRecord *s = &g->slot[k];
            uint32_t h = s->worker_stop;
            if (s->worker_tid == 0 || h == 0 || h > g_table.size())
                continue;
            Worker *w = g_table[h - 1].get();
            if (w->slot != s)
                continue;  // a stale handle left in the map by an earlier run
            // The table keeps every worker's record: one that has ended
            // finds the word set and nobody waiting.
            w->stop.store(1, std::memory_order_release);
            syscall(SYS_futex, &w->stop, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
        }
    }
}

}  // namespace kord
