// Transaction log: a real log file, the event-library hand-off, concurrent
// producers, two processes on one log, kills and a full file system.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "port/varro.h"
#include "util/sorvan.h"
#include "tests/support/testutil.h"

using testutil::TempDir;

namespace {

TlogRecord make(uint32_t kind, const std::string &path) {
    TlogRecord r{};
    r.addr = htonl(0x7F000001);
    r.kind = kind;
    std::snprintf(r.file.path, sizeof r.file.path, "%s", path.c_str());
    r.port = 10000;
    r.timeout = 1000000;
    std::snprintf(r.passwd, sizeof r.passwd, "secret");
    return r;
}

off_t size_of(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

std::vector<std::string> queued_paths(const std::string &log) {
    std::ifstream in(log, std::ios::binary);
    std::vector<std::string> out;
    TlogRecord r;
    while (in.read(reinterpret_cast<char *>(&r), sizeof r)) out.emplace_back(r.file.path);
    return out;
}

struct Log {
    TempDir dir;
    TlogHandle h;
    std::string path = dir / "tlog";
    explicit Log(tlog_callback cb = nullptr) { tlog_init(&h, path.c_str(), cb); }
    ~Log() { tlog_shutdown(&h); }
};

std::vector<std::string> g_handed;

void consumer(evContext *, void *uap, const void *) {
    auto *block = static_cast<TlogDispatch *>(uap);
    g_handed.emplace_back(block->rec.file.path);
    tlog_delete_rec(block->log, &block->rec);
    memput(block, sizeof *block);
}

}  // namespace

constexpr off_t kRec = sizeof(TlogRecord);

TEST(Tlog, QueueSearchAndDelete) {
    Log l;
    TlogRecord a = make(REQ_SEND_FILE, "/a"), b = make(REQ_REMOVE, "/b"), c = make(REQ_MKDIR, "/c");
    EXPECT_EQ(tlog_process(&l.h), -1);   // no file yet
    EXPECT_EQ(tlog_search(&l.h, &a), -1);
    EXPECT_EQ(tlog_delete_rec(&l.h, &a), -1);
    EXPECT_EQ(tlog_do_op(nullptr, &(c.kind = 1, c)), -100);
    EXPECT_EQ(tlog_do_op(nullptr, &(c.kind = 9, c)), -100);
    c.kind = REQ_MKDIR;
    testutil::write_file(l.path, "");
    EXPECT_EQ(tlog_process(&l.h), -2);   // empty

    EXPECT_EQ(tlog_write_rec(&l.h, &a), 0);
    EXPECT_EQ(tlog_write_rec(&l.h, &b), 0);
    EXPECT_EQ(tlog_write_rec(&l.h, &b), 1);   // already queued behind the oldest
    EXPECT_EQ(tlog_write_rec(&l.h, &a), 0);   // equal to the oldest: queued again
    EXPECT_EQ(tlog_write_rec(&l.h, &c), 0);
    EXPECT_EQ(queued_paths(l.path), (std::vector<std::string>{"/a", "/b", "/a", "/c"}));
    EXPECT_EQ(tlog_search(&l.h, &b), 1);
    b.reserved = 1;   // every byte counts
    EXPECT_EQ(tlog_search(&l.h, &b), 0);
    EXPECT_EQ(tlog_delete_rec(&l.h, &b), 0);   // not queued: nothing changes
    EXPECT_EQ(size_of(l.path), 4 * kRec);
    b.reserved = 0;
    EXPECT_EQ(tlog_delete_rec(&l.h, &b), 0);   // from the middle, order kept
    EXPECT_EQ(queued_paths(l.path), (std::vector<std::string>{"/a", "/a", "/c"}));
    for (auto *r : {&a, &a, &c}) EXPECT_EQ(tlog_delete_rec(&l.h, r), 0);
    EXPECT_EQ(size_of(l.path), 0);
    EXPECT_EQ(tlog_process(&l.h), -2);

    // Several at once: neighbours together, the unqueued ignored, the rest
    // kept in order; equal records go one per copy named.
    TlogRecord d = make(REQ_MKDIR, "/d"), x = make(REQ_REMOVE, "/x");
    const TlogRecord four[] = {a, b, c, d};
    ASSERT_EQ(tlog_write_recs(&l.h, four, 4), 4);
    const TlogRecord gone[] = {x, b, c, a};
    EXPECT_EQ(tlog_delete_recs(&l.h, gone, 4), 0);
    EXPECT_EQ(queued_paths(l.path), (std::vector<std::string>{"/d"}));
    EXPECT_EQ(tlog_write_rec(&l.h, &a), 0);
    EXPECT_EQ(tlog_write_rec(&l.h, &b), 0);
    EXPECT_EQ(tlog_write_rec(&l.h, &d), 0);   // equal to the oldest: queued again
    const TlogRecord once[] = {d, a};
    EXPECT_EQ(tlog_delete_recs(&l.h, once, 2), 0);
    EXPECT_EQ(queued_paths(l.path), (std::vector<std::string>{"/b", "/d"}));
    const TlogRecord rest[] = {b, d};
    EXPECT_EQ(tlog_delete_recs(&l.h, rest, 2), 0);
    EXPECT_EQ(size_of(l.path), 0);
    EXPECT_EQ(tlog_rec_last(reinterpret_cast<TlogRecord *>(0x1000), reinterpret_cast<void *>(0x1000 + kRec)), 1);
    EXPECT_EQ(tlog_rec_last(reinterpret_cast<TlogRecord *>(0x1000), reinterpret_cast<void *>(0x1000 + 2 * kRec)), 0);
}

// The consumer runs on the event loop's thread once the null tag is
// signalled, oldest first, and survives a restart of the log.
TEST(Tlog, HandOffThroughTheEventLoopResumesAfterRestart) {
    TempDir d;
    std::string path = d / "tlog";
    TlogHandle h;
    tlog_init(&h, path.c_str(), consumer);
    for (int i = 0; i < 5; ++i) {
        TlogRecord r = make(REQ_MKDIR, "/r" + std::to_string(i));
        ASSERT_EQ(tlog_write_rec(&h, &r), 0);
    }
    tlog_shutdown(&h);
    tlog_init(&h, path.c_str(), consumer);
    g_handed.clear();
    while (tlog_process(&h) == 0) {
        EXPECT_TRUE(g_handed.size() < 5);
        evDo(h.evctx, nullptr);
        evMainLoop(h.evctx);
    }
    EXPECT_EQ(g_handed, (std::vector<std::string>{"/r0", "/r1", "/r2", "/r3", "/r4"}));
    tlog_shutdown(&h);
}

TEST(Tlog, ConcurrentProducersLoseNothing) {
    Log l;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                TlogRecord r = make(REQ_SEND_FILE, "/t" + std::to_string(t) + "/" + std::to_string(i));
                tlog_write_rec(&l.h, &r);
            }
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(queued_paths(l.path).size(), 200u);
    EXPECT_EQ(size_of(l.path), 200 * kRec);
}

// A second handle stands for another process: each sees what the other
// queued and removed, whether the removal rewrote the file or only zeroed
// the record in place (a queue of 100).
TEST(Tlog, TwoHandlesOnOneLogAgree) {
    for (int depth : {2, 100}) {
        Log a;
        TlogHandle b;
        tlog_init(&b, a.path.c_str(), nullptr);
        std::vector<TlogRecord> r;
        for (int i = 0; i < depth + 1; ++i) r.push_back(make(REQ_SEND_FILE, "/" + std::to_string(i)));
        for (int i = 0; i < depth; ++i) ASSERT_EQ(tlog_write_rec(&a.h, &r[i]), 0);
        EXPECT_EQ(tlog_write_rec(&b, &r[1]), 1) << depth;
        ASSERT_EQ(tlog_delete_rec(&a.h, &r[0]), 0);
        TlogRecord got;
        EXPECT_EQ(tlog_read_rec(&b, 0, &got), depth - 1);
        EXPECT_STREQ(got.file.path, "/1");
        ASSERT_EQ(tlog_delete_rec(&b, &r[1]), 0);
        EXPECT_EQ(tlog_write_rec(&b, &r[depth]), 0);
        EXPECT_EQ(tlog_write_rec(&a.h, &r[1]), 0);   // gone: queued again
        EXPECT_EQ(tlog_write_rec(&b, &r[1]), 1);
        EXPECT_EQ(tlog_search(&a.h, &r[depth]), depth - 2);
        EXPECT_EQ(tlog_read_rec(&a.h, depth - 1, &got), depth);
        EXPECT_STREQ(got.file.path, "/1");
        tlog_shutdown(&b);
    }
}

// A process killed at any point while it removes the oldest records and
// appends new ones leaves whole records. The child reports each operation
// once it has returned, and removes at most half of what it found, so the
// queue cannot empty. Read as any reader of the format would, the queue is
// then one run of records in order, each intact, holding every record the
// child appended and did not remove and none it removed: only the one
// operation under way at the kill may have gone either way.
TEST(Tlog, KilledWriterLeavesEveryQueuedRecordWhole) {
    Log l;
    const int first = 3000;
    for (int i = 0; i < first; ++i) {
        TlogRecord r = make(REQ_SEND_FILE, "/f" + std::to_string(i));
        ASSERT_EQ(tlog_write_rec(&l.h, &r), 0);
    }
    auto number = [](const TlogRecord &r) { return std::atoi(r.file.path + 2); };
    int lo = 0, hi = first - 1;   // the queue before the round
    std::mt19937 rng(11);
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", queue " + std::to_string(lo) + ".." + std::to_string(hi));
        const int removals = hi - lo;   // all but the newest
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Reports: n for record n appended, -1 - n for record n removed.
            close(report[0]);
            auto tell = [&](int32_t v) {
                if (write(report[1], &v, sizeof v) != ssize_t(sizeof v)) _exit(3);
            };
            TlogHandle h;
            tlog_init(&h, l.path.c_str(), nullptr);
            int next = hi + 1;
            for (int i = 0; i < removals; ++i) {
                TlogRecord r;
                if (tlog_read_rec(&h, 0, &r) <= 0 || tlog_delete_rec(&h, &r) != 0) _exit(1);
                tell(-1 - number(r));
                if (i % 2 == 0) {
                    TlogRecord more = make(REQ_SEND_FILE, "/f" + std::to_string(next));
                    if (tlog_write_rec(&h, &more) != 0) _exit(2);
                    tell(next++);
                }
            }
            _exit(0);
        }
        close(report[1]);
        // Killed after a chosen number of operations, somewhere in a later one.
        const int ops = removals + (removals + 1) / 2;
        int kill_after = int(rng() % unsigned(ops + 1));
        int32_t v;
        std::vector<int32_t> told;
        while (int(told.size()) < kill_after && read(report[0], &v, sizeof v) == ssize_t(sizeof v)) told.push_back(v);
        usleep(useconds_t(rng() % 300));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        while (read(report[0], &v, sizeof v) == ssize_t(sizeof v)) told.push_back(v);
        close(report[0]);
        bool killed = WIFSIGNALED(status);
        ASSERT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "child status " << status;

        // Removed: the oldest, in order; appended: each after the newest.
        int removed_to = lo, appended_to = hi;   // first not known removed, last known appended
        for (int32_t t : told) {
            if (t < 0) ASSERT_EQ(-1 - t, removed_to++);
            else ASSERT_EQ(t, ++appended_to);
        }
        // Raw records: removed ones read as address 0 and kind 0.
        std::ifstream in(l.path, std::ios::binary);
        TlogRecord r;
        std::vector<int> queued;
        while (in.read(reinterpret_cast<char *>(&r), sizeof r)) {
            if (r.addr == 0 && r.kind == 0) continue;
            int i = number(r);
            TlogRecord want = make(REQ_SEND_FILE, "/f" + std::to_string(i));
            ASSERT_EQ(std::memcmp(&r, &want, sizeof r), 0) << "record " << i << " torn";
            queued.push_back(i);
        }
        ASSERT_FALSE(queued.empty());
        for (size_t k = 1; k < queued.size(); ++k) ASSERT_EQ(queued[k], queued[k - 1] + 1);
        int front = queued.front(), back = queued.back();
        // Exactly what was reported, give or take the operation the kill cut.
        int cut = (front - removed_to) + (back - appended_to);
        EXPECT_GE(front, removed_to);
        EXPECT_GE(back, appended_to);
        EXPECT_LE(cut, killed ? 1 : 0) << "removed to " << removed_to << ", appended to " << appended_to
                                       << ", queued " << front << ".." << back;
        // A new process reads the same queue through the library.
        TlogHandle fresh;
        tlog_init(&fresh, l.path.c_str(), nullptr);
        EXPECT_EQ(tlog_read_rec(&fresh, 0, &r), int(queued.size()));
        EXPECT_EQ(number(r), front);
        tlog_read_rec(&fresh, int32_t(queued.size() - 1), &r);
        EXPECT_EQ(number(r), back);
        tlog_shutdown(&fresh);
        lo = front;
        hi = back;
    }
}

// On a full file system an append fails cleanly and leaves the queue as it
// was; a removal needs no room, so the queue still drains.
TEST(Tlog, FullFileSystemRefusesAppendsAndKeepsTheQueue) {
    if (!testutil::is_root()) GTEST_SKIP() << "needs root for a private mount";
    ASSERT_TRUE(testutil::own_network(true));
    TempDir d;
    ASSERT_EQ(mount("tmpfs", d.path().c_str(), "tmpfs", 0, "size=64k"), 0);
    {
        TlogHandle h;
        std::string path = d / "tlog";
        tlog_init(&h, path.c_str(), nullptr);
        int queued = 0, rc;
        for (TlogRecord r; (rc = tlog_write_rec(&h, &(r = make(REQ_MKDIR, "/d" + std::to_string(queued))))) == 0;)
            ++queued;
        EXPECT_EQ(rc, -2);
        ASSERT_GT(queued, 10);
        EXPECT_EQ(size_of(path), queued * kRec);
        auto paths = queued_paths(path);
        ASSERT_EQ(int(paths.size()), queued);
        for (int i = 0; i < queued; ++i) EXPECT_EQ(paths[size_t(i)], "/d" + std::to_string(i));
        TlogRecord oldest = make(REQ_MKDIR, "/d0");
        EXPECT_EQ(tlog_delete_rec(&h, &oldest), 0);
        EXPECT_EQ(tlog_read_rec(&h, -1, nullptr), queued - 1);
        for (int i = 1; i < queued; ++i) {
            TlogRecord r = make(REQ_MKDIR, "/d" + std::to_string(i));
            ASSERT_EQ(tlog_delete_rec(&h, &r), 0) << i;
        }
        EXPECT_EQ(size_of(path), 0);
        EXPECT_EQ(tlog_write_rec(&h, &oldest), 0);
        tlog_shutdown(&h);
    }
    umount(d.path().c_str());
}
