// Replication throughput over loopback against a sorvan-agent process,
// next to zlib's own level-9 deflate of the same bytes on one core, and
// deflate_buf's stream of blocks compressed on every core against that
// single stream. The file is 256 MiB of mixed content (text, binary,
// compressed). Beside an rsync daemon on loopback: 5,000 small files
// (`sorvan-sync put` + `drain`, with sessions and one request per
// operation, against `rsync -a`) and one 24 MiB file (against `rsync -az`).
//
//   unshare -mn sh -c 'mount -t tmpfs tmpfs /tmp && ip link set lo up &&
//       exec build/bin/replicate_bench [--benchmark_filter=...]'
// Needs the built sorvan-agent and sorvan-sync next to it and rsync; the
// rsync comparisons run only where loopback is the one interface.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "bench_support.h"
#include "port/varro.h"
#include "util/sorvan.h"

namespace {

constexpr size_t kSize = 256u << 20;
const char *kPassword = "bench";

std::string g_dir;
std::string g_src;

long status_kb(const std::string &file, const char *field) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}

// A third each of text, random bytes and already-compressed data, mixed in
// 1 MiB stretches.
void make_source() {
    if (!g_src.empty()) return;
    char tmpl[] = "/tmp/replicate_bench.XXXXXX";
    g_dir = mkdtemp(tmpl);
    g_src = g_dir + "/source.bin";
    int fd = open(g_src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::mt19937_64 rng(42);
    std::vector<unsigned char> chunk(1 << 20), packed(compressBound(1 << 20));
    const char *words[] = {"cluster ", "node ", "replica ", "transaction ", "log\n", "agent ", "zone "};
    for (size_t off = 0, i = 0; off < kSize; off += chunk.size(), ++i) {
        if (i % 3 == 0) {
            size_t p = 0;
            while (p < chunk.size()) {
                const char *w = words[rng() % 7];
                size_t n = std::min(std::strlen(w), chunk.size() - p);
                std::memcpy(chunk.data() + p, w, n);
                p += n;
            }
        } else if (i % 3 == 1) {
            for (size_t p = 0; p < chunk.size(); p += 8) {
                uint64_t v = rng();
                std::memcpy(chunk.data() + p, &v, 8);
            }
        } else {
            // text, compressed: what an archive or an image looks like
            std::string text;
            while (text.size() < 4 * chunk.size()) text += words[rng() % 7];
            uLongf n = uLongf(packed.size());
            compress2(packed.data(), &n, reinterpret_cast<const Bytef *>(text.data()), uLong(text.size()), 6);
            for (size_t p = 0; p < chunk.size(); p += n)
                std::memcpy(chunk.data() + p, packed.data(), std::min<size_t>(n, chunk.size() - p));
        }
        (void)!write(fd, chunk.data(), chunk.size());
    }
    close(fd);
}

void keyed() {
    static des_cipher *once = req_cipher_init(nullptr);
    (void)once;
}

void BM_ZlibLevel9Bound(benchmark::State &state) {
    make_source();
    int fd = open(g_src.c_str(), O_RDONLY);
    auto *p = static_cast<unsigned char *>(mmap(nullptr, kSize, PROT_READ, MAP_SHARED, fd, 0));
    std::vector<unsigned char> out(32768);
    for (auto _ : state) {
        z_stream z{};
        deflateInit(&z, 9);
        z.next_in = p;
        z.avail_in = uInt(kSize);
        int rc;
        do {
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            rc = deflate(&z, Z_FINISH);
        } while (rc == Z_OK || rc == Z_BUF_ERROR);
        state.counters["ratio"] = double(z.total_out) / double(kSize);
        deflateEnd(&z);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
    munmap(p, kSize);
    close(fd);
}
BENCHMARK(BM_ZlibLevel9Bound)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// Single-stream level 9 and deflate_buf (to /dev/null, unenciphered: the
// blocks compressed on every core) take turns over the same 96 MiB, three
// times, so a change in the machine's other load hits both alike. speedup
// and size_vs_single are the medians of the three ratios.
void BM_ParallelDeflate(benchmark::State &state) {
    constexpr size_t kSlice = 96u << 20;
    make_source();
    int fd = open(g_src.c_str(), O_RDONLY);
    auto *p = static_cast<unsigned char *>(mmap(nullptr, kSize, PROT_READ, MAP_SHARED, fd, 0));
    int null = open("/dev/null", O_WRONLY);
    std::vector<unsigned char> out(32768);
    std::vector<double> speedup, size;
    double parallel_s = 0;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            auto t0 = std::chrono::steady_clock::now();
            z_stream z{};
            deflateInit(&z, 9);
            z.next_in = p;
            z.avail_in = uInt(kSlice);
            int rc;
            do {
                z.next_out = out.data();
                z.avail_out = uInt(out.size());
                rc = deflate(&z, Z_FINISH);
            } while (rc == Z_OK || rc == Z_BUF_ERROR);
            uint64_t single_bytes = z.total_out;
            deflateEnd(&z);
            auto t1 = std::chrono::steady_clock::now();
            int64_t bytes = deflate_buf(p, kSlice, null, 0);
            auto t2 = std::chrono::steady_clock::now();
            double single = std::chrono::duration<double>(t1 - t0).count();
            double parallel = std::chrono::duration<double>(t2 - t1).count();
            parallel_s += parallel;
            speedup.push_back(single / parallel);
            size.push_back(double(bytes) / double(single_bytes));
        }
    }
    std::sort(speedup.begin(), speedup.end());
    std::sort(size.begin(), size.end());
    state.SetIterationTime(parallel_s);
    state.SetBytesProcessed(int64_t(speedup.size()) * int64_t(kSlice));
    state.counters["speedup"] = speedup[speedup.size() / 2];
    state.counters["speedup_min"] = speedup.front();
    state.counters["size_vs_single"] = size[size.size() / 2];
    close(null);
    munmap(p, kSize);
    close(fd);
}
BENCHMARK(BM_ParallelDeflate)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

void BM_ReplicateToAgent(benchmark::State &state) {
    make_source();
    keyed();
    signal(SIGPIPE, SIG_IGN);
    int port = 31000 + getpid() % 1000;
    pid_t agent = start_agent(port, kPassword);
    std::string dst = g_dir + "/copy.bin";
    for (auto _ : state) {
        unlink(dst.c_str());
        FileRecord rec;
        std::memset(&rec, 0, sizeof rec);
        std::snprintf(rec.path, sizeof rec.path, "%s", g_src.c_str());
        std::snprintf(rec.path2, sizeof rec.path2, "%s", dst.c_str());
        rec.size = kSize;
        rec.attributes = 0x20;
        auto t0 = std::chrono::steady_clock::now();
        int s = send_file(htonl(0x7F000001), port, 2000000, kPassword, "Q4", &rec, 0);
        if (s > 0) close(s);
        struct stat st;
        while (stat(dst.c_str(), &st) != 0) usleep(2000);   // moved into place whole
        auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
    state.counters["agent_peak_rss_MiB"] = double(status_kb("/proc/" + std::to_string(agent) + "/status", "VmHWM:")) / 1024;
    state.counters["sender_peak_rss_MiB"] = double(status_kb("/proc/self/status", "VmHWM:")) / 1024;
    state.counters["sender_anon_rss_MiB"] = double(status_kb("/proc/self/status", "RssAnon:")) / 1024;
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
    unlink(dst.c_str());
}
BENCHMARK(BM_ReplicateToAgent)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

// ---- beside rsync: 5,000 small files and one 24 MiB file

namespace fs = std::filesystem;

std::string g_base;   // a directory of these benchmarks' own

const std::string &base() {
    if (g_base.empty()) {
        char tmpl[] = "/tmp/replicate_rsync.XXXXXX";
        g_base = mkdtemp(tmpl);
    }
    return g_base;
}

// 5,000 files of 0.5 to 3 KiB of text in 50 directories.
std::string small_tree() {
    std::string root = base() + "/small";
    if (fs::exists(root)) return root;
    std::mt19937 rng(7);
    const char *words[] = {"cluster ", "node ", "replica ", "zone ", "agent ", "log\n", "transaction ", "42 "};
    for (int d = 0; d < 50; ++d) {
        std::string dir = root + "/d" + std::to_string(d);
        fs::create_directories(dir);
        for (int f = 0; f < 100; ++f) {
            size_t n = 512 + rng() % 2561;
            std::string text;
            while (text.size() < n) text += words[rng() % 8];
            text.resize(n);
            std::ofstream(dir + "/f" + std::to_string(f)) << text;
        }
    }
    return root;
}

// 24 MiB: text, random bytes and compressed data in 1 MiB stretches.
std::string large_file() {
    std::string path = base() + "/large.bin";
    if (fs::exists(path)) return path;
    std::mt19937_64 rng(24);
    std::vector<unsigned char> chunk(1 << 20), packed(compressBound(4 << 20));
    const char *words[] = {"cluster ", "node ", "replica ", "transaction ", "log\n", "agent ", "zone "};
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 24; ++i) {
        if (i % 3 == 0) {
            for (size_t p = 0; p < chunk.size();) {
                const char *w = words[rng() % 7];
                size_t n = std::min(std::strlen(w), chunk.size() - p);
                std::memcpy(chunk.data() + p, w, n);
                p += n;
            }
        } else if (i % 3 == 1) {
            for (size_t p = 0; p < chunk.size(); p += 8) {
                uint64_t v = rng();
                std::memcpy(chunk.data() + p, &v, 8);
            }
        } else {
            std::string text;
            while (text.size() < 4 * chunk.size()) text += words[rng() % 7];
            uLongf n = uLongf(packed.size());
            compress2(packed.data(), &n, reinterpret_cast<const Bytef *>(text.data()), uLong(text.size()), 6);
            for (size_t p = 0; p < chunk.size(); p += n)
                std::memcpy(chunk.data() + p, packed.data(), std::min<size_t>(n, chunk.size() - p));
        }
        out.write(reinterpret_cast<const char *>(chunk.data()), std::streamsize(chunk.size()));
    }
    return path;
}

int wait_for(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool port_open(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(0x7F000001);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(s);
    return ok;
}

// An rsync daemon of our own: a private configuration, one module.
struct RsyncDaemon {
    pid_t pid = -1;
    int port = 0;
    std::string module_dir;
    bool start() {
        port = 32000 + getpid() % 1000;
        module_dir = base() + "/rsync-module";
        fs::create_directories(module_dir);
        std::string conf = base() + "/rsyncd.conf";
        std::ofstream(conf) << "use chroot = no\nport = " << port << "\naddress = 127.0.0.1\npid file = " << base()
                            << "/rsyncd.pid\nlog file = " << base() << "/rsyncd.log\n[bench]\npath = " << module_dir
                            << "\nread only = no\n" << (getuid() == 0 ? "uid = root\ngid = root\n" : "");
        pid = spawn({"rsync", "--daemon", "--no-detach", "--config=" + conf}, base() + "/rsyncd.out");
        for (int i = 0; i < 100 && !port_open(port); ++i) usleep(50000);
        return port_open(port);
    }
    ~RsyncDaemon() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// put + drain of src to dst on the agent; the wall time, or -1 on failure.
double ours(int agent_port, const std::string &src, const std::string &dst, std::vector<std::string> drain_args) {
    std::error_code ec;
    fs::remove_all(dst, ec);
    std::string log = base() + "/bench.tlog";
    unlink(log.c_str());
    std::string sync = std::string(TESSARON_BIN_DIR) + "/sorvan-sync";
    auto t0 = Clock::now();
    int put = wait_for(spawn({sync, "-L", log, "-a", "127.0.0.1", "-p", std::to_string(agent_port), "-k", kPassword,
                              "put", src, dst},
                             base() + "/put.out"));
    std::vector<std::string> argv{sync, "-L", log};
    argv.insert(argv.end(), drain_args.begin(), drain_args.end());
    argv.push_back("drain");
    int drain = wait_for(spawn(argv, base() + "/drain.out"));
    auto t1 = Clock::now();
    return put == 0 && drain == 0 ? secs(t1 - t0) : -1;
}

double theirs(const RsyncDaemon &d, const std::string &src, const std::string &flags) {
    std::error_code ec;
    fs::remove_all(d.module_dir + "/dst", ec);
    bool dir = fs::is_directory(src);
    std::string target = "rsync://127.0.0.1:" + std::to_string(d.port) + "/bench/dst" + (dir ? "/" : "");
    if (!dir) fs::create_directories(d.module_dir + "/dst");
    auto t0 = Clock::now();
    int rc = wait_for(spawn({"rsync", flags, dir ? src + "/" : src, target}, base() + "/rsync.out"));
    auto t1 = Clock::now();
    return rc == 0 ? secs(t1 - t0) : -1;
}

double median(std::vector<double> v) { return pct(std::move(v), 0.5); }

// Sessions, one request per operation and rsync take turns, three rounds,
// so the machine's other load hits all alike; the medians are reported.
void BM_SmallFilesBesideRsync(benchmark::State &state) {
    if (!only_loopback()) {
        state.SkipWithError("run in a private network namespace (see the head of this file)");
        return;
    }
    std::string src = small_tree();
    int port = 33000 + getpid() % 1000;
    pid_t agent = start_agent(port, kPassword);
    RsyncDaemon rsyncd;
    if (!rsyncd.start()) {
        state.SkipWithError("no rsync daemon");
        kill(agent, SIGTERM);
        return;
    }
    std::vector<double> sess, single, rs;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            sess.push_back(ours(port, src, base() + "/agent-dst", {}));
            single.push_back(ours(port, src, base() + "/agent-dst", {"--single"}));
            rs.push_back(theirs(rsyncd, src, "-a"));
        }
        state.SetIterationTime(median(sess));
    }
    state.counters["sessions_s"] = median(sess);
    state.counters["one_per_request_s"] = median(single);
    state.counters["rsync_a_s"] = median(rs);
    state.counters["x_rsync_sessions"] = median(rs) / median(sess);
    state.counters["x_rsync_one_per_request"] = median(rs) / median(single);
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
}
BENCHMARK(BM_SmallFilesBesideRsync)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

// One large file beside `rsync -az`: its size in bytes and how it is made.
void large_beside_rsync(benchmark::State &state, const std::string &src) {
    if (!only_loopback()) {
        state.SkipWithError("run in a private network namespace (see the head of this file)");
        return;
    }
    int port = 34000 + getpid() % 1000;
    pid_t agent = start_agent(port, kPassword);
    RsyncDaemon rsyncd;
    if (!rsyncd.start()) {
        state.SkipWithError("no rsync daemon");
        kill(agent, SIGTERM);
        return;
    }
    std::vector<double> adaptive, nine, single, rs;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            adaptive.push_back(ours(port, src, base() + "/agent-" + fs::path(src).filename().string(), {}));
            nine.push_back(ours(port, src, base() + "/agent-" + fs::path(src).filename().string(), {"--level", "9"}));
            single.push_back(ours(port, src, base() + "/agent-" + fs::path(src).filename().string(), {"--single"}));
            rs.push_back(theirs(rsyncd, src, "-az"));
        }
        state.SetIterationTime(median(adaptive));
    }
    double mb = double(fs::file_size(src)) / 1e6;
    state.counters["sessions_MBps"] = mb / median(adaptive);
    state.counters["sessions_level9_MBps"] = mb / median(nine);
    state.counters["one_per_request_MBps"] = mb / median(single);
    state.counters["rsync_az_MBps"] = mb / median(rs);
    state.counters["x_rsync_sessions"] = median(rs) / median(adaptive);
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
}
void BM_LargeFileBesideRsync(benchmark::State &state) { large_beside_rsync(state, large_file()); }
BENCHMARK(BM_LargeFileBesideRsync)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

// 50 MiB of base64 text (a mail spool, an export): compressible by a
// quarter, and only by coding each character in six bits.
std::string base64_file() {
    std::string path = base() + "/base64.txt";
    if (fs::exists(path)) return path;
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937_64 rng(50);
    std::string line(77, '\n');
    std::ofstream out(path, std::ios::binary);
    for (size_t written = 0; written < (size_t(50) << 20); written += line.size()) {
        for (size_t i = 0; i < 76; ++i) line[i] = kAlphabet[rng() % 64];
        out.write(line.data(), std::streamsize(line.size()));
    }
    return path;
}

void BM_Base64FileBesideRsync(benchmark::State &state) { large_beside_rsync(state, base64_file()); }
BENCHMARK(BM_Base64FileBesideRsync)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_dir.empty()) {
        unlink(g_src.c_str());
        rmdir(g_dir.c_str());
    }
    if (!g_base.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(g_base, ec);
    }
    return 0;
}
