// kord's change notice: the writer's increment and wake-up, and the
// reader's thread that turns them into a readable descriptor.
#include "maps/notify.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace kord {

namespace {

std::atomic<uint32_t *> g_counter{nullptr};
std::mutex g_open_lock;
std::string g_open_path;

long futex(const void *addr, int op, uint32_t val, const timespec *timeout) {
    return syscall(SYS_futex, addr, op, val, timeout, nullptr, 0);
}

uint32_t load(const uint32_t *word) { return std::atomic_ref<uint32_t>(*const_cast<uint32_t *>(word)).load(); }

}  // namespace

std::string notice_path(const std::string &data_map) {
    size_t slash = data_map.rfind('/');
    return (slash == std::string::npos ? std::string() : data_map.substr(0, slash + 1)) + "kord.notify";
}

bool notice_open(const std::string &path, std::string &why) {
    std::lock_guard<std::mutex> lock(g_open_lock);
    if (g_counter.load() && path == g_open_path) return true;
    // Readers map it read-only: 0644, whatever the umask says beyond that.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        why = path + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = path + ": not a regular file";
        close(fd);
        return false;
    }
    if (size_t(st.st_size) < kNoticeSize && ftruncate(fd, off_t(kNoticeSize)) != 0) {
        why = path + ": " + strerror(errno);
        close(fd);
        return false;
    }
    void *m = mmap(nullptr, kNoticeSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) {
        why = path + ": mmap: " + strerror(errno);
        return false;
    }
    auto *page = static_cast<unsigned char *>(m);
    // The counter goes on from where an earlier kord left it: a reader that
    // outlived that kord must see the next change as one.
    if (memcmp(page, kNoticeMagic, sizeof kNoticeMagic) != 0) {
        memset(page + sizeof kNoticeMagic, 0, kNoticeSize - sizeof kNoticeMagic);
        memcpy(page, kNoticeMagic, sizeof kNoticeMagic);
    }
    // An earlier mapping stays: a worker may be announcing through it.
    g_counter.store(reinterpret_cast<uint32_t *>(page + kNoticeCounterAt));
    g_open_path = path;
    return true;
}

void notice_change() {
    uint32_t *c = g_counter.load(std::memory_order_acquire);
    if (!c) return;
    // The map writes before this are visible to whoever sees the new count.
    std::atomic_ref<uint32_t>(*c).fetch_add(1);
    futex(c, FUTEX_WAKE, INT_MAX, nullptr);
}

ChangeWatch::ChangeWatch(std::string path) : path_(std::move(path)) {
    event_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ChangeWatch::~ChangeWatch() {
    stop_ = true;
    if (thread_.joinable()) {
        // Waits end by themselves within a second; a wake-up on the counter
        // ends this one sooner (a shared futex: the file's page, whatever
        // the mapping).
        if (const unsigned char *m = map_) futex(m + kNoticeCounterAt, FUTEX_WAKE, INT_MAX, nullptr);
        thread_.join();
    }
    if (const unsigned char *m = map_) munmap(const_cast<unsigned char *>(m), kNoticeSize);
    if (event_ >= 0) close(event_);
}

// The notice file as it stands; true when a new mapping was made.
bool ChangeWatch::remap() {
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0 && map_ && st.st_ino == ino_ && st.st_dev == dev_ &&
        size_t(st.st_size) >= kNoticeSize)
        return false;
    const unsigned char *old = map_;
    map_ = nullptr;
    mapped_ = false;
    if (old) munmap(const_cast<unsigned char *>(old), kNoticeSize);
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) < kNoticeSize) {
        close(fd);
        return false;
    }
    void *m = mmap(nullptr, kNoticeSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) return false;
    if (memcmp(m, kNoticeMagic, sizeof kNoticeMagic) != 0) {
        munmap(m, kNoticeSize);
        return false;
    }
    map_ = static_cast<const unsigned char *>(m);
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    mapped_ = true;
    return true;
}

void ChangeWatch::run() {
    uint32_t last = 0;
    bool fresh = false;   // a new mapping: changes before it are unknown
    timespec next_check{};
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec >= next_check.tv_sec) {
            // Once a second: the file may have come, gone or been replaced.
            if (remap()) fresh = true;
            next_check = now;
            next_check.tv_sec += 1;
        }
        if (stop_) return;
        if (!map_) {
            // No file yet: look again in a second (or sooner when told to stop).
            uint32_t zero = 0;
            timespec second{1, 0};
            futex(&zero, FUTEX_WAIT_PRIVATE, 0, &second);
            continue;
        }
        const uint32_t *counter = reinterpret_cast<const uint32_t *>(map_.load() + kNoticeCounterAt);
        uint32_t c = load(counter);
        if (fresh || c != last) {
            seen_++;
            uint64_t one = 1;
            if (write(event_, &one, sizeof one) < 0) {
                // the counter is far from full; nothing to do
            }
        }
        last = c;
        fresh = false;
        // Sleeps while the counter still holds c, a second at most.
        timespec second{1, 0};
        futex(counter, FUTEX_WAIT, c, &second);
    }
}

int ChangeWatch::poll(pollfd *fds, nfds_t n, int timeout_ms, bool &changed) {
    changed = false;
    if (!thread_.joinable() && event_ >= 0) {
        // Every signal stays with the caller's threads.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        thread_ = std::thread([this] { run(); });
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    std::vector<pollfd> all(fds, fds + n);
    all.push_back({event_, POLLIN, 0});
    int r = ::poll(all.data(), all.size(), timeout_ms);
    if (r < 0) return r;
    for (nfds_t i = 0; i < n; i++) fds[i].revents = all[i].revents;
    if (all[n].revents & POLLIN) {
        uint64_t v;
        changed = read(event_, &v, sizeof v) == ssize_t(sizeof v);
        r--;
    }
    return r;
}

}  // namespace kord
