// The one-second main loop: mirror groups from their peers, node-file
// changes from the directory watcher, one change per pass, a reload when
// SIGHUP asked for one, and the heartbeat for kordstat and systemd.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "master/kord.h"
#include "port/paths.h"

namespace kord {

namespace {

// Held by the main loop while it uses g_watcher and by the stop path while it
// frees it: the stop handler runs in the dispatcher thread, and the watcher
// must never be freed under a pass that is draining it.
std::mutex g_watch_mutex;
bool g_watch_stopped = false;   // guarded by g_watch_mutex
std::atomic<bool> g_reload{false};

// A mirror shows its peer's states: copied ten times a pass, so that it
// lags its peer by a tenth of a second, not by up to a whole pass.
constexpr int kMirrorSteps = 10;
constexpr int kPassSeconds = 1;

std::string g_status_sent;
time_t g_status_time = 0;
int g_heartbeat_error = 0;      // errno of the last failed write, 0 when fine

void heartbeat() {
    time_t now = time(nullptr);
    std::string status;
    int err = write_heartbeat(now, &status);
    if (err && err != g_heartbeat_error)
        port_syslog(LOG_ERR, "Heartbeat %s/kord.status cannot be written: %s", path_item(3), strerror(err));
    else if (!err && g_heartbeat_error)
        port_syslog(LOG_INFO, "Heartbeat %s/kord.status written again", path_item(3));
    g_heartbeat_error = err;
    if (status != g_status_sent || now - g_status_time >= 60) {
        report_text(status);
        g_status_sent = status;
        g_status_time = now;
    }
}

void send_start_notice() {
    if (!g_admin_mail) return;
    char subject[64];
    std::snprintf(subject, sizeof subject, "%s started.", kDisplayName);
    MailRequest req{};
    req.to = g_admin_mail;
    req.from = g_admin_mail;
    req.subject = subject;
    req.body = nullptr;
    req.report_bad_recipient = 0;
    req.html = 0;
    post_mail(&req);   // queued: a lost notice does not stop kord
}

[[noreturn]] void watch_failed() {
    // dwatch has already logged and shown why; kord cannot follow node files.
    stop_workers();
    report_status(1);
    port_closelog();
    std::fflush(nullptr);
    _exit(1);
}

}  // namespace

namespace {

// Only changes of nodes/<name>.cfg can concern the handler: its paths are
// always of that shape. Any other change (the tree outside nodes/, an
// editor's temporary file beside a node file) left in the queue would cost
// a one-second pass, so that a node-file edit behind an unpacked archive
// waited for hours, and even `sed -i` delayed its own edit by four passes.
// Such changes are dropped here, a bounded number per pass to keep the
// queue lock short.
constexpr int kSkipPerPass = 65536;

bool concerns_node_files(const char *path) {
    static const std::string nodes = std::string(path_item(2)) + "/nodes/";
    if (std::strncmp(path, nodes.c_str(), nodes.size()) != 0) return false;
    const char *name = path + nodes.size();
    size_t len = std::strlen(name);
    return len > 4 && std::strchr(name, '/') == nullptr &&
           std::strcmp(name + len - 4, ".cfg") == 0;
}

void unlink_first(DirWatcher *w) {
    DirChange *c = w->first_change;
    w->first_change = c->next;
    if (!w->first_change) w->change_tail = &w->first_change;
    freestr(c->path);
    memput(c, sizeof(DirChange));
}

}  // namespace

int dispatch_change(DirWatcher *w) {
    if (!w) return -1;
    pthread_mutex_lock(&w->lock);
    for (int skipped = 0; w->first_change && skipped < kSkipPerPass &&
                          !concerns_node_files(w->first_change->path);
         ++skipped)
        unlink_first(w);
    DirChange *c = w->first_change;
    if (c && !concerns_node_files(c->path)) c = nullptr;   // more next pass
    if (!c) {
        pthread_mutex_unlock(&w->lock);
        return 0;
    }
    auto *rec = static_cast<DispatchRecord *>(memget(sizeof(DispatchRecord)));
    char *path = rec ? savestr(c->path, 0) : nullptr;
    if (!rec || !path) {
        // Stays queued; the next pass tries again.
        if (rec) memput(rec, sizeof(DispatchRecord));
        errno = ENOMEM;
        pthread_mutex_unlock(&w->lock);
        return -3;
    }
    rec->watcher = w;
    rec->path = path;
    rec->action = c->action;
    if (evWaitFor(w->ev, nullptr, w->callback, rec) < 0) {
        freestr(rec->path);
        memput(rec, sizeof(DispatchRecord));
        pthread_mutex_unlock(&w->lock);
        return -4;
    }
    unlink_first(w);
    pthread_mutex_unlock(&w->lock);
    return 0;
}

int write_heartbeat(time_t now, std::string *status_text) {
    int nodes = 0, up = 0, failing = 0, down = 0, unknown = 0;
    for (int i = 0; g_groups && i < g_group_count; i++) {
        const GroupRecord &g = g_groups[i];
        if (!g.name[0] || !g.domain[0]) continue;
        for (int k = 0; k < kSlotsPerGroup && g.slot[k].name[0]; k++) {
            ++nodes;
            switch (g.slot[k].ping.state) {
            case kStateUp: ++up; break;
            case kStateFailing: ++failing; break;
            case kStateDown: ++down; break;
            default: ++unknown; break;
            }
        }
    }
    char text[512];
    int n = std::snprintf(text, sizeof text,
                          "pid %d\nstarted %lld\npass %lld\ninterval %d\ngroups %d\nnodes %d\nup %d\n"
                          "failing %d\ndown %d\nunknown %d\n",
                          int(getpid()), static_cast<long long>(g_started), static_cast<long long>(now),
                          kPassSeconds, g_group_count, nodes, up, failing, down, unknown);
    if (status_text) {
        *status_text = "groups " + std::to_string(g_group_count) + ", nodes " + std::to_string(nodes) + ": " +
                       std::to_string(up) + " up, " + std::to_string(failing) + " failing, " +
                       std::to_string(down) + " down";
        if (unknown) *status_text += ", " + std::to_string(unknown) + " unknown";
    }
    // Readers see the old file or the new one, never half of one.
    std::string path = std::string(path_item(3)) + "/kord.status";
    std::string tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return errno;
    bool ok = nwrite(fd, text, n) == n;
    int err = ok ? 0 : errno ? errno : EIO;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) unlink(tmp.c_str());
    return ok ? 0 : err;
}

void request_reload(void) { g_reload = true; }

void main_loop_pass(void) {
    for (int i = 0; i < kMirrorSteps; i++) {
        usleep(kPassSeconds * 1000000 / kMirrorSteps);
        copy_peer_groups();
    }
    if (g_reload.exchange(false)) reload_groups();
    {
        std::lock_guard<std::mutex> lk(g_watch_mutex);
        if (DirWatcher *w = g_watcher) {
            dispatch_change(w);
            // Runs what the previous pass released, then releases this pass's change.
            evMainLoop(w->ev);
            evDo(w->ev, nullptr);
        }
    }
    heartbeat();
}

void stop_watcher(void) {
    std::lock_guard<std::mutex> lk(g_watch_mutex);
    g_watch_stopped = true;
    DirWatcher *w = g_watcher;
    g_watcher = nullptr;
    if (!w) return;
    // Records already handed to the event library free themselves; with
    // g_watcher gone the handler reads no node file on the way out.
    evDo(w->ev, nullptr);
    evMainLoop(w->ev);
    // The remembered rename names are ours, not the library's.
    freestr(w->old_name);
    freestr(w->new_name);
    w->old_name = w->new_name = nullptr;
    dwatch_stop(w);
}

[[noreturn]] void main_loop(void) {
    // Start-up continues here once server_main has started the workers:
    // the watch on the installation root, the running report, the start
    // notice; then the passes.
    const char *roots[] = {path_item(2), nullptr};
    DirWatcher *w = dwatch(roots, on_node_file_change, nullptr);
    if (!w) watch_failed();
    {
        std::lock_guard<std::mutex> lk(g_watch_mutex);
        if (g_watch_stopped)
            dwatch_stop(w);   // stopped while starting: never publish it
        else
            g_watcher = w;
    }
    copy_peer_groups();   // mirrors show their peers' names from the start
    report_status(4);
    heartbeat();
    send_start_notice();
    for (;;) main_loop_pass();
}

}  // namespace kord
