// A per-thread one-shot deadline, a file-change watchdog and the worker
// count of a server. None keeps a thread: they act when called.
#include "util/sorvan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace {

// The calling thread's deadline. Kept by value, so arming never allocates
// (and so never fails) and a thread that ends armed leaves nothing behind.
struct Deadline {
    bool armed = false;
    int64_t start = 0;
    int64_t due = 0;
};
thread_local Deadline deadline;

}  // namespace

extern "C" {

SORVAN_API int32_t timer(int32_t seconds) {
    int64_t now = std::time(nullptr);
    Deadline &d = deadline;
    if (!d.armed) {
        d.armed = true;
        d.start = now;
        d.due = now + seconds;
    }
    if (d.due >= now) return 0;
    d.armed = false;
    return 1;
}

SORVAN_API int32_t watch_dog(const char *path, int32_t *last_seen, watch_dog_fn fn, int32_t arg) {
    struct stat st;
    if (!path || !last_seen || stat(path, &st) != 0) return 2;
    int32_t mtime = static_cast<int32_t>(st.st_mtime);
    if (*last_seen == 0) {
        *last_seen = mtime;
        return 0;
    }
    if (*last_seen < mtime) {
        if (fn) fn(arg);
        *last_seen = mtime;
        return 1;
    }
    return 0;
}

SORVAN_API int32_t thread2fork(void) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1) n = 1;
    return static_cast<int32_t>(4 * n + 16);
}

}  // extern "C"
