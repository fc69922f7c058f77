// How long kord's load query takes from a sorvan-agent under attack by
// peers without the password: alone; with 64 idle connections and 16 that
// trickle a frame open; during a flood of new connections from 4 threads.
// Also the agent's CPU while out of descriptors.
//
//   unshare -n sh -c 'ip link set lo up; build/bin/agent_load_bench'
// Needs the built sorvan-agent; uses the addresses 127.0.0.1 to 127.0.0.30.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "port/varro.h"
#include "util/sorvan.h"

namespace {

const char *kPassword = "agent load bench password";
constexpr int kPort = 24711;

int connect_from(const std::string &src) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{}, to{};
    a.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, src.c_str(), &a.sin_addr);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(kPort);
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// One load query as kord makes it (3 s to connect): seconds, or -1.
double query() {
    auto t0 = std::chrono::steady_clock::now();
    int s = req_send(htonl(INADDR_LOOPBACK), kPort, 3000000, kPassword, "Q4", nullptr, REQ_LOAD, 0, 0, 0);
    if (s < 0) return -1;
    timeval tv{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    AgentStats a;
    int n = nread(s, &a, sizeof a);
    close(s);
    return n == 252 ? std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() : -1;
}

void report(const char *what, int rounds) {
    std::vector<double> t;
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
        double d = query();
        if (d < 0) ++failed;
        else t.push_back(d);
    }
    std::sort(t.begin(), t.end());
    if (t.empty()) {
        std::printf("%-40s all %d queries failed\n", what, rounds);
        return;
    }
    std::printf("%-40s median %.3f s  max %.3f s  failed %d of %d\n", what, t[t.size() / 2], t.back(), failed, rounds);
}

double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), {});
    size_t p = s.rfind(')');
    unsigned long long u = 0, k = 0;
    if (p == std::string::npos ||
        std::sscanf(s.c_str() + p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &u, &k) != 2)
        return -1;
    return double(u + k) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main() {
    req_cipher_init(nullptr);
    signal(SIGPIPE, SIG_IGN);

    pid_t agent = start_agent(kPort, kPassword);
    report("alone", 10);

    std::vector<int> held;
    for (int i = 0; i < 64; ++i) held.push_back(connect_from(i % 2 ? "127.0.0.2" : "127.0.0.3"));
    std::vector<int> slow;
    for (int i = 0; i < 16; ++i) {
        int s = connect_from("127.0.0.4");
        uint32_t len = htonl(i < 8 ? 16u << 20 : 40u);
        (void)!write(s, &len, 2);
        slow.push_back(s);
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        while (!done) {
            for (int s : slow) (void)!send(s, "x", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    report("64 idle + 16 slow-frame connections", 6);
    done = true;
    trickle.join();
    for (int s : held) close(s);
    for (int s : slow) close(s);

    std::atomic<long> made{0};
    done = false;
    std::vector<std::thread> flood;
    int threads = getenv("FLOOD") ? atoi(getenv("FLOOD")) : 4;
    for (int t = 0; t < threads; ++t)
        flood.emplace_back([&, t] {
            std::string src = "127.0.0." + std::to_string(10 + t);
            std::deque<int> open;
            while (!done) {
                int s = connect_from(src);
                if (s >= 0) {
                    ++made;
                    open.push_back(s);
                }
                if (open.size() > 40 || (s < 0 && !open.empty())) {
                    close(open.front());
                    open.pop_front();
                }
            }
            for (int s : open) close(s);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto t0 = std::chrono::steady_clock::now();
    report("during a flood of new connections", 10);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    done = true;
    for (auto &t : flood) t.join();
    std::printf("%-40s %.0f connections/s\n", "  flood rate", double(made) / (secs + 0.3));
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);

    // Out of descriptors: the accept loop pauses instead of spinning.
    pid_t low = fork();
    if (low == 0) {
        std::string bin = std::string(TESSARON_BIN_DIR) + "/sorvan-agent";
        execl("/bin/sh", "sh", "-c", "ulimit -n 48 && exec \"$0\" \"$@\" >/dev/null 2>&1", bin.c_str(), "-p",
              std::to_string(kPort).c_str(), "-l", "127.0.0.1", "-k", kPassword, nullptr);
        _exit(127);
    }
    usleep(800000);
    held.clear();
    for (int i = 0; i < 90; ++i) {   // each sends a byte: the kernel passes on only those
        held.push_back(connect_from("127.0.0." + std::to_string(20 + i % 3)));
        (void)!write(held.back(), "x", 1);
    }
    usleep(300000);
    double c0 = cpu_seconds(low);
    sleep(2);
    std::printf("%-40s %.3f s of CPU in 2 s\n", "agent out of descriptors", cpu_seconds(low) - c0);
    for (int s : held) close(s);
    kill(low, SIGTERM);
    waitpid(low, nullptr, 0);
    return 0;
}
