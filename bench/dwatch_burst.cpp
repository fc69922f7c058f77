// A burst of unrelated changes below the installation root (an archive
// unpacked there), then one node-file edit: how many one-second main-loop
// passes until the edit reaches the slot, and how much memory the watcher's
// queue holds at its peak.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "master/kord.h"
#include "port/paths.h"
#include "util/sys/dwatch.h"

namespace {

const std::string g_root = [] {
    char tmpl[] = "/tmp/dwatch_burst.XXXXXX";
    std::string r = mkdtemp(tmpl);
    setenv("TESSARON_ROOT", r.c_str(), 1);
    setenv("TESSARON_LOG", (r + ".log").c_str(), 1);
    std::filesystem::create_directories(r + "/nodes");
    return r;
}();

struct QueueView {
    size_t changes = 0;
    size_t bytes = 0;
    long edit_at = -1;   // position of the node-file edit in the queue
};

QueueView look(DirWatcher *w, const std::string &edit) {
    QueueView v;
    pthread_mutex_lock(&w->lock);
    for (DirChange *c = w->first_change; c; c = c->next) {
        if (v.edit_at < 0 && edit == c->path && c->action == 3) v.edit_at = static_cast<long>(v.changes);
        ++v.changes;
        v.bytes += malloc_usable_size(c) + malloc_usable_size(c->path);
    }
    pthread_mutex_unlock(&w->lock);
    return v;
}

void BM_EditAfterBurst(benchmark::State &state) {
    const int burst = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::string dir = g_root + "/unpacked";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::string edit = g_root + "/nodes/a.cfg";
        kord::GroupRecord group{};
        std::strcpy(group.name, "g1");
        std::strcpy(group.domain, "ex.test");
        group.node_count = 1;
        std::strcpy(group.slot[0].name, "a");
        group.slot[0].min_vm = 512;
        kord::g_groups = &group;
        kord::g_group_count = 1;
        const char *roots[] = {path_item(2), nullptr};
        DirWatcher *w = dwatch(roots, kord::on_node_file_change, nullptr);
        kord::g_watcher = w;

        // One change each: created, opened read-only, closed.
        for (int i = 0; i < burst; ++i) {
            int fd = open((dir + "/f" + std::to_string(i)).c_str(), O_CREAT | O_RDONLY | O_CLOEXEC, 0644);
            if (fd >= 0) close(fd);
        }
        int fd = open(edit.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const char text[] = "min_vm 4242\n";
        if (fd >= 0) {
            if (write(fd, text, sizeof text - 1) < 0) state.SkipWithError("write");
            close(fd);
        }
        QueueView peak;
        for (int i = 0; i < 500 && (peak = look(w, edit)).edit_at < 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        state.ResumeTiming();

        // Main-loop passes without their one-second sleep.
        auto t0 = std::chrono::steady_clock::now();
        int passes = 0;
        while (group.slot[0].min_vm != 4242u && passes < burst + 10) {
            kord::dispatch_change(w);
            evMainLoop(w->ev);
            evDo(w->ev, nullptr);
            ++passes;
        }
        double work_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

        state.PauseTiming();
        kord::stop_watcher();
        state.counters["queued_changes"] = static_cast<double>(peak.changes);
        state.counters["peak_queue_bytes"] = static_cast<double>(peak.bytes);
        state.counters["passes"] = passes;
        state.counters["latency_s"] = passes * 1.0 + work_s;
        // Handing on every change, one per pass, the edit waits behind the burst.
        state.counters["latency_one_per_pass_s"] = peak.edit_at + 2.0;
        state.ResumeTiming();
    }
}
BENCHMARK(BM_EditAfterBurst)->Arg(10000)->Iterations(3)->Unit(benchmark::kMillisecond);

struct Cleanup {
    ~Cleanup() {
        std::filesystem::remove_all(g_root);
        std::filesystem::remove(g_root + ".log");
    }
} g_cleanup;

}  // namespace

BENCHMARK_MAIN();
