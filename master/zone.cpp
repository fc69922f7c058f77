// Zone files: per domain the address lines of the groups' nodes, rebuilt
// from scratch at every start for the traffic controller to read.
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "master/kord.h"
#include "port/paths.h"

namespace kord {

namespace {
thread_local FILE *t_zone = nullptr;

void notice(const char *fmt, const char *path) {
    char text[128];  // a notice is cut to this size
    if (snprintf(text, sizeof text, fmt, path) < 0)
        return;
    port_message_box("Notice", text);
}
}  // namespace

int clean_all_cndb(void) {
    const char *root = path_item(2);
    char zone_path[1024];   // on the stack: in thread-local storage every worker would carry it
    snprintf(zone_path, sizeof zone_path, "%s%cnsdb%ccn", root, '/', '/');
    if (access(zone_path, R_OK | W_OK) != 0) {
        notice("Tessaron(tm): clean_all_cndb: access %s failed, exit.", zone_path);
        return -1;
    }
    DIR *dir = opendir(zone_path);
    if (!dir) {
        notice("Tessaron(tm): clean_all_cndb opendir %s failed, exit.", zone_path);
        return -1;
    }
    while (struct dirent *e = readdir(dir)) {
        const char *dot = strrchr(e->d_name, '.');
        if (!dot || strncmp(dot, ".cndb", 5) != 0)
            continue;
        char file[1024];
        snprintf(file, sizeof file, "%s%cnsdb%ccn%c%s", root, '/', '/', '/', e->d_name);
        unlink(file);  // a file we cannot remove is simply appended to
    }
    closedir(dir);
    return 0;
}

int cnode_init(const GroupRecord *g) {
    cnode_close();
    if (!zone_name_ok(g->domain))
        return -1;   // never a file outside the zone directory
    char zone_path[1024];
    snprintf(zone_path, sizeof zone_path, "%s%cnsdb%ccn%c%s.cndb", path_item(2), '/', '/',
             '/', g->domain);
    t_zone = fopen(zone_path, "a");
    if (!t_zone) {
        notice("Tessaron(tm): cnode_init failed to open %s, exit.", zone_path);
        return -1;
    }
    return 0;
}

FILE *cnode_file(void) { return t_zone; }

bool zone_name_ok(const char *domain) {
    return domain && !strchr(domain, '/') && !strstr(domain, "..");
}

int cnode_close(void) {
    if (!t_zone)
        return -1;
    fclose(t_zone);
    t_zone = nullptr;
    return 0;
}

}  // namespace kord
