// Reading cluster.conf: lines of "key value", '#' starts a comment.
#include "cluster/config.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "port/paths.h"

namespace cluster {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool printable(std::string_view s) {
    for (unsigned char c : s)
        if (c < ' ' || c == 0x7f) return false;
    return true;
}

// The cluster name goes into a DNS label (_flowgate-NAME) and an etcd key.
bool valid_cluster(std::string_view s) {
    if (s.empty() || s.size() > 50 || s.front() == '-' || s.back() == '-') return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

// http://host[:port][/] or https://...; no user part, no path beyond "/".
bool valid_endpoint(std::string_view u) {
    std::string_view rest;
    if (u.substr(0, 7) == "http://") rest = u.substr(7);
    else if (u.substr(0, 8) == "https://") rest = u.substr(8);
    else return false;
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.empty() || rest.size() > 255) return false;
    for (unsigned char c : rest)
        if (c <= ' ' || c >= 0x7f || c == '/' || c == '@' || c == '?' || c == '#' || c == '\\') return false;
    size_t colon = rest.rfind(':');
    if (rest.front() == '[') {
        size_t close = rest.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        colon = close + 1 < rest.size() ? close + 1 : std::string_view::npos;
        if (colon != std::string_view::npos && rest[colon] != ':') return false;
    } else if (colon == 0) {
        return false;
    }
    if (colon != std::string_view::npos) {
        std::string_view p = rest.substr(colon + 1);
        unsigned port = 0;
        auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), port);
        if (p.empty() || ec != std::errc() || end != p.data() + p.size() || port == 0 || port > 65535) return false;
    }
    return true;
}

std::string host_name() {
    char h[256] = "";
    if (gethostname(h, sizeof h - 1) != 0 || !h[0]) return "localhost";
    return h;
}

}  // namespace

bool parse_config(std::string_view text, const std::string &file, Config &out, std::vector<std::string> &errors) {
    Config c;
    size_t before = errors.size();
    std::set<std::string> seen;
    int lineno = 0;
    int cert_line = 0, key_line = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        lineno++;
        if (size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        line = trim(line);
        if (line.empty()) continue;
        size_t sp = line.find_first_of(" \t");
        std::string key(line.substr(0, sp));
        std::string_view value = sp == std::string_view::npos ? std::string_view() : trim(line.substr(sp));
        std::string at = file + ":" + std::to_string(lineno) + ": " + key + ": ";
        auto bad = [&](const std::string &why) { errors.push_back(at + why); };
        std::string v(value);
        if (!printable(line)) {
            bad("control characters in the line");
            continue;
        }
        static const std::set<std::string> keys = {"etcd",     "cluster",   "name",     "lease",
                                                   "etcd-ca",  "etcd-cert", "etcd-key", "etcd-user"};
        if (!keys.count(key)) {
            bad("unknown key");
            continue;
        }
        if (!seen.insert(key).second) {
            bad("given twice");
            continue;
        }
        if (value.empty()) {
            bad("a value is needed");
            continue;
        }
        if (key == "etcd") {
            std::string_view rest = value;
            bool ok = true;
            while (ok) {
                size_t comma = rest.find(',');
                std::string_view u = trim(rest.substr(0, comma));
                if (!valid_endpoint(u)) {
                    bad("\"" + std::string(u) + "\" is not an http:// or https:// endpoint (host[:port])");
                    ok = false;
                    break;
                }
                std::string url(u);
                if (url.back() == '/') url.pop_back();
                c.endpoints.push_back(url);
                if (comma == std::string_view::npos) break;
                rest = rest.substr(comma + 1);
            }
            if (!ok) c.endpoints.clear();
        } else if (key == "cluster") {
            if (!valid_cluster(value)) bad("\"" + v + "\" is not a name of letters, digits and inner '-', at most 50");
            else c.cluster = v;
        } else if (key == "name") {
            if (v.size() > 255) bad("longer than 255 characters");
            else c.name = v;
        } else if (key == "lease") {
            int n = 0;
            auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (ec != std::errc() || end != v.data() + v.size() || n < kMinLease || n > kMaxLease)
                bad("\"" + v + "\" is not a number of seconds from " + std::to_string(kMinLease) + " to " +
                    std::to_string(kMaxLease));
            else c.lease = n;
        } else if (key == "etcd-ca") {
            c.ca = v;
        } else if (key == "etcd-cert") {
            c.cert = v;
            cert_line = lineno;
        } else if (key == "etcd-key") {
            c.key = v;
            key_line = lineno;
        } else if (key == "etcd-user") {
            size_t colon = v.find(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == v.size() ||
                v.find_first_of(" \t") < colon)
                bad("\"" + v.substr(0, colon) + (colon == std::string::npos ? "" : ":...") +
                    "\" is not USER:PASSWORD");
            else {
                c.user = v.substr(0, colon);
                c.password = v.substr(colon + 1);
            }
        }
    }
    if (c.cert.empty() != c.key.empty()) {
        int l = cert_line ? cert_line : key_line;
        errors.push_back(file + ":" + std::to_string(l) + ": " + (cert_line ? "etcd-cert" : "etcd-key") +
                         ": a client certificate needs both etcd-cert and etcd-key");
    }
    if (c.name.empty()) c.name = host_name();
    if (errors.size() != before) return false;
    out = std::move(c);
    return true;
}

bool load_config(const std::string &path, Config &out, std::vector<std::string> &errors) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            out = Config();
            return true;
        }
        errors.push_back(path + ": " + strerror(errno));
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    Config c;
    if (!parse_config(text, path, c, errors)) return false;
    // The TLS files must be readable now: a missing certificate is found by
    // --check, not at the first connection.
    size_t before = errors.size();
    int lineno = 0;
    for (std::string_view rest = text; !rest.empty();) {
        size_t nl = rest.find('\n');
        std::string_view line = trim(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        lineno++;
        for (const auto &[k, f] : {std::pair<const char *, const std::string *>{"etcd-ca", &c.ca},
                                   {"etcd-cert", &c.cert},
                                   {"etcd-key", &c.key}}) {
            size_t n = std::strlen(k);
            if (f->empty() || line.substr(0, n) != k || line.size() <= n || (line[n] != ' ' && line[n] != '\t'))
                continue;
            if (access(f->c_str(), R_OK) != 0)
                errors.push_back(path + ":" + std::to_string(lineno) + ": " + k + ": " + *f + ": " + strerror(errno));
        }
    }
    if (errors.size() != before) return false;
    out = std::move(c);
    return true;
}

std::string default_config_path() { return std::string(path_item(2)) + "/cluster.conf"; }

}  // namespace cluster
