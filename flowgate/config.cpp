// Reading flowgate.conf: lines of "key value", '#' starts a comment.
#include "flowgate/config.h"

#include <sys/stat.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include <ldns/ldns.h>

#include "port/paths.h"

namespace flowgate {

std::string lower(std::string_view s) {
    std::string o(s);
    for (char &c : o) c = char(std::tolower(static_cast<unsigned char>(c)));
    return o;
}

namespace {

std::string strip_dot(std::string s) {
    while (s.size() > 1 && s.back() == '.') s.pop_back();
    return s;
}

std::vector<std::string_view> split_blanks(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') i++;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

bool to_int(std::string_view v, int64_t lo, int64_t hi, int64_t &out) {
    int64_t n = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || p != v.data() + v.size() || n < lo || n > hi) return false;
    out = n;
    return true;
}

// A name ldns accepts as a domain name (at most 253 characters).
bool valid_dname(const std::string &name) {
    if (name.empty() || name.size() > 253 || name == ".") return false;
    for (unsigned char c : name)
        if (c <= ' ' || c >= 0x7f || c == '\\' || c == '"' || c == '(' || c == ')' || c == ';') return false;
    ldns_rdf *d = ldns_dname_new_frm_str(name.c_str());
    if (!d) return false;
    ldns_rdf_deep_free(d);
    return true;
}

bool parse_server(std::string_view v, std::string &host, uint16_t &port) {
    std::string h;
    std::string_view p;
    if (!v.empty() && v[0] == '[') {
        size_t close = v.find(']');
        if (close == std::string_view::npos) return false;
        h = std::string(v.substr(1, close - 1));
        std::string_view rest = v.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            p = rest.substr(1);
            if (p.empty()) return false;
        }
    } else if (std::count(v.begin(), v.end(), ':') == 1) {
        size_t colon = v.find(':');
        h = std::string(v.substr(0, colon));
        p = v.substr(colon + 1);
        if (p.empty()) return false;
    } else {
        h = std::string(v);
    }
    unsigned char buf[16];
    if (inet_pton(AF_INET, h.c_str(), buf) != 1 && inet_pton(AF_INET6, h.c_str(), buf) != 1) return false;
    int64_t n = 53;
    if (!p.empty() && !to_int(p, 1, 65535, n)) return false;
    host = h;
    port = uint16_t(n);
    return true;
}

const char *const kAlgorithms[] = {"hmac-sha224", "hmac-sha256", "hmac-sha384", "hmac-sha512"};

// ALG:NAME:SECRET; why says what is wrong.
bool parse_tsig(std::string_view v, TsigKey &key, std::string &why) {
    size_t a = v.find(':');
    size_t b = a == std::string_view::npos ? a : v.find(':', a + 1);
    if (b == std::string_view::npos) {
        why = "expected ALGORITHM:NAME:SECRET";
        return false;
    }
    std::string alg = strip_dot(lower(v.substr(0, a)));
    std::string name = std::string(v.substr(a + 1, b - a - 1));
    std::string secret = std::string(v.substr(b + 1));
    bool known = false;
    for (const char *k : kAlgorithms) known = known || alg == k;
    if (!known) {
        why = "algorithm \"" + alg + "\" is not one of hmac-sha224, hmac-sha256, hmac-sha384, hmac-sha512";
        return false;
    }
    if (!valid_dname(name)) {
        why = "key name \"" + name + "\" is not a domain name";
        return false;
    }
    ldns_rdf *raw = nullptr;
    bool ok = !secret.empty() &&
              secret.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
                  std::string::npos &&
              ldns_str2rdf_b64(&raw, secret.c_str()) == LDNS_STATUS_OK && raw && ldns_rdf_size(raw) > 0;
    if (raw) ldns_rdf_deep_free(raw);
    if (!ok) {
        why = "secret is not base64";
        return false;
    }
    key.algorithm = alg;
    key.name = name;
    key.secret = secret;
    return true;
}

// True when zone is domain itself or one of its parents.
bool zone_holds(const std::string &zone, const std::string &domain) {
    if (zone == domain) return true;
    return domain.size() > zone.size() && domain.compare(domain.size() - zone.size(), zone.size(), zone) == 0 &&
           domain[domain.size() - zone.size() - 1] == '.';
}

}  // namespace

uint32_t Config::ttl_for(const std::string &name, const std::string &domain) const {
    for (const std::string &k : {lower(name + "." + domain), lower(name)}) {
        auto it = groups.find(k);
        if (it != groups.end() && it->second.ttl >= 0) return uint32_t(it->second.ttl);
    }
    return ttl;
}

int Config::answers_for(const std::string &name, const std::string &domain) const {
    for (const std::string &k : {lower(name + "." + domain), lower(name)}) {
        auto it = groups.find(k);
        if (it != groups.end() && it->second.answers >= 0) return it->second.answers;
    }
    return answers;
}

std::string Config::zone_for(const std::string &domain) const {
    std::string d = strip_dot(lower(domain));
    auto it = zones.find(d);
    return it != zones.end() ? it->second : d;
}

std::string Config::server_text() const {
    bool v6 = server.find(':') != std::string::npos;
    return (v6 ? "[" + server + "]" : server) + ":" + std::to_string(port);
}

bool parse_config(std::string_view text, const std::string &file, Config &out, std::vector<std::string> &errors) {
    Config c;
    std::map<std::string, int> seen;   // single keys and group/zone keys -> line
    size_t before = errors.size();
    int lineno = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        lineno++;
        if (size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        auto f = split_blanks(line);
        if (f.empty()) continue;
        std::string key = lower(f[0]);
        auto fail = [&](const std::string &what, const std::string &problem) {
            errors.push_back(file + ":" + std::to_string(lineno) + ": " + what + ": " + problem);
        };
        auto once = [&](const std::string &id, const std::string &what) {
            auto [it, fresh] = seen.emplace(id, lineno);
            if (!fresh) fail(what, "given again (first on line " + std::to_string(it->second) + ")");
            return fresh;
        };
        auto quoted = [](std::string_view v) { return "\"" + std::string(v) + "\""; };
        int64_t n = 0;
        if (key == "server" || key == "tsig" || key == "ttl" || key == "answers") {
            if (f.size() != 2) {
                fail(key, f.size() < 2 ? "value missing" : "one value expected, got " + std::to_string(f.size() - 1));
                continue;
            }
            if (!once(key, key)) continue;
            std::string why;
            if (key == "server") {
                if (!parse_server(f[1], c.server, c.port))
                    fail(key, quoted(f[1]) + " is not ADDRESS[:PORT] (numeric IPv4, or IPv6 in brackets with a port)");
            } else if (key == "tsig") {
                if (!parse_tsig(f[1], c.key, why)) fail(key, why);
            } else if (key == "ttl") {
                if (!to_int(f[1], 0, kMaxTtl, n)) fail(key, quoted(f[1]) + " is not a number of seconds from 0 to 2147483647");
                else c.ttl = uint32_t(n);
            } else {
                if (!to_int(f[1], 0, 1000000, n)) fail(key, quoted(f[1]) + " is not a number from 0 up");
                else c.answers = int(n);
            }
        } else if (key == "group") {
            std::string what = f.size() >= 3 ? "group " + std::string(f[1]) + " " + lower(f[2]) : "group";
            if (f.size() != 4) {
                fail(what, "expected: group NAME answers N, or group NAME ttl SECONDS");
                continue;
            }
            std::string sub = lower(f[2]);
            std::string name = lower(f[1]);
            if (sub != "answers" && sub != "ttl") {
                fail(what, quoted(f[2]) + " is neither answers nor ttl");
                continue;
            }
            if (!once("group " + name + " " + sub, what)) continue;
            GroupOverride &o = c.groups[name];
            if (sub == "answers") {
                if (!to_int(f[3], 0, 1000000, n)) fail(what, quoted(f[3]) + " is not a number from 0 up");
                else o.answers = int(n);
            } else {
                if (!to_int(f[3], 0, kMaxTtl, n)) fail(what, quoted(f[3]) + " is not a number of seconds from 0 to 2147483647");
                else o.ttl = n;
            }
        } else if (key == "zone") {
            if (f.size() != 3) {
                fail(key, "expected: zone DOMAIN ZONE");
                continue;
            }
            std::string domain = strip_dot(lower(f[1])), zone = strip_dot(lower(f[2]));
            if (!once("zone " + domain, "zone " + domain)) continue;
            if (!valid_dname(domain)) fail("zone", quoted(f[1]) + " is not a domain name");
            else if (!valid_dname(zone)) fail("zone", quoted(f[2]) + " is not a domain name");
            else if (!zone_holds(zone, domain)) fail("zone " + domain, "zone " + quoted(f[2]) + " does not contain " + quoted(f[1]));
            else c.zones[domain] = zone;
        } else {
            fail(std::string(f[0]), "unknown key (known: server, tsig, ttl, answers, group, zone)");
        }
    }
    if (errors.size() != before) return false;
    out = std::move(c);
    return true;
}

bool load_config(const std::string &path, Config &out, std::vector<std::string> &errors,
                 std::vector<std::string> &warnings) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errors.push_back(path + ": cannot be read: " + std::strerror(EISDIR));
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            warnings.push_back(path + ": missing; the defaults apply (server 127.0.0.1:53, unsigned updates)");
            out = Config{};
            return true;
        }
        errors.push_back(path + ": cannot be read: " + std::strerror(errno));
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return parse_config(ss.str(), path, out, errors);
}

std::string default_config_path() { return std::string(path_item(2)) + "/flowgate.conf"; }

}  // namespace flowgate
