// kordstat: the administrator's window into kord. Reads the control map and
// the data map (through the same install paths as kord) and prints every
// group and node slot; it only ever maps them read-only. Whether kord is
// alive comes from its heartbeat (kord.status) and its lock (kord.pid),
// both beside the control map.
//
//   kordstat [--json | --prometheus] [--watch N]
//   kordstat --listen ADDR:PORT [--listen-auth FILE] [--tls-cert FILE --tls-key FILE]
//
// What flowgate publishes for a group is worked out with flowgate's own
// selection, flowgate.conf and kord's zone files: flowgate keeps no status
// of its own to read.
#include <arpa/inet.h>
#include <crypt.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <getopt.h>
#include <microhttpd.h>
#include <mutex>
#include <string>
#include <sys/random.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "flowgate/config.h"
#include "flowgate/state.h"
#include "maps/json.h"
#include "maps/liveness.h"
#include "maps/records.h"
#include "maps/side.h"
#include "port/paths.h"
#include "tools/status_page.h"


using kord::GroupRecord;
using kord::NodeRecord;

namespace {

enum class Format { Table, Json, Prometheus };

constexpr int kExitStale = 3;

void add(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void add(std::string &out, const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (size_t(n) < sizeof buf) {
        out.append(buf, size_t(n));
        return;
    }
    std::vector<char> big(size_t(n) + 1);
    va_start(ap, fmt);
    vsnprintf(big.data(), big.size(), fmt, ap);
    va_end(ap);
    out.append(big.data(), size_t(n));
}

// ---- liveness: kord's lock and heartbeat ----

using kord::Liveness;

Liveness liveness(time_t now) { return kord::liveness(path_item(3), now); }

std::string liveness_text(const Liveness &lv) {
    if (lv.state == Liveness::NotRunning) return "kord is not running";
    if (lv.state == Liveness::Stale) return "data " + std::to_string(lv.age) + " s old";
    return "";
}

// ---- the maps ----

// A read-only snapshot of one map file.
bool read_map(const char *path, size_t size, std::vector<unsigned char> &out, std::string &why) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::string(path) + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || size_t(st.st_size) < size) {
        why = std::string(path) + ": shorter than " + std::to_string(size) + " bytes";
        close(fd);
        return false;
    }
    void *m = size ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0) : nullptr;
    close(fd);
    if (size && m == MAP_FAILED) {
        why = std::string(path) + ": " + strerror(errno);
        return false;
    }
    out.assign(static_cast<unsigned char *>(m), static_cast<unsigned char *>(m) + size);
    if (size)
        munmap(m, size);
    return true;
}

// The groups of the data map, or false with the reason.
bool read_groups(std::vector<unsigned char> &data, int &count, std::string &why) {
    std::vector<unsigned char> ctl;
    std::string ctl_path = std::string(path_item(3)) + "/.ctlmap";
    if (!read_map(ctl_path.c_str(), 4, ctl, why))
        return false;
    int32_t n;
    memcpy(&n, ctl.data(), 4);
    if (n < 0 || n > 1000000) {
        why = ctl_path + ": implausible group count " + std::to_string(n);
        return false;
    }
    count = n;
    return read_map(path_item(8), size_t(n) * kord::kGroupRecordSize, data, why);
}

// The side map beside the data map, as it stands; empty without one.
std::vector<unsigned char> g_side_map;
void read_side_map() {
    std::ifstream in(kord::side_map_path(path_item(8)), std::ios::binary);
    g_side_map.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The IPv6 half of a node, null when it has no IPv6 address.
const kord::SideRecord *side6(const GroupRecord *base, const GroupRecord &gr, int k) {
    const kord::SideRecord *r = kord::side_record(g_side_map.data(), g_side_map.size(),
                                                  uint32_t(&gr - base), uint32_t(k));
    static const uint8_t none[16] = {};
    return r && memcmp(r->addr6, none, sizeof none) != 0 ? r : nullptr;
}

std::string addr6_text(const kord::SideRecord *r) {
    char buf[INET6_ADDRSTRLEN];
    return r && inet_ntop(AF_INET6, r->addr6, buf, sizeof buf) ? buf : "-";
}

const char *method_name(uint32_t bits) {
    const char *name = kord::method_name(bits);
    return name ? name : bits ? "?" : "-";
}

const char *state_name(uint32_t state) {
    const char *name = kord::state_name(state);
    return name ? name : "-";
}

std::string text(const char *field, size_t n) { return std::string(field, strnlen(field, n)); }

std::string addr_text(uint32_t addr) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return buf;
}

// A node's side record whether or not it has an IPv6 address.
const kord::SideRecord *side_of(const GroupRecord *base, const GroupRecord &gr, int k) {
    return kord::side_record(g_side_map.data(), g_side_map.size(), uint32_t(&gr - base), uint32_t(k));
}

// ---- the port's HTTP check ----

const char *check_kind(uint8_t kind) {
    return kind == kord::kCheckHttp ? "http" : kind == kord::kCheckHttps ? "https" : "tcp";
}

// The path of the http or https line in the port file kord reads for the
// node (its own, its group's, the fallback); the side map says how kord
// probed last, so a file kord refused shows as the bare connect it got.
std::string check_path(const GroupRecord &gr, const NodeRecord &s) {
    const std::string dir = std::string(path_item(2)) + "/ports/";
    const std::string node = text(s.name, sizeof s.name), group = text(gr.name, sizeof gr.name),
                      domain = text(gr.domain, sizeof gr.domain);
    for (const std::string &name : {node + "." + group + "." + domain + ".cfg", group + "." + domain + ".cfg",
                                    std::string("fallback.cfg")}) {
        std::ifstream in(dir + name);
        if (!in) continue;
        std::string line;
        bool port_line = false;
        while (std::getline(in, line)) {
            if (!port_line) {
                port_line = !line.empty() && line[0] != '#' && !isspace(static_cast<unsigned char>(line[0]));
                continue;
            }
            size_t a = line.find_first_not_of(" \t");
            if (a == std::string::npos) continue;
            size_t b = line.find_first_of(" \t", a);
            std::string key = line.substr(a, b == std::string::npos ? std::string::npos : b - a);
            if ((key != "http" && key != "https") || b == std::string::npos) continue;
            size_t v = line.find_first_not_of(" \t", b);
            size_t e = line.find_last_not_of(" \t\r");
            return v == std::string::npos ? std::string() : line.substr(v, e - v + 1);
        }
        return "";
    }
    return "";
}

// "8080/https /healthz", "8080/tcp"; empty without a port.
std::string check_text(const GroupRecord &gr, const NodeRecord &s, const kord::SideRecord *x) {
    if (!s.port) return "";
    const uint8_t kind = x ? x->port_check : kord::kCheckTcp;
    std::string t = std::to_string(s.port) + "/" + check_kind(kind);
    if (kind != kord::kCheckTcp) {
        std::string path = check_path(gr, s);
        if (!path.empty()) t += " " + path;
    }
    return t;
}

bool http_checked(const NodeRecord &s, const kord::SideRecord *x) {
    return s.port && x && x->port_check != kord::kCheckTcp;
}

long long http_ms(const kord::SideRecord &x) { return (x.http_us + 500) / 1000; }

// The last outcome: "HTTP 503, 12 ms", "no answer, 800 ms".
std::string http_outcome(const NodeRecord &s, const kord::SideRecord *x) {
    if (!http_checked(s, x)) return "-";
    return (x->http_status ? "HTTP " + std::to_string(x->http_status) : std::string("no answer")) + ", " +
           std::to_string(http_ms(*x)) + " ms";
}

// JSON has no infinities (a load scale of 0 gives them): null instead.
std::string json_num(float v) {
    if (!std::isfinite(v)) return "null";
    char b[32];
    snprintf(b, sizeof b, "%.6g", double(v));
    return b;
}

std::string prom_num(float v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char b[32];
    snprintf(b, sizeof b, "%.6g", double(v));
    return b;
}

std::string prom_label(const std::string &s) {
    std::string o;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            o += '\\', o += char(c);
        else if (c == '\n')
            o += "\\n";
        else if (c >= 0x20 && c < 0x7f)
            o += char(c);
    }
    return o;
}

bool has_agent_data(const NodeRecord &s) { return s.agent_stats.word[0] != 0; }
int port_state(const NodeRecord &s) { return s.port ? int(s.port_status.state) : 0; }

// The thresholds the agent's last report crossed, as kord marks them.
bool memory_low(const NodeRecord &s) { return s.mem_status & kord::kMemLowBit; }
bool disk_low(const NodeRecord &s) { return s.fs_summary & kord::kFsAnyBit; }
bool connections_high(const NodeRecord &s) { return s.conn_status & kord::kConnHighBit; }

// How long the node has been down by ping, at least: the failed passes
// after the one that took it down, at the group's probe interval.
long long down_seconds(const GroupRecord &g, const NodeRecord &s) {
    if (s.ping.state != kord::kStateDown || s.ping.failures <= g.retries + 1) return 0;
    return (long long)(s.ping.failures - g.retries - 1) * g.interval_us / 1000000;
}

// What flowgate would publish for each group now, by record index: its
// selection over the same maps, with flowgate.conf's answers and kord's
// zone files. Groups flowgate leaves out (no domain, a name.domain an
// earlier record has) are left without.
struct Publication {
    bool known = false;
    flowgate::Selection sel;
};

std::vector<Publication> publications(const GroupRecord *g, int n) {
    flowgate::Config cfg;
    std::vector<std::string> errors, warnings;
    if (!flowgate::load_config(flowgate::default_config_path(), cfg, errors, warnings))
        cfg = flowgate::Config{};   // flowgate itself would not start with it
    flowgate::ZoneMembers zone;
    flowgate::read_zone_files(std::string(path_item(2)) + "/nsdb/cn", zone);
    std::vector<Publication> out(static_cast<size_t>(n));
    std::vector<std::string> seen;
    for (int i = 0; i < n; i++) {
        flowgate::GroupView v;
        flowgate::view_group(g[i], v);
        if (!v.name[0] || !v.domain[0]) continue;
        std::string key = flowgate::lower(std::string(v.name) + "." + v.domain);
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
        seen.push_back(key);
        out[size_t(i)].known = true;
        out[size_t(i)].sel = flowgate::select(v, cfg.answers_for(v.name, v.domain), zone, cfg.ttl_for(v.name, v.domain), time(nullptr));
    }
    return out;
}

template <class F> void each_node(const GroupRecord *g, int n, F f) {
    for (int i = 0; i < n; i++) {
        if (!g[i].name[0])
            continue;
        for (int k = 0; k < kord::kSlotsPerGroup && g[i].slot[k].name[0]; k++)
            f(g[i], k, g[i].slot[k]);
    }
}

void render_table(std::string &o, const GroupRecord *g, int n) {
    add(o, "%-16s %-24s %-13s %5s %7s  %s\n", "GROUP", "DOMAIN", "METHOD", "NODES", "WORKERS",
        "MIRROR OF");
    for (int i = 0; i < n; i++) {
        if (!g[i].name[0])
            continue;
        std::string peer = g[i].peer[0] ? text(g[i].peer, sizeof g[i].peer) : "-";
        add(o, "%-16s %-24s %-13s %5u %7u  %s\n", text(g[i].name, 32).c_str(),
            text(g[i].domain, 64).c_str(), method_name(g[i].method), g[i].node_count,
            g[i].worker_count, peer.c_str());
    }
    add(o, "\n%-16s %-16s %-15s %-7s %-7s %-7s %4s %7s %-13s %9s %6s %-22s %-24s %-7s %-7s %-7s %-24s %s\n",
        "GROUP", "NODE", "ADDRESS", "PING", "AGENT", "PORT", "FAIL", "RTT_MS", "PORT/STATE", "FREE_KB", "CONNS",
        "MIN_FS/MIN_VM/MAX_CONN", "ADDRESS6", "PING6", "PORT6", "RTT6_MS", "CHECK", "LAST_CHECK");
    each_node(g, n, [&](const GroupRecord &gr, int k, const NodeRecord &s) {
        const kord::SideRecord *x = side6(g, gr, k);
        std::string port = s.port ? std::to_string(s.port) + "/" + state_name(s.port_status.state)
                                  : std::string("-");
        char thr[64];
        snprintf(thr, sizeof thr, "%u/%u/%d", s.min_fs, s.min_vm, s.max_connections);
        const kord::SideRecord *side = side_of(g, gr, k);
        std::string check = check_text(gr, s, side);
        add(o, "%-16s %-16s %-15s %-7s %-7s %-7s %4u %7d %-13s %9u %6u %-22s %-24s %-7s %-7s %-7s %-24s %s\n",
            text(gr.name, 32).c_str(), text(s.name, 32).c_str(), s.addr ? addr_text(s.addr).c_str() : "-",
            state_name(s.ping.state), state_name(s.agent.state), state_name(s.port_summary.state),
            s.ping.failures, s.last_ping, port.c_str(), s.agent_stats.word[2],
            s.agent_stats.word[11], thr, addr6_text(x).c_str(), x ? state_name(x->ping6.state) : "-",
            x && s.port ? state_name(x->port6.state) : "-", x ? std::to_string(x->last_ping6).c_str() : "-",
            check.empty() ? "-" : check.c_str(), http_outcome(s, side).c_str());
    });
}

const char *liveness_word(const Liveness &lv) {
    return lv.state == Liveness::Fresh ? "running"
           : lv.state == Liveness::Stale ? "stale" : "not running";
}

void render_json(std::string &o, const Liveness &lv, const GroupRecord *g, int n,
                 const std::vector<Publication> &pub, const std::string &error) {
    add(o, "{\"kord_up\":%d,\"kord\":%s", lv.state == Liveness::Fresh,
        json_str(liveness_word(lv)).c_str());
    if (!error.empty())
        add(o, ",\"error\":%s", json_str(error).c_str());
    if (lv.have_status)
        add(o, ",\"heartbeat\":%lld,\"heartbeat_age_s\":%lld,\"pid\":%lld,\"started\":%lld,"
               "\"interval_s\":%lld",
            lv.pass, lv.age, lv.pid, lv.started, lv.interval);
    else
        add(o, ",\"heartbeat\":null");
    add(o, ",\"groups\":[");
    bool first_group = true;
    for (int i = 0; i < n; i++) {
        if (!g[i].name[0])
            continue;
        add(o, "%s\n {\"index\":%d,\"name\":%s,\"domain\":%s,\"method\":%s,\"peer\":%s,"
               "\"node_count\":%u,\"workers\":%u,\"interval_us\":%u,\"timeout_us\":%u,"
               "\"retries\":%u,\"alert_interval_min\":%u,\"flowgate\":",
            first_group ? "" : ",", i, json_str(text(g[i].name, 32)).c_str(),
            json_str(text(g[i].domain, 64)).c_str(), json_str(method_name(g[i].method)).c_str(),
            json_str(text(g[i].peer, 96)).c_str(), g[i].node_count, g[i].worker_count,
            g[i].interval_us, g[i].timeout_us, g[i].retries, g[i].alert_interval_min);
        first_group = false;
        if (pub[size_t(i)].known) {
            const flowgate::Selection &sel = pub[size_t(i)].sel;
            add(o, "{\"source\":%s,\"addresses\":[", json_str(flowgate::source_name(sel.source)).c_str());
            for (size_t k = 0; k < sel.addrs.size(); k++)
                add(o, "%s%s", k ? "," : "", json_str(addr_text(sel.addrs[k])).c_str());
            add(o, "]}");
        } else {
            add(o, "null");
        }
        add(o, ",\"nodes\":[");
        for (int k = 0; k < kord::kSlotsPerGroup && g[i].slot[k].name[0]; k++) {
            const NodeRecord &s = g[i].slot[k];
            bool agent = has_agent_data(s);
            add(o, "%s\n  {\"slot\":%d,\"name\":%s,\"address\":%s,\"ping\":%s,\"agent\":%s,"
                   "\"port_summary\":%s,\"failures\":%u,\"last_ping_ms\":%d,\"port\":%u,"
                   "\"port_label\":%s,\"port_state\":%s,\"agent_data\":%s,\"free_kb\":%u,"
                   "\"connections\":%u,\"load_ratio\":%s,\"load_ratios\":[%s,%s,%s],"
                   "\"min_fs\":%u,\"min_vm\":%u,\"max_connections\":%d,\"thread_id\":%u,"
                   "\"thresholds\":{\"memory_low\":%s,\"disk_low\":%s,\"connections_high\":%s},"
                   "\"down_s\":%lld}",
                k ? "," : "", k, json_str(text(s.name, 32)).c_str(),
                s.addr ? json_str(addr_text(s.addr)).c_str() : "null", json_str(state_name(s.ping.state)).c_str(),
                json_str(state_name(s.agent.state)).c_str(),
                json_str(state_name(s.port_summary.state)).c_str(), s.ping.failures, s.last_ping,
                s.port, json_str(text(s.port_label, 8)).c_str(),
                json_str(s.port ? state_name(s.port_status.state) : "-").c_str(),
                agent ? "true" : "false", s.agent_stats.word[2], s.agent_stats.word[11],
                agent ? json_num(s.mean_ratio).c_str() : "null",
                agent ? json_num(s.ratio[0]).c_str() : "null",
                agent ? json_num(s.ratio[1]).c_str() : "null",
                agent ? json_num(s.ratio[2]).c_str() : "null", s.min_fs, s.min_vm,
                s.max_connections, s.worker_tid, memory_low(s) ? "true" : "false",
                disk_low(s) ? "true" : "false", connections_high(s) ? "true" : "false",
                down_seconds(g[i], s));
            // The IPv6 half, inside the node's object.
            const kord::SideRecord *x = side6(g, g[i], k);
            o.pop_back();
            if (x)
                add(o, ",\"address6\":%s,\"ping6\":%s,\"port6\":%s,\"last_ping6_ms\":%d}",
                    json_str(addr6_text(x)).c_str(), json_str(state_name(x->ping6.state)).c_str(),
                    json_str(s.port ? state_name(x->port6.state) : "-").c_str(), x->last_ping6);
            else
                add(o, ",\"address6\":null,\"ping6\":null,\"port6\":null,\"last_ping6_ms\":null}");
            // How the port was checked, and the last HTTP outcome.
            const kord::SideRecord *side = side_of(g, g[i], k);
            o.pop_back();
            if (s.port)
                add(o, ",\"port_check\":%s,\"check\":%s", json_str(check_kind(side ? side->port_check : 0)).c_str(),
                    json_str(check_text(g[i], s, side)).c_str());
            else
                add(o, ",\"port_check\":null,\"check\":null");
            if (http_checked(s, side))
                add(o, ",\"http_status\":%s,\"http_ms\":%lld}",
                    side->http_status ? std::to_string(side->http_status).c_str() : "null", http_ms(*side));
            else
                add(o, ",\"http_status\":null,\"http_ms\":null}");
        }
        add(o, "]}");
    }
    add(o, "\n]}\n");
}

void family(std::string &o, const char *name, const char *help) {
    add(o, "# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
}

void render_prometheus(std::string &o, const Liveness &lv, const GroupRecord *g, int n,
                       const std::vector<Publication> &pub) {
    family(o, "kord_up", "1 while kord holds its lock and its heartbeat is at most two passes old.");
    add(o, "kord_up %d\n", lv.state == Liveness::Fresh);
    if (lv.have_status) {
        family(o, "kord_heartbeat_timestamp_seconds", "Time of kord's last main-loop pass.");
        add(o, "kord_heartbeat_timestamp_seconds %lld\n", lv.pass);
        family(o, "kord_start_time_seconds", "Time kord started.");
        add(o, "kord_start_time_seconds %lld\n", lv.started);
        family(o, "kord_heartbeat_interval_seconds", "Seconds between two of kord's main-loop passes.");
        add(o, "kord_heartbeat_interval_seconds %lld\n", lv.interval);
        family(o, "kord_nodes", "Nodes by ping state, as counted at kord's last pass.");
        const struct { const char *state; long long v; } counts[] = {
            {"up", lv.up}, {"failing", lv.failing}, {"down", lv.down}, {"unknown", lv.unknown}};
        for (const auto &c : counts)
            if (c.v >= 0)
                add(o, "kord_nodes{state=\"%s\"} %lld\n", c.state, c.v);
    }
    auto group_labels = [](const GroupRecord &gr) {
        return "group=\"" + prom_label(text(gr.name, 32)) + "\",domain=\"" + prom_label(text(gr.domain, 64)) + "\"";
    };
    struct GroupMetric {
        const char *name, *help;
        bool flowgate;   // only for groups flowgate publishes
        long long (*value)(const GroupRecord &, const flowgate::Selection &);
    };
    static const GroupMetric group_metrics[] = {
        {"kord_group_probe_interval_seconds", "Seconds between two probes of a node of the group.", false,
         [](const GroupRecord &gr, const flowgate::Selection &) -> long long { return gr.interval_us / 1000000; }},
        {"kord_group_alert_interval_seconds", "Seconds between two alerts about the same node of the group.", false,
         [](const GroupRecord &gr, const flowgate::Selection &) -> long long { return 60LL * gr.alert_interval_min; }},
        {"kord_group_fail_open", "1 while no node of the group is fit and flowgate publishes every member.", true,
         [](const GroupRecord &, const flowgate::Selection &s) -> long long {
             return s.source == flowgate::Source::FailOpen;
         }},
        {"kord_group_published_addresses", "Addresses flowgate publishes for the group now.", true,
         [](const GroupRecord &, const flowgate::Selection &s) -> long long { return (long long)s.addrs.size(); }},
    };
    for (const GroupMetric &m : group_metrics) {
        family(o, m.name, m.help);
        for (int i = 0; i < n; i++)
            if (g[i].name[0] && (!m.flowgate || pub[size_t(i)].known))
                add(o, "%s{%s} %lld\n", m.name, group_labels(g[i]).c_str(), m.value(g[i], pub[size_t(i)].sel));
    }
    auto labels = [](const GroupRecord &gr, const NodeRecord &s) {
        return "group=\"" + prom_label(text(gr.name, 32)) + "\",domain=\"" +
               prom_label(text(gr.domain, 64)) + "\",node=\"" + prom_label(text(s.name, 32)) +
               "\",address=\"" + addr_text(s.addr) + "\"";
    };
    struct Metric {
        const char *name, *help;
        bool agent_only;   // from the agent's report: only where one arrived
        long long (*value)(const NodeRecord &);   // null: down_seconds
    };
    static const Metric metrics[] = {
        {"kord_node_state", "Ping state of the node: 0 unknown, 1 up, 2 failing, 3 down.", false,
         [](const NodeRecord &s) -> long long { return s.ping.state; }},
        {"kord_node_agent_state", "State of the node's agent: 0 not asked, 1 up, 2 failing, 3 down.",
         false, [](const NodeRecord &s) -> long long { return s.agent.state; }},
        {"kord_node_port_state", "State of the probed port: 0 none, 1 up, 2 failing, 3 down.", false,
         [](const NodeRecord &s) -> long long { return port_state(s); }},
        {"kord_node_failures", "Consecutive failed pings.", false,
         [](const NodeRecord &s) -> long long { return s.ping.failures; }},
        {"kord_node_last_ping_ms", "Last ping result: round trip in ms, negative on failure.", false,
         [](const NodeRecord &s) -> long long { return s.last_ping; }},
        {"kord_node_down_seconds", "How long the node has been down by ping, at least; 0 while it is not.", false,
         nullptr},
        {"kord_node_free_memory_bytes", "Available memory in the agent's last report.", true,
         [](const NodeRecord &s) -> long long { return 1024LL * s.agent_stats.word[2]; }},
        {"kord_node_connections", "TCP connections in the agent's last report.", true,
         [](const NodeRecord &s) -> long long { return s.agent_stats.word[11]; }},
    };
    // The probe gauges have a series per family: the IPv4 one as before,
    // labelled family="ipv4", and one labelled "ipv6" with the IPv6 address.
    struct Metric6 {
        const char *name;
        long long (*value)(const NodeRecord &, const kord::SideRecord &);
    };
    static const Metric6 metrics6[] = {
        {"kord_node_state", [](const NodeRecord &, const kord::SideRecord &x) -> long long { return x.ping6.state; }},
        {"kord_node_port_state",
         [](const NodeRecord &s, const kord::SideRecord &x) -> long long { return s.port ? x.port6.state : 0; }},
        {"kord_node_failures", [](const NodeRecord &, const kord::SideRecord &x) -> long long { return x.ping6.failures; }},
        {"kord_node_last_ping_ms",
         [](const NodeRecord &, const kord::SideRecord &x) -> long long { return x.last_ping6; }},
    };
    for (const Metric &m : metrics) {
        family(o, m.name, m.help);
        const Metric6 *m6 = nullptr;
        for (const Metric6 &c : metrics6)
            if (strcmp(c.name, m.name) == 0) m6 = &c;
        each_node(g, n, [&](const GroupRecord &gr, int k, const NodeRecord &s) {
            if (m6) {
                if (s.addr)
                    add(o, "%s{%s,family=\"ipv4\"} %lld\n", m.name, labels(gr, s).c_str(), m.value(s));
                if (const kord::SideRecord *x = side6(g, gr, k)) {
                    std::string l = labels(gr, s);
                    l = l.substr(0, l.rfind(",address=")) + ",address=\"" + addr6_text(x) + "\"";
                    add(o, "%s{%s,family=\"ipv6\"} %lld\n", m.name, l.c_str(), m6->value(s, *x));
                }
            } else if (!m.agent_only || has_agent_data(s)) {
                add(o, "%s{%s} %lld\n", m.name, labels(gr, s).c_str(),
                    m.value ? m.value(s) : down_seconds(gr, s));
            }
        });
    }
    family(o, "kord_node_http_status", "Status of the port's last HTTP check; 0 when it got no answer.");
    each_node(g, n, [&](const GroupRecord &gr, int k, const NodeRecord &s) {
        const kord::SideRecord *x = side_of(g, gr, k);
        if (http_checked(s, x))
            add(o, "kord_node_http_status{%s,check=\"%s\"} %u\n", labels(gr, s).c_str(), check_kind(x->port_check),
                unsigned(x->http_status));
    });
    family(o, "kord_node_http_duration_seconds", "How long the port's last HTTP check took.");
    each_node(g, n, [&](const GroupRecord &gr, int k, const NodeRecord &s) {
        const kord::SideRecord *x = side_of(g, gr, k);
        if (http_checked(s, x))
            add(o, "kord_node_http_duration_seconds{%s,check=\"%s\"} %.6f\n", labels(gr, s).c_str(),
                check_kind(x->port_check), x->http_us / 1e6);
    });
    family(o, "kord_node_threshold_crossed",
           "1 while the agent's last report crossed the node's threshold: memory, disk or connections.");
    each_node(g, n, [&](const GroupRecord &gr, int, const NodeRecord &s) {
        if (!has_agent_data(s))
            return;
        const struct { const char *name; bool v; } t[] = {
            {"memory", memory_low(s)}, {"disk", disk_low(s)}, {"connections", connections_high(s)}};
        for (const auto &x : t)
            add(o, "kord_node_threshold_crossed{%s,threshold=\"%s\"} %d\n", labels(gr, s).c_str(), x.name, x.v);
    });
    family(o, "kord_node_load_ratio",
           "Load the agent reported divided by its scale: the mean and over 1, 5 and 15 minutes.");
    each_node(g, n, [&](const GroupRecord &gr, int, const NodeRecord &s) {
        if (!has_agent_data(s))
            return;
        const struct { const char *window; float v; } r[] = {
            {"mean", s.mean_ratio}, {"1m", s.ratio[0]}, {"5m", s.ratio[1]}, {"15m", s.ratio[2]}};
        for (const auto &x : r)
            add(o, "kord_node_load_ratio{%s,window=\"%s\"} %s\n", labels(gr, s).c_str(), x.window,
                prom_num(x.v).c_str());
    });
}

// One snapshot in the given format. Its exit status: 0 kord fresh, 1 a
// map could not be read, 3 kord not running or stale (that first).
// ---- flowgate's role, from its data/flowgate.status ----

struct FlowgateStatus {
    bool present = false;
    std::string role, cluster, name, leader;
    long long epoch = 0, updated = 0;
};

FlowgateStatus flowgate_status() {
    FlowgateStatus f;
    FILE *in = fopen((std::string(path_item(3)) + "/flowgate.status").c_str(), "re");
    if (!in) return f;
    char line[512];
    while (fgets(line, sizeof line, in)) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        size_t sp = l.find(' ');
        if (sp == std::string::npos) continue;
        std::string k = l.substr(0, sp), v = l.substr(sp + 1);
        if (k == "role") f.role = v, f.present = true;
        else if (k == "cluster") f.cluster = v;
        else if (k == "name") f.name = v;
        else if (k == "leader") f.leader = v;
        else if (k == "epoch") f.epoch = atoll(v.c_str());
        else if (k == "updated") f.updated = atoll(v.c_str());
    }
    fclose(in);
    return f;
}

void render_flowgate(Format fmt, std::string &out, const FlowgateStatus &f) {
    if (fmt == Format::Table) {
        if (!f.present) return;
        if (f.role == "alone") out += "flowgate: alone\n";
        else
            add(out, "flowgate: %s of cluster %s (%s), epoch %lld, leader %s\n", f.role.c_str(), f.cluster.c_str(),
                f.name.c_str(), f.epoch, f.leader.c_str());
    } else if (fmt == Format::Json) {
        // Last in the document, and only when flowgate keeps its status.
        size_t end = out.rfind('}');
        if (!f.present || end == std::string::npos) return;
        out.insert(end, ",\"flowgate\":{\"role\":" + json_str(f.role) + ",\"cluster\":" + json_str(f.cluster) +
                            ",\"name\":" + json_str(f.name) + ",\"leader\":" + json_str(f.leader) +
                            ",\"epoch\":" + std::to_string(f.epoch) + ",\"updated\":" + std::to_string(f.updated) +
                            "}");
    } else if (f.present) {
        family(out, "tessaron_flowgate_leader", "1 while this host's flowgate publishes (leader, or alone).");
        add(out, "tessaron_flowgate_leader %d\n", f.role == "leader" || f.role == "alone");
        family(out, "tessaron_flowgate_epoch", "The epoch flowgate leads under; 0 alone or standing by.");
        add(out, "tessaron_flowgate_epoch %lld\n", f.role == "leader" ? f.epoch : 0LL);
    }
}

int render(Format fmt, std::string &out, std::string &err) {
    Liveness lv = liveness(time(nullptr));
    std::string live = liveness_text(lv);
    std::vector<unsigned char> data;
    int count = 0;
    std::string why;
    bool maps = read_groups(data, count, why);
    read_side_map();
    const auto *groups = reinterpret_cast<const GroupRecord *>(data.data());
    if (!maps) count = 0;
    std::vector<Publication> pub =
        fmt == Format::Table ? std::vector<Publication>(size_t(count)) : publications(groups, count);
    switch (fmt) {
    case Format::Table:
        if (!live.empty()) out += live + "\n\n";
        if (maps) render_table(out, groups, count);
        break;
    case Format::Json:
        render_json(out, lv, groups, count, pub, maps ? "" : why);
        break;
    case Format::Prometheus:
        // Liveness even without maps: that is when it matters most.
        render_prometheus(out, lv, groups, count, pub);
        if (!maps) out += "# kordstat: " + prom_label(why) + "\n";
        break;
    }
    render_flowgate(fmt, out, flowgate_status());
    if (!live.empty() && fmt != Format::Table) err += "kordstat: " + live + "\n";
    if (!maps) err += "kordstat: " + why + "\n";
    if (lv.state != Liveness::Fresh) return kExitStale;
    return maps ? 0 : 1;
}

int show(Format fmt) {
    std::string out, err;
    int rc = render(fmt, out, err);
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
    fputs(err.c_str(), stderr);
    return rc;
}

// ---- the status page, /status.json and /metrics over HTTP ----

struct Access {
    std::vector<status_page::Credential> users;   // empty: no authentication
    std::string cert, key;                       // PEM; empty: plain HTTP
    // The last password each user was admitted with, as a fast salted
    // SHA-512 crypt under a salt of this process: a page refreshing every
    // few seconds would otherwise pay a bcrypt per fetch.
    std::mutex mu;
    std::string salt;
    std::vector<std::string> admitted;   // by index into users
};

bool same(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned char d = 0;
    for (size_t i = 0; i < a.size(); i++) d |= (unsigned char)(a[i] ^ b[i]);
    return d == 0;
}

std::string crypt_text(const std::string &password, const std::string &setting) {
    crypt_data cd{};
    const char *h = crypt_r(password.c_str(), setting.c_str(), &cd);
    return h && h[0] != '*' ? h : "";
}

// The user the request authenticates as, or -1.
int authenticate(Access &acc, MHD_Connection *conn, std::string &user_out) {
    char *pass = nullptr;
    char *user = MHD_basic_auth_get_username_password(conn, &pass);
    int who = -1;
    if (user) {
        user_out = user;
        std::string password = pass ? pass : "";
        for (size_t i = 0; i < acc.users.size(); i++)
            if (acc.users[i].user == user_out) who = int(i);
        std::string quick = crypt_text(password, acc.salt);
        {
            std::lock_guard<std::mutex> l(acc.mu);
            if (who >= 0 && !quick.empty() && same(acc.admitted[size_t(who)], quick)) {
                MHD_free(user);
                if (pass) MHD_free(pass);
                return who;
            }
        }
        // An unknown user costs as much as a wrong password.
        const std::string &hash = acc.users[who >= 0 ? size_t(who) : 0].hash;
        bool ok = same(crypt_text(password, hash), hash) && who >= 0;
        if (ok) {
            std::lock_guard<std::mutex> l(acc.mu);
            acc.admitted[size_t(who)] = quick;
        } else {
            who = -1;
        }
        MHD_free(user);
        if (pass) MHD_free(pass);
    }
    return who;
}

std::string nonce() {
    unsigned char b[16];
    if (getrandom(b, sizeof b, 0) != ssize_t(sizeof b))
        for (auto &c : b) c = (unsigned char)random();
    return status_page::base64(b, sizeof b);
}

MHD_Result answer(void *cls, MHD_Connection *conn, const char *url, const char *method,
                  const char *, const char *, size_t *, void **) {
    Access &acc = *static_cast<Access *>(cls);
    unsigned status = MHD_HTTP_OK;
    std::string body, csp;
    const char *type = "text/plain; charset=utf-8";
    std::string user;
    if (!acc.users.empty() && authenticate(acc, conn, user) < 0) {
        if (!user.empty())
            fprintf(stderr, "kordstat: refused user \"%s\": wrong password or unknown user\n",
                    prom_label(user).c_str());
        body = "authentication needed\n";
        MHD_Response *r = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
        if (!r) return MHD_NO;
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
        MHD_Result rc = MHD_queue_basic_auth_fail_response(conn, "kordstat", r);
        MHD_destroy_response(r);
        return rc;
    }
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        body = "only GET and HEAD\n";
    } else if (!strcmp(url, "/metrics")) {
        std::string err;
        render(Format::Prometheus, body, err);
        type = "text/plain; version=0.0.4; charset=utf-8";
    } else if (!strcmp(url, "/status.json")) {
        std::string err;
        render(Format::Json, body, err);
        type = "application/json";
    } else if (!strcmp(url, "/")) {
        std::string json, err;
        render(Format::Json, json, err);
        std::string n = nonce();
        try {
            body = status_page::render(nlohmann::json::parse(json), n, time(nullptr));
            csp = status_page::policy(n);
            type = "text/html; charset=utf-8";
        } catch (const std::exception &e) {
            status = MHD_HTTP_INTERNAL_SERVER_ERROR;
            body = std::string("cannot show the status: ") + e.what() + "\n";
        }
    } else {
        status = MHD_HTTP_NOT_FOUND;
        body = "kord's status is at /, /status.json and /metrics\n";
    }
    MHD_Response *r =
        MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    if (!csp.empty())
        MHD_add_response_header(r, "Content-Security-Policy", csp.c_str());
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    MHD_Result rc = MHD_queue_response(conn, status, r);
    MHD_destroy_response(r);
    return rc;
}

bool read_whole(const char *path, std::string &out, std::string &why) {
    FILE *f = fopen(path, "re");
    if (!f) {
        why = std::string(path) + ": " + strerror(errno);
        return false;
    }
    char buf[4096];
    size_t got;
    out.clear();
    while ((got = fread(buf, 1, sizeof buf, f)) > 0 && out.size() <= (1u << 20)) out.append(buf, got);
    bool err = ferror(f);
    fclose(f);
    if (err) why = std::string(path) + ": " + strerror(errno);
    else if (out.size() > (1u << 20)) why = std::string(path) + ": larger than 1 MiB";
    return why.empty();
}

// The password file: every line parsed, every hash one crypt() takes.
bool load_users(const char *path, Access &acc) {
    std::string text, why;
    if (!read_whole(path, text, why)) {
        fprintf(stderr, "kordstat: --listen-auth %s\n", why.c_str());
        return false;
    }
    std::vector<std::string> errors;
    status_page::parse_auth(text, path, acc.users, errors);
    for (const status_page::Credential &c : acc.users)
        if (crypt_text("", c.hash).empty())
            errors.push_back(std::string(path) + ":" + std::to_string(c.line) + ": user " + c.user +
                             ": crypt() does not take this hash");
    for (const std::string &e : errors) fprintf(stderr, "kordstat: %s\n", e.c_str());
    if (!errors.empty()) return false;
    unsigned char b[12];
    if (getrandom(b, sizeof b, 0) != ssize_t(sizeof b)) return false;
    std::string salt = status_page::base64(b, sizeof b);
    std::replace(salt.begin(), salt.end(), '+', '.');
    acc.salt = "$6$rounds=1000$" + salt + "$";
    acc.admitted.assign(acc.users.size(), std::string());
    return true;
}

// ADDR:PORT with an IPv4 address, or [IPv6]:PORT.
bool parse_listen(const std::string &where, sockaddr_storage &sa, bool &v6) {
    size_t colon = where.rfind(':');
    if (colon == std::string::npos || colon + 1 == where.size()) return false;
    std::string host = where.substr(0, colon), port_text = where.substr(colon + 1);
    char *end;
    long port = strtol(port_text.c_str(), &end, 10);
    if (*end || port < 0 || port > 65535) return false;
    memset(&sa, 0, sizeof sa);
    v6 = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&sa);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(uint16_t(port));
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &a->sin6_addr) == 1;
    }
    auto *a = reinterpret_cast<sockaddr_in *>(&sa);
    a->sin_family = AF_INET;
    a->sin_port = htons(uint16_t(port));
    return inet_pton(AF_INET, host.c_str(), &a->sin_addr) == 1;
}

int serve(const std::string &where, Access &acc) {
    sockaddr_storage sa;
    bool v6;
    if (!parse_listen(where, sa, v6)) {
        fprintf(stderr, "kordstat: --listen %s: want ADDRESS:PORT (an IPv4 address, or [IPv6])\n",
                where.c_str());
        return 2;
    }
    // The server's threads inherit the mask: only this thread takes the signals.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    bool tls = !acc.cert.empty();
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG | (v6 ? MHD_USE_IPv6 : 0) |
                     (tls ? MHD_USE_TLS : 0);
    // A few threads, so that one slow password check does not hold the rest;
    // at most 64 connections, 16 from one address.
    MHD_OptionItem opts[] = {
        {MHD_OPTION_SOCK_ADDR, 0, &sa},
        {MHD_OPTION_THREAD_POOL_SIZE, 3, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, 64, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, 16, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, 10, nullptr},
        {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0, const_cast<char *>(acc.cert.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(acc.key.c_str())},
        {MHD_OPTION_END, 0, nullptr}};
    MHD_Daemon *d = MHD_start_daemon(flags, 0, nullptr, nullptr, &answer, &acc, MHD_OPTION_ARRAY, opts,
                                     MHD_OPTION_END);
    if (!d) {
        fprintf(stderr, "kordstat: cannot listen on %s%s\n", where.c_str(),
                tls ? " (or the certificate and key do not go together)" : "");
        return 1;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    std::string base = std::string(tls ? "https" : "http") + "://" + where.substr(0, where.rfind(':')) + ":" +
                       std::to_string(info ? info->port : 0u);
    fprintf(stderr, "kordstat: serving %s/ (status page), %s/status.json and %s/metrics%s\n", base.c_str(),
            base.c_str(), base.c_str(), acc.users.empty() ? "" : ", with basic authentication");
    int sig = 0;
    sigwait(&stop, &sig);
    MHD_stop_daemon(d);
    fprintf(stderr, "kordstat: stopped serving on signal %d\n", sig);
    return 0;
}

void usage(FILE *to) {
    fprintf(to,
            "Usage: kordstat [--json | --prometheus] [--watch N]\n"
            "       kordstat --listen ADDRESS:PORT [--listen-auth FILE] [--tls-cert FILE --tls-key FILE]\n"
            "Shows what kord publishes for every group and node, and whether kord is alive.\n"
            "  --json               one JSON object: kord's heartbeat, the groups and nodes\n"
            "  --prometheus         Prometheus text format\n"
            "  -w, --watch N        repeat every N seconds (1 to 86400)\n"
            "  -l, --listen ADDR:PORT  serve the status page at http://ADDR:PORT/, the JSON\n"
            "                       at /status.json and the Prometheus text at /metrics\n"
            "                       (ADDR an IPv4 address or [IPv6]) until SIGTERM or SIGINT\n"
            "  --listen-auth FILE   basic authentication for every path; FILE has lines\n"
            "                       user:hash (bcrypt $2b$ or SHA-512 crypt $6$)\n"
            "  --tls-cert FILE --tls-key FILE\n"
            "                       serve HTTPS with this PEM certificate (chain) and key\n"
            "  -h, --help           this text\n"
            "  -v, --version        the version\n"
            "Exit status: 0 kord runs and its data is fresh; 1 a map cannot be read;\n"
            "2 usage; 3 kord is not running or its data is older than two passes.\n"
            "Paths: TESSARON_ROOT, TESSARON_PATH_3 (maps' directory), TESSARON_PATH_8.\n");
}

[[noreturn]] void bad_usage() {
    usage(stderr);
    exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    Format fmt = Format::Table;
    int watch = 0;
    const char *listen = nullptr, *auth = nullptr, *cert = nullptr, *key = nullptr;
    enum { kJson = 256, kPrometheus, kAuth, kCert, kKey };
    static const option longopts[] = {{"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'v'},
                                      {"json", no_argument, nullptr, kJson},
                                      {"prometheus", no_argument, nullptr, kPrometheus},
                                      {"watch", required_argument, nullptr, 'w'},
                                      {"listen", required_argument, nullptr, 'l'},
                                      {"listen-auth", required_argument, nullptr, kAuth},
                                      {"tls-cert", required_argument, nullptr, kCert},
                                      {"tls-key", required_argument, nullptr, kKey},
                                      {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "hvw:l:", longopts, nullptr)) != -1) {
        switch (opt) {
        case kJson: fmt = Format::Json; break;
        case kPrometheus: fmt = Format::Prometheus; break;
        case kAuth: auth = optarg; break;
        case kCert: cert = optarg; break;
        case kKey: key = optarg; break;
        case 'w': {
            char *end;
            long v = strtol(optarg, &end, 10);
            if (!*optarg || *end || v < 1 || v > 86400) bad_usage();
            watch = int(v);
            break;
        }
        case 'l': listen = optarg; break;
        case 'h': usage(stdout); return 0;
        case 'v': printf("kordstat (Tessaron) %s\n", TESSARON_VERSION); return 0;
        default: bad_usage();
        }
    }
    if (optind != argc) bad_usage();
    if ((listen && (watch || fmt != Format::Table)) || (!listen && (auth || cert || key)) || !cert != !key)
        bad_usage();
    init_path("gpfile", "Software\\Kelvane\\Tessaron\\kord");
    if (listen) {
        Access acc;
        std::string why;
        if (auth && !load_users(auth, acc)) return 1;
        if (cert && (!read_whole(cert, acc.cert, why) || !read_whole(key, acc.key, why))) {
            fprintf(stderr, "kordstat: %s\n", why.c_str());
            return 1;
        }
        if (cert && (acc.cert.find("-----BEGIN ") == std::string::npos || acc.key.find("-----BEGIN ") == std::string::npos)) {
            fprintf(stderr, "kordstat: %s: not PEM\n", acc.cert.find("-----BEGIN ") == std::string::npos ? cert : key);
            return 1;
        }
        return serve(listen, acc);
    }
    if (!watch)
        return show(fmt);
    for (;;) {
        if (fmt == Format::Table && isatty(STDOUT_FILENO))
            printf("\033[H\033[2J");
        show(fmt);
        if (fmt != Format::Table || !isatty(STDOUT_FILENO))
            printf("\n");
        fflush(stdout);
        sleep(unsigned(watch));
    }
}
