// sorvan-agent: a node's agent. Answers the request protocol (load reports)
// on a TCP port with a pool of worker threads.
//
//   sorvan-agent [-p PORT] [-l ADDRESS] [-k PASSWORD]
//
// The password may also come from $TESSARON_AGENT_PASSWORD; without one the
// agent expects the key of the empty password, which is what kord sends for
// a group whose password is empty.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "port/paths.h"
#include "port/varro.h"
#include "sorvan.h"

namespace {

// The product's request key, shared with kord.
const unsigned char kDesKey[8] = {0x5A, 0xC3, 0x19, 0x7E, 0x02, 0xB4, 0xD8, 0x61};
constexpr int kWorkers = 4;
constexpr int kIoTimeoutSec = 30;   // a silent peer releases its worker

struct Job {
    int fd;
    sockaddr_in peer;
};

std::mutex g_lock;
std::condition_variable g_cv;
std::deque<Job> g_jobs;
std::set<int> g_active;   // connections being served, shut down on stop
bool g_stopping = false;
PdhContext g_pdh;

void serve() {
    // A thread's first report counts every passive open since boot as new
    // connections, which would trip kord's connection limit: take that
    // report here, so every answer holds a true difference.
    AgentStats first{};
    build_agent_stats(&first, nullptr, &g_pdh);
    for (;;) {
        Job j;
        {
            std::unique_lock<std::mutex> lk(g_lock);
            g_cv.wait(lk, [] { return g_stopping || !g_jobs.empty(); });
            if (g_jobs.empty()) return;
            j = g_jobs.front();
            g_jobs.pop_front();
            g_active.insert(j.fd);
        }
        authenticate_and_process(j.fd, &j.peer, nullptr, &g_pdh);
        {
            std::lock_guard<std::mutex> lk(g_lock);
            g_active.erase(j.fd);
        }
        close(j.fd);
    }
}

void usage(const char *prog) {
    std::fprintf(stderr, "usage: %s [-p port] [-l address] [-k password]\n", appname(prog));
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    int port = 10000;
    const char *listen_addr = nullptr;
    const char *password = std::getenv("TESSARON_AGENT_PASSWORD");
    int opt;
    while ((opt = getopt(argc, argv, "p:l:k:")) != -1) {
        switch (opt) {
        case 'p': {
            char *end;
            long v = std::strtol(optarg, &end, 10);
            if (*end || v < 0 || v > 65535) {
                std::fprintf(stderr, "%s: bad port '%s'\n", appname(argv[0]), optarg);
                return 2;
            }
            port = static_cast<int>(v);
            break;
        }
        case 'l': listen_addr = optarg; break;
        case 'k': password = optarg; break;
        default: usage(argv[0]);
        }
    }
    if (optind != argc) usage(argv[0]);

    in_addr bind_addr{htonl(INADDR_ANY)};
    if (listen_addr && inet_pton(AF_INET, listen_addr, &bind_addr) != 1) {
        std::fprintf(stderr, "%s: bad address '%s'\n", appname(argv[0]), listen_addr);
        return 2;
    }

    port_openlog("sorvan-agent", LOG_PID, LOG_DAEMON);

    // The key kord's requests carry: the first 8 characters of the hash.
    char *hash;
    while (!(hash = crypt_md5(password ? password : "", "Q4"))) sleep(1);
    std::memset(key_phrase, 0, sizeof key_phrase);
    std::memcpy(key_phrase, hash, 8);
    memput(hash, 120);

    // DES as kord loads it: without the library both ends must go without.
    init_path("sorvan-agent", nullptr);
    std::string lib = std::string(path_item(6)) + "/libcrypto.so.3";
    if (void *h = dlopen(lib.c_str(), RTLD_NOW)) {
        if (des_init(h)) des_setkey_ecb(kDesKey, 8);
    }
    if (!C) port_syslog(LOG_WARNING, "sorvan-agent: %s not loaded: requests travel unenciphered", lib.c_str());

    std::memset(&g_pdh, 0, sizeof g_pdh);
    if (pdh_init(&g_pdh) != 0) {
        std::fprintf(stderr, "%s: no memory for the counter query\n", appname(argv[0]));
        return 1;
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);   // inherited by the workers
    signal(SIGPIPE, SIG_IGN);
    int sfd = signalfd(-1, &mask, SFD_CLOEXEC);

    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr = bind_addr;
    if (ls < 0 || sfd < 0 || bind(ls, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(ls, 64) != 0) {
        std::fprintf(stderr, "%s: cannot listen on port %d: %s\n", appname(argv[0]), port,
                     std::strerror(errno));
        return 1;
    }
    socklen_t sl = sizeof sa;
    getsockname(ls, reinterpret_cast<sockaddr *>(&sa), &sl);
    char shown[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sa.sin_addr, shown, sizeof shown);
    std::printf("sorvan-agent listening on %s:%d\n", shown, ntohs(sa.sin_port));
    std::fflush(stdout);
    port_syslog(LOG_INFO, "sorvan-agent: listening on %s:%d", shown, ntohs(sa.sin_port));

    std::vector<std::thread> pool;
    for (int i = 0; i < kWorkers; ++i) pool.emplace_back(serve);

    for (;;) {
        pollfd p[2] = {{ls, POLLIN, 0}, {sfd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;
        if (!(p[0].revents & POLLIN)) continue;
        Job j;
        socklen_t pl = sizeof j.peer;
        j.fd = accept4(ls, reinterpret_cast<sockaddr *>(&j.peer), &pl, SOCK_CLOEXEC);
        if (j.fd < 0) continue;
        timeval tv{kIoTimeoutSec, 0};
        setsockopt(j.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(j.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        std::lock_guard<std::mutex> lk(g_lock);
        g_jobs.push_back(j);
        g_cv.notify_one();
    }

    close(ls);
    {
        std::lock_guard<std::mutex> lk(g_lock);
        g_stopping = true;
        for (const Job &j : g_jobs) close(j.fd);
        g_jobs.clear();
        // A peer that is still sending must not hold the stop.
        for (int fd : g_active) shutdown(fd, SHUT_RDWR);
    }
    g_cv.notify_all();
    for (auto &t : pool) t.join();
    pdh_close(&g_pdh);
    port_syslog(LOG_INFO, "sorvan-agent: stopped");
    port_closelog();
    return 0;
}
