// kord at scale: 256 groups x 4 nodes on 127.1.g.n (1024 workers), method
// rtt, interval 1 s, time-out 0.8 s, port probes on, in a private network
// namespace. Measures kord's CPU per 1000 node passes and the spacing of one
// slot's passes (p50/p99), compares with fping -l over the same addresses
// (CPU per echo), and times the detection of a node made silent.
//
//   monitor_scale            (root; BENCH_SECONDS=60 by default)
#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "master/records.h"

using Clock = std::chrono::steady_clock;
using kord::GroupRecord;

namespace {

constexpr int kGroups = 256, kNodes = 4, kPort = 18080;
constexpr uint32_t kIntervalUs = 1000000, kTimeoutUs = 800000, kRetries = 2;

bool only_loopback() {
    struct if_nameindex *ifs = if_nameindex();
    bool only = true;
    for (auto *i = ifs; i && i->if_index; ++i)
        if (strcmp(i->if_name, "lo") != 0) only = false;
    if (ifs) if_freenameindex(ifs);
    return only;
}

std::string addr(int g, int n) { return "127.1." + std::to_string(g) + "." + std::to_string(n + 1); }

double cpu_seconds(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    char buf[4096];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char *p = strrchr(buf, ')');
    unsigned long ut = 0, st = 0;
    // fields after ')': state(3) ... utime(14) stime(15)
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) != 2)
        return -1;
    return double(ut + st) / double(sysconf(_SC_CLK_TCK));
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

pid_t spawn(const std::vector<std::string> &argv, const char *out) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char *> a;
        for (const auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

int main(int argc, char **argv) {
    if (geteuid() != 0) {
        fprintf(stderr, "monitor_scale: needs root (raw ICMP, network namespace)\n");
        return 77;
    }
    if (!only_loopback()) {
        // Everything happens in a namespace of our own: nothing leaves the host.
        std::string cmd = "ip link set lo up; exec \"$0\"";
        execlp("unshare", "unshare", "-n", "sh", "-c", cmd.c_str(), argv[0], (char *)nullptr);
        perror("unshare");
        return 1;
    }
    (void)argc;
    int seconds = getenv("BENCH_SECONDS") ? atoi(getenv("BENCH_SECONDS")) : 60;
    if (seconds < 10) seconds = 10;

    char tmpl[] = "/tmp/monitor_scale.XXXXXX";
    std::string root = mkdtemp(tmpl);
    for (const char *d : {"/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"})
        mkdir((root + d).c_str(), 0755);
    {
        FILE *f = fopen((root + "/gpfile").c_str(), "w");
        for (int g = 0; g < kGroups; g++) {
            fprintf(f, "g%d:s%d.test:pw:%u:rtt:60:%u:%u:0::::0:", g, g, kIntervalUs, kRetries, kTimeoutUs);
            for (int n = 0; n < kNodes; n++) fprintf(f, "%s%s", n ? "," : "", addr(g, n).c_str());
            fprintf(f, "\n");
        }
        fclose(f);
        f = fopen((root + "/ports/fallback.cfg").c_str(), "w");
        fprintf(f, "%d/bench\n", kPort);
        fclose(f);
    }

    // The probed port, on every loopback address.
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kPort);
    if (bind(ls, (sockaddr *)&sa, sizeof sa) != 0 || listen(ls, 1024) != 0) {
        perror("listen");
        return 1;
    }
    std::thread([ls] {
        for (;;) {
            int c = accept(ls, nullptr, nullptr);
            if (c >= 0) close(c);
        }
    }).detach();

    setenv("TESSARON_ROOT", root.c_str(), 1);
    setenv("TESSARON_LOG", (root + "/kord.log").c_str(), 1);
    std::string kord = std::string(TESSARON_BIN_DIR) + "/kord";
    pid_t kpid = spawn({kord}, (root + "/kord.out").c_str());

    // Watch the map: every slot's cycle counter moves on each pass.
    const std::string map = root + "/data/map.data";
    std::vector<GroupRecord> snap(kGroups);
    int fd = -1;
    for (int i = 0; i < 200 && fd < 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        struct stat st;
        if (stat(map.c_str(), &st) == 0 && st.st_size >= off_t(kGroups * sizeof(GroupRecord)))
            fd = open(map.c_str(), O_RDONLY);
    }
    if (fd < 0) {
        fprintf(stderr, "monitor_scale: kord made no data map\n");
        kill(kpid, SIGKILL);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // start offsets pass
    std::vector<uint32_t> last(kGroups * kNodes, 0xffffffff);
    std::vector<Clock::time_point> last_t(kGroups * kNodes);
    std::vector<double> spacing;
    long passes = 0;
    double cpu0 = cpu_seconds(kpid);
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::seconds(seconds);
    bool silenced = false;
    Clock::time_point silenced_at;
    double detect_ms = -1;
    const int victim_g = 7, victim_n = 2;

    while (Clock::now() < end || (silenced && detect_ms < 0 && Clock::now() < end + std::chrono::seconds(10))) {
        pread(fd, snap.data(), snap.size() * sizeof(GroupRecord), 0);
        auto now = Clock::now();
        for (int g = 0; g < kGroups; g++)
            for (int n = 0; n < kNodes; n++) {
                int i = g * kNodes + n;
                uint32_t c = snap[g].slot[n].ping.cycle;
                if (last[i] != 0xffffffff && c != last[i]) {
                    if (now < end) {
                        passes++;
                        if (last_t[i] != Clock::time_point{})
                            spacing.push_back(std::chrono::duration<double>(now - last_t[i]).count());
                    }
                    last_t[i] = now;
                }
                last[i] = c;
            }
        if (!silenced && now > end - std::chrono::seconds(8)) {
            std::string cmd = "nft add table ip bench && nft add chain ip bench in "
                              "'{ type filter hook input priority 0; }' && nft add rule ip bench in "
                              "ip daddr " + addr(victim_g, victim_n) + " icmp type echo-request drop";
            if (system(cmd.c_str()) == 0) {
                silenced = true;
                silenced_at = Clock::now();
            }
        }
        if (silenced && detect_ms < 0 && snap[victim_g].slot[victim_n].ping.state == kord::kStateDown)
            detect_ms = std::chrono::duration<double, std::milli>(now - silenced_at).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    double cpu1 = cpu_seconds(kpid);
    double elapsed = std::chrono::duration<double>(std::min(Clock::now(), end) - t0).count();
    kill(kpid, SIGTERM);
    waitpid(kpid, nullptr, 0);
    if (system("nft delete table ip bench") != 0) {}

    // fping over the same 1024 addresses, as long as kord ran.
    std::vector<std::string> fargv = {"fping", "-l", "-p", "1000", "-i", "1", "-q"};
    for (int g = 0; g < kGroups; g++)
        for (int n = 0; n < kNodes; n++) fargv.push_back(addr(g, n));
    pid_t fpid = spawn(fargv, (root + "/fping.out").c_str());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    kill(fpid, SIGINT);
    int st;
    struct rusage ru{};
    wait4(fpid, &st, 0, &ru);
    double fcpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                  double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    // Echoes sent: the xmt counts of fping's closing summary.
    double echoes = 0;
    if (FILE *f = fopen((root + "/fping.out").c_str(), "r")) {
        char line[256];
        while (fgets(line, sizeof line, f)) {
            const char *p = strstr(line, "xmt/rcv/%loss = ");
            if (p) echoes += atof(p + 16);
        }
        fclose(f);
    }

    double kcpu = cpu1 - cpu0;
    double kord_per_pass = passes ? kcpu / double(passes) : 0;
    double fping_per_echo = echoes ? fcpu / echoes : 0;
    printf("monitor_scale: %d groups x %d nodes, interval %.1f s, time-out %.1f s, %d s\n", kGroups,
           kNodes, kIntervalUs / 1e6, kTimeoutUs / 1e6, seconds);
    printf("  kord: %ld node passes in %.1f s (%.0f/s), CPU %.2f s = %.3f s per 1000 passes\n", passes,
           elapsed, passes / elapsed, kcpu, kord_per_pass * 1000);
    printf("  pass spacing: p50 %.3f s, p99 %.3f s, max %.3f s (%zu samples)\n", pct(spacing, 0.5),
           pct(spacing, 0.99), pct(spacing, 1.0), spacing.size());
    printf("  fping -l -p 1000 -i 1: CPU %.2f s for about %.0f echoes = %.3f s per 1000 echoes\n", fcpu,
           echoes, fping_per_echo * 1000);
    printf("  ratio kord CPU per pass / fping CPU per echo: %.2f (target <= 3)\n",
           fping_per_echo > 0 ? kord_per_pass / fping_per_echo : 0.0);
    printf("  detection of a silenced node: %.0f ms (bound: (retries + 1) x interval + time-out + 1 s = %.0f ms)\n",
           detect_ms, (kRetries + 1) * kIntervalUs / 1e3 + kTimeoutUs / 1e3 + 1000);
    if (system(("rm -rf " + root).c_str()) != 0) {}
    return 0;
}
