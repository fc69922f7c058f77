// Load and performance probes: the agent's load report from /proc.
#include "util/sys/probes.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

static_assert(sizeof(DriveInfo) == 24);
static_assert(offsetof(DriveInfo, total_mb) == 16);
static_assert(offsetof(DriveInfo, free_mb) == 20);
static_assert(sizeof(AgentStats) == 252);
static_assert(offsetof(AgentStats, drive) == 60);

namespace {

enum Counter {
    kProcesses, kUptime, kThreads, kAvailable, kCpu, kPrivileged, kUser, kInterrupt,
    kEstablished, kPassive, kActive, kReset, kLogons, kCount
};
static_assert(kCount == PDH_COUNTERS);

// The one counter table of the library: written by every collection, read
// by every report. The lock keeps each value whole; reports built on two
// threads at once may still mix two collections, as they always could.
std::mutex g_table_lock;
double g_value[kCount];

std::string g_proc = "/proc";
std::string g_utmp = _PATH_UTMP;

bool read_text(const std::string &path, std::string *out) {
    FILE *f = std::fopen(path.c_str(), "re");
    if (!f) return false;
    char buf[4096];
    size_t n;
    out->clear();
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && out->size() < (1u << 20)) out->append(buf, n);
    std::fclose(f);
    return true;
}

struct CpuTimes {
    bool ok = false;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    double total() const { return user + nice + system + idle + iowait + irq + softirq + steal; }
};

CpuTimes read_cpu() {
    CpuTimes t;
    std::string s;
    if (!read_text(g_proc + "/stat", &s)) return t;
    if (s.compare(0, 4, "cpu ") != 0) return t;
    int n = std::sscanf(s.c_str() + 4, "%lf %lf %lf %lf %lf %lf %lf %lf", &t.user, &t.nice, &t.system,
                        &t.idle, &t.iowait, &t.irq, &t.softirq, &t.steal);
    t.ok = n >= 4;
    return t;
}

// One field of the "Tcp:" lines of /proc/net/snmp (a header line, then values).
bool read_tcp(const char *field, double *v) {
    std::string s;
    if (!read_text(g_proc + "/net/snmp", &s)) return false;
    size_t h = s.find("Tcp: ");
    if (h == std::string::npos) return false;
    size_t he = s.find('\n', h);
    if (he == std::string::npos) return false;
    size_t vl = s.find("Tcp: ", he);
    if (vl == std::string::npos) return false;
    size_t ve = s.find('\n', vl);
    std::string head = s.substr(h + 5, he - h - 5);
    std::string vals = s.substr(vl + 5, (ve == std::string::npos ? s.size() : ve) - vl - 5);
    size_t hp = 0, vp = 0;
    while (hp < head.size() && vp < vals.size()) {
        size_t hn = head.find(' ', hp), vn = vals.find(' ', vp);
        std::string name = head.substr(hp, hn == std::string::npos ? std::string::npos : hn - hp);
        if (name == field) {
            *v = std::strtod(vals.c_str() + vp, nullptr);
            return true;
        }
        if (hn == std::string::npos || vn == std::string::npos) break;
        hp = hn + 1;
        vp = vn + 1;
    }
    return false;
}

bool read_processes(double *v) {
    DIR *d = opendir(g_proc.c_str());
    if (!d) return false;
    double n = 0;
    while (dirent *e = readdir(d)) {
        const char *p = e->d_name;
        if (!*p) continue;
        while (*p >= '0' && *p <= '9') ++p;
        if (!*p) ++n;
    }
    closedir(d);
    *v = n;
    return true;
}

bool read_uptime(double *v) {
    std::string s;
    if (!read_text(g_proc + "/uptime", &s)) return false;
    return std::sscanf(s.c_str(), "%lf", v) == 1;
}

bool read_threads(double *v) {
    std::string s;
    if (!read_text(g_proc + "/loadavg", &s)) return false;
    size_t slash = s.find('/');
    if (slash == std::string::npos) return false;
    return std::sscanf(s.c_str() + slash + 1, "%lf", v) == 1;
}

bool read_available(double *v) {
    std::string s;
    if (!read_text(g_proc + "/meminfo", &s)) return false;
    size_t p = s.find("MemAvailable:");
    if (p == std::string::npos) return false;
    double kb;
    if (std::sscanf(s.c_str() + p + 13, "%lf", &kb) != 1) return false;
    *v = kb * 1024.0;
    return true;
}

bool read_logons(double *v) {
    FILE *f = std::fopen(g_utmp.c_str(), "re");
    if (!f) return false;
    struct utmp u;
    double n = 0;
    while (std::fread(&u, sizeof u, 1, f) == 1)
        if (u.ut_type == USER_PROCESS) ++n;
    std::fclose(f);
    *v = n;
    return true;
}

// Reads counter i outside the processor ones (which need two samples).
bool read_counter(int i, double *v) {
    switch (i) {
    case kProcesses: return read_processes(v);
    case kUptime: return read_uptime(v);
    case kThreads: return read_threads(v);
    case kAvailable: return read_available(v);
    case kEstablished: return read_tcp("CurrEstab", v);
    case kPassive: return read_tcp("PassiveOpens", v);
    case kActive: return read_tcp("ActiveOpens", v);
    case kReset: return read_tcp("EstabResets", v);
    case kLogons: return read_logons(v);
    default: return read_cpu().ok;
    }
}

// Per-thread load averages and last passive-open count.
thread_local double t_avg[3];
thread_local int32_t t_last_passive;

void put_be(AgentStats *rec, int word, uint32_t v) { rec->word[word] = htonl(v); }

int32_t trunc32(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

uint32_t trunc_u32(double v) {
    if (!(v > 0)) return static_cast<uint32_t>(trunc32(v));
    if (v >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(v);
}

// The kernel writes blanks, tabs, line ends and backslashes of a mount
// point as octal escapes (\040 for a blank): undone in place.
void unescape_mount_point(char *s) {
    char *out = s;
    for (const char *p = s; *p; ++p) {
        if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' && p[3] >= '0' &&
            p[3] <= '7') {
            *out++ = char((p[1] - '0') << 6 | (p[2] - '0') << 3 | (p[3] - '0'));
            p += 3;
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
}

// Block-device file systems that are neither removable nor on a network;
// *dev gets the device number.
bool fixed_block_device(const char *source, dev_t *dev) {
    struct stat st;
    if (std::strncmp(source, "/dev/", 5) != 0 || stat(source, &st) != 0 || !S_ISBLK(st.st_mode))
        return false;
    *dev = st.st_rdev;
    char path[128];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    std::string rem;
    if (read_text(std::string(path) + "/removable", &rem) ||
        read_text(std::string(path) + "/../removable", &rem))
        return rem.empty() || rem[0] != '1';
    return true;
}

}  // namespace

namespace sorvan {

void set_probe_sources(const char *proc_root, const char *utmp_path) {
    g_proc = proc_root ? proc_root : "/proc";
    g_utmp = utmp_path ? utmp_path : _PATH_UTMP;
}

double counter_value(int i) {
    std::lock_guard<std::mutex> lk(g_table_lock);
    return i >= 0 && i < kCount ? g_value[i] : -1.0;
}

uint32_t kib_word(double bytes) {
    if (bytes < 0) return 0xFFFFFFFFu >> 10;
    double kib = std::floor(bytes / 1024.0);
    return kib >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(kib);
}

}  // namespace sorvan

extern "C" {

SORVAN_API int32_t pdh_init(PdhContext *ctx) {
    if (!ctx) return -1;
    ctx->query = nullptr;
    ctx->added = 0;
    ctx->counters = static_cast<uintptr_t *>(std::calloc(kCount, sizeof(uintptr_t)));
    if (!ctx->counters) return -1;
    std::lock_guard<std::mutex> lk(g_table_lock);
    for (int i = 0; i < kCount; ++i) {
        double v;
        if (read_counter(i, &v)) {
            ctx->counters[i] = static_cast<uintptr_t>(i + 1);
            ++ctx->added;
        } else {
            ctx->counters[i] = 0;
            g_value[i] = -1.0;
        }
    }
    return 0;
}

SORVAN_API void pdh_close(PdhContext *ctx) {
    if (!ctx) return;
    std::free(ctx->counters);
    ctx->counters = nullptr;
    ctx->added = 0;
}

SORVAN_API int32_t pdh_collect(PdhContext *ctx) {
    if (!ctx || !ctx->counters || ctx->added == 0) return -1;
    CpuTimes a = read_cpu();
    usleep(500000);
    CpuTimes b = read_cpu();
    double v[kCount];
    bool ok[kCount];
    for (int i = 0; i < kCount; ++i) {
        ok[i] = false;
        if (!ctx->counters[i]) continue;
        if (i >= kCpu && i <= kInterrupt) {
            double total = b.total() - a.total();
            ok[i] = a.ok && b.ok;
            if (!ok[i]) continue;
            double part;
            switch (i) {
            case kCpu: part = total - ((b.idle + b.iowait) - (a.idle + a.iowait)); break;
            case kPrivileged: part = b.system - a.system; break;
            case kUser: part = (b.user + b.nice) - (a.user + a.nice); break;
            default: part = (b.irq + b.softirq) - (a.irq + a.softirq); break;
            }
            v[i] = total > 0 ? 100.0 * part / total : 0.0;
            if (v[i] < 0) v[i] = 0;
            if (v[i] > 100) v[i] = 100;
        } else {
            ok[i] = read_counter(i, &v[i]);
        }
    }
    std::lock_guard<std::mutex> lk(g_table_lock);
    for (int i = 0; i < kCount; ++i)
        if (ctx->counters[i]) g_value[i] = ok[i] ? v[i] : -1.0;
    return 0;
}

SORVAN_API double *loadavg(double x) {
    static const double c[3] = {3768.5019223217078, 4028.299074853345, 4073.307537428057};
    for (int i = 0; i < 3; ++i) t_avg[i] = ((4096.0 - c[i]) * x * 4096.0 + c[i] * t_avg[i]) / 4096.0;
    return t_avg;
}

SORVAN_API uint64_t total_memory(void) {
    struct sysinfo si;
    if (sysinfo(&si) != 0) return 0;
    return static_cast<uint64_t>(si.totalram) * si.mem_unit;
}

SORVAN_API int32_t drvinfo(DriveInfo *drives, int32_t max) {
    FILE *f = std::fopen((g_proc + "/self/mounts").c_str(), "re");
    if (!f) return -1;
    int32_t n = 0;
    dev_t seen[64];
    int nseen = 0;
    char line[4096];
    while (n < max && std::fgets(line, sizeof line, f)) {
        char src[1024], dir[1024];
        if (std::sscanf(line, "%1023s %1023s", src, dir) != 2) continue;
        dev_t dev;
        if (!fixed_block_device(src, &dev)) continue;
        // A device mounted again, or bound elsewhere, is still one drive.
        if (std::find(seen, seen + nseen, dev) != seen + nseen) continue;
        unescape_mount_point(dir);
        struct statvfs vs;
        if (statvfs(dir, &vs) != 0) continue;
        if (nseen < 64) seen[nseen++] = dev;
        DriveInfo &d = drives[n++];
        std::memset(&d, 0, sizeof d);
        std::memcpy(d.name, dir, std::min(std::strlen(dir), sizeof d.name - 1));
        uint64_t total = static_cast<uint64_t>(vs.f_blocks) * vs.f_frsize;
        uint64_t avail = static_cast<uint64_t>(vs.f_bfree) * vs.f_frsize;
        d.total_mb = static_cast<uint32_t>(total >> 20);
        d.free_mb = static_cast<uint32_t>(avail >> 20);
    }
    std::fclose(f);
    return 0;
}

SORVAN_API int32_t build_agent_stats(AgentStats *rec, void *context, PdhContext *ctx) {
    (void)context;
    uint64_t total = total_memory();
    put_be(rec, 3, sorvan::kib_word(static_cast<double>(total)));

    DriveInfo drives[8];
    std::memset(drives, 0, sizeof drives);
    drvinfo(drives, 8);
    for (int k = 0; k < 8 && drives[k].total_mb != 0; ++k) {
        std::memcpy(rec->drive[k].name, drives[k].name, 16);
        rec->drive[k].total_mb = htonl(drives[k].total_mb);
        rec->drive[k].free_mb = htonl(drives[k].free_mb);
    }

    if (pdh_collect(ctx) != 0) return -1;
    double v[kCount];
    {
        std::lock_guard<std::mutex> lk(g_table_lock);
        std::memcpy(v, g_value, sizeof v);
    }
    put_be(rec, 6, 4096);
    double *avg = loadavg(v[kCpu] * v[kThreads] / 8192.0);
    uint32_t a8 = trunc_u32(avg[0]), a9 = trunc_u32(avg[1]), a10 = trunc_u32(avg[2]);
    put_be(rec, 8, a8);
    put_be(rec, 9, a9);
    put_be(rec, 10, a10);
    put_be(rec, 7, static_cast<uint32_t>((uint64_t(a8) + a9 + a10) / 3));
    put_be(rec, 0, static_cast<uint32_t>(trunc32(v[kProcesses])));
    put_be(rec, 4, static_cast<uint32_t>(trunc32(v[kUptime])));
    put_be(rec, 2, sorvan::kib_word(v[kAvailable]));
    put_be(rec, 5, static_cast<uint32_t>(trunc32(v[kLogons])));
    put_be(rec, 1, static_cast<uint32_t>(trunc32(100.0 - v[kCpu])));

    int32_t est = v[kEstablished] <= -1.0 ? -1 : trunc32(v[kEstablished]);
    int32_t passive;
    if (v[kPassive] > -1.0) {
        int32_t now = trunc32(v[kPassive]);
        passive = static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(t_last_passive));
        t_last_passive = now;
    } else {
        passive = -1;
    }
    int32_t current = est == -1 ? -1 : static_cast<int32_t>(static_cast<uint32_t>(est) + static_cast<uint32_t>(passive));
    put_be(rec, 12, static_cast<uint32_t>(est));
    put_be(rec, 13, static_cast<uint32_t>(passive));
    put_be(rec, 11, static_cast<uint32_t>(current));
    return 0;
}

SORVAN_API int32_t send_agent_stats(int sock, void *context, PdhContext *ctx) {
    AgentStats rec;
    std::memset(&rec, 0, sizeof rec);
    build_agent_stats(&rec, context, ctx);
    ssize_t n = send(sock, &rec, sizeof rec, MSG_NOSIGNAL);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    return static_cast<int32_t>(n);
}

}  // extern "C"
