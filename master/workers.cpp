// Node monitor workers: one thread per used node slot pings the node, probes
// its port, asks its agent, and keeps the slot's status records and alerts.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <random>
#include <semaphore.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

#include "master/kord.h"

namespace kord {

namespace {

// What the slot's handle words stand for: entry (word - 1) of this table.
struct Worker {
    NodeRecord *slot = nullptr;
    GroupRecord *group = nullptr;
    pthread_t thread{};
    std::mutex mutex;          // the slot's mutex; kord never takes it
    int stop_fd = -1;          // the stop event
    int32_t tid = 0;
    sem_t started;             // the thread has its id
    sem_t go;                  // every handle is stored: begin
    bool cancelled = false;    // creation failed after the thread started
};

std::mutex g_table_lock;
std::vector<std::unique_ptr<Worker>> g_table;

int send_mail(void *record) { return mail(static_cast<MailRequest *>(record)); }

uint32_t now_s() { return static_cast<uint32_t>(time(nullptr)); }

bool has_at(const char *s, size_t n) { return s[0] && memchr(s, '@', strnlen(s, n)); }

uint64_t now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// Waits up to us microseconds; true when the stop event was signalled.
bool wait_or_stop(int fd, uint64_t us) {
    struct pollfd p{fd, POLLIN, 0};
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(us / 1000000);
    ts.tv_nsec = static_cast<long>(us % 1000000) * 1000;
    int r;
    do {
        r = ppoll(&p, 1, &ts, nullptr);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

// Mails a down alert for one status, or only raises the flags without an
// address to mail to.
void down_alert(GroupRecord *g, NodeRecord *s, ProbeStatus *st, const char *body) {
    if (has_at(g->mailto, sizeof g->mailto)) {
        char to[sizeof g->mailto + 1];
        snprintf(to, sizeof to, "%.*s", int(sizeof g->mailto), g->mailto);
        char subject[256];
        snprintf(subject, sizeof subject, "%s: %s %s", g_host_name, g->name, s->name);
        MailRequest req{};
        req.to = to;
        req.from = to;
        req.subject = subject;
        req.body = body;
        alert_raise(st, send_mail, &req);
    } else {
        alert_raise(st, nullptr, nullptr);
    }
    alert_expire(st, g->alert_interval_min);
}

void end_worker(Worker *w, int code) {
    w->slot->thread_id = 0;
    w->slot->worker_tid = 0;
    if (w->stop_fd >= 0)
        close(w->stop_fd);
    w->stop_fd = -1;
    pthread_exit(reinterpret_cast<void *>(static_cast<intptr_t>(code)));
}

}  // namespace

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
    return mail(&req) == 0 ? 0 : -1;
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
    if (free_kb < s->min_vm) {
        snprintf(rec.text, sizeof rec.text, "Memory %d K < required minimum %d K.", int(free_kb),
                 int(s->min_vm));
        latch_alert(&s->mem_latch, minutes, &rec);
        s->mem_status |= kMemLowBit;
    } else {
        s->mem_status &= ~kMemLowBit;
    }

    bool any_low = false;
    for (int k = 0; k < 8; k++) {
        const DriveInfo &d = a.drive[k];
        char name[sizeof d.name + 1];
        snprintf(name, sizeof name, "%.*s", int(sizeof d.name), d.name);
        if (d.total_mb != 0 && strchr(name, '/') && d.free_mb < s->min_fs) {
            snprintf(rec.text, sizeof rec.text, "File System '%s': space %d M < minimum %d M.", name,
                     int(d.free_mb), int(s->min_fs));
            latch_alert(&s->fs_latch[k], minutes, &rec);
            s->fs_status[k] |= kFsLowBit;
        } else {
            s->fs_status[k] &= ~kFsLowBit;
        }
        any_low = any_low || (s->fs_status[k] & kFsLowBit);
    }
    if (any_low)
        s->fs_summary |= kFsAnyBit;
    else
        s->fs_summary &= ~kFsAnyBit;

    int32_t conns = static_cast<int32_t>(a.word[11]);
    if (conns > s->max_connections) {
        snprintf(rec.text, sizeof rec.text, "%s has exceeded maximum connection limit (%d > maximum %d).",
                 s->name, conns, s->max_connections);
        latch_alert(&s->conn_latch, minutes, &rec);
        s->conn_status |= kConnHighBit;
    } else {
        s->conn_status &= ~kConnHighBit;
    }
}

// ---- the worker ----

void *node_worker(void *arg) {
    auto *w = static_cast<Worker *>(arg);
    w->tid = port_gettid();
    sem_post(&w->started);
    sem_wait(&w->go);
    if (w->cancelled)
        return reinterpret_cast<void *>(intptr_t(-1));

    NodeRecord *s = w->slot;
    GroupRecord *g = w->group;

    // Spread the workers' first probes over the first interval so that they
    // do not all fire in the same instant.
    {
        std::minstd_rand rng(static_cast<uint32_t>(w->tid) * 2654435761u);
        uint64_t offset = g->interval_us ? rng() % g->interval_us : 0;
        if (wait_or_stop(w->stop_fd, offset))
            end_worker(w, 1);
    }

    // The interval runs from the start of a pass, so a pass that waited out
    // a silent node's time-out does not push the next one back.
    bool last_was_local_error = false;
    uint64_t pass_start = now_us();
    auto wait_rest_of_interval = [&]() {
        uint64_t due = pass_start + g->interval_us, now = now_us();
        return wait_or_stop(w->stop_fd, due > now ? due - now : 0);
    };
    for (;;) {
        if (!last_was_local_error)
            pass_start = now_us();
        struct pollfd p{w->stop_fd, POLLIN, 0};
        int r = poll(&p, 1, 0);
        if (r > 0) {
            end_worker(w, 1);
        } else if (r < 0 && errno != EINTR) {
            port_syslog(LOG_ERR, "kord(%d): Node %s WaitForSingleObject() failed: %s\n",
                        int(s->thread_id), s->name,
                        GetLastErrorString("kord", "WaitForSingleObject", 0));
            end_worker(w, -1);
        }

        status_step(&s->ping, g->retries);
        int rtt = ping(s->addr, static_cast<int32_t>(g->timeout_us));
        s->last_ping = rtt;

        if (rtt < 0 && rtt > -10) {
            port_syslog(LOG_WARNING, "KORD(%d): %s ICMP rtt %d?", int(s->thread_id), s->name, rtt);
            // One local error is retried at once; a second in a row (no raw
            // socket, say) waits the interval rather than spinning.
            if (!last_was_local_error) {
                last_was_local_error = true;
                continue;
            }
            if (wait_or_stop(w->stop_fd, g->interval_us))
                end_worker(w, 1);
            last_was_local_error = false;
            continue;
        }
        last_was_local_error = false;

        if (rtt <= -10) {
            status_fail(&s->ping, g->retries);
            down_alert(g, s, &s->ping, "Cluster Node went down?");
            if (wait_rest_of_interval())
                end_worker(w, 1);
            continue;
        }

        status_ok(&s->ping);
        probe_port(s->addr, g, s);

        if (!(g->method & (kMethodRtt | kMethodFailsafe | kMethodTrafficAlloc))) {
            status_step(&s->agent, g->retries);
            if (query_agent(g, s) == 0) {
                status_ok(&s->agent);
            } else {
                status_fail(&s->agent, g->retries);
                down_alert(g, s, &s->agent, "Cluster Agent went down?");
            }
        }

        if (wait_rest_of_interval())
            end_worker(w, 1);
    }
}

uint32_t CreateChild(int gi, int i) {
    GroupRecord *g = &g_groups[gi];
    NodeRecord *s = &g->slot[i];
    s->group_index = static_cast<uint32_t>(gi);
    s->slot_index = static_cast<uint32_t>(i);

    auto w = std::make_unique<Worker>();
    w->slot = s;
    w->group = g;
    sem_init(&w->started, 0, 0);
    sem_init(&w->go, 0, 0);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    int rc = pthread_create(&w->thread, &attr, node_worker, w.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        port_syslog(LOG_ERR, "CreateChild: CreateThread() %d failed!", gi);
        return 0;
    }
    sem_wait(&w->started);
    uint32_t tid = static_cast<uint32_t>(w->tid);

    w->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w->stop_fd < 0) {
        port_syslog(LOG_ERR, "CreateChild: CreateEvent()  %d failed!", int(tid));
        w->cancelled = true;
        sem_post(&w->go);
        w.release();  // the detached thread may still touch it as it ends
        return 0;
    }

    uint32_t handle;
    {
        std::lock_guard<std::mutex> lock(g_table_lock);
        g_table.push_back(std::move(w));
        handle = static_cast<uint32_t>(g_table.size());
    }
    Worker *wp = g_table[handle - 1].get();
    s->worker_handle = handle;
    s->worker_tid = tid;
    s->worker_mutex = handle;
    s->worker_stop = handle;
    s->thread_id = tid;  // the worker's id in both words before it starts
    sem_post(&wp->go);
    return tid;
}

void start_workers(void) {
    if (!g_groups)
        return;
    for (int gi = 0; gi < g_group_count; gi++) {
        GroupRecord *g = &g_groups[gi];
        if (g->peer[0] || !g->name[0] || !g->domain[0] || g->node_count == 0)
            continue;
        uint32_t started = 0;
        for (int k = 0; k < kSlotsPerGroup && g->slot[k].name[0]; k++) {
            if (started < g->node_count) {
                g->slot[k].thread_id = CreateChild(gi, static_cast<int>(started));
                started++;
            }
        }
        g->worker_count = started;
    }
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
            if (w->slot != s || w->stop_fd < 0)
                continue;  // a stale handle left in the map by an earlier run
            uint64_t one = 1;
            if (write(w->stop_fd, &one, sizeof one) < 0) {
                // the counter is far from full; nothing to do
            }
        }
    }
}

}  // namespace kord
