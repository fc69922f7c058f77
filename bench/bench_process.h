// Shared by the benchmarks that run programs in a private network
// namespace and measure them from /proc.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

inline double secs(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Whether this namespace has no interface but loopback: the benchmarks send
// to thousands of addresses and must never do so on a real network.
inline bool only_loopback() {
    struct if_nameindex *ifs = if_nameindex();
    bool only = true;
    for (auto *i = ifs; i && i->if_index; ++i)
        if (strcmp(i->if_name, "lo") != 0) only = false;
    if (ifs) if_freenameindex(ifs);
    return only;
}

// User plus system CPU seconds of a process, -1 when it is gone.
inline double cpu_seconds(pid_t pid) {
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

inline double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// argv started with its output (both streams) in the file `out`.
inline pid_t spawn(const std::vector<std::string> &argv, const std::string &out) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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

// A TCP port open on every local address of both families, accepting and
// closing each connection, for port probes to find. False when it cannot
// listen.
inline bool accept_everything(int port) {
    int ls = socket(AF_INET6, SOCK_STREAM, 0);
    int one = 1, zero = 0;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(ls, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(uint16_t(port));
    if (bind(ls, (sockaddr *)&sa, sizeof sa) != 0 || listen(ls, 4096) != 0) {
        perror("listen");
        return false;
    }
    std::thread([ls] {
        for (;;) {
            int c = accept(ls, nullptr, nullptr);
            if (c >= 0) close(c);
        }
    }).detach();
    return true;
}
