// Port probes: after a node answers its ping, its worker checks that one TCP
// port of the node accepts connections. The port file says which port and
// whom to tell; it is read again on every probe, so edits apply at once.
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "master/kord.h"
#include "master/ports.h"
#include "port/paths.h"

namespace kord {

namespace {
thread_local char t_port_path[1024];

int send_mail(void *record) { return mail(static_cast<MailRequest *>(record)); }

bool has_at(const char *s) { return s[0] && strchr(s, '@'); }
}  // namespace

FILE *open_port_file(const GroupRecord *g, const NodeRecord *slot) {
    const char *root = path_item(2);
    snprintf(t_port_path, sizeof t_port_path, "%s%cports%c%s.%s.%s.cfg", root, '/', '/',
             slot->name, g->name, g->domain);
    if (access(t_port_path, R_OK) != 0) {
        snprintf(t_port_path, sizeof t_port_path, "%s%cports%c%s.%s.cfg", root, '/', '/', g->name,
                 g->domain);
        if (access(t_port_path, R_OK) != 0) {
            snprintf(t_port_path, sizeof t_port_path, "%s%cports%c%s", root, '/', '/',
                     "fallback.cfg");
            if (access(t_port_path, R_OK) != 0)
                return nullptr;
        }
    }
    return fopen(t_port_path, "r");
}

void parse_port_file(FILE *f, NodeRecord *slot) {
    slot->port = 0;
    memset(slot->port_label, 0, sizeof slot->port_label);
    memset(slot->port_mail, 0, sizeof slot->port_mail);

    char line[512];
    bool found = false;
    while (fgets(line, sizeof line, f)) {
        bool whole = strchr(line, '\n') != nullptr;
        unsigned char c = static_cast<unsigned char>(line[0]);
        bool usable = c != '#' && c != '\n' && !isspace(c) && c != '\0';
        if (usable) {
            found = true;
            break;
        }
        // A skipped line longer than the buffer: drop the rest of it too.
        while (!whole && fgets(line, sizeof line, f))
            whole = strchr(line, '\n') != nullptr;
    }
    if (!found)
        return;
    line[strcspn(line, "\r\n")] = '\0';

    const char *field[3] = {};
    int n = 0;
    for (char *save = nullptr, *tok = strtok_r(line, "/", &save); tok && n < 3;
         tok = strtok_r(nullptr, "/", &save))
        field[n++] = tok;
    if (n >= 1)
        slot->port = static_cast<uint16_t>(atoi(field[0]));
    if (n >= 2)
        // The label may fill its field without a terminator.
        memcpy(slot->port_label, field[1], strnlen(field[1], sizeof slot->port_label));
    if (n >= 3)
        strncpy(slot->port_mail, field[2], sizeof slot->port_mail - 1);
}

int read_port_file(const GroupRecord *g, NodeRecord *slot) {
    FILE *f = open_port_file(g, slot);
    if (!f)
        return 1;
    parse_port_file(f, slot);
    fclose(f);
    return 0;
}

int probe_port(uint32_t addr, GroupRecord *g, NodeRecord *slot) {
    if (read_port_file(g, slot) == 1)
        return -3;
    if (slot->port == 0) {
        alert_expire(&slot->port_status, g->alert_interval_min);
        return 0;
    }
    status_step(&slot->port_status, g->retries);

    enum { kNone, kUp, kDown } outcome = kDown;
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        lerror("kord", "socket", LOG_ERR, 0);
        return 0;
    }
    int mode = nonblock(s);
    struct sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(slot->port);
    sa.sin_addr.s_addr = addr;
    if (connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
        outcome = kUp;
    } else if (errno == EWOULDBLOCK || errno == EINPROGRESS) {
        fd_set rd, wr;
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        FD_SET(s, &rd);
        FD_SET(s, &wr);
        struct timeval tv;
        tv.tv_sec = g->timeout_us / 1000000;
        tv.tv_usec = g->timeout_us % 1000000;
        int r = select(s + 1, &rd, &wr, nullptr, &tv);
        if (r <= 0) {
            outcome = kDown;
        } else if (FD_ISSET(s, &rd) || FD_ISSET(s, &wr)) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
                outcome = kUp;
            else
                outcome = kDown;
        } else {
            outcome = kNone;
        }
    }

    if (outcome == kUp) {
        status_ok(&slot->port_status);
        status_ok(&slot->port_summary);
    } else if (outcome == kDown) {
        status_fail(&slot->port_status, g->retries);
        status_fail(&slot->port_summary, g->retries);
        char to[sizeof slot->port_mail + 1];
        to[0] = '\0';
        if (has_at(slot->port_mail))
            snprintf(to, sizeof to, "%.*s", int(sizeof slot->port_mail), slot->port_mail);
        else if (has_at(g->mailto))
            snprintf(to, sizeof to, "%.*s", int(sizeof g->mailto), g->mailto);
        if (to[0]) {
            char subject[320];
            snprintf(subject, sizeof subject, "%s: %s[%s] Port %d is not responding?", g_host_name,
                     g->name, slot->name, int(slot->port));
            subject[63] = '\0';  // subjects are cut to 63 characters
            MailRequest req{};
            req.to = to;
            req.from = to;
            req.subject = subject;
            req.body = "Port Down!";
            alert_raise(&slot->port_status, send_mail, &req);
        }
    }
    alert_expire(&slot->port_status, g->alert_interval_min);
    block(s, mode);
    linger(s, outcome == kDown ? 50 : 100);
    close(s);
    return 0;
}

}  // namespace kord
