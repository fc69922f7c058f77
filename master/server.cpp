// kord's start-up: options, the single-instance lock, paths, the DES key,
// the log, the two maps and the groups, the node workers; then the main loop.
// Also the reload of the group file that SIGHUP asks for.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <err.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "master/kord.h"
#include "port/paths.h"

namespace kord {

char g_host_name[128];
char *g_admin_mail = nullptr;
int g_debug = 1;
uint32_t *g_ctlmap = nullptr;
GroupRecord *g_groups = nullptr;
SideRecord *g_side = nullptr;
int g_group_count = 0;
DirWatcher *g_watcher = nullptr;
int g_exit_status = 0;
time_t g_started = 0;
std::mutex g_groups_lock;
bool g_stopping = false;

namespace {

int g_map_records = 0;   // records the data map's view holds

void usage(const char *name) {
    fprintf(stderr,
            "Usage: %s [options]\n\nOptions\n-d: debug level\n-m: administrator email address\n"
            "-v: version\n\n",
            name);
    exit(1);
}

void help(const char *name) {
    printf("Usage: %s [options]\n"
           "       %s -install | -remove\n\n"
           "Options\n"
           "-d LEVEL       debug level\n"
           "-m ADDRESS     administrator email address (start notice)\n"
           "-v, --version  version\n"
           "-t, --check    check the group file, node files, port files and zone directory,\n"
           "               print each problem and exit: 0 clean, 1 warnings, 2 errors\n"
           "-h, --help     this text\n"
           "-install       write and enable the systemd unit (also /install, any case)\n"
           "-remove        stop, disable and delete the systemd unit (also /remove)\n\n"
           "Signals: SIGTERM or SIGINT stop, SIGHUP re-reads the group file,\n"
           "SIGUSR1 logs \"Interrogated\".\n",
           name, name);
}

// Every node worker keeps its own ping socket and opens probe and agent
// connections: a large farm needs more than the default 1024 descriptors.
void raise_file_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

void open_crypto() {
    req_cipher_init(path_item(6));
}

// A refusal to start: said on standard error and in the log; exit status 1.
__attribute__((format(printf, 1, 2))) int refuse(const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    port_syslog(LOG_ALERT, "%s", text);
    fprintf(stderr, "kord: %s\n", text);
    g_exit_status = 1;
    return -1;
}

// Which ICMP sockets this process may open: 0 raw, 1 unprivileged echo
// sockets (SOCK_DGRAM, as ping falls back to), -1 neither.
int icmp_sockets() {
    int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        close(fd);
        return 1;
    }
    return -1;
}

std::string ping_group_range() {
    FILE *f = fopen("/proc/sys/net/ipv4/ping_group_range", "re");
    char buf[64] = "";
    if (f) {
        if (!fgets(buf, sizeof buf, f)) buf[0] = '\0';
        fclose(f);
    }
    std::string s = buf;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    for (char &c : s)
        if (c == '\t') c = ' ';
    return s.empty() ? "unreadable" : s;
}

// Why the group file gave no group, for the line after "No Cluster Groups found!".
std::string why_no_groups(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? "missing" : std::string("unreadable (") + strerror(errno) + ")";
    struct stat st;
    bool empty = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
    bool dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    close(fd);
    if (dir) return std::string("unreadable (") + strerror(EISDIR) + ")";
    return empty ? "empty" : "no valid line (kord --check tells why)";
}

// Waits until every node worker of the loaded groups has ended: their
// slots' thread-id words go to 0 as they end.
void wait_workers_ended() {
    auto start = std::chrono::steady_clock::now();
    bool told = false;
    for (;;) {
        int running = 0;
        for (int i = 0; i < g_group_count; i++)
            for (auto &s : g_groups[i].slot)
                running += __atomic_load_n(&s.worker_tid, __ATOMIC_ACQUIRE) != 0;
        if (!running) return;
        if (!told && std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
            port_syslog(LOG_WARNING, "Reload: waiting for %d node workers to stop", running);
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The data map for count groups: the view grows with the file when needed,
// otherwise the records are linked again in place.
void map_groups(int count) {
    if (g_groups && count <= g_map_records) {
        link_groups(g_groups, count);
        return;
    }
    if (g_groups) MapClose(g_groups);
    g_groups = open_data_map(path_item(8), count);
    g_map_records = count;
}

std::string field_text(const char *field, size_t n) { return std::string(field, strnlen(field, n)); }

// What this kord watches, said once at start: the installation, then one
// line per group with how it is probed.
void log_start() {
    int nodes = 0, workers = 0;
    for (int i = 0; i < g_group_count; i++) {
        nodes += int(g_groups[i].node_count);
        workers += int(g_groups[i].worker_count);
    }
    port_syslog(LOG_INFO, "Start %s %s: root %s, group file %s, %d groups, %d nodes, %d workers", kDisplayName,
                kVersion, path_item(2), path_item(7), g_group_count, nodes, workers);
    for (int i = 0; i < g_group_count; i++) {
        const GroupRecord &g = g_groups[i];
        if (!g.name[0]) continue;
        std::string members;
        for (const NodeRecord &s : g.slot)
            if (s.name[0]) members += (members.empty() ? "" : ",") + field_text(s.name, sizeof s.name);
        const char *method = method_name(g.method);
        if (g.peer[0])
            port_syslog(LOG_INFO, "Group %s.%s: mirror of %s", field_text(g.name, sizeof g.name).c_str(),
                        field_text(g.domain, sizeof g.domain).c_str(), field_text(g.peer, sizeof g.peer).c_str());
        else
            port_syslog(LOG_INFO, "Group %s.%s: method %s, interval %u ms, time-out %u ms, retries %u, nodes %s",
                        field_text(g.name, sizeof g.name).c_str(), field_text(g.domain, sizeof g.domain).c_str(),
                        method ? method : "rtt", g.interval_us / 1000, g.timeout_us / 1000, g.retries,
                        members.empty() ? "none" : members.c_str());
    }
}

}  // namespace

Command parse_options(int argc, char **argv) {
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {"check", no_argument, nullptr, 't'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;  // the usage text says it all
    optind = 1;
    Command cmd = Command::run;
    int c;
    while ((c = getopt_long(argc, argv, "d:m:vth", kLong, nullptr)) != -1) {
        switch (c) {
        case 'd':
            g_debug = atoi(optarg);
            break;
        case 'm':
            if (strchr(optarg, '@'))
                g_admin_mail = optarg;
            break;
        case 'v':
        case 'V':
            printf(" Tessaron(tm):\n");
            printf(" %s %s\n", argv[0], kVersion);
            fflush(stdout);
            exit(0);
        case 'h':
            help(argv[0]);
            fflush(stdout);
            exit(0);
        case 't':
            cmd = Command::check;
            break;
        default:
            usage(argv[0]);
        }
    }
    if (optind != argc)
        usage(appname(argv[0]));
    return cmd;
}

int server_main(int argc, char **argv) {
    parse_options(argc, argv);
    g_started = time(nullptr);
    port_openlog(kServiceName, 0, LOG_DAEMON);

    // Where kord keeps its files must be there before anything is written.
    const char *root = path_item(2);
    struct stat st;
    if (stat(root, &st) != 0)
        return refuse("Installation root %s: %s. Bail out!", root, strerror(errno));
    if (!S_ISDIR(st.st_mode))
        return refuse("Installation root %s: %s. Bail out!", root, strerror(ENOTDIR));
    switch (service_running(nullptr, kServiceName)) {
    case 0:
        break;
    case 1:
        return refuse("%s already running. Bail out!", kServiceName);
    default:
        return refuse("%s. Bail out!", lock_failure());
    }
    switch (icmp_sockets()) {
    case 0:
        break;
    case 1:
        port_syslog(LOG_WARNING, "No raw ICMP socket (no CAP_NET_RAW): pinging with unprivileged ICMP "
                                 "echo sockets");
        break;
    default:
        return refuse("No ICMP socket: a raw socket needs the capability CAP_NET_RAW (run kord as "
                      "root, under its unit, or setcap cap_net_raw+ep on it); an unprivileged ICMP "
                      "echo socket needs group %u within the sysctl net.ipv4.ping_group_range "
                      "(now \"%s\"). Bail out!",
                      unsigned(getgid()), ping_group_range().c_str());
    }

    raise_file_limit();
    gethostname(g_host_name, sizeof g_host_name);
    g_host_name[sizeof g_host_name - 1] = '\0';
    init_path("gpfile", "Software\\Kelvane\\Tessaron\\kord");
    if (chdir(root) != 0)
        return refuse("Installation root %s: %s. Bail out!", root, strerror(errno));
    set_signal_handler(kStopSignal, on_stop);
    open_crypto();

    // What the administrator got wrong is said, and kord runs on as ever.
    log_findings(check_config(false));

    g_ctlmap = open_control_map();
    int count = count_groups();
    *g_ctlmap = static_cast<uint32_t>(count);
    if (count == 0) {
        std::string why = why_no_groups(path_item(7));
        port_syslog(LOG_ALERT, "No Cluster Groups found!");
        port_syslog(LOG_ALERT, "Group file %s: %s", path_item(7), why.c_str());
        warnx("No Cluster Groups found!");
        warnx("group file %s: %s", path_item(7), why.c_str());
        exit(-2);
    }

    g_groups = open_data_map(path_item(8), count);
    g_map_records = count;
    g_group_count = count;
    load_groups(g_groups, count);

    start_workers();
    log_start();
    // The watch on the root, the running report and the start notice follow
    // in the main loop's own start.
    main_loop();
}

int reload_groups(void) {
    port_syslog(LOG_INFO, "Reload: reading %s", path_item(7));
    CheckResult check = check_config(false);
    log_findings(check);
    if (check.errors) {
        port_syslog(LOG_ALERT, "Reload refused: %d error(s) in the configuration; kord runs on unchanged.",
                    check.errors);
        return -1;
    }
    std::lock_guard<std::mutex> lk(g_groups_lock);
    if (g_stopping) return -1;
    report_reload(true);
    stop_workers();
    wait_workers_ended();
    int count = count_groups();
    if (count == 0) {
        // Emptied since the check: keep monitoring what there was.
        port_syslog(LOG_ALERT, "Reload refused: no group in %s; kord runs on unchanged.", path_item(7));
        start_workers();
        report_reload(false);
        return -1;
    }
    map_groups(count);
    *g_ctlmap = static_cast<uint32_t>(count);
    g_group_count = count;
    load_groups(g_groups, count);
    start_workers();
    int nodes = 0;
    for (int i = 0; i < count; i++) nodes += int(g_groups[i].worker_count);
    port_syslog(LOG_INFO, "Reload: %d groups, %d node workers", count, nodes);
    report_reload(false);
    return 0;
}

}  // namespace kord
