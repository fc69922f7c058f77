// Node files, the balancing method, the change handler and the main loop's
// hand-over of watcher changes, on real files below a real root.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <tuple>

#include "master/kord.h"
#include "port/paths.h"
#include "tests/support/testutil.h"
#include "util/sys/dwatch.h"

using namespace kord;

namespace {

// The installation root is resolved once per process: make it first.
const std::string g_root = testutil::process_root({"nodes"});

std::string node_path(const std::string &name) { return g_root + "/nodes/" + name + ".cfg"; }

// A slot whose node-file values all differ from the defaults.
NodeRecord slot_named(const char *name) {
    NodeRecord s{};
    std::strncpy(s.name, name, sizeof s.name);
    s.min_fs = s.min_vm = 77;
    s.max_connections = 77;
    s.traffic_alloc = 7;
    return s;
}

// (min_fs, min_vm, max_connections, traffic_alloc) after reading text.
std::tuple<uint32_t, uint32_t, int32_t, int32_t> read_text(const std::string &text) {
    testutil::write_file(node_path("r"), text);
    NodeRecord s = slot_named("r");
    read_node_file(&s);
    return {s.min_fs, s.min_vm, s.max_connections, s.traffic_alloc};
}
using V = std::tuple<uint32_t, uint32_t, int32_t, int32_t>;

}  // namespace

TEST(NodeFile, MethodKeywordsAnyCaseAndRttForTheRest) {
    EXPECT_EQ(parse_method("FailSafe"), kMethodFailsafe);
    EXPECT_EQ(parse_method("loads"), kMethodRtt);
    EXPECT_EQ(parse_method(nullptr), kMethodRtt);
}

TEST(NodeFile, LineRules) {
    EXPECT_EQ(read_text("min_vm = 256\nmax_connections 50\n"), V(1, 256, 50, 7));
    EXPECT_EQ(read_text("=\tmin_fs==\t12\ntraffic_alloc 30"), V(12, 512, 10000, 30));
    // Prefix keys match; a shorter key is none; comments skipped; last wins.
    EXPECT_EQ(read_text("min_fs_extra 9\nmin 5\n# min_vm 1\n; min_vm 2\nmin_vm 3\nmin_vm 4\n"),
              V(9, 4, 10000, 7));
    // CR LF ends a line: a value-less key clears rather than reading "\r".
    EXPECT_EQ(read_text("min_vm 300\r\ntraffic_alloc\r\nmin_fs 2\r"), V(2, 300, 10000, 7));
    EXPECT_EQ(read_text("min_vm 11\xffmin_fs 5\n"), V(1, 11, 10000, 7));    // 0xFF ends the file
    // A line past 1024 characters is cut, the next byte lost, the rest a line.
    EXPECT_EQ(read_text("min_vm 13" + std::string(1015, ' ') + "Xmin_fs 3\n"), V(3, 13, 10000, 7));
    // 16 characters of a value count; huge numbers clamp instead of wrapping.
    EXPECT_EQ(read_text("max_connections 00000000000000001234\n"), V(1, 512, 0, 7));
    EXPECT_EQ(read_text("max_connections 99999999999999999999\n"), V(1, 512, INT_MAX, 7));
    unlink(node_path("r").c_str());
    NodeRecord s = slot_named("r");
    EXPECT_EQ(read_node_file(&s), 0);   // no file: defaults, traffic share kept
    EXPECT_EQ(V(s.min_fs, s.min_vm, s.max_connections, s.traffic_alloc), V(1, 512, 10000, 7));
}

// The change handler and dispatch_change over a real watcher. It watches an
// empty directory, so the node-file writes here raise no notices of their
// own: only the changes a test queues or delivers reach the passes.
class ChangeFlow : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(groups_, 0, sizeof groups_);
        for (auto &g : groups_) std::strcpy(g.domain, "ex.test");
        std::strcpy(groups_[0].name, "g1");
        groups_[0].node_count = 2;
        groups_[0].slot[0] = slot_named("a");
        groups_[0].slot[2] = slot_named("b");
        std::strcpy(groups_[1].name, "g2");   // no nodes loaded: never touched
        groups_[1].slot[0] = slot_named("a");
        g_groups = groups_;
        g_group_count = 2;
        const char *roots[] = {quiet_.path().c_str(), nullptr};
        g_watcher = w_ = dwatch(roots, on_node_file_change, nullptr);
        ASSERT_NE(w_, nullptr);
        for (const char *n : {"a", "b"}) unlink(node_path(n).c_str());
    }
    void TearDown() override {
        stop_watcher();
        g_groups = nullptr;
        g_group_count = 0;
    }
    void pass() {   // a main-loop pass without its sleep and mirror refresh
        dispatch_change(w_);
        evMainLoop(w_->ev);
        evDo(w_->ev, nullptr);
    }
    void deliver(const std::string &path, int action) {
        auto *rec = static_cast<DispatchRecord *>(memget(sizeof(DispatchRecord)));
        *rec = {w_, savestr(path.c_str(), 1), action};
        on_node_file_change(w_->ev, rec, nullptr);
    }
    void queue_only(std::initializer_list<const char *> names) {
        for (const char *n : names) queue_change(w_, g_root.c_str(), n, 3);
    }
    NodeRecord &a() { return groups_[0].slot[0]; }
    NodeRecord &b() { return groups_[0].slot[2]; }
    GroupRecord groups_[2];
    testutil::TempDir quiet_;
    DirWatcher *w_ = nullptr;
};

TEST_F(ChangeFlow, RenameAndMoveOutResetTheOldNodeAndReadTheNew) {
    testutil::write_file(node_path("a"), "min_vm 300\n");
    deliver(node_path("a"), 1);
    ASSERT_EQ(a().min_vm, 300u);
    EXPECT_EQ(groups_[1].slot[0].min_vm, 77u);
    ASSERT_EQ(rename(node_path("a").c_str(), node_path("b").c_str()), 0);
    deliver(node_path("a"), 4);
    deliver(node_path("b"), 5);
    EXPECT_EQ(V(a().min_fs, a().min_vm, a().max_connections, a().traffic_alloc), V(1, 512, 10000, 7));
    EXPECT_EQ(b().min_vm, 300u);

    // Moved out of the tree: reset, and no stale name left behind.
    testutil::TempDir outside;
    ASSERT_EQ(rename(node_path("b").c_str(), (outside / "b.cfg").c_str()), 0);
    deliver(node_path("b"), 4);
    EXPECT_EQ(b().min_vm, 512u);
    testutil::write_file(node_path("b"), "min_vm 400\n");
    deliver(node_path("b"), 1);
    deliver(g_root + "/x.tmp", 5);   // an unrelated rename must not reset b
    EXPECT_EQ(b().min_vm, 400u);
}

TEST_F(ChangeFlow, QueuedChangesRunOnePerPassInOrderBehindSkippedNoise) {
    testutil::write_file(node_path("a"), "min_vm 1000\n");
    testutil::write_file(node_path("b"), "min_vm 2000\n");
    queue_only({"other/x", "nodes/a.cfg", "nodes.bak/b.cfg", "nodes/b.cfg"});
    pass();   // noise dropped, a taken and released
    EXPECT_EQ(a().min_vm, 77u);
    pass();   // a runs, b taken
    EXPECT_EQ(a().min_vm, 1000u);
    EXPECT_EQ(b().min_vm, 77u);
    pass();
    EXPECT_EQ(b().min_vm, 2000u);
    // A stop frees a record released but not yet run, without reading it.
    testutil::write_file(node_path("a"), "min_vm 555\n");
    queue_only({"nodes/a.cfg"});
    pass();
    stop_watcher();
    EXPECT_EQ(g_watcher, nullptr);
    EXPECT_EQ(a().min_vm, 1000u);
    stop_watcher();   // a second stop finds nothing to free
}
