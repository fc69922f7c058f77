// kord at scale, in a private network namespace: BENCH_NODES nodes (default
// 1024) in groups of 4 on 127.x.y.n, method rtt, interval 1 s, time-out
// 0.8 s, retries 2. kord runs twice, with a port probe on every pass and
// without port files, then fping -l runs over the same addresses. For each
// kord run: start-up (all workers created, every node probed once), CPU per
// node pass, CPU share of one core, sleeps (voluntary context switches of
// every thread) per node pass beside fping's per echo, spacing of one
// slot's passes (p50/p99), the detection of a node made silent, RSS,
// threads, and replies the ping socket's queue dropped. BENCH_TURNS=N runs
// kord without port probes and fping N times in turn and reports the ratio
// of each turn and their median.
//
// BENCH_DUAL=1: every node is a name with an IPv4 and an IPv6 address
// (fd00::G:N, local by a route on loopback), served by a dnsmasq of the benchmark's own on
// 127.0.0.1 (a resolv.conf naming it in a private mount namespace). kord
// runs first over the IPv4 addresses alone, then over the names, in each
// port mode; the CPU per node pass per family of the second is set against
// the first's CPU per node pass.
//
//   monitor_scale    (root; BENCH_SECONDS=60, BENCH_NODES=1024, BENCH_PORTS=both|on|off, BENCH_TURNS=1,
//                     BENCH_DUAL=1, BENCH_KORD=another kord binary to compare,
//                     BENCH_KEEP=1 to keep the root with kord's logs)
#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/bench_process.h"
#include "maps/records.h"

using kord::GroupRecord;

namespace {

constexpr int kNodesPerGroup = 4, kPort = 18080;
constexpr uint32_t kIntervalUs = 1000000, kTimeoutUs = 800000, kRetries = 2;

int g_nodes = 1024, g_groups = 256, g_seconds = 60;

int nodes_in(int g) { return std::min(kNodesPerGroup, g_nodes - g * kNodesPerGroup); }

bool g_dual = false;
std::string addr6(int g, int n) {
    char b[64];
    snprintf(b, sizeof b, "fd00::%x:%x", g + 1, n + 1);
    return b;
}

std::string addr(int g, int n) {
    return "127." + std::to_string(1 + g / 256) + "." + std::to_string(g % 256) + "." + std::to_string(n + 1);
}

// A "Name:  value" line of /proc/PID/status.
long status_value(pid_t pid, const char *name) {
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *f = fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    size_t len = strlen(name);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, name, len) == 0 && line[len] == ':') v = atol(line + len + 1);
    fclose(f);
    return v;
}

// Sleeps so far (voluntary context switches), summed over pid's threads.
long sleeps(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d) return -1;
    long sum = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        FILE *f = fopen((dir + "/" + e->d_name + "/status").c_str(), "r");
        if (!f) continue;
        char line[256];
        while (fgets(line, sizeof line, f))
            if (strncmp(line, "voluntary_ctxt_switches:", 24) == 0) sum += atol(line + 24);
        fclose(f);
    }
    closedir(d);
    return sum;
}

// Datagrams the kernel dropped on the process's ICMP sockets (raw and
// unprivileged echo): the last column of /proc/PID/net/{raw,icmp}, summed
// over the sockets of this namespace, which are kord's alone.
long icmp_drops(pid_t pid) {
    long sum = 0;
    for (const char *t : {"raw", "icmp"}) {
        std::string path = "/proc/" + std::to_string(pid) + "/net/" + t;
        FILE *f = fopen(path.c_str(), "r");
        if (!f) continue;
        char line[512];
        if (!fgets(line, sizeof line, f)) {}   // header
        while (fgets(line, sizeof line, f)) {
            const char *last = strrchr(line, ' ');
            if (last) sum += atol(last + 1);
        }
        fclose(f);
    }
    return sum;
}

// Whether pid has ended (its wait status then in g_reaped_status).
pid_t g_reaped = -1;
int g_reaped_status = 0;
bool exited(pid_t pid) {
    if (g_reaped == pid) return true;
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) != pid) return false;
    g_reaped = pid;
    g_reaped_status = st;
    return true;
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 600 && !exited(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!exited(pid)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

uint32_t load(const uint32_t &word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }

struct Run {
    double created = -1, probed = -1;   // start-up: all workers created, every node probed once
    long passes = 0;
    double elapsed = 0, cpu = 0;
    long sleeps = 0;
    std::vector<double> spacing;
    double detect_ms = -1;
    long rss_kb = 0, threads = 0, drops = 0;
    bool ok = false;
};

Run run_kord(const std::string &root, bool ports, const std::string &gpfile, const std::string &tag) {
    Run run;
    if (system(("cp " + root + "/" + gpfile + " " + root + "/gpfile").c_str()) != 0) {
        fprintf(stderr, "monitor_scale: no group file %s\n", gpfile.c_str());
        return run;
    }
    const std::string portfile = root + "/ports/fallback.cfg";
    if (ports) {
        FILE *f = fopen(portfile.c_str(), "w");
        fprintf(f, "%d/bench\n", kPort);
        fclose(f);
    } else {
        unlink(portfile.c_str());
    }
    const std::string map = root + "/data/map.data";
    unlink(map.c_str());
    const std::string out = root + "/kord" + tag + (ports ? "-ports.out" : ".out");
    setenv("TESSARON_LOG", (root + "/kord" + tag + (ports ? "-ports.log" : ".log")).c_str(), 1);
    const auto t_spawn = Clock::now();
    pid_t kpid = spawn({getenv("BENCH_KORD") ? getenv("BENCH_KORD") : std::string(TESSARON_BIN_DIR) + "/kord"}, out);

    const size_t size = size_t(g_groups) * sizeof(GroupRecord);
    int fd = -1;
    while (fd < 0 && Clock::now() < t_spawn + std::chrono::seconds(60) && !exited(kpid)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        struct stat st;
        if (stat(map.c_str(), &st) == 0 && size_t(st.st_size) >= size) fd = open(map.c_str(), O_RDONLY);
    }
    if (fd < 0) {
        fprintf(stderr, "monitor_scale: kord made no data map (see %s)\n", out.c_str());
        stop(kpid);
        return run;
    }
    void *m = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    const GroupRecord *rec = static_cast<const GroupRecord *>(m);

    // Start-up: every worker's id in its slot, then every node's first answer.
    while (Clock::now() < t_spawn + std::chrono::seconds(120) && !exited(kpid)) {
        int created = 0, probed = 0;
        for (int g = 0; g < g_groups; g++)
            for (int n = 0; n < nodes_in(g); n++) {
                created += load(rec[g].slot[n].worker_tid) != 0;
                probed += load(rec[g].slot[n].ping.state) != 0;
            }
        if (run.created < 0 && created == g_nodes) run.created = secs(Clock::now() - t_spawn);
        if (probed == g_nodes) {
            run.probed = secs(Clock::now() - t_spawn);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (run.probed < 0) {
        fprintf(stderr, "monitor_scale: not every node was probed within 120 s\n");
        munmap(m, size);
        stop(kpid);
        return run;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));

    // Every slot's cycle counter moves on each pass.
    std::vector<uint32_t> last(size_t(g_groups) * kNodesPerGroup, 0xffffffff);
    std::vector<Clock::time_point> last_t(last.size());
    const long sleeps0 = sleeps(kpid);
    const double cpu0 = cpu_seconds(kpid);
    const auto t0 = Clock::now(), end = t0 + std::chrono::seconds(g_seconds);
    const int victim_g = std::min(7, g_groups - 1), victim_n = nodes_in(victim_g) - 1;
    bool silenced = false;
    Clock::time_point silenced_at;
    while (Clock::now() < end || (silenced && run.detect_ms < 0 && Clock::now() < end + std::chrono::seconds(10))) {
        const auto now = Clock::now();
        for (int g = 0; g < g_groups; g++)
            for (int n = 0; n < nodes_in(g); n++) {
                size_t i = size_t(g) * kNodesPerGroup + n;
                uint32_t c = load(rec[g].slot[n].ping.cycle);
                if (last[i] != 0xffffffff && c != last[i]) {
                    if (now < end) {
                        run.passes++;
                        if (last_t[i] != Clock::time_point{}) run.spacing.push_back(secs(now - last_t[i]));
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
        if (silenced && run.detect_ms < 0 && load(rec[victim_g].slot[victim_n].ping.state) == kord::kStateDown)
            run.detect_ms = std::chrono::duration<double, std::milli>(now - silenced_at).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.cpu = cpu_seconds(kpid) - cpu0;
    run.sleeps = sleeps(kpid) - sleeps0;
    run.elapsed = secs(std::min(Clock::now(), end) - t0);
    run.rss_kb = status_value(kpid, "VmRSS");
    run.threads = status_value(kpid, "Threads");
    run.drops = icmp_drops(kpid);
    run.ok = cpu0 >= 0 && !exited(kpid);
    if (!run.ok) {
        const int status = g_reaped_status;
        fprintf(stderr, "monitor_scale: kord ended early (%s %d); the end of its output:\n",
                WIFSIGNALED(status) ? "signal" : "status",
                WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        std::string cmd = "tail -n 5 " + out + " " + getenv("TESSARON_LOG") + " >&2";
        if (system(cmd.c_str()) != 0) {}
    }
    munmap(m, size);
    stop(kpid);
    if (system("nft delete table ip bench 2>/dev/null") != 0) {}
    return run;
}

void report(const char *what, const Run &r, double fping_per_echo, double target, bool dual = false,
            const Run *v4 = nullptr) {
    const double per_pass = r.passes ? r.cpu / double(r.passes) : 0;
    printf("kord, %s:\n", what);
    if (!r.ok) {
        printf("  kord did not run through (see its output in the root)\n");
        return;
    }
    printf("  start-up: workers created %.2f s, every node probed %.2f s after exec\n", r.created, r.probed);
    printf("  %ld node passes in %.1f s (%.0f/s), CPU %.2f s = %.1f us per pass, %.0f %% of one core\n",
           r.passes, r.elapsed, r.passes / r.elapsed, r.cpu, per_pass * 1e6, 100 * r.cpu / r.elapsed);
    printf("  %.2f sleeps per node pass (voluntary context switches of all threads)\n",
           r.passes ? double(r.sleeps) / double(r.passes) : 0.0);
    if (dual) {
        const double v4_pass = v4 && v4->ok && v4->passes ? v4->cpu / double(v4->passes) : 0;
        printf("  dual-stack: %.1f us per node pass per family; IPv4 alone %.1f us: ratio %.2f (target <= 1.2)\n",
               per_pass * 1e6 / 2, v4_pass * 1e6, v4_pass > 0 ? per_pass / 2 / v4_pass : 0.0);
    }
    printf("  pass spacing: p50 %.3f s, p99 %.3f s, max %.3f s (%zu samples; target p99 <= 1.2 s)\n",
           pct(r.spacing, 0.5), pct(r.spacing, 0.99), pct(r.spacing, 1.0), r.spacing.size());
    printf("  silenced node down after %.0f ms (bound (retries + 1) x interval + time-out + 1 s = %.0f ms)\n",
           r.detect_ms, (kRetries + 1) * kIntervalUs / 1e3 + kTimeoutUs / 1e3 + 1000);
    printf("  RSS %.1f MiB, %ld threads, %ld ICMP datagrams dropped by the socket queue\n", r.rss_kb / 1024.0,
           r.threads, r.drops);
    printf("  CPU per pass / fping CPU per echo: %.2f (target <= %.1f)\n",
           fping_per_echo > 0 ? per_pass / fping_per_echo : 0.0, target);
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
    if (getenv("BENCH_SECONDS")) g_seconds = std::max(10, atoi(getenv("BENCH_SECONDS")));
    if (getenv("BENCH_NODES")) g_nodes = std::max(2, atoi(getenv("BENCH_NODES")));
    g_groups = (g_nodes + kNodesPerGroup - 1) / kNodesPerGroup;
    const std::string modes = getenv("BENCH_PORTS") ? getenv("BENCH_PORTS") : "both";
    g_dual = getenv("BENCH_DUAL") && atoi(getenv("BENCH_DUAL")) == 1;
    // A socket and an event descriptor per worker, and more.
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = std::max<rlim_t>(rl.rlim_cur, std::min<rlim_t>(rl.rlim_max, rlim_t(4 * g_nodes + 1024)));
    setrlimit(RLIMIT_NOFILE, &rl);

    char tmpl[] = "/tmp/monitor_scale.XXXXXX";
    std::string root = mkdtemp(tmpl);
    for (const char *d : {"/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"})
        mkdir((root + d).c_str(), 0755);
    {
        // gpfile.4: the IPv4 addresses as members; gpfile.46: the names.
        FILE *f = fopen((root + "/gpfile.4").c_str(), "w");
        FILE *d = fopen((root + "/gpfile.46").c_str(), "w");
        FILE *t = fopen((root + "/targets").c_str(), "w");
        for (int g = 0; g < g_groups; g++) {
            for (FILE *x : {f, d})
                fprintf(x, "g%d:s%d.test:pw:%u:rtt:60:%u:%u:0::::0:", g, g, kIntervalUs, kRetries, kTimeoutUs);
            for (int n = 0; n < nodes_in(g); n++) {
                fprintf(d, "%sn%d-%d", n ? "," : "", g, n);
                fprintf(f, "%s%s", n ? "," : "", addr(g, n).c_str());
                fprintf(t, "%s\n", addr(g, n).c_str());
            }
            fprintf(f, "\n");
            fprintf(d, "\n");
        }
        fclose(f);
        fclose(d);
        fclose(t);
    }
    pid_t dns = -1;
    if (g_dual) {
        // The names served by dnsmasq (a resolver reads a hosts file through
        // for every name: 20,480 lines of it take minutes). The IPv6
        // addresses are local by a route, as 127/8 is, not one by one on
        // loopback: every getaddrinfo reads all of the host's addresses
        // (glibc's sorting of its answers), and 10,240 of them make each
        // lookup take milliseconds, which no real kord host has.
        FILE *h = fopen((root + "/hosts").c_str(), "w");
        for (int g = 0; g < g_groups; g++)
            for (int n = 0; n < nodes_in(g); n++)
                fprintf(h, "%s n%d-%d\n%s n%d-%d\n", addr(g, n).c_str(), g, n, addr6(g, n).c_str(), g, n);
        fclose(h);
        FILE *r = fopen((root + "/resolv.conf").c_str(), "w");
        fprintf(r, "nameserver 127.0.0.1\noptions attempts:5 timeout:2\n");
        fclose(r);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount((root + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
            system("ip -6 route add local fd00::/64 dev lo") != 0) {
            fprintf(stderr, "monitor_scale: cannot set up the IPv6 names\n");
            return 1;
        }
        dns = spawn({"dnsmasq", "-k", "-C", "/dev/null", "--no-resolv", "--no-hosts", "--user=root",
                     "--listen-address=127.0.0.1", "--bind-interfaces", "--port=53", "--cache-size=0",
                     "--dns-forward-max=10000", "--addn-hosts=" + root + "/hosts", "--pid-file=" + root + "/dnsmasq.pid"},
                    root + "/dnsmasq.out");
        bool up = false;
        for (int i = 0; i < 200 && !up && !exited(dns); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            up = system("getent ahosts n0-0 >/dev/null 2>&1") == 0;
        }
        if (!up) {
            fprintf(stderr, "monitor_scale: dnsmasq does not answer (see %s/dnsmasq.out)\n", root.c_str());
            return 1;
        }
    }

    // The probed port, on every loopback address.
    if (!accept_everything(kPort)) return 1;

    setenv("TESSARON_ROOT", root.c_str(), 1);
    Run on, off, on46, off46;
    if (modes != "off") on = run_kord(root, true, "gpfile.4", "");
    if (modes != "on") off = run_kord(root, false, "gpfile.4", "");
    if (g_dual && modes != "off") on46 = run_kord(root, true, "gpfile.46", "46");
    if (g_dual && modes != "on") off46 = run_kord(root, false, "gpfile.46", "46");
    if (dns > 0) stop(dns);

    struct Fping {
        double cpu = 0, echoes = 0;
        long rss_kb = 0, sleeps = 0;
        double per_echo() const { return echoes ? cpu / echoes : 0; }
    };
    // fping over the same addresses, as long as kord ran. It sends at most
    // one echo a millisecond (-i 1 is its minimum).
    auto fping_turn = [&] {
        Fping f;
        pid_t fpid = spawn({"fping", "-l", "-p", "1000", "-i", "1", "-q", "-f", root + "/targets"}, root + "/fping.out");
        std::this_thread::sleep_for(std::chrono::seconds(g_seconds));
        kill(fpid, SIGINT);
        int st;
        struct rusage ru{};
        wait4(fpid, &st, 0, &ru);
        f.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        f.rss_kb = ru.ru_maxrss;
        f.sleeps = ru.ru_nvcsw;
        // Echoes sent: the xmt counts of fping's closing summary.
        if (FILE *out = fopen((root + "/fping.out").c_str(), "r")) {
            char line[256];
            while (fgets(line, sizeof line, out)) {
                const char *p = strstr(line, "xmt/rcv/%loss = ");
                if (p) f.echoes += atof(p + 16);
            }
            fclose(out);
        }
        return f;
    };
    Fping fp = fping_turn();
    // BENCH_TURNS=N: kord without port probes and fping take N turns more,
    // one after the other, so that the machine's other load falls on both;
    // the ratio is the median turn's.
    std::vector<double> ratios;
    if (modes != "on" && off.ok && fp.echoes) ratios.push_back(off.cpu / double(off.passes) / fp.per_echo());
    int turns = getenv("BENCH_TURNS") ? std::max(1, atoi(getenv("BENCH_TURNS"))) : 1;
    for (int t = 1; t < turns && modes != "on"; t++) {
        Run again = run_kord(root, false, "gpfile.4", "");
        Fping f = fping_turn();
        if (again.ok && again.passes && f.echoes) ratios.push_back(again.cpu / double(again.passes) / f.per_echo());
    }
    const double fcpu = fp.cpu, echoes = fp.echoes;
    const double fping_per_echo = fp.per_echo();

    printf("monitor_scale: %d nodes (%d groups), interval %.1f s, time-out %.1f s, retries %u, %d s\n", g_nodes,
           g_groups, kIntervalUs / 1e6, kTimeoutUs / 1e6, kRetries, g_seconds);
    printf("fping -l -p 1000 -i 1: CPU %.2f s for %.0f echoes = %.1f us per echo, max RSS %.1f MiB, "
           "%.2f sleeps per echo\n",
           fcpu, echoes, fping_per_echo * 1e6, double(fp.rss_kb) / 1024.0,
           echoes ? double(fp.sleeps) / echoes : 0.0);
    if (modes != "off") report("IPv4, port probes on", on, fping_per_echo, 1.5);
    if (modes != "on") report("IPv4, port probes off", off, fping_per_echo, 1.0);
    if (ratios.size() > 1) {
        printf("  turns (kord, then fping): CPU per pass / fping CPU per echo");
        for (double r : ratios) printf(" %.2f", r);
        std::vector<double> sorted = ratios;
        std::sort(sorted.begin(), sorted.end());
        printf("; median %.2f (target <= 1.0)\n", sorted[sorted.size() / 2]);
    }
    if (g_dual && modes != "off") report("dual-stack, port probes on", on46, fping_per_echo, 1.5, true, &on);
    if (g_dual && modes != "on") report("dual-stack, port probes off", off46, fping_per_echo, 1.0, true, &off);
    if (getenv("BENCH_KEEP"))
        printf("the root, kord's logs and output stay in %s\n", root.c_str());
    else if (system(("rm -rf " + root).c_str()) != 0) {}
    const bool dual_ok = !g_dual || ((modes == "off" || on46.ok) && (modes == "on" || off46.ok));
    return (modes == "off" || on.ok) && (modes == "on" || off.ok) && dual_ok ? 0 : 1;
}
