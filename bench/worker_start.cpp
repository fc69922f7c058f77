// kord's start with many node workers: BENCH_NODES nodes (default 10240) in
// groups of four on 127.x.y.z, method rtt, interval 1 s, time-out 0.8 s, a
// port probe on each (BENCH_PORTS=0: none), plus one group of four whose
// agent (a local sorvan-agent) reports load above every threshold, so that
// the deepest path a worker takes runs too. In a private network namespace.
//
// Reports the time from kord's exec to every worker running (their thread
// ids in the map) and to every node up, then after BENCH_SECONDS (default
// 10): threads, RSS, and the worker stacks: mapping size and resident pages
// (touched stack plus the static TLS glibc places there).
//
//   worker_start            (root; BENCH_KORD=path runs another kord)
#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/bench_process.h"
#include "maps/records.h"

using kord::GroupRecord;

namespace {

constexpr int kPort = 18080, kAgentPort = 10000;

// Node i's address: 127.A.B.C with B, C in 1..250.
std::string addr(int i) {
    return "127." + std::to_string(1 + i / 62500) + "." + std::to_string(i / 250 % 250 + 1) + "." +
           std::to_string(i % 250 + 1);
}

std::string status_field(pid_t pid, const char *key) {
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    char line[256];
    std::string out = "?";
    while (f && fgets(line, sizeof line, f))
        if (strncmp(line, key, strlen(key)) == 0) {
            out = line + strlen(key);
            out.erase(0, out.find_first_not_of(" \t"));
            out.erase(out.find_last_not_of(" \n") + 1);
        }
    if (f) fclose(f);
    return out;
}

// Writable anonymous mappings of one size, at least `least` of them: the
// workers' stacks. Their size, count, and resident KiB (mean, max).
struct Stacks {
    long size_kb = 0, count = 0, rss_max = 0;
    double rss_mean = 0;
};
Stacks worker_stacks(pid_t pid, long least) {
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/smaps").c_str(), "r");
    std::map<long, std::vector<long>> by_size;
    char line[512];
    bool anon_rw = false;
    long size = 0;
    while (f && fgets(line, sizeof line, f)) {
        unsigned long lo, hi;
        char perms[8];
        int n = 0;
        if (sscanf(line, "%lx-%lx %7s %*s %*s %*s %n", &lo, &hi, perms, &n) == 3) {
            anon_rw = perms[0] == 'r' && perms[1] == 'w' && (line[n] == '\n' || line[n] == '\0');
            size = long(hi - lo) / 1024;
        } else if (anon_rw && strncmp(line, "Rss:", 4) == 0) {
            by_size[size].push_back(atol(line + 4));
        }
    }
    if (f) fclose(f);
    Stacks s;
    for (auto &[sz, rss] : by_size)
        if (long(rss.size()) >= least && long(rss.size()) > s.count) {
            s.size_kb = sz;
            s.count = long(rss.size());
            s.rss_max = *std::max_element(rss.begin(), rss.end());
            double sum = 0;
            for (long r : rss) sum += double(r);
            s.rss_mean = sum / double(rss.size());
        }
    return s;
}

}  // namespace

int main(int argc, char **argv) {
    (void)argc;
    if (geteuid() != 0) {
        fprintf(stderr, "worker_start: needs root (raw ICMP, network namespace)\n");
        return 77;
    }
    if (!only_loopback()) {
        // Everything happens in a namespace of our own: nothing leaves the host.
        execlp("unshare", "unshare", "-n", "sh", "-c", "ip link set lo up; exec \"$0\"", argv[0], (char *)nullptr);
        perror("unshare");
        return 1;
    }
    const int nodes = getenv("BENCH_NODES") ? std::max(4, atoi(getenv("BENCH_NODES"))) : 10240;
    const int seconds = getenv("BENCH_SECONDS") ? std::max(3, atoi(getenv("BENCH_SECONDS"))) : 10;
    const bool ports = !getenv("BENCH_PORTS") || atoi(getenv("BENCH_PORTS")) != 0;
    const int groups = (nodes + 3) / 4 + 1;   // the last one asks the agent

    // Room for every worker's ping and probe sockets at once (kord raises its
    // soft limit to the hard one).
    struct rlimit rl = {1 << 17, 1 << 17};
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0 && getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    char tmpl[] = "/tmp/worker_start.XXXXXX";
    std::string root = mkdtemp(tmpl);
    for (const char *d : {"/data", "/nodes", "/ports", "/nsdb", "/nsdb/cn"}) mkdir((root + d).c_str(), 0755);
    {
        FILE *f = fopen((root + "/gpfile").c_str(), "w");
        for (int g = 0; g + 1 < groups; g++) {
            fprintf(f, "g%d:s%d.test:pw:1000000:rtt:60:2:800000:0::::0:", g, g);
            for (int n = 0; n < 4 && g * 4 + n < nodes; n++) fprintf(f, "%s%s", n ? "," : "", addr(g * 4 + n).c_str());
            fprintf(f, "\n");
        }
        fprintf(f, "agent:agent.test:pw:1000000:load:60:2:800000:%d::ops@bench.test:0:0:"
                   "127.0.0.1,127.0.0.2,127.0.0.3,127.0.0.4\n", kAgentPort);
        fclose(f);
        for (int n = 1; n <= 4; n++) {
            f = fopen((root + "/nodes/127.0.0." + std::to_string(n) + ".cfg").c_str(), "w");
            fprintf(f, "min_vm 4000000000\nmin_fs 4000000000\nmax_connections 0\n");
            fclose(f);
        }
        if (ports) {
            f = fopen((root + "/ports/fallback.cfg").c_str(), "w");
            fprintf(f, "%d/bench\n", kPort);
            fclose(f);
        }
    }
    if (!accept_everything(kPort)) return 1;

    const std::string bin = TESSARON_BIN_DIR;
    setenv("TESSARON_AGENT_PASSWORD", "pw", 1);
    pid_t agent = spawn({bin + "/sorvan-agent", "-p", std::to_string(kAgentPort)}, root + "/agent.out");
    setenv("TESSARON_ROOT", root.c_str(), 1);
    setenv("TESSARON_LOG", (root + "/kord.log").c_str(), 1);
    setenv("TESSARON_SMTP_RELAY", "127.0.0.1:1", 1);   // threshold mails fail at once
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    auto t0 = Clock::now();
    const char *other = getenv("BENCH_KORD");   // another build's kord, to compare
    pid_t kpid = spawn({other && *other ? other : bin + "/kord"}, root + "/kord.out");
    const std::string map = root + "/data/map.data";
    const size_t map_size = size_t(groups) * sizeof(GroupRecord);
    const GroupRecord *gr = nullptr;
    double t_workers = -1, t_up = -1;
    int most_up = 0;
    while (Clock::now() - t0 < std::chrono::seconds(20) && (t_workers < 0 || t_up < 0)) {
        if (!gr) {
            struct stat st;
            int fd = open(map.c_str(), O_RDONLY);
            if (fd >= 0 && fstat(fd, &st) == 0 && size_t(st.st_size) >= map_size) {
                void *m = mmap(nullptr, map_size, PROT_READ, MAP_SHARED, fd, 0);
                if (m != MAP_FAILED) gr = static_cast<const GroupRecord *>(m);
            }
            if (fd >= 0) close(fd);
        }
        if (gr) {
            int running = 0, up = 0;
            for (int g = 0; g + 1 < groups; g++)
                for (int n = 0; n < 4 && g * 4 + n < nodes; n++) {
                    running += gr[g].slot[n].worker_tid != 0;
                    up += gr[g].slot[n].ping.state == kord::kStateUp;
                }
            double t = std::chrono::duration<double>(Clock::now() - t0).count();
            if (t_workers < 0 && running == nodes) t_workers = t;
            if (t_up < 0 && up == nodes) t_up = t;
            most_up = std::max(most_up, up);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    Stacks st = worker_stacks(kpid, nodes / 2);
    std::string threads = status_field(kpid, "Threads:"), rss = status_field(kpid, "VmRSS:");
    int agent_state = gr ? int(gr[groups - 1].slot[0].agent.state) : -1;
    std::string started_line = "?";
    if (FILE *f = fopen((root + "/kord.log").c_str(), "r")) {
        char line[1024];
        while (fgets(line, sizeof line, f))
            if (const char *p = strstr(line, "node workers: ")) {
                started_line = p;
                started_line.erase(started_line.find_last_not_of("\n") + 1);
            }
        fclose(f);
    }
    kill(kpid, SIGTERM);
    waitpid(kpid, nullptr, 0);
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);

    printf("worker_start: %d nodes (%d groups of 4, rtt, interval 1 s, time-out 0.8 s, port probes %s) "
           "+ 4 nodes asking an agent\n",
           nodes, groups - 1, ports ? "on" : "off");
    printf("  kord says: %s\n", started_line.c_str());
    printf("  every worker running: %.3f s after exec\n", t_workers);
    if (t_up >= 0)
        printf("  every node up:        %.3f s after exec\n", t_up);
    else
        printf("  every node up:        not within 20 s (at most %d up at once)\n", most_up);
    printf("  after %d s: threads %s, VmRSS %s\n", seconds, threads.c_str(), rss.c_str());
    printf("  worker stacks: %ld mappings of %ld KiB; resident %.1f KiB mean, %ld KiB max\n", st.count,
           st.size_kb, st.rss_mean, st.rss_max);
    printf("  agent group: agent state %d (1 up)\n", agent_state);
    if (getenv("BENCH_KEEP"))
        printf("  kept: %s\n", root.c_str());
    else if (system(("rm -rf " + root).c_str()) != 0) {
    }
    return 0;
}
