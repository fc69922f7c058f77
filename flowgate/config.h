// flowgate.conf: where the updates go, how they are signed, and how many
// addresses each group publishes with which TTL.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace flowgate {

inline constexpr uint32_t kMaxTtl = 2147483647;   // RFC 2181

struct TsigKey {
    std::string algorithm;   // "hmac-sha256" ...; empty: updates go unsigned
    std::string name;        // key name as the server knows it
    std::string secret;      // base64
    bool empty() const { return name.empty(); }
};

struct GroupOverride {
    int answers = -1;        // -1: the global value
    int64_t ttl = -1;
};

struct Config {
    std::string server = "127.0.0.1";   // numeric IPv4 or IPv6 address
    uint16_t port = 53;
    TsigKey key;
    uint32_t ttl = 5;
    int answers = 0;                     // 0: every fit node
    // By group name or by "name.domain", lower case.
    std::map<std::string, GroupOverride> groups;
    // Domain -> zone that holds it, lower case, without the final dot.
    std::map<std::string, std::string> zones;

    uint32_t ttl_for(const std::string &name, const std::string &domain) const;
    int answers_for(const std::string &name, const std::string &domain) const;
    // The zone that receives a group's updates: the domain unless configured.
    std::string zone_for(const std::string &domain) const;
    // "127.0.0.1:53", "[::1]:53"
    std::string server_text() const;
};

// Parses the text of a configuration file; every problem becomes one line
// "FILE:LINE: KEY: problem" in errors. True when there was none.
bool parse_config(std::string_view text, const std::string &file, Config &out,
                  std::vector<std::string> &errors);

// Reads and parses the file. A missing file gives the defaults and a line in
// warnings; an unreadable one is an error.
bool load_config(const std::string &path, Config &out, std::vector<std::string> &errors,
                 std::vector<std::string> &warnings);

// The configuration file: <root>/flowgate.conf.
std::string default_config_path();

std::string lower(std::string_view s);

}  // namespace flowgate
