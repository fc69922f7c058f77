// Transaction log: queueing and draining 10,000 small-file operations
// against a local sorvan-agent, and where the time goes (the search on
// every append and the move of later records on every delete).
//
//   build-X/bin/tlog_bench
// Needs the built sorvan-agent next to it; traffic stays on 127.0.0.1.
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
#include "sorvan.h"

namespace {

const unsigned char kDesKey[8] = {0x5A, 0xC3, 0x19, 0x7E, 0x02, 0xB4, 0xD8, 0x61};
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

// Appends n records; the search before each append reads the whole log.
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

// Deleting the oldest record at a given depth: every later record moves.
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

struct Drain {
    static void consume(evContext *ctx, void *uap, const void *) {
        auto *b = static_cast<TlogDispatch *>(uap);
        auto t0 = std::chrono::steady_clock::now();
        tlog_do_op(ctx, &b->rec);
        auto t1 = std::chrono::steady_clock::now();
        tlog_delete_rec(b->log, &b->rec);
        auto t2 = std::chrono::steady_clock::now();
        op_s += std::chrono::duration<double>(t1 - t0).count();
        delete_s += std::chrono::duration<double>(t2 - t1).count();
        memput(b, sizeof *b);
    }
    static inline double op_s = 0, delete_s = 0;
};

// Queue and drain 10,000 small files against a sorvan-agent process.
void BM_QueueAndDrain(benchmark::State &state) {
    int n = int(state.range(0));
    signal(SIGPIPE, SIG_IGN);
    if (void *hd = dlopen("libcrypto.so.3", RTLD_NOW))
        if (des_init(hd)) des_setkey_ecb(kDesKey, 8);
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
    std::string log = scratch() + "/drain.tlog";
    double queue_s = 0, drain_s = 0;
    for (auto _ : state) {
        unlink(log.c_str());
        TlogHandle h;
        tlog_init(&h, log.c_str(), Drain::consume);
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i) {
            TlogRecord r = op(i, port);
            tlog_write_rec(&h, &r);
        }
        auto t1 = std::chrono::steady_clock::now();
        while (tlog_process(&h) == 0) {
            evDo(h.evctx, nullptr);
            evMainLoop(h.evctx);
        }
        auto t2 = std::chrono::steady_clock::now();
        queue_s += std::chrono::duration<double>(t1 - t0).count();
        drain_s += std::chrono::duration<double>(t2 - t1).count();
        tlog_shutdown(&h);
    }
    state.counters["queue_s"] = queue_s;
    state.counters["drain_s"] = drain_s;
    state.counters["requests_s"] = Drain::op_s;
    state.counters["deletes_s"] = Drain::delete_s;
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
    std::filesystem::remove_all(scratch());
}
BENCHMARK(BM_QueueAndDrain)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(scratch(), ec);
    return 0;
}
