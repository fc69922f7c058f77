// kordstat: the administrator's window into kord. Reads the control map and
// the data map (through the same install paths as kord) and prints every
// group and node slot; it only ever maps them read-only.
//
//   kordstat [--json | --prometheus] [--watch N]
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "master/records.h"
#include "port/paths.h"

using kord::GroupRecord;
using kord::NodeRecord;
using kord::ProbeStatus;

namespace {

enum class Format { Table, Json, Prometheus };

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

const char *method_name(uint32_t bits) {
    static const struct { uint32_t bit; const char *name; } names[] = {
        {1, "load"}, {2, "wload"}, {4, "cpu"}, {8, "rtt"}, {16, "nusers"}, {32, "mem"},
        {64, "failsafe"}, {128, "traffic_alloc"}};
    for (const auto &n : names)
        if (bits == n.bit)
            return n.name;
    return bits ? "?" : "-";
}

const char *state_name(uint32_t state) {
    switch (state) {
    case kord::kStateUp: return "up";
    case kord::kStateFailing: return "failing";
    case kord::kStateDown: return "down";
    default: return "-";
    }
}

std::string text(const char *field, size_t n) { return std::string(field, strnlen(field, n)); }

std::string addr_text(uint32_t addr) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return buf;
}

std::string json_str(const std::string &s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += char(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += char(c);
        }
    }
    return o + "\"";
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

int port_state(const NodeRecord &s) { return s.port ? int(s.port_status.state) : 0; }

void print_table(const GroupRecord *g, int n) {
    printf("%-16s %-24s %-13s %5s %7s  %s\n", "GROUP", "DOMAIN", "METHOD", "NODES", "WORKERS",
           "MIRROR OF");
    for (int i = 0; i < n; i++) {
        if (!g[i].name[0])
            continue;
        std::string peer = g[i].peer[0] ? text(g[i].peer, sizeof g[i].peer) : "-";
        printf("%-16s %-24s %-13s %5u %7u  %s\n", text(g[i].name, 32).c_str(),
               text(g[i].domain, 64).c_str(), method_name(g[i].method), g[i].node_count,
               g[i].worker_count, peer.c_str());
    }
    printf("\n%-16s %-16s %-15s %-7s %-7s %-7s %4s %7s %-13s %9s %6s %s\n", "GROUP", "NODE",
           "ADDRESS", "PING", "AGENT", "PORT", "FAIL", "RTT_MS", "PORT/STATE", "FREE_KB", "CONNS",
           "MIN_FS/MIN_VM/MAX_CONN");
    for (int i = 0; i < n; i++) {
        if (!g[i].name[0])
            continue;
        for (int k = 0; k < kord::kSlotsPerGroup && g[i].slot[k].name[0]; k++) {
            const NodeRecord &s = g[i].slot[k];
            std::string port = s.port ? std::to_string(s.port) + "/" + state_name(s.port_status.state)
                                      : std::string("-");
            char thr[64];
            snprintf(thr, sizeof thr, "%u/%u/%d", s.min_fs, s.min_vm, s.max_connections);
            printf("%-16s %-16s %-15s %-7s %-7s %-7s %4u %7d %-13s %9u %6u %s\n",
                   text(g[i].name, 32).c_str(), text(s.name, 32).c_str(), addr_text(s.addr).c_str(),
                   state_name(s.ping.state), state_name(s.agent.state),
                   state_name(s.port_summary.state), s.ping.failures, s.last_ping, port.c_str(),
                   s.agent_stats.word[2], s.agent_stats.word[11], thr);
        }
    }
}

void print_json(const GroupRecord *g, int n) {
    printf("{\"groups\":[");
    bool first_group = true;
    for (int i = 0; i < n; i++) {
        if (!g[i].name[0])
            continue;
        printf("%s\n {\"index\":%d,\"name\":%s,\"domain\":%s,\"method\":%s,\"peer\":%s,"
               "\"node_count\":%u,\"workers\":%u,\"interval_us\":%u,\"timeout_us\":%u,"
               "\"retries\":%u,\"nodes\":[",
               first_group ? "" : ",", i, json_str(text(g[i].name, 32)).c_str(),
               json_str(text(g[i].domain, 64)).c_str(), json_str(method_name(g[i].method)).c_str(),
               json_str(text(g[i].peer, 96)).c_str(), g[i].node_count, g[i].worker_count,
               g[i].interval_us, g[i].timeout_us, g[i].retries);
        first_group = false;
        for (int k = 0; k < kord::kSlotsPerGroup && g[i].slot[k].name[0]; k++) {
            const NodeRecord &s = g[i].slot[k];
            printf("%s\n  {\"slot\":%d,\"name\":%s,\"address\":%s,\"ping\":%s,\"agent\":%s,"
                   "\"port_summary\":%s,\"failures\":%u,\"last_ping_ms\":%d,\"port\":%u,"
                   "\"port_label\":%s,\"port_state\":%s,\"free_kb\":%u,\"connections\":%u,"
                   "\"min_fs\":%u,\"min_vm\":%u,\"max_connections\":%d,\"thread_id\":%u}",
                   k ? "," : "", k, json_str(text(s.name, 32)).c_str(),
                   json_str(addr_text(s.addr)).c_str(), json_str(state_name(s.ping.state)).c_str(),
                   json_str(state_name(s.agent.state)).c_str(),
                   json_str(state_name(s.port_summary.state)).c_str(), s.ping.failures, s.last_ping,
                   s.port, json_str(text(s.port_label, 8)).c_str(),
                   json_str(s.port ? state_name(s.port_status.state) : "-").c_str(),
                   s.agent_stats.word[2], s.agent_stats.word[11], s.min_fs, s.min_vm,
                   s.max_connections, s.worker_tid);
        }
        printf("]}");
    }
    printf("\n]}\n");
}

void print_prometheus(const GroupRecord *g, int n) {
    struct Metric { const char *name, *help; };
    const Metric metrics[] = {
        {"kord_node_state", "Ping state of the node: 0 unknown, 1 up, 2 failing, 3 down."},
        {"kord_node_failures", "Consecutive failed pings."},
        {"kord_node_last_ping_ms", "Last ping result: round trip in ms, negative on failure."},
        {"kord_node_port_state", "State of the probed port: 0 none, 1 up, 2 failing, 3 down."},
    };
    for (const Metric &m : metrics) {
        printf("# HELP %s %s\n# TYPE %s gauge\n", m.name, m.help, m.name);
        for (int i = 0; i < n; i++) {
            if (!g[i].name[0])
                continue;
            for (int k = 0; k < kord::kSlotsPerGroup && g[i].slot[k].name[0]; k++) {
                const NodeRecord &s = g[i].slot[k];
                long v = 0;
                if (m.name == metrics[0].name) v = s.ping.state;
                else if (m.name == metrics[1].name) v = s.ping.failures;
                else if (m.name == metrics[2].name) v = s.last_ping;
                else v = port_state(s);
                printf("%s{group=\"%s\",domain=\"%s\",node=\"%s\",address=\"%s\"} %ld\n", m.name,
                       prom_label(text(g[i].name, 32)).c_str(),
                       prom_label(text(g[i].domain, 64)).c_str(),
                       prom_label(text(s.name, 32)).c_str(), addr_text(s.addr).c_str(), v);
            }
        }
    }
}

int show(Format fmt) {
    std::string why;
    std::vector<unsigned char> ctl, data;
    char ctl_path[1024];
    snprintf(ctl_path, sizeof ctl_path, "%s/.ctlmap", path_item(3));
    if (!read_map(ctl_path, 4, ctl, why)) {
        fprintf(stderr, "kordstat: %s\n", why.c_str());
        return 1;
    }
    int32_t count;
    memcpy(&count, ctl.data(), 4);
    if (count < 0 || count > 1000000) {
        fprintf(stderr, "kordstat: %s: implausible group count %d\n", ctl_path, count);
        return 1;
    }
    if (!read_map(path_item(8), size_t(count) * kord::kGroupRecordSize, data, why)) {
        fprintf(stderr, "kordstat: %s\n", why.c_str());
        return 1;
    }
    const auto *groups = reinterpret_cast<const GroupRecord *>(data.data());
    switch (fmt) {
    case Format::Table: print_table(groups, count); break;
    case Format::Json: print_json(groups, count); break;
    case Format::Prometheus: print_prometheus(groups, count); break;
    }
    fflush(stdout);
    return 0;
}

void usage() {
    fprintf(stderr, "Usage: kordstat [--json | --prometheus] [--watch N]\n");
    exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    Format fmt = Format::Table;
    int watch = 0;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--json")) {
            fmt = Format::Json;
        } else if (!strcmp(argv[i], "--prometheus")) {
            fmt = Format::Prometheus;
        } else if (!strcmp(argv[i], "--watch") && i + 1 < argc) {
            char *end;
            long v = strtol(argv[++i], &end, 10);
            if (*end || v < 1 || v > 86400)
                usage();
            watch = int(v);
        } else {
            usage();
        }
    }
    init_path("gpfile", "Software\\Kelvane\\Tessaron\\kord");
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
