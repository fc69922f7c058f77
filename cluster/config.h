// cluster.conf: the etcd cluster that coordinates several master hosts, and
// this host's place in it. Absent, kord and flowgate each run alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cluster {

inline constexpr int kMinLease = 2, kMaxLease = 60;

struct Config {
    std::vector<std::string> endpoints;   // "http://127.0.0.1:2379", ...; empty: alone
    std::string cluster = "tessaron";      // election and fence name
    std::string name;                      // this host; default the host name
    int lease = 5;                         // seconds
    std::string ca, cert, key;             // TLS files, empty when not set
    std::string user, password;            // etcd authentication, empty when not set

    bool enabled() const { return !endpoints.empty(); }
};

// Parses the text of a configuration file; every problem becomes one line
// "FILE:LINE: KEY: problem" in errors. True when there was none. Does not
// look at the files it names.
bool parse_config(std::string_view text, const std::string &file, Config &out, std::vector<std::string> &errors);

// Reads and parses the file and checks that the TLS files it names can be
// read. A missing file is no error: out stays alone (not enabled).
bool load_config(const std::string &path, Config &out, std::vector<std::string> &errors);

// <root>/cluster.conf
std::string default_config_path();

}  // namespace cluster
