// An installation root for flowgate's tests: a data map and control map
// written in place as kord writes them, flowgate started on it, and the
// answers of a real primary awaited.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "maps/records.h"
#include "tests/support/dns_servers.h"
#include "tests/support/testutil.h"

namespace farm {

using Addrs = std::vector<std::string>;

inline std::string conf(const std::string &server, const std::string &secret, const std::string &extra = "",
                        const std::string &key = dnsserver::kKeyName) {
    return "server " + server + "\ntsig hmac-sha256:" + key + ":" + secret + "\n" + extra;
}

struct Farm {
    testutil::TempDir dir;
    std::string root = dir / "root";
    std::deque<kord::GroupRecord> groups;   // references stay valid as groups are added

    Farm() {
        for (const char *d : {"", "/data", "/nsdb", "/nsdb/cn"}) mkdir((root + d).c_str(), 0755);
    }
    // A group of method rtt whose nodes are all up.
    kord::GroupRecord &add(const std::string &name, const std::string &domain, const Addrs &nodes) {
        kord::GroupRecord g{};
        snprintf(g.name, sizeof g.name, "%s", name.c_str());
        snprintf(g.domain, sizeof g.domain, "%s", domain.c_str());
        g.method = 8;   // rtt
        for (size_t k = 0; k < nodes.size(); k++) {
            snprintf(g.slot[k].name, sizeof g.slot[k].name, "%s", nodes[k].c_str());
            inet_pton(AF_INET, nodes[k].c_str(), &g.slot[k].addr);
            g.slot[k].ping.state = kord::kStateUp;
        }
        g.node_count = uint32_t(nodes.size());
        groups.push_back(g);
        return groups.back();
    }
    bool write() {
        int32_t n = int32_t(groups.size());
        std::vector<kord::GroupRecord> all(groups.begin(), groups.end());
        int fd = open((root + "/data/map.data").c_str(), O_RDWR | O_CREAT, 0644);
        bool ok = pwrite(fd, all.data(), all.size() * sizeof all[0], 0) == ssize_t(all.size() * sizeof all[0]);
        close(fd);
        fd = open((root + "/data/.ctlmap").c_str(), O_RDWR | O_CREAT, 0644);
        ok = pwrite(fd, &n, 4, 0) == 4 && ok;
        close(fd);
        return ok;
    }
    std::unique_ptr<testutil::Proc> flowgate(const std::vector<std::string> &env = {}) {
        std::vector<std::string> e = {"TESSARON_ROOT=" + root, "TESSARON_LOG=" + (dir / "flowgate.log")};
        e.insert(e.end(), env.begin(), env.end());
        return std::make_unique<testutil::Proc>(std::vector<std::string>{testutil::bin_path("flowgate")}, e,
                                                dir / "flowgate.out");
    }
    std::string log() const { return testutil::read_file(dir / "flowgate.log"); }
    testutil::RunResult run(std::vector<std::string> args) {
        args.insert(args.begin(), testutil::bin_path("flowgate"));
        return testutil::run(args, {"TESSARON_ROOT=" + root});
    }
};

inline bool answers(const dnsserver::Server &s, const std::string &name, const Addrs &want,
                    std::chrono::milliseconds limit) {
    return testutil::wait_until([&] { return dnsserver::query(s.addr, s.port, name) == want; }, limit);
}

// How often text occurs in hay.
inline size_t count(const std::string &hay, const std::string &text) {
    size_t n = 0;
    for (size_t at = hay.find(text); at != std::string::npos; at = hay.find(text, at + text.size())) n++;
    return n;
}

}  // namespace farm
