// The configuration check: reads the group file, the node files, the port
// files and the zone directory the way kord does, and says for every
// mistake what kord makes of it. `kord --check` prints the findings; kord
// logs them at start and refuses a reload on errors.
#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/config.h"
#include "master/kord.h"
#include "master/nodefile.h"
#include "master/ports.h"
#include "port/paths.h"

namespace kord {

namespace {

constexpr size_t kGroupLineMax = 1039;   // the reader's line, line end included
constexpr size_t kNodeLineMax = 1024;
constexpr int kFields = 13;


// A value as text for a message: quoted, control bytes escaped.
std::string q(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string plural(int n, const char *what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

// The group reader's atoi: white space, a sign, digits; clamps to 32 bits.
int32_t group_int(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    long long v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > (long long)INT32_MAX + 1) v = (long long)INT32_MAX + 1;
    }
    if (neg) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    return int32_t(v);
}

// Whether the text, blanks around it aside, is a whole decimal number.
bool whole_number(std::string_view s) {
    s = trim(s);
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool read_all(const std::string &path, std::string &out, int &err) {
    FILE *f = std::fopen(path.c_str(), "rbe");
    if (!f) {
        err = errno;
        return false;
    }
    // A directory opens, then every read fails with EIO in stdio's eyes.
    struct stat st {};
    if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        err = EISDIR;
        return false;
    }
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !std::ferror(f);
    err = ok ? 0 : EIO;
    std::fclose(f);
    return ok;
}

struct Group {
    int line;
    std::string name, domain;      // as the data map keeps them (cut)
    std::vector<std::string> members;
};

class Checker {
public:
    explicit Checker(CheckResult &r) : r_(r) {}

    void add(const std::string &file, int line, const std::string &field, int severity,
             const std::string &problem, const std::string &uses) {
        r_.findings.push_back({file, line, field, problem, uses, severity});
        if (severity == kCheckError) ++r_.errors;
        else if (severity == kCheckWarning) ++r_.warnings;
        else ++r_.notes;
    }

    int group_file(const std::string &path, bool resolve);
    void node_file(const std::string &path, const std::set<std::string> *nodes, NodeFileValues *out);
    void port_file(const std::string &path, const std::set<std::string> *known);

    std::vector<Group> groups;

private:
    void group_line(const std::string &path, int no, std::string_view line, bool resolve);
    void number(const std::string &path, int no, const char *field, std::string_view text,
                int32_t low, int32_t high, int32_t fallback, int32_t *out);

    CheckResult &r_;
    std::map<std::string, int> names_;   // group name -> first line
    struct Peer {
        int line;
        std::string peer, self;
    };
    std::vector<Peer> peers_;
};

// One integer field: empty or 0 means kord's default quietly; anything
// else that kord does not take as written is an error.
void Checker::number(const std::string &path, int no, const char *field, std::string_view text,
                     int32_t low, int32_t high, int32_t fallback, int32_t *out) {
    int32_t v = group_int(text);
    int32_t used = (v == 0 || v < low || v > high) ? fallback : v;
    if (out) *out = used;
    std::string uses = std::to_string(used);
    if (trim(text).empty()) return;
    if (!whole_number(text)) {
        add(path, no, field, kCheckError, q(text) + " is not a number", uses);
        return;
    }
    if (v < 0)
        add(path, no, field, kCheckError, "negative (" + std::to_string(v) + ")", uses);
    else if (v != 0 && v < low)
        add(path, no, field, kCheckError, std::to_string(v) + " is below " + std::to_string(low), uses);
    else if (v > high)
        add(path, no, field, kCheckError, std::to_string(v) + " is above " + std::to_string(high), uses);
}

void Checker::group_line(const std::string &path, int no, std::string_view line, bool resolve) {
    // Cut at ':' as the reader does: 13 fields, then the member text.
    std::vector<std::string_view> piece;
    size_t start = 0;
    while (piece.size() < size_t(kFields)) {
        size_t colon = line.find(':', start);
        if (colon == std::string_view::npos) break;
        piece.push_back(line.substr(start, colon - start));
        start = colon + 1;
    }
    std::string_view members = line.substr(std::min(start, line.size()));
    const int fields = int(piece.size());
    const std::string count = plural(fields, "field") + " before the member list, 13 needed";
    const bool plus = fields > 0 && !piece[0].empty() && piece[0][0] == '+';
    if (fields == 0 || (fields < 12 && !plus)) {
        add(path, no, "line", kCheckError, count, "nothing of this line");
        return;
    }
    if (plus) {
        add(path, no, "name", kCheckWarning, "begins with \"+\"", "nothing of this line");
        return;
    }
    if (fields == 12) {
        // The member text becomes parameter 2 and the group has no members.
        add(path, no, "line", kCheckError, count,
            "parameter 2 = " + std::to_string(group_int(members)) + " and no members");
        piece.push_back(members);
        members = {};
    }
    ++r_.groups;
    auto field = [&](int i) { return piece[size_t(i)]; };

    Group g;
    g.line = no;
    std::string_view name = field(0), domain = field(1);
    g.name = std::string(name.substr(0, 31));
    g.domain = std::string(domain.substr(0, 63));
    if (name.empty()) add(path, no, "name", kCheckError, "empty", "nothing of this group (its record stays empty)");
    else if (domain.empty())
        add(path, no, "domain", kCheckError, "empty", "nothing of this group (its record stays empty)");
    if (name.size() > 31) add(path, no, "name", kCheckError, "longer than 31 characters", q(g.name));
    if (domain.size() > 63) add(path, no, "domain", kCheckError, "longer than 63 characters", q(g.domain));
    if (!domain.empty() && !zone_name_ok(g.domain.c_str()))
        add(path, no, "domain", kCheckError, q(domain) + " holds \"/\" or \"..\"", "no zone file for this group");
    if (field(2).size() > 23)
        add(path, no, "password", kCheckError, "longer than 23 characters", "its first 23 characters");
    if (!name.empty()) {
        auto [it, fresh] = names_.emplace(std::string(name), no);
        if (!fresh)
            add(path, no, "name", kCheckError,
                "group " + q(name) + " is defined again (first at line " + std::to_string(it->second) + ")",
                "both groups; a mirror of this name follows the first");
    }

    int32_t interval, timeout;
    number(path, no, "interval", field(3), 100000, INT32_MAX, 1000000, &interval);
    std::string_view method = field(4);
    bool known = method.empty() || method_bit(std::string(method).c_str()) != 0;
    if (!known) add(path, no, "method", kCheckError, "unknown method " + q(method), "rtt");
    number(path, no, "alert interval", field(5), 1, INT32_MAX, 60, nullptr);
    number(path, no, "retries", field(6), 1, 10, 2, nullptr);
    number(path, no, "time-out", field(7), 100000, INT32_MAX, 800000, &timeout);
    if (timeout >= interval)
        add(path, no, "time-out", kCheckWarning,
            std::to_string(timeout) + " us is not below the interval " + std::to_string(interval) + " us",
            "it: each probe waits its time-out and the next starts at once");
    {
        std::string_view t = field(8);
        int32_t v = group_int(t);
        uint16_t low16 = uint16_t(v);
        std::string uses = std::to_string(low16 ? low16 : 10000);
        if (!trim(t).empty() && !whole_number(t))
            add(path, no, "agent port", kCheckError, q(t) + " is not a number", uses);
        else if (v < 0 || v > 65535)
            add(path, no, "agent port", kCheckError, std::to_string(v) + " is outside 0..65535", uses);
    }
    std::string_view peer = field(9);
    if (peer.size() > 95) add(path, no, "peer", kCheckError, "longer than 95 characters", q(peer.substr(0, 95)));
    if (!peer.empty()) peers_.push_back({no, std::string(peer.substr(0, 95)), g.name + "." + g.domain});
    std::string_view mail = field(10);
    if (!mail.empty() && mail.find('@') == std::string_view::npos)
        add(path, no, "alert address", kCheckError, q(mail) + " has no \"@\"", "no alert mail for this group");
    else if (mail.size() > 31)
        add(path, no, "alert address", kCheckError,
            q(mail) + " is longer than its 31-character map field", "no address: no alert mail for this group");
    for (int i : {11, 12}) {
        std::string_view t = field(i);
        if (!trim(t).empty() && !whole_number(t))
            add(path, no, i == 11 ? "parameter 1" : "parameter 2", kCheckError, q(t) + " is not a number",
                std::to_string(i == 11 && group_int(t) == 0 ? 1 : group_int(t)));
    }

    // Members: ',' separates, a blank ends the list.
    if (members.find(':') != std::string_view::npos)
        add(path, no, "member list", kCheckError, "holds \":\" (more than 13 fields)",
            "the text with its \":\" as member names");
    size_t blank = members.find(' '), blank_at = std::string_view::npos;
    if (blank != std::string_view::npos && !trim(members.substr(blank)).empty())
        blank_at = blank;
    std::string_view list = members.substr(0, std::min(blank, members.size()));
    for (size_t s = 0; s <= list.size();) {
        size_t comma = list.find(',', s);
        if (comma == std::string_view::npos) comma = list.size();
        std::string_view m = list.substr(s, comma - s);
        if (!m.empty()) g.members.emplace_back(m);
        s = comma + 1;
    }
    if (blank_at != std::string_view::npos) {
        std::string kept;
        for (const std::string &m : g.members) kept += (kept.empty() ? "" : ", ") + q(m);
        add(path, no, "member list", kCheckError,
            "a blank ends the list, " + q(trim(members.substr(blank_at))) + " follows",
            kept.empty() ? std::string("no members") : "only " + kept);
    }
    if (g.members.empty() && fields == kFields && !name.empty() && !domain.empty())
        add(path, no, "member list", kCheckWarning, "no members", "a group without nodes");
    for (size_t i = 0; i < g.members.size(); ++i) {
        const std::string &m = g.members[i];
        if (m.find_first_of("\t\r\v\f") != std::string::npos)
            add(path, no, "member list", kCheckError, q(m) + " holds white space", q(m) + " as one name");
        if (m.size() >= 32) {
            add(path, no, "member list", kCheckError, q(m) + " is longer than 31 characters",
                "no slot for it (left out)");
            continue;
        }
        if (resolve && inet_addr(m.c_str()) == INADDR_NONE) {
            hostent *h = gethostbyname(m.c_str());
            if (!h || h->h_addrtype != AF_INET || !h->h_addr_list || !h->h_addr_list[0])
                add(path, no, "member list", kCheckNote, q(m) + " does not resolve now",
                    "the other members while it does not");
        }
    }
    if (g.members.size() > 4) {
        std::string extra;
        for (size_t i = 4; i < g.members.size(); ++i) extra += (i > 4 ? ", " : "") + q(g.members[i]);
        add(path, no, "member list", kCheckWarning, std::to_string(g.members.size()) + " members for 4 slots",
            "the first four that resolve; " + extra + " only in place of members that do not");
    }
    if (!name.empty() && !domain.empty()) groups.push_back(std::move(g));
}

int Checker::group_file(const std::string &path, bool resolve) {
    std::string text;
    int err = 0;
    if (!read_all(path, text, err)) {
        add(path, 0, "file", kCheckError,
            std::string(err == ENOENT ? "missing" : "unreadable") + " (" + std::strerror(err) + ")",
            "no groups and stops (No Cluster Groups found!)");
        return 0;
    }
    int no = 0, crlf = 0, first_crlf = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        ++no;
        bool ended = nl != std::string::npos;
        std::string_view line(text.data() + pos, (ended ? nl : text.size()) - pos);
        pos = ended ? nl + 1 : text.size();
        if (!ended) {
            if (!trim(line).empty() && line[0] != '#')
                add(path, no, "line end", kCheckError, "the last line has no line end", "nothing of this line");
            break;
        }
        if (line.size() + 1 > kGroupLineMax) {
            add(path, no, "line", kCheckError,
                std::to_string(line.size() + 1) + " characters with the line end, more than 1039",
                "nothing of this line");
            continue;
        }
        if (line.find('\0') != std::string_view::npos) {
            add(path, no, "line", kCheckError, "holds a NUL byte", "nothing of this line");
            continue;
        }
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            if (!crlf++) first_crlf = no;
        }
        if (line.find('\r') != std::string_view::npos)
            add(path, no, "line", kCheckError, "holds a carriage return inside the line",
                "it as part of the text");
        if (line.empty() || line[0] == '#') continue;
        if (is_blank(line[0])) {
            if (!trim(line).empty())
                add(path, no, "line", line.find(':') != std::string_view::npos ? kCheckError : kCheckWarning,
                    "begins with white space", "nothing of this line");
            continue;
        }
        group_line(path, no, line, resolve);
    }
    if (crlf)
        add(path, first_crlf, "line end", kCheckNote,
            "CR LF line ends on " + plural(crlf, "line") + " (written on Windows)", "CR LF as a line end");

    for (const Peer &p : peers_) {
        bool found = false;
        for (const Group &g : groups) found = found || (g.name + "." + g.domain).compare(0, 96, p.peer) == 0;
        if (p.peer == p.self)
            add(path, p.line, "peer", kCheckError, "the group names itself", "nothing: the mirror is never refreshed");
        else if (!found)
            add(path, p.line, "peer", kCheckError, "no group " + q(p.peer) + " (name.domain) in this file",
                "nothing: the mirror is never refreshed");
    }
    if (r_.groups == 0)
        add(path, 0, "file", kCheckError,
            std::string(text.empty() ? "empty" : "no valid group line"),
            "no groups and stops (No Cluster Groups found!)");
    return r_.groups;
}

void Checker::node_file(const std::string &path, const std::set<std::string> *nodes, NodeFileValues *out) {
    NodeFileValues v{};
    std::string text;
    int err = 0;
    if (!read_all(path, text, err)) {
        add(path, 0, "file", kCheckError, std::string("unreadable (") + std::strerror(err) + ")",
            "the defaults");
        if (out) *out = v;
        return;
    }
    if (nodes) {
        std::string base = path.substr(path.rfind('/') + 1);
        base.resize(base.size() - 4);   // ".cfg"
        if (!nodes->count(base))
            add(path, 0, "file", kCheckWarning, "no group lists a node " + q(base), "nothing of this file");
    }
    int first_line[kNodeKeyCount] = {};
    int no = 0, crlf = 0, first_crlf = 0;
    // A 0xFF byte ends the file after the line it is in.
    if (size_t ff = text.find('\xff'); ff != std::string::npos) {
        if (!trim(std::string_view(text).substr(ff + 1)).empty())
            add(path, int(std::count(text.begin(), text.begin() + long(ff), '\n')) + 1, "file", kCheckError,
                "a 0xFF byte ends the file here", "nothing after it");
        text.resize(ff);
    }
    for (size_t pos = 0; pos <= text.size();) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl;
        ++no;
        std::string raw = text.substr(pos, end - pos);
        if (nl == std::string::npos && raw.empty()) break;
        pos = nl == std::string::npos ? text.size() + 1 : nl + 1;
        // A line over 1024 characters is cut, the next byte lost, the rest
        // read as further lines; only a line that ends uncut loses its CR.
        if (raw.size() > kNodeLineMax)
            add(path, no, "line", kCheckError, "longer than 1024 characters",
                "its first 1024 characters, drops the next and reads the rest as a new line");
        for (size_t s = 0; s == 0 || s < raw.size(); s += kNodeLineMax + 1) {
            std::string line = raw.substr(s, kNodeLineMax);
            if (s + kNodeLineMax >= raw.size() && !line.empty() && line.back() == '\r') {
                line.pop_back();   // only a line that ends uncut loses its CR
                if (!crlf++) first_crlf = no;
            }
            line.resize(std::strlen(line.c_str()));   // a NUL ends the line's text
            if (line.empty() || line[0] == '#' || line[0] == ';') continue;
            size_t p = 0;
            auto sep = [](char c) { return c == ' ' || c == '\t' || c == '='; };
            while (p < line.size() && sep(line[p])) ++p;
            size_t k = p;
            while (p < line.size() && line[p] != '=' && !std::isspace(static_cast<unsigned char>(line[p]))) ++p;
            if (p == k) continue;
            std::string key = line.substr(k, p - k);
            size_t key_end = p;
            while (p < line.size() && sep(line[p])) ++p;
            // The reader ends the key in place: a value right behind it (the
            // key ended by a VT, FF or lone CR, not a separator) becomes empty.
            std::string value = p == key_end ? std::string() : line.substr(p);
            int idx = -1;
            for (int i = 0; i < kNodeKeyCount && idx < 0; ++i)
                if (key.compare(0, std::strlen(kNodeKeys[i]), kNodeKeys[i]) == 0) idx = i;
            if (idx < 0) {
                add(path, no, key, kCheckWarning, "unknown key " + q(key), "nothing of this line");
                continue;
            }
            const char *kname = kNodeKeys[idx];
            if (key != kname) add(path, no, key, kCheckWarning, q(key) + " is not a key", "it as " + std::string(kname));
            if (first_line[idx])
                add(path, no, kname, kCheckWarning,
                    "given again (first at line " + std::to_string(first_line[idx]) + ")", "the last one");
            else
                first_line[idx] = no;
            std::snprintf(v.value[idx], sizeof v.value[idx], "%.16s", value.c_str());
            if (value.empty()) {
                static const char *const kDefault[] = {"the default 1", "the default 512", "the default 10000",
                                                       "the value it had before"};
                add(path, no, kname, kCheckWarning, "no value", kDefault[idx]);
                continue;
            }
            std::string used = v.value[idx];
            if (value.size() > 16)
                add(path, no, kname, kCheckError, "longer than 16 characters", "its first 16 " + q(used));
            errno = 0;
            long n = std::strtol(used.c_str(), nullptr, 10);
            long clamped = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : n;
            std::string kord_value = idx < 2 ? std::to_string(uint32_t(int32_t(clamped))) : std::to_string(clamped);
            if (!whole_number(used))
                add(path, no, kname, kCheckError, q(used) + " is not a number", kord_value);
            else if (errno == ERANGE || n != clamped)
                add(path, no, kname, kCheckError, q(used) + " is out of range", kord_value);
            else if (n < 0)
                add(path, no, kname, kCheckError, "negative (" + std::to_string(n) + ")", kord_value);
        }
    }
    if (crlf)
        add(path, first_crlf, "line end", kCheckNote,
            "CR LF line ends on " + plural(crlf, "line") + " (written on Windows)", "CR LF as a line end");
    if (out) *out = v;
}

void Checker::port_file(const std::string &path, const std::set<std::string> *known) {
    std::string text;
    int err = 0;
    if (!read_all(path, text, err)) {
        add(path, 0, "file", kCheckError, std::string("unreadable (") + std::strerror(err) + ")",
            "no port probe for the nodes it is meant for");
        return;
    }
    if (known) {
        std::string base = path.substr(path.rfind('/') + 1);
        if (!known->count(base))
            add(path, 0, "file", kCheckWarning, "no group or node of the group file has this name",
                "nothing of this file");
    }
    // What kord takes from the file.
    NodeRecord slot{};
    if (FILE *f = fmemopen(text.data(), text.size(), "r")) {
        if (!text.empty()) parse_port_file(f, &slot);
        std::fclose(f);
    }
    int no = 0, first = 0, second = 0;
    std::string_view usable;
    // The check lines after the port line, as the probe reads them.
    PortCheck check;
    bool check_bad = false, check_any = false;
    std::map<std::string, int> seen;   // key -> first line
    std::vector<int> check_lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        ++no;
        std::string_view line(text.data() + pos, (nl == std::string::npos ? text.size() : nl) - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        unsigned char c0 = line.empty() ? 0 : static_cast<unsigned char>(line[0]);
        if (!first) {
            if (c0 == 0 || c0 == '#' || std::isspace(c0)) continue;
            first = no;
            usable = line;
            continue;
        }
        std::string_view l = trim(line);
        if (l.empty() || l[0] == '#') continue;
        if (std::isdigit(static_cast<unsigned char>(l[0]))) {
            if (!second) {
                second = no;
                add(path, no, "line", kCheckWarning,
                    "a second port line (the first is line " + std::to_string(first) + ")", "nothing of this line");
            }
            continue;
        }
        check_any = true;
        if (l.find('\0') != std::string_view::npos) {
            add(path, no, "line", kCheckError, "a NUL byte", "a bare connect");
            check_bad = true;
            continue;
        }
        std::string key, problem;
        if (!parse_check_line(l, check, &key, &problem)) {
            add(path, no, key, kCheckError, problem, "a bare connect");
            check_bad = true;
            continue;
        }
        if (key == "https") key = "http";
        auto [it, fresh] = seen.emplace(key, no);
        if (!fresh && key != "header")
            add(path, no, key, kCheckWarning, "given again (first on line " + std::to_string(it->second) + ")",
                "this line");
        check_lines.push_back(no);
    }
    if (check_any && !check_bad) {
        if (check.kind == kCheckTcp)
            add(path, check_lines.empty() ? 0 : check_lines.front(), "line", kCheckWarning,
                "check settings without an http or https line", "a bare connect");
        else if (!check.ca.empty() && access(check.ca.c_str(), R_OK) != 0)
            add(path, seen.count("ca") ? seen["ca"] : 0, "ca", kCheckError,
                q(check.ca) + " is not readable (" + std::strerror(errno) + ")", "a check that fails its TLS set-up");
        else if (check.kind == kCheckHttp && (!check.ca.empty() || !check.verify))
            add(path, seen.count("ca") ? seen["ca"] : seen["verify"], seen.count("ca") ? "ca" : "verify",
                kCheckWarning, "TLS settings for a plain http check", "nothing of this line");
    }
    std::string port_text = std::to_string(slot.port) + (slot.port ? "" : " (no probe)");
    if (!first) {
        add(path, 0, "file", kCheckWarning, "no port line", "port " + port_text);
        return;
    }
    usable = usable.substr(0, usable.find_first_of("\r\n"));
    // strtok's fields: empty ones are skipped, so a later field moves up.
    std::vector<std::string_view> parts, f;
    for (size_t s = 0; s <= usable.size();) {
        size_t slash = std::min(usable.find('/', s), usable.size());
        parts.push_back(usable.substr(s, slash - s));
        s = slash + 1;
    }
    while (!parts.empty() && parts.back().empty()) parts.pop_back();
    bool empty_field = false;
    for (std::string_view part : parts) {
        if (part.empty()) empty_field = true;
        else f.push_back(part);
    }
    if (empty_field)
        add(path, first, "line", kCheckError, "an empty field between \"/\"", "the next field in its place");
    if (f.empty() || !whole_number(f[0]) || group_int(f[0]) < 0)
        add(path, first, "port", kCheckError, q(f.empty() ? "" : f[0]) + " is not a port number", port_text);
    else if (group_int(f[0]) > 65535)
        add(path, first, "port", kCheckError, q(f[0]) + " is above 65535", port_text);
    if (f.size() >= 2 && f[1].size() > sizeof slot.port_label)
        add(path, first, "label", kCheckError, "longer than 8 characters",
            q(std::string_view(slot.port_label, strnlen(slot.port_label, sizeof slot.port_label))));
    if (f.size() >= 3) {
        std::string_view mail = f[2];
        std::string kept(slot.port_mail, strnlen(slot.port_mail, sizeof slot.port_mail));
        if (mail.find('@') == std::string_view::npos)
            add(path, first, "alert address", kCheckError, q(mail) + " has no \"@\"",
                "the group's address for port alerts");
        else if (kept != mail)
            add(path, first, "alert address", kCheckError,
                q(mail) + " is longer than its 63-character map field",
                kept.empty() ? std::string("the group's address for port alerts") : q(kept));
    }
    if (f.size() > 3)
        add(path, first, "line", kCheckWarning, "more than three fields", "the first three");
}

std::vector<std::string> cfg_files(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() <= 4 || n.compare(n.size() - 4, 4, ".cfg") != 0) continue;
            struct stat st;
            if (stat((dir + "/" + n).c_str(), &st) == 0 && S_ISREG(st.st_mode)) out.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

std::string format_finding(const CheckFinding &f) {
    static const char *const kSeverity[] = {"note", "warning", "error"};
    std::string s = f.file;
    if (f.line > 0) s += ":" + std::to_string(f.line);
    s += ": " + f.field + ": " + kSeverity[f.severity] + ": " + f.problem + "; kord uses " + f.uses;
    return s;
}

int check_group_file(const char *path, bool resolve, CheckResult &r) {
    Checker c(r);
    return c.group_file(path, resolve);
}

void check_node_file(const char *path, CheckResult &r, NodeFileValues *values) {
    Checker c(r);
    c.node_file(path, nullptr, values);
}

void check_port_file(const char *path, CheckResult &r) {
    Checker c(r);
    c.port_file(path, nullptr);
}

CheckResult check_config(bool resolve) {
    CheckResult r;
    Checker c(r);
    const std::string root = path_item(2);
    r.group_file = path_item(7);
    struct stat rs;
    if (int e = stat(root.c_str(), &rs) != 0 ? errno : S_ISDIR(rs.st_mode) ? 0 : ENOTDIR)
        c.add(root, 0, "installation root", kCheckError, std::string("unusable (") + std::strerror(e) + ")",
              "nothing: it does not start");
    c.group_file(r.group_file, resolve);

    // The names node and port files are looked up under.
    std::set<std::string> nodes, ports{"fallback.cfg"};
    for (const Group &g : c.groups) {
        ports.insert(g.name + "." + g.domain + ".cfg");
        for (const std::string &m : g.members) {
            nodes.insert(m);
            ports.insert(m + "." + g.name + "." + g.domain + ".cfg");
        }
    }
    for (const std::string &f : cfg_files(root + "/nodes")) {
        c.node_file(f, &nodes, nullptr);
        ++r.node_files;
    }
    for (const std::string &f : cfg_files(root + "/ports")) {
        c.port_file(f, &ports);
        ++r.port_files;
    }

    // Each file's findings in line order, the file as a whole first.
    auto &fs = r.findings;
    for (size_t b = 0; b < fs.size();) {
        size_t e = b;
        while (e < fs.size() && fs[e].file == fs[b].file) ++e;
        std::stable_sort(fs.begin() + long(b), fs.begin() + long(e),
                         [](const CheckFinding &x, const CheckFinding &y) { return x.line < y.line; });
        b = e;
    }

    // cluster.conf: etcd for alerts mailed once per cluster.
    {
        cluster::Config cc;
        std::vector<std::string> errs;
        if (!cluster::load_config(cluster::default_config_path(), cc, errs))
            for (const std::string &e : errs) {
                // "FILE:LINE: KEY: problem"
                std::string file = cluster::default_config_path(), field = "cluster.conf", problem = e;
                int line = 0;
                if (e.compare(0, file.size() + 1, file + ":") == 0) {
                    std::string rest = e.substr(file.size() + 1);
                    size_t c1 = rest.find(": ");
                    if (c1 != std::string::npos && std::isdigit(static_cast<unsigned char>(rest[0]))) {
                        line = std::atoi(rest.c_str());
                        rest = rest.substr(c1 + 2);
                    }
                    size_t c2 = rest.find(": ");
                    if (c2 != std::string::npos) {
                        field = rest.substr(0, c2);
                        rest = rest.substr(c2 + 2);
                    }
                    problem = rest;
                }
                c.add(file, line, field, kCheckError, problem, "no etcd: alerts are mailed from this host alone");
            }
    }

    std::string zone = root + "/nsdb/cn";
    struct stat st;
    int serr = stat(zone.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (serr)
        c.add(zone, 0, "zone directory", kCheckError, std::string("missing (") + std::strerror(serr) + ")",
              "nothing and stops at start (clean_all_cndb)");
    else if (access(zone.c_str(), R_OK | W_OK) != 0) {
        // A check run by another user than kord's cannot tell for kord.
        int e = errno;
        bool self = geteuid() == 0 || geteuid() == st.st_uid;
        c.add(zone, 0, "zone directory", self || e != EACCES ? kCheckError : kCheckWarning,
              std::string("not readable and writable (") + std::strerror(e) + ") for uid " +
                  std::to_string(geteuid()),
              "nothing and stops at start, unless kord's own user may write it");
    }
    return r;
}

void log_findings(const CheckResult &r) {
    for (const CheckFinding &f : r.findings) port_syslog(LOG_WARNING, "%s", format_finding(f).c_str());
    if (r.errors || r.warnings)
        port_syslog(LOG_WARNING, "Configuration: %s, %s (kord --check lists them)", plural(r.errors, "error").c_str(),
                    plural(r.warnings, "warning").c_str());
}

int run_check(void) {
    init_path("gpfile", "Software\\Kelvane\\Tessaron\\kord");
    CheckResult r = check_config(true);
    for (const CheckFinding &f : r.findings) std::printf("%s\n", format_finding(f).c_str());
    std::printf("%s, %s, %s in %s (%s), %s, %s\n", plural(r.errors, "error").c_str(),
                plural(r.warnings, "warning").c_str(), plural(r.notes, "note").c_str(), r.group_file.c_str(),
                plural(r.groups, "group").c_str(), plural(r.node_files, "node file").c_str(),
                plural(r.port_files, "port file").c_str());
    std::fflush(stdout);
    return r.errors ? 2 : r.warnings ? 1 : 0;
}

}  // namespace kord
