// Whether kord is alive, as its readers judge it: the lock kord holds on
// kord.pid for its whole life, and the heartbeat it rewrites in
// kord.status after each main-loop pass, both in the data directory.
// Header only: kordstat and flowgate read it the same way.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace kord {

struct Liveness {
    enum State { Fresh, Stale, NotRunning } state = NotRunning;
    bool have_status = false;   // kord.status read, with a pass time
    long long pid = 0, started = 0, pass = 0, interval = 1, age = 0;
    long long groups = -1, nodes = -1, up = -1, failing = -1, down = -1, unknown = -1;
};

enum class Lock { Held, Free, Unknown };

// The lock on dir/kord.pid. Tried shared and let go at once, so a kord
// starting this instant is not kept out for long.
inline Lock kord_lock(const std::string &dir) {
    int fd = open((dir + "/kord.pid").c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno == ENOENT ? Lock::Free : Lock::Unknown;
    Lock l = Lock::Unknown;
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
        l = Lock::Free;
    } else if (errno == EWOULDBLOCK) {
        l = Lock::Held;
    }
    close(fd);
    return l;
}

// Fresh while kord holds its lock and its last pass is at most two
// intervals old; Stale when the pass is older; NotRunning without the lock
// or without a heartbeat.
inline Liveness liveness(const std::string &dir, time_t now) {
    Liveness lv;
    if (FILE *f = fopen((dir + "/kord.status").c_str(), "re")) {
        char key[64];
        long long v;
        bool have_pass = false;
        struct { const char *name; long long *field; } keys[] = {
            {"pid", &lv.pid},         {"started", &lv.started}, {"pass", &lv.pass},
            {"interval", &lv.interval}, {"groups", &lv.groups}, {"nodes", &lv.nodes},
            {"up", &lv.up},           {"failing", &lv.failing}, {"down", &lv.down},
            {"unknown", &lv.unknown}};
        char line[256];
        while (fgets(line, sizeof line, f)) {
            if (sscanf(line, "%63s %lld", key, &v) != 2) continue;   // unknown forms are skipped
            for (auto &k : keys)
                if (!strcmp(key, k.name)) *k.field = v;
            have_pass = have_pass || !strcmp(key, "pass");
        }
        fclose(f);
        lv.have_status = have_pass;
    }
    if (lv.interval < 1) lv.interval = 1;
    Lock lock = kord_lock(dir);
    // A lock file we may not open: the heartbeat's process must exist.
    if (lock == Lock::Unknown)
        lock = lv.pid > 0 && (kill(pid_t(lv.pid), 0) == 0 || errno == EPERM) ? Lock::Held : Lock::Free;
    if (lock != Lock::Held || !lv.have_status) return lv;
    lv.age = now > lv.pass ? now - lv.pass : 0;
    lv.state = lv.age > 2 * lv.interval ? Liveness::Stale : Liveness::Fresh;
    return lv;
}

}  // namespace kord
