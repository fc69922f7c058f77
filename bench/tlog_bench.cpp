// Transaction log: queueing and draining 1,000 and 10,000 small-file
// operations against a local sorvan-agent with `sorvan-sync drain` (several
// requests in flight), and the cost of an append and of removing the
// oldest record at several queue depths.
//
//   build-X/bin/tlog_bench
// Needs the built sorvan-agent and sorvan-sync next to it; traffic stays
// on 127.0.0.1.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "port/varro.h"
#include "util/sorvan.h"

namespace {

const char *kPassword = "bench";

std::string scratch() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/tlog_bench.XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

TlogRecord op(int i, int port) {
    TlogRecord r;
    std::memset(&r, 0, sizeof r);
    r.addr = htonl(0x7F000001);
    r.kind = REQ_SEND_FILE;
    r.port = uint16_t(port);
    r.timeout = 2000000;
    std::snprintf(r.passwd, sizeof r.passwd, "%s", kPassword);
    std::snprintf(r.file.path, sizeof r.file.path, "%s/src/f%d", scratch().c_str(), i);
    std::snprintf(r.file.path2, sizeof r.file.path2, "%s/dst/f%d", scratch().c_str(), i);
    r.file.size = 64;
    r.file.attributes = 0x20;
    return r;
}

// Appends n records (each checked against the queue for a duplicate).
void BM_Queue(benchmark::State &state) {
    int n = int(state.range(0));
    std::string log = scratch() + "/queue.tlog";
    double total = 0;
    for (auto _ : state) {
        unlink(log.c_str());
        TlogHandle h;
        tlog_init(&h, log.c_str(), nullptr);
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i) {
            TlogRecord r = op(i, 1);
            tlog_write_rec(&h, &r);
        }
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        tlog_shutdown(&h);
    }
    state.counters["per_op_us"] = total * 1e6 / (double(n) * double(state.iterations()));
    unlink(log.c_str());
}
BENCHMARK(BM_Queue)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

// Removing the oldest record at a given queue depth.
void BM_DeleteOldestAtDepth(benchmark::State &state) {
    int depth = int(state.range(0));
    std::string log = scratch() + "/depth.tlog";
    unlink(log.c_str());
    TlogHandle h;
    tlog_init(&h, log.c_str(), nullptr);
    for (int i = 0; i < depth + 200; ++i) {
        TlogRecord r = op(i, 1);
        tlog_write_rec(&h, &r);
    }
    int i = 0;
    for (auto _ : state) {
        TlogRecord r = op(i++ % 200, 1);
        tlog_delete_rec(&h, &r);
        state.PauseTiming();
        TlogRecord again = op(depth + 200 + i, 1);
        tlog_write_rec(&h, &again);
        state.ResumeTiming();
    }
    tlog_shutdown(&h);
    unlink(log.c_str());
}
BENCHMARK(BM_DeleteOldestAtDepth)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)->Iterations(200);

double g_per_file_1000 = 0;   // drain seconds per file with 1,000 queued

// Runs build/bin/sorvan-sync -L log drain; its wall time in seconds, or -1.
double run_drain(const std::string &log) {
    auto t0 = std::chrono::steady_clock::now();
    pid_t p = fork();
    if (p == 0) {
        std::string bin = std::string(TESSARON_BIN_DIR) + "/sorvan-sync";
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(bin.c_str(), bin.c_str(), "-L", log.c_str(), "drain", nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(p, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The agent's workers each take a load sample (half a second) as they
// start: wait until it answers one, so no run pays for that.
void wait_for_agent(int port) {
    static des_cipher *keyed = req_cipher_init(nullptr);
    (void)keyed;
    for (int tries = 0; tries < 50; ++tries) {
        int s = req_send(htonl(0x7F000001), port, 1000000, kPassword, "Q4", nullptr, REQ_LOAD, 0, 0, 0);
        AgentStats st;
        bool ok = s >= 0 && nread(s, &st, int(sizeof st)) == int(sizeof st);
        if (s >= 0) close(s);
        if (ok) return;
        usleep(100000);
    }
}

// Queue n small files with the library, then drain them with sorvan-sync.
void BM_QueueAndDrain(benchmark::State &state) {
    int n = int(state.range(0));
    signal(SIGPIPE, SIG_IGN);
    std::filesystem::remove_all(scratch() + "/dst");
    std::filesystem::create_directories(scratch() + "/src");
    for (int i = 0; i < n; ++i) {
        int fd = open((scratch() + "/src/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char text[64];
        std::memset(text, 'a' + i % 26, sizeof text);
        (void)!write(fd, text, sizeof text);
        close(fd);
    }
    int port = 32000 + getpid() % 1000;
    pid_t agent = start_agent(port, kPassword);
    wait_for_agent(port);
    std::string log = scratch() + "/drain.tlog";
    double queue_s = 0, drain_s = 0;
    for (auto _ : state) {
        unlink(log.c_str());
        TlogHandle h;
        tlog_init(&h, log.c_str(), nullptr);
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i) {
            TlogRecord r = op(i, port);
            tlog_write_rec(&h, &r);
        }
        queue_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        tlog_shutdown(&h);
        drain_s += run_drain(log);
    }
    int arrived = 0;
    for (int i = 0; i < n; ++i) arrived += access((scratch() + "/dst/f" + std::to_string(i)).c_str(), F_OK) == 0;
    double per_file = drain_s / double(n);
    if (n == 1000) g_per_file_1000 = per_file;
    state.counters["queue_s"] = queue_s;
    state.counters["drain_s"] = drain_s;
    state.counters["drain_ms_per_file"] = per_file * 1e3;
    if (n > 1000 && g_per_file_1000 > 0) state.counters["per_file_vs_1000"] = per_file / g_per_file_1000;
    state.counters["arrived"] = arrived;
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
}
BENCHMARK(BM_QueueAndDrain)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(scratch(), ec);
    return 0;
}
