// HTTP and HTTPS health checks at scale, kord beside HAProxy, in a private
// network namespace: BENCH_NODES nodes (default 1024) in groups of 4 on
// 127.x.y.n, each checked once a second (GET /healthz, time-out 0.8 s) by
// kord and by HAProxy (option httpchk, check inter 1s; check-ssl verify
// none over TLS) at the same time, against the same web server: this
// program, with libmicrohttpd on every loopback address, port 8080 plain and
// 8443 over TLS (a certificate made by openssl). For each mode it prints
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
#include <microhttpd.h>
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
const Clock::time_point g_t0 = Clock::now();

MHD_Result answer(void *, MHD_Connection *c, const char *url, const char *, const char *, const char *, size_t *,
                  void **) {
    static const char kBody[] = "ok\n";
    if (g_seen.recording.load(std::memory_order_relaxed)) {
        const char *ua = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_USER_AGENT);
        const MHD_ConnectionInfo *ci = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (ci && getsockname(ci->connect_fd, reinterpret_cast<sockaddr *>(&local), &len) == 0) {
            const Checker who = ua && strncmp(ua, "kord/", 5) == 0 ? kKord : kHaproxy;
            const double t = secs(Clock::now() - g_t0);
            std::lock_guard<std::mutex> lock(g_seen.m);
            g_seen.at[who][local.sin_addr.s_addr].push_back(t);
        }
    }
    MHD_Response *r = MHD_create_response_from_buffer(sizeof kBody - 1, const_cast<char *>(kBody),
                                                      MHD_RESPMEM_PERSISTENT);
    MHD_Result ok = MHD_queue_response(c, strcmp(url, "/healthz") == 0 ? MHD_HTTP_OK : MHD_HTTP_NOT_FOUND, r);
    MHD_destroy_response(r);
    return ok;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

MHD_Daemon *serve(int port, const std::string &cert, const std::string &key) {
    const bool tls = !cert.empty();
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG | (tls ? MHD_USE_TLS : 0);
    static std::string c, k;
    c = cert;
    k = key;
    return MHD_start_daemon(flags, uint16_t(port), nullptr, nullptr, &answer, nullptr,
                            MHD_OPTION_THREAD_POOL_SIZE, 2u, MHD_OPTION_CONNECTION_LIMIT, 8192u,
                            MHD_OPTION_LISTEN_BACKLOG_SIZE, 4096u, MHD_OPTION_CONNECTION_TIMEOUT, 5u,
                            tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, c.c_str(),
                            MHD_OPTION_HTTPS_MEM_KEY, k.c_str(), MHD_OPTION_END);
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
    std::string c = "global\n    maxconn 20000\n    log stderr format short local0 err\n"
                    "defaults\n    mode http\n    timeout connect 800ms\n    timeout check 800ms\n"
                    "    timeout client 5s\n    timeout server 5s\n"
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
    const double k0 = cpu_seconds(kord), h0 = cpu_seconds(hap), s0 = cpu_seconds(getpid());
    const double from = secs(Clock::now() - g_t0);
    std::this_thread::sleep_for(std::chrono::seconds(g_seconds));
    const double k1 = cpu_seconds(kord), h1 = cpu_seconds(hap), s1 = cpu_seconds(getpid());
    const double to = secs(Clock::now() - g_t0);
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
    const double elapsed = to - from;
    printf("%s, %d nodes, one check a second each, %d s:\n", tls ? "HTTPS" : "HTTP", g_nodes, g_seconds);
    Gaps kg = gaps(kKord, from, to), hg = gaps(kHaproxy, from, to);
    report("kord", k1 - k0, elapsed, kg);
    report("haproxy", h1 - h0, elapsed, hg);
    printf("  ratio kord / haproxy CPU: %.2f; kord RSS %ld MiB; the server (this program) %.1f %% of a core\n",
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
    MHD_Daemon *plain = serve(kHttpPort, "", "");
    MHD_Daemon *tls = serve(kHttpsPort, slurp(g_dir + "/cert.pem"), slurp(g_dir + "/key.pem"));
    if (!plain || !tls) {
        fprintf(stderr, "http_checks: the web server did not start\n");
        return 1;
    }
    printf("files in %s\n", g_dir.c_str());
    if (!getenv("BENCH_BASELINE") || strcmp(getenv("BENCH_BASELINE"), "0") != 0) run_baseline();
    bool ok = true;
    if (mode == "both" || mode == "http") ok = run_mode(false) && ok;
    if (mode == "both" || mode == "https") ok = run_mode(true) && ok;
    MHD_stop_daemon(plain);
    MHD_stop_daemon(tls);
    return ok ? 0 : 1;
}
