// Real authoritative DNS servers for the tests and benchmarks: Knot DNS
// (knotd) and BIND 9 (named) as children of the caller, each with its
// configuration, storage and run files in a directory of the caller's, so
// the machine's own /etc/knot, /var/lib/knot and /etc/bind stay untouched.
// Header only: the benchmarks use it without the test library.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace dnsserver {

// The key every test server accepts updates with.
inline const std::string kKeyName = "flowgate-test";
inline const std::string kKeySecret = "QDjRLb0ePGdHlK3PV/SCXclLxGyrByCCWllx3uNofDs=";
// A key of the same name with another secret: the server refuses it.
inline const std::string kWrongSecret = "x1GdARhnouxqCphWGMd2oSHHyrpv5Ttpy7JxTiTSe/A=";

// The master file of a zone holding only its SOA and NS records.
inline std::string zone_text(const std::string &zone) {
    return "$ORIGIN " + zone + ".\n$TTL 60\n@ SOA ns." + zone + ". hostmaster." + zone +
           ". 1 60 60 3600 60\n@ NS ns." + zone + ".\nns A 127.0.0.53\n";
}

inline void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A server process; stopping (or destroying) it ends it with SIGTERM and
// waits, then SIGKILL after 5 s.
struct Server {
    pid_t pid = -1;
    std::string dir, addr, log;
    int port = 53;
    Server() = default;
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    ~Server() { stop(); }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 250; i++) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

inline pid_t spawn(const std::vector<std::string> &argv, const std::string &out) {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        std::vector<char *> a;
        for (const auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
    }
    return pid;
}

// The answers of `kdig +short` for name and type at addr:port, sorted;
// empty when there is none or the server does not answer.
inline std::vector<std::string> query(const std::string &addr, int port, const std::string &name,
                                      const std::string &type = "A") {
    std::string cmd = "kdig @" + addr + " -p " + std::to_string(port) + " +short +time=1 +retry=0 " + name +
                      " " + type + " 2>/dev/null";
    std::vector<std::string> out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char line[512];
        while (fgets(line, sizeof line, p)) {
            std::string s(line);
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
            if (!s.empty() && s[0] != ';') out.push_back(s);
        }
        pclose(p);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// True once the server answers the zone's SOA (within the limit).
inline bool wait_serving(const Server &s, const std::string &zone, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    do {
        if (s.pid > 0 && waitpid(s.pid, nullptr, WNOHANG) == s.pid) return false;
        if (!query(s.addr, s.port, zone, "SOA").empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

// knotd serving zones on addr:port. As primary (no `primary` given) it
// accepts updates only signed with the test key and, with a secondary
// given, notifies it and lets it transfer; as secondary it follows the
// primary at that address by NOTIFY and IXFR.
inline std::unique_ptr<Server> knot(const std::string &dir, const std::string &addr, int port,
                                    const std::vector<std::string> &zones, const std::string &primary = "",
                                    const std::string &secondary = "", int primary_port = 53) {
    auto s = std::make_unique<Server>();
    s->dir = dir;
    s->addr = addr;
    s->port = port;
    s->log = dir + "/knotd.log";
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/db").c_str(), 0755);
    std::string c = "server:\n    rundir: \"" + dir + "\"\n    listen: " + addr + "@" + std::to_string(port) +
                    "\n    background-workers: 1\n    udp-workers: 1\n    tcp-workers: 1\n"
                    "log:\n  - target: stderr\n    any: info\n"
                    "database:\n    storage: \"" + dir + "/db\"\n"
                    "key:\n  - id: " + kKeyName + "\n    algorithm: hmac-sha256\n    secret: " + kKeySecret + "\n";
    std::string acl = "acl:\n", zone_acl, remote = "remote:\n", zone_extra;
    if (primary.empty()) {
        acl += "  - id: update\n    key: " + kKeyName + "\n    action: update\n";
        zone_acl = "update";
        if (!secondary.empty()) {
            remote += "  - id: secondary\n    address: " + secondary + "@53\n    via: " + addr + "\n";
            acl += "  - id: transfer\n    address: " + secondary + "\n    action: transfer\n";
            zone_acl += ", transfer";
            zone_extra = "    notify: secondary\n";
        }
    } else {
        remote += "  - id: primary\n    address: " + primary + "@" + std::to_string(primary_port) + "\n    via: " +
                  addr + "\n";
        acl += "  - id: notify\n    address: " + primary + "\n    action: notify\n";
        zone_acl = "notify";
        zone_extra = "    master: primary\n";
    }
    if (remote != "remote:\n") c += remote;
    c += acl;
    c += "template:\n  - id: default\n    storage: \"" + dir + "\"\n    zonefile-sync: -1\n"
         "    journal-content: changes\n    semantic-checks: off\nzone:\n";
    for (const auto &z : zones) {
        if (primary.empty()) write_text(dir + "/" + z + ".zone", zone_text(z));
        c += "  - domain: " + z + "\n    file: \"" + dir + "/" + z + ".zone\"\n    acl: [" + zone_acl + "]\n" +
             zone_extra;
    }
    write_text(dir + "/knot.conf", c);
    s->pid = spawn({"knotd", "-c", dir + "/knot.conf", "-s", dir + "/knot.sock"}, s->log);
    return s;
}

// named as primary for zones on addr:port, accepting updates only signed
// with the test key.
inline std::unique_ptr<Server> named(const std::string &dir, const std::string &addr, int port,
                                     const std::vector<std::string> &zones) {
    auto s = std::make_unique<Server>();
    s->dir = dir;
    s->addr = addr;
    s->port = port;
    s->log = dir + "/named.log";
    mkdir(dir.c_str(), 0755);
    std::string c = "options {\n  directory \"" + dir + "\";\n  listen-on port " + std::to_string(port) + " { " +
                    addr + "; };\n  listen-on-v6 { none; };\n  pid-file \"" + dir + "/named.pid\";\n"
                    "  lock-file \"" + dir + "/named.lock\";\n  session-keyfile \"" + dir + "/session.key\";\n"
                    "  managed-keys-directory \"" + dir + "\";\n  recursion no;\n  dnssec-validation no;\n"
                    "  notify no;\n};\ncontrols { };\n"
                    "key \"" + kKeyName + "\" {\n  algorithm hmac-sha256;\n  secret \"" + kKeySecret + "\";\n};\n";
    for (const auto &z : zones) {
        write_text(dir + "/" + z + ".zone", zone_text(z));
        c += "zone \"" + z + "\" {\n  type primary;\n  file \"" + dir + "/" + z + ".zone\";\n"
             "  allow-update { key \"" + kKeyName + "\"; };\n};\n";
    }
    write_text(dir + "/named.conf", c);
    s->pid = spawn({"named", "-g", "-n", "1", "-c", dir + "/named.conf"}, s->log);
    return s;
}

}  // namespace dnsserver
