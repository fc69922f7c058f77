// HTTP and HTTPS health checks at scale, kord beside HAProxy, in a private
// network namespace: BENCH_NODES nodes (default 1024) in groups of 4 on
// 127.x.y.n, each checked once a second (GET /healthz, time-out 0.8 s) by
// kord and by HAProxy (option httpchk, check inter 1s; check-ssl verify
// none over TLS) at the same time, against the same web server: another
// HAProxy answering on every loopback address, port 8080 plain and 8443
// over TLS (a certificate made by openssl), which logs who checked which
// address when. For each mode it prints
// both checkers' CPU (user + system, share of one core and per check),
// their checks a second, and whether every node's checks came on time (the
// largest gap between two checks of one node; late: more than the interval
// plus the time-out). kord also pings every node every second; its CPU
// with no port check at all (ping only) is measured first, for the share
// the checks add.
//
//   http_checks   (root; BENCH_SECONDS=30, BENCH_NODES=1024, BENCH_MODE=both|http|https,
//                  BENCH_BASELINE=1, BENCH_KORD=another kord binary)
#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "bench/bench_process.h"

namespace {

constexpr int kNodesPerGroup = 4, kHttpPort = 8080, kHttpsPort = 8443;
constexpr double kInterval = 1.0, kTimeout = 0.8;

int g_nodes = 1024, g_seconds = 30;
std::string g_dir;
pid_t g_server = -1;

int groups() { return (g_nodes + kNodesPerGroup - 1) / kNodesPerGroup; }
int nodes_in(int g) { return std::min(kNodesPerGroup, g_nodes - g * kNodesPerGroup); }
std::string addr(int g, int n) {
    return "127." + std::to_string(1 + g / 256) + "." + std::to_string(g % 256) + "." + std::to_string(n + 1);
}

// ---- the web server: who checked which address when ----

enum Checker { kKord, kHaproxy, kCheckers };
struct Seen {
    std::mutex m;
    std::map<uint32_t, std::vector<double>> at[kCheckers];   // address -> request times
    std::atomic<bool> recording{false};
};
Seen g_seen;

// The web server: HAProxy answering /healthz itself on every loopback
// address, plain at 8080 and over TLS at 8443, logging each request's
// local address, time and user agent to its standard output, which a
// thread of this program reads.
std::string server_config(const std::string &pem) {
    return "global\n    maxconn 8192\n"
           "defaults\n    mode http\n    timeout client 5s\n    timeout connect 1s\n    timeout server 5s\n"
           "frontend web\n    bind :" + std::to_string(kHttpPort) + "\n    bind :" + std::to_string(kHttpsPort) +
           " ssl crt " + pem + "\n"
           "    log stdout format raw local0 info\n"
           "    capture request header User-Agent len 16\n"
           "    log-format \"%fi %Ts.%ms %hr\"\n"
           "    http-request return status 200 content-type text/plain string ok if { path /healthz }\n"
           "    http-request return status 404\n";
}

double wall() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// "127.1.0.1 1765237000.123 {kord/3.6.7 health}" per request.
void read_server_log(int fd) {
    FILE *f = fdopen(fd, "r");
    char line[512];
    while (fgets(line, sizeof line, f)) {
        if (!g_seen.recording.load(std::memory_order_relaxed)) continue;
        char ip[64];
        double t = 0;
        if (sscanf(line, "%63s %lf", ip, &t) != 2) continue;
        in_addr a{};
        if (inet_pton(AF_INET, ip, &a) != 1) continue;
        const Checker who = strstr(line, "{kord/") ? kKord : kHaproxy;
        std::lock_guard<std::mutex> lock(g_seen.m);
        g_seen.at[who][a.s_addr].push_back(t);
    }
}

pid_t start_server(const std::string &cfg) {
    int p[2];
    if (pipe(p) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        int err = open((g_dir + "/server.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        close(p[0]);
        execlp("haproxy", "haproxy", "-db", "-f", cfg.c_str(), nullptr);
        _exit(127);
    }
    close(p[1]);
    std::thread(read_server_log, p[0]).detach();
    return pid;
}

// ---- the checkers ----

bool exited(pid_t pid, int *status = nullptr) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) != pid) return false;
    if (status) *status = st;
    return true;
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 400; ++i) {
        if (exited(pid)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void write_text(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

// kord's root: the group file and the port file for every node.
void kord_root(const std::string &root, const std::string &portfile) {
    for (const char *d : {"", "/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"}) mkdir((root + d).c_str(), 0755);
    std::string gp;
    for (int g = 0; g < groups(); g++) {
        gp += "g" + std::to_string(g) + ":bench.test:pw:1000000:rtt:1:2:800000:0:::1:0:";
        for (int n = 0; n < nodes_in(g); n++) gp += (n ? "," : "") + addr(g, n);
        gp += "\n";
    }
    write_text(root + "/gpfile", gp);
    write_text(root + "/ports/fallback.cfg", portfile);
}

std::string haproxy_config(bool tls) {
    std::string c = "global\n    maxconn 4096\n    log stderr format short local0 err\n"
                    "defaults\n    mode http\n    timeout connect 800ms\n    timeout check 800ms\n"
                    "    timeout client 5s\n    timeout server 5s\n"
                    "frontend unused\n    bind 127.0.0.1:9999\n    default_backend farm\n"
                    "backend farm\n    option httpchk GET /healthz\n";
    for (int g = 0; g < groups(); g++)
        for (int n = 0; n < nodes_in(g); n++)
            c += "    server s" + std::to_string(g) + "_" + std::to_string(n) + " " + addr(g, n) + ":" +
                 std::to_string(tls ? kHttpsPort : kHttpPort) + " check inter 1s" +
                 (tls ? " check-ssl verify none" : "") + "\n";
    return c;
}

pid_t start_kord(const std::string &root, const std::string &tag) {
    setenv("TESSARON_ROOT", root.c_str(), 1);
    setenv("TESSARON_LOG", (g_dir + "/kord-" + tag + ".log").c_str(), 1);
    unlink((root + "/data/map.data").c_str());
    return spawn({getenv("BENCH_KORD") ? getenv("BENCH_KORD") : std::string(TESSARON_BIN_DIR) + "/kord"},
                 g_dir + "/kord-" + tag + ".out");
}

struct Gaps {
    long checks = 0;
    double max_gap = 0;
    int late = 0, silent = 0;   // nodes with a gap above interval + time-out; nodes never checked
};

// Over [from, to]: the largest gap between two checks of each node,
// counting the window's edges, so a node whose checks stop is late too.
Gaps gaps(Checker who, double from, double to) {
    Gaps r;
    std::lock_guard<std::mutex> lock(g_seen.m);
    for (int g = 0; g < groups(); g++)
        for (int n = 0; n < nodes_in(g); n++) {
            in_addr a{};
            inet_pton(AF_INET, addr(g, n).c_str(), &a);
            auto it = g_seen.at[who].find(a.s_addr);
            if (it == g_seen.at[who].end()) {
                r.silent++;
                continue;
            }
            double last = from, worst = 0;
            for (double t : it->second) {
                if (t < from || t > to) continue;
                r.checks++;
                worst = std::max(worst, t - last);
                last = t;
            }
            worst = std::max(worst, to - last);
            r.max_gap = std::max(r.max_gap, worst);
            if (worst > kInterval + kTimeout) r.late++;
        }
    return r;
}

void report(const char *who, double cpu, double elapsed, const Gaps &gp) {
    const double per_s = double(gp.checks) / elapsed;
    printf("  %-8s CPU %6.2f s in %.0f s = %5.1f %% of a core, %6.1f µs per check; %7.1f checks/s; "
           "largest gap %.2f s, %d late, %d never checked\n",
           who, cpu, elapsed, 100 * cpu / elapsed, per_s > 0 ? 1e6 * cpu / double(gp.checks) : 0.0, per_s,
           gp.max_gap, gp.late, gp.silent);
}

// Both checkers at once against the server; false when one did not run.
bool run_mode(bool tls) {
    const std::string tag = tls ? "https" : "http";
    const std::string root = g_dir + "/root-" + tag;
    kord_root(root, tls ? "8443/bench\nhttps /healthz\nverify no\n" : "8080/bench\nhttp /healthz\n");
    write_text(g_dir + "/haproxy-" + tag + ".cfg", haproxy_config(tls));
    {
        std::lock_guard<std::mutex> lock(g_seen.m);
        for (auto &m : g_seen.at) m.clear();
    }
    pid_t kord = start_kord(root, tag);
    pid_t hap = spawn({"haproxy", "-db", "-f", g_dir + "/haproxy-" + tag + ".cfg"}, g_dir + "/haproxy-" + tag + ".out");
    // Start-up: kord starts its workers and resolves, HAProxy spreads its
    // first checks over one interval.
    std::this_thread::sleep_for(std::chrono::seconds(8));
    if (exited(kord) || exited(hap)) {
        fprintf(stderr, "http_checks: %s ended early (see %s)\n", exited(kord) ? "kord" : "haproxy", g_dir.c_str());
        stop(kord);
        stop(hap);
        return false;
    }
    g_seen.recording = true;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double k0 = cpu_seconds(kord), h0 = cpu_seconds(hap), s0 = cpu_seconds(g_server);
    const double from = wall();
    std::this_thread::sleep_for(std::chrono::seconds(g_seconds));
    const double k1 = cpu_seconds(kord), h1 = cpu_seconds(hap), s1 = cpu_seconds(g_server);
    const double to = wall();
    g_seen.recording = false;
    long rss = 0;
    {
        std::ifstream st("/proc/" + std::to_string(kord) + "/status");
        std::string line;
        while (std::getline(st, line))
            if (line.compare(0, 6, "VmRSS:") == 0) rss = atol(line.c_str() + 6);
    }
    stop(kord);
    stop(hap);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // the server's last lines
    const double elapsed = to - from;
    printf("%s, %d nodes, one check a second each, %d s:\n", tls ? "HTTPS" : "HTTP", g_nodes, g_seconds);
    Gaps kg = gaps(kKord, from, to), hg = gaps(kHaproxy, from, to);
    report("kord", k1 - k0, elapsed, kg);
    report("haproxy", h1 - h0, elapsed, hg);
    printf("  ratio kord / haproxy CPU: %.2f; kord RSS %ld MiB; the server (HAProxy) %.1f %% of a core\n",
           (h1 - h0) > 0 ? (k1 - k0) / (h1 - h0) : 0.0, rss / 1024, 100 * (s1 - s0) / elapsed);
    return true;
}

// kord pinging the same nodes without any port check.
void run_baseline() {
    const std::string root = g_dir + "/root-ping";
    kord_root(root, "0\n");
    pid_t kord = start_kord(root, "ping");
    std::this_thread::sleep_for(std::chrono::seconds(8));
    const double k0 = cpu_seconds(kord);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(g_seconds));
    const double k1 = cpu_seconds(kord);
    const double elapsed = secs(Clock::now() - t0);
    stop(kord);
    printf("ping only, %d nodes, %d s:\n  kord     CPU %6.2f s = %5.1f %% of a core\n", g_nodes, g_seconds, k1 - k0,
           100 * (k1 - k0) / elapsed);
}

bool lo_up() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

}  // namespace

int main() {
    if (const char *v = getenv("BENCH_NODES")) g_nodes = std::max(1, atoi(v));
    if (const char *v = getenv("BENCH_SECONDS")) g_seconds = std::max(5, atoi(v));
    const std::string mode = getenv("BENCH_MODE") ? getenv("BENCH_MODE") : "both";
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || !lo_up() || !only_loopback()) {
        fprintf(stderr, "http_checks: needs root for a network namespace of its own\n");
        return 77;
    }
    signal(SIGPIPE, SIG_IGN);
    struct rlimit rl{65536, 65536};
    setrlimit(RLIMIT_NOFILE, &rl);
    char tmpl[] = "/tmp/http-checks.XXXXXX";
    g_dir = mkdtemp(tmpl);
    const std::string mk = "cd " + g_dir + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                           "-nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=bench.test 2>/dev/null";
    if (system(mk.c_str()) != 0) {
        fprintf(stderr, "http_checks: openssl could not make a certificate\n");
        return 1;
    }
    write_text(g_dir + "/server.cfg", server_config(g_dir + "/server.pem"));
    if (system(("cat " + g_dir + "/cert.pem " + g_dir + "/key.pem > " + g_dir + "/server.pem").c_str()) != 0 ||
        (g_server = start_server(g_dir + "/server.cfg")) < 0) {
        fprintf(stderr, "http_checks: the web server did not start\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (exited(g_server)) {
        fprintf(stderr, "http_checks: the web server ended (see %s/server.err)\n", g_dir.c_str());
        return 1;
    }
    printf("files in %s\n", g_dir.c_str());
    if (!getenv("BENCH_BASELINE") || strcmp(getenv("BENCH_BASELINE"), "0") != 0) run_baseline();
    bool ok = true;
    if (mode == "both" || mode == "http") ok = run_mode(false) && ok;
    if (mode == "both" || mode == "https") ok = run_mode(true) && ok;
    stop(g_server);
    return ok ? 0 : 1;
}
