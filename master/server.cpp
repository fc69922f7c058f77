// kord's start-up: options, the single-instance lock, paths, the DES key,
// the log, the two maps and the groups, the node workers; then the main loop.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <err.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include "master/kord.h"
#include "port/paths.h"

namespace kord {

char g_host_name[128];
char *g_admin_mail = nullptr;
int g_debug = 1;
uint32_t *g_ctlmap = nullptr;
GroupRecord *g_groups = nullptr;
int g_group_count = 0;
DirWatcher *g_watcher = nullptr;

namespace {

void *g_crypto_lib = nullptr;

// The request protocol's key, in this byte order.
const unsigned char kDesKey[8] = {0x5A, 0xC3, 0x19, 0x7E, 0x02, 0xB4, 0xD8, 0x61};

void usage(const char *name) {
    fprintf(stderr,
            "Usage: %s [options]\n\nOptions\n-d: debug level\n-m: administrator email address\n"
            "-v: version\n\n",
            name);
    exit(1);
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
    char path[1024];
    snprintf(path, sizeof path, "%s%c%s", path_item(6), '/', "libcrypto.so.3");
    g_crypto_lib = dlopen(path, RTLD_NOW);
    if (!g_crypto_lib)
        return;
    C = des_init(g_crypto_lib);
    if (C)
        des_setkey_ecb(kDesKey, 8);
}

}  // namespace

int server_main(int argc, char **argv) {
    opterr = 0;  // the usage text says it all
    optind = 1;
    int c;
    while ((c = getopt(argc, argv, "d:m:v")) != -1) {
        switch (c) {
        case 'd':
            g_debug = atoi(optarg);
            break;
        case 'm':
            if (strchr(optarg, '@'))
                g_admin_mail = optarg;
            break;
        case 'v':
            printf(" Tessaron(tm):\n");
            printf(" %s %s\n", argv[0], kVersion);
            fflush(stdout);
            exit(0);
        default:
            usage(argv[0]);
        }
    }
    if (optind != argc)
        usage(appname(argv[0]));

    if (service_running(nullptr, kServiceName) != 0) {
        port_syslog(LOG_ALERT, "%s already running. Bail out!", kServiceName);
        return -1;
    }

    raise_file_limit();
    gethostname(g_host_name, sizeof g_host_name);
    g_host_name[sizeof g_host_name - 1] = '\0';
    init_path("gpfile", "Software\\Kelvane\\Tessaron\\kord");
    if (chdir(path_item(2)) != 0) {
        // relative paths are not used; the root may be created later
    }
    set_signal_handler(kStopSignal, on_stop);
    open_crypto();
    port_openlog(kServiceName, 0, LOG_DAEMON);

    g_ctlmap = open_control_map();
    int count = count_groups();
    *g_ctlmap = static_cast<uint32_t>(count);
    if (count == 0)
        errx(-2, "No Cluster Groups found!");

    g_groups = open_data_map(path_item(8), count);
    g_group_count = count;
    load_groups(g_groups, count);

    start_workers();
    // The watch on the root, the running report and the start notice follow
    // in the main loop's own start.
    main_loop();
}

}  // namespace kord
