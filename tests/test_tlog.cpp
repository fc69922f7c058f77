// Transaction log: a real log file, the event-library hand-off and
// concurrent producers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "port/varro.h"
#include "sorvan.h"
#include "testutil.h"

using testutil::TempDir;

namespace {

TlogRecord make(uint32_t kind, const std::string &path) {
    TlogRecord r;
    std::memset(&r, 0, sizeof r);
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

TEST(Tlog, EmptyAndMissingLogs) {
    Log l;
    TlogRecord r = make(REQ_MKDIR, "/a");
    EXPECT_EQ(tlog_process(&l.h), -1);
    EXPECT_EQ(tlog_search(&l.h, &r), -1);
    EXPECT_EQ(tlog_delete_rec(&l.h, &r), -1);
    testutil::write_file(l.path, "");
    EXPECT_EQ(tlog_process(&l.h), -2);
    EXPECT_EQ(tlog_do_op(nullptr, &(r.kind = 1, r)), -100);
    EXPECT_EQ(tlog_do_op(nullptr, &(r.kind = 9, r)), -100);
}

TEST(Tlog, DuplicatesAndTheOldestRecordQuirk) {
    Log l;
    TlogRecord a = make(REQ_SEND_FILE, "/a"), b = make(REQ_REMOVE, "/b");
    EXPECT_EQ(tlog_write_rec(&l.h, &a), 0);
    EXPECT_EQ(tlog_write_rec(&l.h, &b), 0);
    EXPECT_EQ(tlog_write_rec(&l.h, &b), 1);   // already queued behind the oldest
    EXPECT_EQ(size_of(l.path), 2 * 2176);
    EXPECT_EQ(tlog_write_rec(&l.h, &a), 0);   // equal to the oldest: queued again
    EXPECT_EQ(queued_paths(l.path), (std::vector<std::string>{"/a", "/b", "/a"}));
    EXPECT_EQ(tlog_search(&l.h, &b), 1);
    b.reserved = 1;   // every byte counts
    EXPECT_EQ(tlog_search(&l.h, &b), 0);
}

TEST(Tlog, DeleteKeepsOrder) {
    Log l;
    TlogRecord r[3] = {make(REQ_MKDIR, "/1"), make(REQ_MKDIR, "/2"), make(REQ_MKDIR, "/3")};
    for (auto &x : r) ASSERT_EQ(tlog_write_rec(&l.h, &x), 0);
    TlogRecord other = make(REQ_MKDIR, "/9");
    EXPECT_EQ(tlog_delete_rec(&l.h, &other), 0);
    EXPECT_EQ(size_of(l.path), 3 * 2176);
    EXPECT_EQ(tlog_delete_rec(&l.h, &r[1]), 0);
    EXPECT_EQ(size_of(l.path), 4352);
    EXPECT_EQ(queued_paths(l.path), (std::vector<std::string>{"/1", "/3"}));
    EXPECT_EQ(tlog_delete_rec(&l.h, &r[0]), 0);
    EXPECT_EQ(tlog_delete_rec(&l.h, &r[2]), 0);
    EXPECT_EQ(size_of(l.path), 0);
    EXPECT_EQ(tlog_process(&l.h), -2);
}

// The consumer runs on the event loop's thread once the null tag is
// signalled, oldest first, and survives a restart of the log.
TEST(Tlog, HandOffThroughTheEventLoopResumesAfterRestart) {
    TempDir d;
    std::string path = d / "tlog";
    {
        TlogHandle h;
        tlog_init(&h, path.c_str(), consumer);
        for (int i = 0; i < 5; ++i) {
            TlogRecord r = make(REQ_MKDIR, "/r" + std::to_string(i));
            ASSERT_EQ(tlog_write_rec(&h, &r), 0);
        }
        tlog_shutdown(&h);
    }
    TlogHandle h;
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
    auto got = queued_paths(l.path);
    EXPECT_EQ(got.size(), 200u);
    EXPECT_EQ(size_of(l.path), 200 * 2176);
}

// A mapping that fails after the file was extended must not leave a
// record of zeros at the end.
TEST(Tlog, FailedMappingShrinksTheFileBack) {
    Log l;
    TlogRecord r = make(REQ_MKDIR, "/x");
    ASSERT_EQ(tlog_write_rec(&l.h, &r), 0);
    ASSERT_EQ(truncate(l.path.c_str(), 2176 * 40000), 0);   // ~87 MB of queue
    const off_t before = size_of(l.path);
    struct rlimit old;
    getrlimit(RLIMIT_AS, &old);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    struct rlimit tight = old;
    tight.rlim_cur = rlim_t(pages) * 4096 + (16 << 20);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    TlogRecord n = make(REQ_MKDIR, "/new");
    int rc = tlog_write_rec(&l.h, &n);
    setrlimit(RLIMIT_AS, &old);
    EXPECT_EQ(rc, -3);
    EXPECT_EQ(size_of(l.path), before);
    EXPECT_EQ(tlog_rec_last(reinterpret_cast<TlogRecord *>(0x1000), reinterpret_cast<void *>(0x1000 + 2176)), 1);
    EXPECT_EQ(tlog_rec_last(reinterpret_cast<TlogRecord *>(0x1000), reinterpret_cast<void *>(0x1000 + 4352)), 0);
}
