// Directory watcher on inotify: one thread and one inotify descriptor for
// every watched tree, a watch on each directory below each root (also on
// directories that appear later). Changes are queued for the owner, who
// drains the queue from its own loop; the watcher never calls back.
#include "util/sys/dwatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "port/varro.h"

struct WatchedDir {
    char *path = nullptr;          // the root as given to dwatch
    uint32_t path_size = 0;        // its length plus 1
    std::unordered_map<int, std::string> subdirs;   // watch -> directory below the root ("" the root)
    WatchedDir *next = nullptr;
};

namespace {

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "thread handle must fit the record");

constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM |
                           IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW;

// A root given as a symbolic link is followed (an installation root often
// is one); links below it are not, so a link never drags in another tree.
uint32_t mask_for(const std::string &rel) { return rel.empty() ? kMask & ~IN_DONT_FOLLOW : kMask; }

void log_unwatched(const std::string &full, int err) {
    port_syslog(LOG_WARNING, "dwatch: unable to watch directory %s. err %d", full.c_str(), err);
}

// The owner's record comes first, so the owner's pointer is ours too.
struct WatcherImpl {
    DirWatcher pub{};
    int stop_fd = -1;
    bool thread_started = false;
    std::atomic<size_t> dropped{0};
    std::atomic<size_t> overflows{0};
};
static_assert(offsetof(WatcherImpl, pub) == 0);

WatcherImpl *impl(DirWatcher *w) { return reinterpret_cast<WatcherImpl *>(w); }

std::string join(const std::string &a, const std::string &b) {
    if (a.empty()) return b;
    return a + "/" + b;
}

std::string full_path(const WatchedDir *d, const std::string &rel) {
    std::string p = d->path;
    if (!rel.empty()) p += "/" + rel;
    return p;
}

bool is_dir_entry(const std::string &full, const dirent *e) {
    if (e->d_type == DT_DIR) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Watches rel and every directory below it. With announce, every entry
// found is queued as added (it may have appeared before its watch).
// Returns 0, or the errno of the first directory when it cannot be watched.
int add_tree(DirWatcher *w, WatchedDir *d, const std::string &rel, bool announce) {
    std::vector<std::string> todo{rel};
    bool first = true;
    while (!todo.empty()) {
        std::string cur = std::move(todo.back());
        todo.pop_back();
        std::string full = full_path(d, cur);
        int wd = inotify_add_watch(w->notify_fd, full.c_str(), mask_for(cur));
        if (wd < 0) {
            int err = errno;
            if (first) return err;
            if (err != ENOENT && err != ENOTDIR) log_unwatched(full, err);
            continue;
        }
        first = false;
        d->subdirs[wd] = cur;
        DIR *dir = opendir(full.c_str());
        if (!dir) continue;
        while (dirent *e = readdir(dir)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
            std::string child = join(cur, e->d_name);
            if (announce) queue_change(w, d->path, child.c_str(), 1);
            if (is_dir_entry(full + "/" + e->d_name, e)) todo.push_back(child);
        }
        closedir(dir);
    }
    return 0;
}

// Stops watching rel and everything below it (moved out of the way).
void drop_tree(DirWatcher *w, WatchedDir *d, const std::string &rel) {
    std::string prefix = rel + "/";
    for (auto it = d->subdirs.begin(); it != d->subdirs.end();) {
        if (it->second == rel || it->second.compare(0, prefix.size(), prefix) == 0) {
            inotify_rm_watch(w->notify_fd, it->first);
            it = d->subdirs.erase(it);
        } else {
            ++it;
        }
    }
}

// After an overflow nothing tells what was lost: report every file as
// modified and watch whatever directory is new.
void rescan(DirWatcher *w) {
    for (WatchedDir *d = w->first_dir; d; d = d->next) {
        std::vector<std::string> todo{""};
        while (!todo.empty()) {
            std::string cur = std::move(todo.back());
            todo.pop_back();
            std::string full = full_path(d, cur);
            int wd = inotify_add_watch(w->notify_fd, full.c_str(), mask_for(cur));
            if (wd >= 0) d->subdirs[wd] = cur;
            else if (errno != ENOENT && errno != ENOTDIR) log_unwatched(full, errno);
            DIR *dir = opendir(full.c_str());
            if (!dir) continue;
            while (dirent *e = readdir(dir)) {
                if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
                std::string child = join(cur, e->d_name);
                if (is_dir_entry(full + "/" + e->d_name, e))
                    todo.push_back(child);
                else
                    queue_change(w, d->path, child.c_str(), 3);
            }
            closedir(dir);
        }
    }
}

WatchedDir *find_dir(DirWatcher *w, int wd, std::string **rel) {
    for (WatchedDir *d = w->first_dir; d; d = d->next) {
        auto it = d->subdirs.find(wd);
        if (it != d->subdirs.end()) {
            *rel = &it->second;
            return d;
        }
    }
    return nullptr;
}

void take_event(DirWatcher *w, const inotify_event *ev) {
    if (ev->mask & IN_Q_OVERFLOW) {
        impl(w)->overflows++;
        port_syslog(LOG_WARNING, "dwatch: event queue overflow, rescanning the watched directories");
        rescan(w);
        return;
    }
    std::string *rel = nullptr;
    WatchedDir *d = find_dir(w, ev->wd, &rel);
    if (!d) return;
    if (ev->mask & IN_IGNORED) {
        d->subdirs.erase(ev->wd);
        return;
    }
    if (ev->len == 0 || ev->name[0] == '\0') return;   // the directory itself: its parent reports it
    std::string name = join(*rel, ev->name);
    bool is_dir = ev->mask & IN_ISDIR;
    int32_t action = 0;
    if (ev->mask & IN_CREATE) action = 1;
    else if (ev->mask & IN_DELETE) action = 2;
    else if (ev->mask & (IN_CLOSE_WRITE | IN_ATTRIB)) action = 3;
    else if (ev->mask & IN_MOVED_FROM) action = 4;
    else if (ev->mask & IN_MOVED_TO) action = 5;
    if (!action) return;
    queue_change(w, d->path, name.c_str(), action);
    if (!is_dir) return;
    int err = 0;
    if (action == 1) err = add_tree(w, d, name, true);
    else if (action == 5) err = add_tree(w, d, name, false);
    else if (action == 4) drop_tree(w, d, name);
    // Gone again, or replaced by a file, before its watch: nothing to say.
    if (err && err != ENOENT && err != ENOTDIR) log_unwatched(full_path(d, name), err);
}

void *watch_thread(void *arg) {
    auto *w = static_cast<DirWatcher *>(arg);
    if (w->dir_count == 0) return nullptr;   // nothing to wait for
    WatcherImpl *wi = impl(w);
    // On the heap: a static thread-local buffer would be reserved in every
    // thread of the process, and kord runs a thread per node.
    constexpr size_t kBuf = 64 * 1024;
    static_assert(alignof(inotify_event) <= alignof(std::max_align_t));
    std::unique_ptr<char[]> storage(new (std::nothrow) char[kBuf]);
    if (!storage) {
        port_syslog(LOG_ERR, "dwatch: no memory for the event buffer");
        return nullptr;
    }
    char *buf = storage.get();
    pollfd fds[2] = {{w->notify_fd, POLLIN, 0}, {wi->stop_fd, POLLIN, 0}};
    for (;;) {
        int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            port_syslog(LOG_ERR, "dwatch: poll failed. err %d", errno);
            return nullptr;
        }
        if (fds[1].revents) return nullptr;   // the stop packet
        if (!(fds[0].revents & POLLIN)) continue;
        ssize_t len = read(w->notify_fd, buf, kBuf);
        if (len <= 0) continue;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= len;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(buf + off);
            take_event(w, ev);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
        uint64_t one = 1;
        ssize_t r = write(w->batch_event, &one, sizeof one);
        (void)r;
    }
}

void free_watcher(DirWatcher *w) {
    WatcherImpl *wi = impl(w);
    if (w->notify_fd >= 0) close(w->notify_fd);
    if (wi->stop_fd >= 0) close(wi->stop_fd);
    if (w->batch_event >= 0) close(w->batch_event);
    if (w->ev) evDestroy(w->ev);
    pthread_mutex_destroy(&w->lock);
    for (WatchedDir *d = w->first_dir; d;) {
        WatchedDir *next = d->next;
        std::free(d->path);
        delete d;
        d = next;
    }
    // Changes never taken are freed, never delivered.
    for (DirChange *c = w->first_change; c;) {
        DirChange *next = c->next;
        freestr(c->path);
        memput(c, sizeof(DirChange));
        c = next;
    }
    if (w->flags & 1) std::free(w->user_data);
    delete wi;
}

}  // namespace

int queue_change(DirWatcher *w, const char *dir, const char *name, int32_t action) {
    size_t dl = std::strlen(dir), nl = std::strlen(name);
    if (dl + 1 + nl > kDwatchPathMax) {
        // Dropped rather than cut: a cut path would name another file.
        impl(w)->dropped++;
        port_syslog(LOG_WARNING, "dwatch: path of %zu characters below %s too long, change %d dropped",
                    dl + 1 + nl, dir, static_cast<int>(action));
        return -3;
    }
    auto *c = static_cast<DirChange *>(memget(sizeof(DirChange)));
    if (!c) {
        impl(w)->dropped++;
        errno = ENOMEM;
        return -1;
    }
    char buf[kDwatchPathMax + 1];
    std::memcpy(buf, dir, dl);
    buf[dl] = '/';
    std::memcpy(buf + dl + 1, name, nl + 1);
    c->path = savestr(buf, 0);
    if (!c->path) {
        memput(c, sizeof(DirChange));
        impl(w)->dropped++;
        errno = ENOMEM;
        return -2;
    }
    c->action = action;
    pthread_mutex_lock(&w->lock);
    c->next = nullptr;
    *w->change_tail = c;
    w->change_tail = &c->next;
    pthread_mutex_unlock(&w->lock);
    return 0;
}

DwatchStats dwatch_stats(DirWatcher *w) {
    return {impl(w)->dropped.load(), impl(w)->overflows.load()};
}

extern "C" {

SORVAN_API DirWatcher *dwatch(const char *const *paths, dwatch_callback callback, void *user_data) {
    if (!paths) return nullptr;
    auto *wi = new (std::nothrow) WatcherImpl;
    if (!wi) return nullptr;
    DirWatcher *w = &wi->pub;
    w->dir_tail = &w->first_dir;
    w->change_tail = &w->first_change;
    w->notify_fd = -1;
    w->batch_event = -1;
    pthread_mutex_init(&w->lock, nullptr);
    w->ev = evCreate();
    w->notify_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    w->batch_event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    wi->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!w->ev || w->notify_fd < 0 || w->batch_event < 0 || wi->stop_fd < 0) {
        free_watcher(w);
        return nullptr;
    }
    for (const char *const *p = paths; *p; ++p) {
        auto *d = new (std::nothrow) WatchedDir;
        if (!d) {
            free_watcher(w);
            return nullptr;
        }
        *w->dir_tail = d;
        w->dir_tail = &d->next;
        d->path = strdup(*p);
        if (!d->path) {
            free_watcher(w);
            return nullptr;
        }
        d->path_size = static_cast<uint32_t>(std::strlen(*p) + 1);
        int err = add_tree(w, d, "", false);
        if (err) {
            char text[128];
            std::snprintf(text, sizeof text, "dwatch: unable to open directory %s. err %d. Terminating...",
                          *p, err);
            port_syslog(LOG_INFO, "%s", text);
            port_message_box("Alert", text);
            free_watcher(w);
            return nullptr;
        }
        w->dir_count++;
    }
    w->callback = callback;
    w->user_data = user_data;
    pthread_t t;
    if (pthread_create(&t, nullptr, watch_thread, w) != 0) {
        free_watcher(w);
        return nullptr;
    }
    w->thread = static_cast<uintptr_t>(t);
    wi->thread_started = true;
    return w;
}

SORVAN_API void dwatch_stop(DirWatcher *w) {
    if (!w) return;
    WatcherImpl *wi = impl(w);
    if (wi->thread_started) {
        uint64_t one = 1;
        ssize_t r = write(wi->stop_fd, &one, sizeof one);
        (void)r;
        pthread_join(static_cast<pthread_t>(w->thread), nullptr);
    }
    free_watcher(w);
}

}  // extern "C"
