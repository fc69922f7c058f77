// flowgate, the Tessaron(tm) Traffic Controller: turns what kord publishes
// in its maps into one A record set per cluster group on a primary DNS
// server, through TSIG-signed dynamic updates.
//
//   flowgate [--config FILE] [--check | --once [--json]]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <ldns/ldns.h>

#include "cluster/config.h"
#include "cluster/etcd.h"
#include "flowgate/cluster_role.h"
#include "flowgate/config.h"
#include "flowgate/state.h"
#include "flowgate/update.h"
#include "port/paths.h"
#include "port/varro.h"
#include "maps/json.h"


using namespace flowgate;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr const char *kIdent = "Tessaron Traffic Controller";
constexpr const char *kDisplayName = "Tessaron(tm) Traffic Controller";
constexpr milliseconds kPollEvery{200};      // a map change reaches the primary within 1 s
constexpr milliseconds kReplyWait{5000};     // for an update's reply
constexpr int kWindow = 32;                  // updates in flight at once
constexpr int kFirstPause = 1, kMaxPause = 60;   // retry pauses, seconds

void usage(FILE *to) {
    fprintf(to,
            "Usage: flowgate [-c FILE] [-t | --once [--json]]\n"
            "  (no option)    run: publish every cluster group's A records on the primary\n"
            "  -t, --check    check the configuration and the TSIG key, then exit\n"
            "                 (status 0 clean, 1 warnings only, 2 errors)\n"
            "  --once         print each group's addresses as they would be published, send nothing\n"
            "  --json         with --once: print JSON instead of a table\n"
            "  -c, --config FILE  read FILE instead of <root>/flowgate.conf\n"
            "  -h, --help     print this text\n"
            "  -v, --version  print the version\n"
            "Environment: TESSARON_ROOT (installation root, default /opt/tessaron),\n"
            "TESSARON_PATH_3 and TESSARON_PATH_8 (kord's maps), TESSARON_LOG (log mirror file, - for stderr).\n");
}

// One datagram to systemd's notify socket; nothing without one.
void notify(const std::string &msg) {
    const char *name = std::getenv("NOTIFY_SOCKET");
    if (!name || !*name) return;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    size_t n = std::strlen(name);
    if (n >= sizeof sa.sun_path) return;
    std::memcpy(sa.sun_path, name, n);
    if (sa.sun_path[0] == '@') sa.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sendto(fd, msg.data(), msg.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&sa),
           socklen_t(offsetof(sockaddr_un, sun_path) + n));
    close(fd);
}

std::string join(const std::vector<uint32_t> &addrs) {
    std::string s;
    for (uint32_t a : addrs) s += (s.empty() ? "" : " ") + addr_text(a);
    return s.empty() ? "-" : s;
}

template <class T> std::vector<T> sorted(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::string zone_dir() { return std::string(path_item(2)) + "/nsdb/cn"; }
std::string ctl_path() { return std::string(path_item(3)) + "/.ctlmap"; }

// ---- --check and --once ----

// cluster.conf, and whether its etcd answers.
void check_cluster(std::vector<std::string> &errors) {
    cluster::Config cc;
    std::string path = cluster::default_config_path();
    if (!cluster::load_config(path, cc, errors) || !cc.enabled()) return;
    cluster::Etcd e(cc);
    int64_t lease = 0;
    std::string why;
    if (!e.grant(cluster::kMinLease, lease, why)) {
        errors.push_back(path + ": etcd: no endpoint answers: " + why);
        return;
    }
    e.revoke(lease, why);
}

int check(const std::string &path) {
    Config cfg;
    std::vector<std::string> errors, warnings;
    bool ok = load_config(path, cfg, errors, warnings);
    std::string why;
    if (ok && !key_usable(cfg.key, why)) errors.push_back(path + ": tsig: " + why);
    if (ok && cfg.key.empty() && warnings.empty())
        warnings.push_back(path + ": tsig: no key: updates go unsigned, and the primary must accept them so");
    if (ok) {
        // Overrides for groups the data map does not hold (when it can be read).
        Maps maps(ctl_path(), path_item(8));
        bool remapped;
        std::vector<GroupView> views;
        if (maps.refresh(why, remapped) && maps.snapshot(views)) {
            for (const auto &[name, o] : cfg.groups) {
                (void)o;
                bool found = false;
                for (const GroupView &v : views)
                    found = found || lower(v.name) == name || lower(std::string(v.name) + "." + v.domain) == name;
                if (!found) warnings.push_back(path + ": group " + name + ": no such group in " + maps.data_path());
            }
        }
    }
    check_cluster(errors);
    for (const auto &e : errors) printf("%s (error)\n", e.c_str());
    for (const auto &w : warnings) printf("%s (warning)\n", w.c_str());
    printf("%s: %zu error%s, %zu warning%s\n", path.c_str(), errors.size(), errors.size() == 1 ? "" : "s",
           warnings.size(), warnings.size() == 1 ? "" : "s");
    return !errors.empty() ? 2 : !warnings.empty() ? 1 : 0;
}

int once(const std::string &path, bool json) {
    Config cfg;
    std::vector<std::string> errors, warnings;
    if (!load_config(path, cfg, errors, warnings)) {
        for (const auto &e : errors) fprintf(stderr, "flowgate: %s\n", e.c_str());
        return 2;
    }
    Maps maps(ctl_path(), path_item(8));
    std::string why;
    bool remapped;
    std::vector<GroupView> views;
    if (!maps.refresh(why, remapped) || !maps.snapshot(views)) {
        fprintf(stderr, "flowgate: kord's maps cannot be read: %s\n", why.empty() ? "changed while read" : why.c_str());
        return 1;
    }
    ZoneMembers zone;
    read_zone_files(zone_dir(), zone);
    if (json) printf("{\"groups\":[");
    else
        printf("%-16s %-32s %-20s %-13s %6s %-9s %s\n", "GROUP", "OWNER", "ZONE", "METHOD", "TTL", "SOURCE",
               "ADDRESSES");
    bool first = true;
    for (size_t i = 0; i < views.size(); i++) {
        const GroupView &v = views[i];
        if (!v.name[0] || !v.domain[0]) continue;
        int answers = cfg.answers_for(v.name, v.domain);
        Selection sel = select(v, answers, zone);
        std::string owner = std::string(v.name) + "." + v.domain + ".";
        std::string zn = cfg.zone_for(v.domain) + ".";
        uint32_t ttl = cfg.ttl_for(v.name, v.domain);
        if (json) {
            printf("%s\n {\"index\":%zu,\"name\":%s,\"domain\":%s,\"owner\":%s,\"zone\":%s,\"method\":%s,"
                   "\"ttl\":%u,\"answers\":%d,\"source\":%s,\"addresses\":[",
                   first ? "" : ",", i, json_str(v.name).c_str(), json_str(v.domain).c_str(),
                   json_str(owner).c_str(), json_str(zn).c_str(), json_str(method_name(v.method)).c_str(), ttl,
                   answers, json_str(source_name(sel.source)).c_str());
            for (size_t k = 0; k < sel.addrs.size(); k++)
                printf("%s%s", k ? "," : "", json_str(addr_text(sel.addrs[k])).c_str());
            printf("]}");
        } else {
            printf("%-16s %-32s %-20s %-13s %6u %-9s %s\n", v.name, owner.c_str(), zn.c_str(),
                   method_name(v.method), ttl, source_name(sel.source), join(sel.addrs).c_str());
        }
        first = false;
    }
    if (json) printf("\n]}\n");
    return 0;
}

// ---- the running controller ----

struct Group {
    std::string name, domain, owner;   // owner: name.domain
    std::string zone;
    Selection want;
    uint32_t ttl = 0;
    bool published = false;            // the primary holds `sent` with `sent_ttl`
    std::vector<uint32_t> sent;
    std::vector<Addr6> sent6;
    uint32_t sent_ttl = 0;
    bool inflight = false;
    std::vector<uint32_t> sending;
    std::vector<Addr6> sending6;
    uint32_t sending_ttl = 0;
    Clock::time_point retry_at{};
    int pause = 0;                     // seconds before the next try, 0 after success
    bool failing_open = false;
    bool bad_name = false;             // logged that the owner cannot be published
    unsigned pass = 0;

    bool needs_update() const {
        if ((want.source == Source::None && want.source6 == Source::None) || bad_name) return false;
        return !published || sent_ttl != ttl || sorted(sent) != sorted(want.addrs) ||
               sorted(sent6) != sorted(want.addrs6);
    }
};

struct Inflight {
    std::string key;
    Clock::time_point deadline;
    Update update;
};

class Controller {
public:
    explicit Controller(std::string path) : path_(std::move(path)), maps_(ctl_path(), path_item(8)) {}
    int run();

private:
    bool load(bool reload);
    bool open_socket();
    void poll_maps(Clock::time_point now);
    void send_due(Clock::time_point now);
    void on_readable(Clock::time_point now);
    void expire(Clock::time_point now);
    void failed(Group &g, Clock::time_point now, const std::string &what);
    void drop_inflight();
    void report_status();
    Clock::time_point next_wakeup(Clock::time_point now) const;

    std::string path_;
    Config cfg_;
    Maps maps_;
    ZoneMembers zone_;
    timespec zone_mtime_{};
    bool maps_ok_ = false, maps_logged_ = false, mapped_once_ = false;
    std::map<std::string, Group> groups_;
    std::map<uint16_t, Inflight> inflight_;
    unsigned pass_ = 0;
    int sock_ = -1;
    Clock::time_point sock_retry_at_{};
    bool silent_ = false;              // the primary stopped answering
    std::mt19937 rng_{std::random_device{}()};
    std::string status_;
    unsigned long updates_ = 0;
    // In a cluster: only the leader sends, each update fenced by its epoch.
    bool fence_ready(const std::string &zone, int64_t epoch, Clock::time_point now);
    ClusterRole role_;
    uint64_t term_ = 0;
    std::map<std::string, Clock::time_point> fence_retry_;   // zone -> next try; absent: not written yet
    std::map<std::string, bool> fence_done_;
};

bool Controller::fence_ready(const std::string &zone, int64_t epoch, Clock::time_point now) {
    if (fence_done_[zone]) return true;
    if (auto it = fence_retry_.find(zone); it != fence_retry_.end() && now < it->second) return false;
    fence_retry_[zone] = now + std::chrono::seconds(1);
    const std::string &c = role_.config().cluster;
    std::string owner = fence_owner(c, zone), why;
    int64_t held = 0;
    if (!read_fence(cfg_, owner, held, why)) {
        port_syslog(LOG_ERR, "Cluster %s: cannot read the fence %s: %s", c.c_str(), owner.c_str(), why.c_str());
        return false;
    }
    if (held > epoch) {
        role_.fenced(epoch, held);
        return false;
    }
    if (held < epoch && !write_fence(cfg_, zone, owner, held, epoch, why)) {
        port_syslog(LOG_ERR, "Cluster %s: cannot set the fence %s to epoch %lld: %s", c.c_str(), owner.c_str(),
                    (long long)epoch, why.c_str());
        return false;
    }
    port_syslog(LOG_INFO, "Cluster %s: fence %s holds epoch %lld", c.c_str(), owner.c_str(), (long long)epoch);
    fence_done_[zone] = true;
    return true;
}

bool Controller::load(bool reload) {
    Config cfg;
    std::vector<std::string> errors, warnings;
    std::string why;
    bool ok = load_config(path_, cfg, errors, warnings);
    if (ok && !key_usable(cfg.key, why)) {
        errors.push_back(path_ + ": tsig: " + why);
        ok = false;
    }
    for (const auto &w : warnings) port_syslog(LOG_WARNING, "%s", w.c_str());
    if (!ok) {
        for (const auto &e : errors)
            port_syslog(LOG_ALERT, "%s%s", e.c_str(), reload ? "; the running configuration stays" : "");
        return false;
    }
    bool new_target = !reload || cfg.server != cfg_.server || cfg.port != cfg_.port ||
                      cfg.key.name != cfg_.key.name || cfg.key.secret != cfg_.key.secret ||
                      cfg.key.algorithm != cfg_.key.algorithm || cfg.zones != cfg_.zones;
    cfg_ = std::move(cfg);
    std::string key = cfg_.key.empty() ? "unsigned updates"
                                       : "TSIG key " + cfg_.key.name + " (" + cfg_.key.algorithm + ")";
    port_syslog(LOG_INFO, "%s %s: primary %s, %s, ttl %u, answers %d%s", reload ? "Reloaded" : "Read",
                path_.c_str(), cfg_.server_text().c_str(), key.c_str(), cfg_.ttl, cfg_.answers,
                new_target && reload ? "; every group is sent again" : "");
    if (new_target) {
        drop_inflight();
        for (auto &[k, g] : groups_) {
            (void)k;
            g.published = false;
            g.bad_name = false;
        }
        silent_ = false;
        if (!open_socket()) return false;
    }
    for (auto &[k, g] : groups_) {
        (void)k;
        g.pause = 0;
        g.retry_at = {};
    }
    return true;
}

bool Controller::open_socket() {
    if (sock_ >= 0) close(sock_);
    sockaddr_storage ss{};
    socklen_t len;
    if (cfg_.server.find(':') != std::string::npos) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(cfg_.port);
        inet_pton(AF_INET6, cfg_.server.c_str(), &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(cfg_.port);
        inet_pton(AF_INET, cfg_.server.c_str(), &a->sin_addr);
        len = sizeof *a;
    }
    sock_ = socket(ss.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock_ < 0 || connect(sock_, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        port_syslog(LOG_ERR, "Cannot open a socket to %s: %s", cfg_.server_text().c_str(), strerror(errno));
        if (sock_ >= 0) close(sock_);
        sock_ = -1;
        return false;
    }
    return true;
}

void Controller::drop_inflight() {
    for (auto &[id, f] : inflight_) {
        (void)id;
        if (auto it = groups_.find(f.key); it != groups_.end()) it->second.inflight = false;
    }
    inflight_.clear();
}

void Controller::poll_maps(Clock::time_point now) {
    (void)now;
    std::string why;
    bool remapped = false;
    if (!maps_.refresh(why, remapped)) {
        if (!maps_logged_)
            port_syslog(LOG_WARNING, "%s kord's maps: %s", mapped_once_ ? "Lost" : "Waiting for", why.c_str());
        maps_logged_ = true;
        maps_ok_ = false;
        return;
    }
    if (remapped) {
        port_syslog(LOG_INFO, "%s %d groups from %s (%zu bytes)",
                    mapped_once_ ? "kord's maps changed: mapped again," : "Mapped", maps_.count(),
                    maps_.data_path().c_str(), maps_.size());
        mapped_once_ = true;
    }
    maps_logged_ = false;
    maps_ok_ = true;
    // kord writes the zone files at each start and reload.
    struct stat st {};
    std::string dir = zone_dir();
    if (stat(dir.c_str(), &st) == 0 &&
        (remapped || st.st_mtim.tv_sec != zone_mtime_.tv_sec || st.st_mtim.tv_nsec != zone_mtime_.tv_nsec)) {
        zone_mtime_ = st.st_mtim;
        ZoneMembers z;
        read_zone_files(dir, z);
        zone_ = std::move(z);
    }
    static std::vector<GroupView> views;
    if (!maps_.snapshot(views)) {
        port_syslog(LOG_WARNING, "%s shrank while it was read; mapping it again", maps_.data_path().c_str());
        return;
    }
    pass_++;
    for (const GroupView &v : views) {
        if (!v.name[0] || !v.domain[0]) continue;
        std::string owner = std::string(v.name) + "." + v.domain;
        std::string key = lower(owner);
        Group &g = groups_[key];
        if (g.pass == pass_) continue;   // the first record of a name.domain counts, as in kord
        if (g.owner.empty()) {
            g.name = v.name;
            g.domain = v.domain;
            g.owner = owner;
        }
        g.pass = pass_;
        g.zone = cfg_.zone_for(v.domain);
        g.ttl = cfg_.ttl_for(v.name, v.domain);
        g.want = select(v, cfg_.answers_for(v.name, v.domain), zone_);
        bool open = g.want.source == Source::FailOpen;
        if (open && !g.failing_open)
            port_syslog(LOG_WARNING, "Group %s: no fit node, publishing every member: %s (fail open)", owner.c_str(),
                        join(g.want.addrs).c_str());
        else if (!open && g.failing_open && g.want.source != Source::None)
            port_syslog(LOG_WARNING, "Group %s: fit nodes again, fail open ends", owner.c_str());
        if (g.want.source != Source::None) g.failing_open = open;
    }
    for (auto it = groups_.begin(); it != groups_.end();) {
        if (it->second.pass != pass_) {
            port_syslog(LOG_WARNING, "Group %s is no longer in the data map; its records at the primary stay as they are",
                        it->second.owner.c_str());
            if (it->second.inflight)
                for (auto f = inflight_.begin(); f != inflight_.end();)
                    f = f->second.key == it->first ? inflight_.erase(f) : std::next(f);
            it = groups_.erase(it);
        } else {
            ++it;
        }
    }
}

void Controller::failed(Group &g, Clock::time_point now, const std::string &what) {
    g.pause = g.pause ? std::min(g.pause * 2, kMaxPause) : kFirstPause;
    g.retry_at = now + std::chrono::seconds(g.pause);
    if (!what.empty())
        port_syslog(LOG_ERR, "Group %s: %s; retry in %d s", g.owner.c_str(), what.c_str(), g.pause);
}

void Controller::send_due(Clock::time_point now) {
    if (sock_ < 0) {
        // A reload whose new server could not be opened: try again now and then.
        if (now < sock_retry_at_) return;
        sock_retry_at_ = now + std::chrono::seconds(kMaxPause);
        if (!open_socket()) return;
    }
    int64_t epoch = 0;
    uint64_t term = 0;
    if (!role_.may_publish(epoch, term)) return;
    if (term != term_) {
        // A new leader cannot know what the primary holds: every group once.
        term_ = term;
        fence_done_.clear();
        fence_retry_.clear();
        drop_inflight();
        for (auto &[k, g] : groups_) {
            (void)k;
            g.published = false;
            g.pause = 0;
            g.retry_at = {};
        }
    }
    int window = silent_ ? 1 : kWindow;
    for (auto &[key, g] : groups_) {
        if (int(inflight_.size()) >= window) return;
        if (g.inflight || !g.needs_update() || now < g.retry_at) continue;
        Fence fence{role_.enabled() ? fence_owner(role_.config().cluster, g.zone) : "", epoch};
        if (role_.enabled() && !fence_ready(g.zone, epoch, now)) {
            if (!role_.may_publish(epoch, term)) return;   // fenced
            continue;
        }
        uint16_t id;
        do id = uint16_t(rng_()); while (inflight_.count(id));
        Inflight f;
        f.key = key;
        std::string why;
        // A family no member has is left alone at the primary.
        if (!build_update(g.zone, g.owner, g.want.source != Source::None ? &g.want.addrs : nullptr,
                          g.want.source6 != Source::None ? &g.want.addrs6 : nullptr, g.ttl, cfg_.key, id, f.update,
                          why, role_.enabled() ? &fence : nullptr)) {
            port_syslog(LOG_ERR, "Group %s: cannot publish: %s", g.owner.c_str(), why.c_str());
            g.bad_name = true;
            continue;
        }
        if (send(sock_, f.update.wire.data(), f.update.wire.size(), 0) < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return;
            failed(g, now, "cannot send to " + cfg_.server_text() + ": " + strerror(errno));
            continue;
        }
        f.deadline = now + kReplyWait;
        g.inflight = true;
        g.sending = g.want.addrs;
        g.sending6 = g.want.addrs6;
        g.sending_ttl = g.ttl;
        inflight_.emplace(id, std::move(f));
    }
}

void Controller::on_readable(Clock::time_point now) {
    static uint8_t buf[65536];
    for (;;) {
        ssize_t n = recv(sock_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            // ICMP port unreachable and the like: every update out is lost.
            std::string what = "cannot reach " + cfg_.server_text() + ": " + strerror(errno);
            for (auto &[id, f] : inflight_) {
                (void)id;
                if (auto it = groups_.find(f.key); it != groups_.end()) {
                    it->second.inflight = false;
                    failed(it->second, now, what);
                }
            }
            inflight_.clear();
            return;
        }
        if (n < 12) continue;
        auto it = inflight_.find(LDNS_ID_WIRE(buf));
        if (it == inflight_.end()) continue;
        std::string why;
        Reply r = check_reply(it->second.update, buf, size_t(n), cfg_.key, why);
        if (r == Reply::NotOurs) continue;
        if (silent_) port_syslog(LOG_INFO, "Primary %s answers again", cfg_.server_text().c_str());
        silent_ = false;
        auto g = groups_.find(it->second.key);
        inflight_.erase(it);
        if (g == groups_.end()) continue;
        Group &grp = g->second;
        grp.inflight = false;
        if (r == Reply::Accepted) {
            grp.published = true;
            grp.sent = grp.sending;
            grp.sent6 = grp.sending6;
            grp.sent_ttl = grp.sending_ttl;
            grp.pause = 0;
            updates_++;
            port_syslog(LOG_INFO, "Group %s: published %s (ttl %u, %s) at %s", grp.owner.c_str(),
                        join(grp.sent).c_str(), grp.sent_ttl, source_name(grp.want.source),
                        cfg_.server_text().c_str());
            role_.update_sent();
        } else {
            if (role_.enabled() && why.rfind("NXRRSET", 0) == 0) {
                // The fence holds another epoch: a newer leader publishes.
                int64_t held = 0, epoch = 0;
                uint64_t term = 0;
                std::string err;
                role_.may_publish(epoch, term);
                read_fence(cfg_, fence_owner(role_.config().cluster, grp.zone), held, err);
                role_.fenced(epoch, held);
            }
            failed(grp, now, "update refused by " + cfg_.server_text() + ": " + why);
        }
    }
}

void Controller::expire(Clock::time_point now) {
    for (auto it = inflight_.begin(); it != inflight_.end();) {
        if (it->second.deadline > now) {
            ++it;
            continue;
        }
        auto g = groups_.find(it->second.key);
        it = inflight_.erase(it);
        if (g == groups_.end()) continue;
        g->second.inflight = false;
        long secs = long(std::chrono::duration_cast<std::chrono::seconds>(kReplyWait).count());
        if (!silent_) {
            failed(g->second, now, "no answer from " + cfg_.server_text() + " in " + std::to_string(secs) + " s");
            port_syslog(LOG_ERR, "Primary %s does not answer; trying one update at a time",
                        cfg_.server_text().c_str());
            silent_ = true;
        } else {
            failed(g->second, now, "");
        }
    }
}

void Controller::report_status() {
    size_t open = 0, pending = 0;
    for (const auto &[k, g] : groups_) {
        (void)k;
        open += g.failing_open;
        pending += g.needs_update();
    }
    std::string s = std::to_string(groups_.size()) + " groups, " + std::to_string(open) + " failing open, " +
                    std::to_string(pending) + " updates pending, " + std::to_string(updates_) + " sent" +
                    (silent_ ? "; primary not answering" : "") + (maps_ok_ ? "" : "; kord's maps unreadable");
    std::string role = role_.status_text();
    if (!role.empty()) s = role + "; " + s;
    if (s != status_) notify("STATUS=" + s);
    status_ = s;
    role_.write_status(std::string(path_item(3)) + "/flowgate.status");
}

Clock::time_point Controller::next_wakeup(Clock::time_point now) const {
    Clock::time_point t = now + kPollEvery;
    for (const auto &[id, f] : inflight_) {
        (void)id;
        t = std::min(t, f.deadline);
    }
    return t;
}

int Controller::run() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sfd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sfd < 0) {
        port_syslog(LOG_ALERT, "signalfd: %s", strerror(errno));
        return 1;
    }
    port_syslog(LOG_INFO, "Start %s %s: root %s, data map %s", kDisplayName, "v" TESSARON_VERSION, path_item(2),
                path_item(8));
    if (!load(false)) return 1;
    {
        cluster::Config cc;
        std::vector<std::string> errors;
        if (!cluster::load_config(cluster::default_config_path(), cc, errors)) {
            for (const auto &e : errors) port_syslog(LOG_ALERT, "%s", e.c_str());
            return 1;
        }
        role_.start(cc);
    }
    notify("READY=1\nSTATUS=starting");
    Clock::time_point next_poll = Clock::now();
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= next_poll) {
            poll_maps(now);
            next_poll = now + kPollEvery;
        }
        expire(now);
        send_due(now);
        report_status();
        now = Clock::now();
        Clock::time_point wake = std::min(next_wakeup(now), next_poll);
        // A group waiting out its pause wakes us when the pause ends.
        for (const auto &[k, g] : groups_) {
            (void)k;
            if (!g.inflight && g.retry_at > now && g.needs_update()) wake = std::min(wake, g.retry_at);
        }
        int ms = int(std::max<long long>(0, std::chrono::duration_cast<milliseconds>(wake - now).count() + 1));
        pollfd fds[2] = {{sfd, POLLIN, 0}, {sock_, POLLIN, 0}};
        int r = poll(fds, sock_ >= 0 ? 2 : 1, ms);
        if (r < 0 && errno != EINTR) {
            port_syslog(LOG_ERR, "poll: %s", strerror(errno));
            return 1;
        }
        if (r > 0 && (fds[0].revents & POLLIN)) {
            signalfd_siginfo si;
            while (read(sfd, &si, sizeof si) == ssize_t(sizeof si)) {
                if (si.ssi_signo == SIGHUP) {
                    notify("RELOADING=1");
                    port_syslog(LOG_INFO, "Reloading %s", path_.c_str());
                    if (load(true)) next_poll = Clock::now();   // new answers and TTLs apply at once
                    notify("READY=1");
                    status_.clear();
                } else {
                    notify("STOPPING=1");
                    role_.resign();   // the next in line leads at once
                    port_syslog(LOG_INFO, "Stop %s ...", kDisplayName);
                    if (sock_ >= 0) close(sock_);
                    close(sfd);
                    port_closelog();
                    return 0;
                }
            }
        }
        if (sock_ >= 0 && r > 0 && (fds[1].revents & (POLLIN | POLLERR))) on_readable(Clock::now());
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::string config;
    bool do_check = false, do_once = false, json = false;
    enum { kOnce = 256, kJson };
    static const option longopts[] = {{"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'v'},
                                      {"check", no_argument, nullptr, 't'},
                                      {"once", no_argument, nullptr, kOnce},
                                      {"json", no_argument, nullptr, kJson},
                                      {"config", required_argument, nullptr, 'c'},
                                      {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "hvtc:", longopts, nullptr)) != -1) {
        switch (opt) {
        case 'h': usage(stdout); return 0;
        case 'v': printf("flowgate (%s) v%s\n", kDisplayName, TESSARON_VERSION); return 0;
        case 't': do_check = true; break;
        case kOnce: do_once = true; break;
        case kJson: json = true; break;
        case 'c': config = optarg; break;
        default: usage(stderr); return 2;
        }
    }
    if (optind != argc) {
        fprintf(stderr, "flowgate: unexpected argument: %s\n", argv[optind]);
        usage(stderr);
        return 2;
    }
    if ((do_check && do_once) || (json && !do_once)) {
        usage(stderr);
        return 2;
    }
    init_path("flowgate", "Software\\Kelvane\\Tessaron\\flowgate");
    // A file named on the command line must exist: a mistyped path must not
    // run with the defaults.
    if (!config.empty() && access(config.c_str(), F_OK) != 0) {
        fprintf(stderr, "flowgate: %s: %s\n", config.c_str(), strerror(errno));
        return 1;
    }
    if (config.empty()) config = default_config_path();
    if (do_check) return check(config);
    if (do_once) return once(config, json);
    port_openlog(kIdent, LOG_PID, LOG_DAEMON);
    Controller c(config);
    return c.run();
}
