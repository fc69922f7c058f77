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
// appends new ones leaves whole records: read as any reader of the format
// would, the queue is the records not yet removed, in order, each intact.
TEST(Tlog, KilledWriterLeavesEveryQueuedRecordWhole) {
    Log l;
    const int first = 3000;
    for (int i = 0; i < first; ++i) {
        TlogRecord r = make(REQ_SEND_FILE, "/f" + std::to_string(i));
        ASSERT_EQ(tlog_write_rec(&l.h, &r), 0);
    }
    int lo = 0, hi = first - 1;
    std::mt19937 rng(11);
    for (int round = 0; round < 20 && lo <= hi; ++round) {
        pid_t child = fork();
        if (child == 0) {
            TlogHandle h;
            tlog_init(&h, l.path.c_str(), nullptr);
            TlogRecord r;
            int n = tlog_read_rec(&h, -1, nullptr);
            tlog_read_rec(&h, n - 1, &r);
            int next = std::atoi(r.file.path + 2) + 1;
            for (int i = 0; tlog_read_rec(&h, 0, &r) > 0; ++i) {
                if (tlog_delete_rec(&h, &r) != 0) _exit(1);
                TlogRecord more = make(REQ_SEND_FILE, "/f" + std::to_string(next));
                if (i % 2 == 0 && tlog_write_rec(&h, &more) == 0) ++next;
            }
            _exit(0);
        }
        usleep(useconds_t(rng() % 30000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        // Raw records: removed ones read as address 0 and kind 0.
        std::ifstream in(l.path, std::ios::binary);
        TlogRecord r;
        std::vector<int> queued;
        while (in.read(reinterpret_cast<char *>(&r), sizeof r)) {
            if (r.addr == 0 && r.kind == 0) continue;
            int i = std::atoi(r.file.path + 2);
            TlogRecord want = make(REQ_SEND_FILE, "/f" + std::to_string(i));
            ASSERT_EQ(std::memcmp(&r, &want, sizeof r), 0) << "round " << round << ": record " << i << " torn";
            queued.push_back(i);
        }
        ASSERT_FALSE(queued.empty());
        for (size_t k = 1; k < queued.size(); ++k) ASSERT_EQ(queued[k], queued[k - 1] + 1) << "round " << round;
        EXPECT_GE(queued.front(), lo);
        EXPECT_LE(queued.front(), hi);   // the newest record was queued, never lost
        EXPECT_GE(queued.back(), hi);
        lo = queued.front();
        hi = queued.back();
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
