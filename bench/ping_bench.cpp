// Pings on loopback through the process's one ping socket: back to back
// from 1 to 256 threads, and paced like kord's workers (1,000 threads, each
// every second or every 100 ms: 1,000 or 10,000 pings a second). Reports CPU per ping (the whole
// process, receiver included), pings without an answer, and replies the
// socket's queue dropped.
// Run as root in a private network namespace:
//   unshare -n sh -c 'ip link set lo up; build/bin/ping_bench'
// Without CAP_NET_RAW it measures the unprivileged echo socket, e.g.
//   unshare -n sh -c 'ip link set lo up; sysctl -qw net.ipv4.ping_group_range="0 0";
//                     capsh --drop=cap_net_raw -- -c build/bin/ping_bench'
#include "util/net/ping.h"
#include "util/sorvan.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

uint32_t thread_addr(int i) {
    const std::string addr = "127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250);
    return inet_addr(addr.c_str());
}

void report(benchmark::State &state, int64_t lost, uint64_t dropped0) {
    state.counters["lost"] = benchmark::Counter(static_cast<double>(lost), benchmark::Counter::kAvgThreads);
    if (state.thread_index() == 0) {
        auto c = sorvan::ping_counters();
        state.counters["dropped"] = static_cast<double>(c.dropped - dropped0);
        state.counters["rcvbuf_KiB"] = c.rcvbuf / 1024.0;
        state.counters["raw"] = c.kind == sorvan::kPingRaw;
    }
    state.SetItemsProcessed(state.iterations());
}

bool usable(benchmark::State &state, int r) {
    if (r < 0 && r > -10) {
        state.SkipWithError("no ping socket (root, or ping_group_range, in a namespace with lo up?)");
        return false;
    }
    return true;
}

}  // namespace

static void BM_PingBackToBack(benchmark::State &state) {
    const uint32_t a = thread_addr(state.thread_index());
    const uint64_t dropped0 = sorvan::ping_counters().dropped;
    int64_t lost = 0;
    for (auto _ : state) {
        int r = ping(a, 1000000);
        if (!usable(state, r)) break;
        lost += r < 0;
    }
    report(state, lost, dropped0);
}
BENCHMARK(BM_PingBackToBack)->Threads(1)->Threads(16)->Threads(64)->Threads(256)->UseRealTime()->MeasureProcessCPUTime();

// One ping every period (ms) per thread, from a start spread over the first
// period: kord's passes without the port probe, at 1,000 and 10,000 a second.
static void BM_PingPaced(benchmark::State &state) {
    using Clock = std::chrono::steady_clock;
    const uint32_t a = thread_addr(state.thread_index());
    const uint64_t dropped0 = sorvan::ping_counters().dropped;
    const auto period = std::chrono::milliseconds(state.range(0));
    auto next = Clock::now() + period * state.thread_index() / state.threads();
    int64_t lost = 0;
    for (auto _ : state) {
        std::this_thread::sleep_until(next);
        next += period;
        int r = ping(a, 800000);
        if (!usable(state, r)) break;
        lost += r < 0;
    }
    report(state, lost, dropped0);
}
BENCHMARK(BM_PingPaced)->ArgName("period_ms")->Arg(1000)->Arg(100)->Threads(1000)->Iterations(10)
    ->UseRealTime()->MeasureProcessCPUTime();

BENCHMARK_MAIN();
