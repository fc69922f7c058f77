// The directory watcher on real inotify and real directories.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cstring>

#include "port/varro.h"
#include "tests/support/testutil.h"
#include "util/sys/dwatch.h"

using namespace std::chrono_literals;
using testutil::TempDir;
using Changes = std::vector<std::pair<std::string, int>>;

namespace {

// The log mirror is opened once per process: name it before anything logs.
const std::string g_log = testutil::log_file("test_dwatch");

// Waits until (path, action) is queued, then takes the whole queue.
Changes drain_after(DirWatcher *w, const std::string &path, int action) {
    Changes out;
    testutil::wait_until(
        [&] {
            pthread_mutex_lock(&w->lock);
            bool seen = false;
            for (DirChange *c = w->first_change; c; c = c->next)
                seen |= path == c->path && c->action == action;
            if (seen)
                while (DirChange *c = w->first_change) {
                    out.emplace_back(c->path, c->action);
                    w->first_change = c->next;
                    freestr(c->path);
                    memput(c, sizeof(DirChange));
                }
            if (seen) w->change_tail = &w->first_change;
            pthread_mutex_unlock(&w->lock);
            return seen;
        },
        3000ms);
    return out;
}

struct Watch {
    explicit Watch(const std::string &root) {
        const char *paths[] = {root.c_str(), nullptr};
        w = dwatch(paths, nullptr, nullptr);
    }
    ~Watch() { dwatch_stop(w); }
    DirWatcher *w;
};

}  // namespace

TEST(Dwatch, FileLifeInOrderAndNewOrRenamedDirectoriesFollowed) {
    TempDir t;
    ASSERT_EQ(mkdirs((t / "deep/er").c_str()), 0);
    std::string dir = t.path();
    while (dir.size() < 900) dir += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdirs(dir.c_str()), 0);
    Watch watch(t.path());
    ASSERT_NE(watch.w, nullptr);
    std::string a = t / "a.cfg", b = t / "b.cfg", deep = t / "deep/er/x.cfg";

    testutil::write_file(a, "1");
    EXPECT_EQ(drain_after(watch.w, a, 3), (Changes{{a, 1}, {a, 3}}));
    testutil::write_file(a, "2");
    EXPECT_EQ(drain_after(watch.w, a, 3), (Changes{{a, 3}}));
    ASSERT_EQ(rename(a.c_str(), b.c_str()), 0);
    EXPECT_EQ(drain_after(watch.w, b, 5), (Changes{{a, 4}, {b, 5}}));
    ASSERT_EQ(unlink(b.c_str()), 0);
    EXPECT_EQ(drain_after(watch.w, b, 2), (Changes{{b, 2}}));
    testutil::write_file(deep, "3");   // a directory that existed at the start
    EXPECT_EQ(drain_after(watch.w, deep, 3), (Changes{{deep, 1}, {deep, 3}}));

    ASSERT_EQ(mkdir((t / "sub").c_str(), 0755), 0);
    EXPECT_EQ(drain_after(watch.w, t / "sub", 1), (Changes{{t / "sub", 1}}));
    std::string f = t / "sub/a.cfg";
    testutil::write_file(f, "y");
    EXPECT_EQ(drain_after(watch.w, f, 3).back(), std::make_pair(f, 3));
    ASSERT_EQ(rename((t / "sub").c_str(), (t / "moved").c_str()), 0);
    EXPECT_EQ(drain_after(watch.w, t / "moved", 5), (Changes{{t / "sub", 4}, {t / "moved", 5}}));
    std::string g = t / "moved/a.cfg";
    testutil::write_file(g, "z");
    EXPECT_EQ(drain_after(watch.w, g, 3), (Changes{{g, 3}}));

    // An overlong path is dropped (its added and modified) and logged; later
    // changes still arrive. 1023 characters pass, 1024 do not.
    testutil::write_file(dir + "/" + std::string(200, 'f'), "x");
    testutil::write_file(a, "y");
    EXPECT_EQ(drain_after(watch.w, a, 3), (Changes{{a, 1}, {a, 3}}));
    EXPECT_EQ(dwatch_stats(watch.w).dropped, 2u);
    EXPECT_NE(testutil::read_file(g_log).find("too long"), std::string::npos);
    EXPECT_EQ(queue_change(watch.w, "/r", std::string(kDwatchPathMax - 3, 'n').c_str(), 3), 0);
    EXPECT_EQ(queue_change(watch.w, "/r", std::string(kDwatchPathMax - 2, 'n').c_str(), 3), -3);
}

TEST(Dwatch, RootLinkIsFollowedAndAnUnwatchableNewDirectoryIsLogged) {
    TempDir t;
    ASSERT_EQ(mkdir((t / "real").c_str(), 0755), 0);
    ASSERT_EQ(symlink((t / "real").c_str(), (t / "root").c_str()), 0);
    // Without the override of file modes, this thread and the watcher it
    // starts cannot watch a directory of mode 000.
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2], dropped[2];
    ASSERT_EQ(syscall(SYS_capget, &hdr, caps), 0);
    std::memcpy(dropped, caps, sizeof caps);
    dropped[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ASSERT_EQ(syscall(SYS_capset, &hdr, dropped), 0);
    Watch watch(t / "root");
    ASSERT_EQ(syscall(SYS_capset, &hdr, caps), 0);
    ASSERT_NE(watch.w, nullptr);

    std::string closed = t / "root/closed";
    ASSERT_EQ(mkdir(closed.c_str(), 0), 0);
    std::string f = t / "root/a.cfg";   // a change after it still arrives
    testutil::write_file(f, "x");
    EXPECT_EQ(drain_after(watch.w, f, 3), (Changes{{closed, 1}, {f, 1}, {f, 3}}));
    EXPECT_NE(testutil::read_file(g_log).find("dwatch: unable to watch directory " + closed + ". err 13"),
              std::string::npos);
}

TEST(Dwatch, MissingSecondDirectoryGivesTheMessageAndNoWatcher) {
    TempDir t;
    std::string missing = t / "absent";
    const char *paths[] = {t.path().c_str(), missing.c_str(), nullptr};
    EXPECT_EQ(dwatch(paths, nullptr, nullptr), nullptr);
    EXPECT_NE(testutil::read_file(g_log).find("dwatch: unable to open directory " + missing), std::string::npos);
    EXPECT_EQ(dwatch(nullptr, nullptr, nullptr), nullptr);
}

TEST(Dwatch, EmptyListWatcherReleasesUndeliveredChanges) {
    const char *none[] = {nullptr};
    DirWatcher *w = dwatch(none, nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(queue_change(w, "/r", "a", 1), 0);   // freed by dwatch_stop (ASan checks)
    w->user_data = std::malloc(32);
    w->flags = 1;
    dwatch_stop(w);
}
