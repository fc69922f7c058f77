// Concurrent pings on loopback: with and without the per-socket kernel
// filter (without it every reply wakes every ping socket open at the time),
// and with a kept socket per thread or a new socket per call.
// Run as root in a private network namespace:
//   unshare -n sh -c 'ip link set lo up; build/bin/ping_bench'
#include "net/ping.h"
#include "sorvan.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <string>
#include <unistd.h>

static void BM_PingLoopback(benchmark::State &state) {
    sorvan::ping_use_filter = state.range(0) != 0;
    sorvan::ping_keep_socket = state.range(1) != 0;
    const std::string addr = "127.0.1." + std::to_string(state.thread_index() + 1);
    const uint32_t a = inet_addr(addr.c_str());
    int64_t lost = 0;
    for (auto _ : state) {
        int r = ping(a, 1000000);
        if (r < -9) {
            ++lost;
        } else if (r < 0) {
            state.SkipWithError("no raw socket (root in a network namespace with lo up?)");
            break;
        }
    }
    state.counters["lost"] = benchmark::Counter(static_cast<double>(lost), benchmark::Counter::kAvgThreads);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PingLoopback)
    ->ArgNames({"filter", "keep"})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({0, 0})
    ->Threads(1)
    ->Threads(16)
    ->Threads(64)
    ->Threads(128)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

BENCHMARK_MAIN();
