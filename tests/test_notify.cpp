// kord's change notice between real processes: a writer in one, readers in
// others, on a real file in a scratch directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "maps/notify.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;
using testutil::TempDir;

namespace {

// In a child process (a mapping and a writer state of its own): open the
// notice, wait `delay`, announce `changes` changes, exit 0 (1 on failure).
pid_t writer(const std::string &path, std::chrono::milliseconds delay, int changes = 1) {
    pid_t pid = fork();
    if (pid == 0) {
        std::string why;
        if (!kord::notice_open(path, why)) _exit(1);
        std::this_thread::sleep_for(delay);
        for (int i = 0; i < changes; i++) {
            kord::notice_change();
            if (changes > 1000) std::this_thread::sleep_for(50ms);
        }
        _exit(0);
    }
    return pid;
}

int status_of(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Waits for a notice up to limit; true when one came.
bool notice_within(kord::ChangeWatch &w, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        bool changed = false;
        int r = w.poll(nullptr, 0, int(left.count()), changed);
        if (r < 0 && errno != EINTR) return false;
        if (changed) return true;
    }
}

uint32_t counter_in(const std::string &path) {
    uint32_t c = 0;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        if (pread(fd, &c, 4, kord::kNoticeCounterAt) != 4) c = ~0u;
        close(fd);
    }
    return c;
}

}  // namespace

// The writer's file: its place, its layout, the counter carried over a
// restart of the writer, and refusals that name the path.
TEST(Notice, FileLayoutAndWriterSide) {
    TempDir dir;
    EXPECT_EQ(kord::notice_path("/opt/tessaron/data/map.data"), "/opt/tessaron/data/kord.notify");
    EXPECT_EQ(kord::notice_path("map.data"), "kord.notify");
    const std::string path = dir / "kord.notify";
    ASSERT_EQ(status_of(writer(path, 0ms, 3)), 0);
    std::string bytes = testutil::read_file(path);
    ASSERT_EQ(bytes.size(), kord::kNoticeSize);
    EXPECT_EQ(bytes.substr(0, 8), "TSNNOTE1");
    EXPECT_EQ(counter_in(path), 3u);
    // A second writer (kord started again) counts on.
    ASSERT_EQ(status_of(writer(path, 0ms, 2)), 0);
    EXPECT_EQ(counter_in(path), 5u);
    // A file of some other content is taken over from a zero count.
    testutil::write_file(path, std::string(kord::kNoticeSize, 'x'));
    ASSERT_EQ(status_of(writer(path, 0ms, 1)), 0);
    EXPECT_EQ(counter_in(path), 1u);

    std::string why;
    EXPECT_FALSE(kord::notice_open(dir / "none/kord.notify", why));
    EXPECT_NE(why.find(dir / "none/kord.notify"), std::string::npos) << why;
    mkdir((dir / "adir").c_str(), 0755);
    EXPECT_FALSE(kord::notice_open(dir / "adir", why));
}

// With no reader anywhere the writer neither waits nor fails; a reader that
// waits in another process is woken by each change, several at once.
TEST(Notice, WakesReadersInOtherProcesses) {
    TempDir dir;
    const std::string path = dir / "kord.notify";
    pid_t lone = fork();
    if (lone == 0) {
        std::string why;
        if (!kord::notice_open(path, why)) _exit(1);
        for (int i = 0; i < 100000; i++) kord::notice_change();
        _exit(0);
    }
    EXPECT_EQ(status_of(lone), 0);
    EXPECT_EQ(counter_in(path), 100000u);

    // Three readers, each its own process with the file mapped read-only,
    // sleep on the counter with a long time-out: each is woken, none times
    // out. A fourth waits through ChangeWatch.
    std::vector<pid_t> readers;
    for (int i = 0; i < 3; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(path.c_str(), O_RDONLY);
            void *m = mmap(nullptr, kord::kNoticeSize, PROT_READ, MAP_SHARED, fd, 0);
            if (fd < 0 || m == MAP_FAILED) _exit(1);
            auto *word = reinterpret_cast<const uint32_t *>(static_cast<char *>(m) + kord::kNoticeCounterAt);
            const uint32_t start = __atomic_load_n(word, __ATOMIC_SEQ_CST);
            timespec limit{120, 0};
            long r = syscall(SYS_futex, word, FUTEX_WAIT, start, &limit, nullptr, 0);
            // Woken (0), or the count moved before the wait began (EAGAIN).
            _exit(r == 0 || errno == EAGAIN ? 0 : 2);
        }
        readers.push_back(pid);
    }
    pid_t watcher = fork();
    if (watcher == 0) {
        kord::ChangeWatch w(path);
        // The first notice says the file was found; the next is the writer's.
        if (!notice_within(w, 30s)) _exit(3);
        _exit(notice_within(w, 60s) ? 0 : 2);
    }
    readers.push_back(watcher);
    // Changes every 50 ms until every reader has its wake-up.
    pid_t w = writer(path, 0ms, 1000000);
    for (pid_t r : readers) EXPECT_EQ(status_of(r), 0);
    kill(w, SIGKILL);
    status_of(w);
}

// A reader started before kord made the file, and one whose file was
// replaced (kord started afresh after the file was removed): both find the
// new file and its changes. Stopping a reader is prompt.
TEST(Notice, ReaderFollowsTheFile) {
    TempDir dir;
    const std::string path = dir / "kord.notify";
    {
        kord::ChangeWatch w(path);
        bool changed = true;
        EXPECT_EQ(w.poll(nullptr, 0, 0, changed), 0);
        EXPECT_FALSE(changed);
        EXPECT_FALSE(w.watching());
        // Changes keep coming until the reader has found the file.
        pid_t pid = fork();
        if (pid == 0) {
            std::string why;
            if (!kord::notice_open(path, why)) _exit(1);
            for (int i = 0; i < 600; i++) {
                kord::notice_change();
                std::this_thread::sleep_for(50ms);
            }
            _exit(0);
        }
        EXPECT_TRUE(notice_within(w, 30s));
        EXPECT_TRUE(w.watching());
        kill(pid, SIGKILL);
        status_of(pid);

        ASSERT_EQ(unlink(path.c_str()), 0);
        pid = fork();
        if (pid == 0) {
            std::string why;
            if (!kord::notice_open(path, why)) _exit(1);
            for (int i = 0; i < 600; i++) {
                kord::notice_change();
                std::this_thread::sleep_for(50ms);
            }
            _exit(0);
        }
        // Drain what the old file gave, then a notice from the new one.
        bool any = false;
        w.poll(nullptr, 0, 0, any);
        EXPECT_TRUE(notice_within(w, 30s));
        unsigned long before = w.seen();
        EXPECT_TRUE(notice_within(w, 30s));
        EXPECT_GT(w.seen(), before);
        kill(pid, SIGKILL);
        status_of(pid);
    }
    // A reader's own descriptors are polled as ever beside the notice.
    kord::ChangeWatch w(path);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    pollfd fds[1] = {{p[0], POLLIN, 0}};
    bool changed = false;
    EXPECT_EQ(w.poll(fds, 1, 5000, changed), 1);
    EXPECT_TRUE(fds[0].revents & POLLIN);
    close(p[0]);
    close(p[1]);
}

// The real kord: it makes the file at start and announces its first probe
// results to a reader waiting in this process; with the file's place taken
// by a directory it runs on, saying so.
TEST(Notice, KordAnnouncesItsChanges) {
    if (!testutil::own_network()) GTEST_SKIP() << "needs root for a network namespace of its own";
    for (bool blocked : {false, true}) {
        TempDir dir;
        const std::string root = dir / "root";
        for (const char *d : {"", "/data", "/nsdb", "/nsdb/cn", "/nodes"}) mkdir((root + d).c_str(), 0755);
        testutil::write_file(root + "/gpfile",
                             "web:demo.test:pw:250000:rtt:1:1:150000:10000:::1:0:127.0.0.1,127.0.0.2\n");
        const std::string path = root + "/data/kord.notify";
        if (blocked) mkdir(path.c_str(), 0755);
        kord::ChangeWatch w(path);
        bool changed = false;
        w.poll(nullptr, 0, 0, changed);
        testutil::Proc kord({testutil::bin_path("kord")},
                            {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (dir / "kord.log")}, dir / "kord.out");
        // Both nodes up in the map: the load and the two first states.
        EXPECT_TRUE(testutil::wait_until(
            [&] { return testutil::contains(testutil::read_file(dir / "kord.log"), "node workers: 2 of 2"); }, 20s));
        if (blocked) {
            EXPECT_TRUE(testutil::wait_until(
                [&] { return testutil::contains(testutil::read_file(dir / "kord.log"), "Change notice cannot be made"); },
                10s))
                << testutil::read_file(dir / "kord.log");
            EXPECT_FALSE(w.watching());
        } else {
            EXPECT_TRUE(notice_within(w, 20s));
            EXPECT_TRUE(testutil::wait_until([&] { return counter_in(path) >= 3; }, 20s)) << counter_in(path);
        }
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(kill(kord.pid, 0), 0);   // still running
        EXPECT_EQ(kord.stop(), 0) << testutil::read_file(dir / "kord.log");
    }
}
