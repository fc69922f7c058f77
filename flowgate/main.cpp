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
#include "maps/liveness.h"
#include "maps/notify.h"


using namespace flowgate;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr const char *kIdent = "Tessaron Traffic Controller";
constexpr const char *kDisplayName = "Tessaron(tm) Traffic Controller";
// kord announces each change (maps/notify.h); the poll is the safety net.
constexpr milliseconds kPollEvery{1000};
constexpr milliseconds kNoticeGap{10};       // between map reads while announcements pour in
constexpr milliseconds kReplyWait{5000};     // for an update's reply
constexpr int kWindow = 32;                  // updates in flight at once
// After an outage everything pending goes out together: Knot takes queued
// updates up once a second, so 32 at a time would take a second per 32.
constexpr int kCatchUpWindow = 512;
constexpr int kFirstPause = 1, kMaxPause = 60;   // retry pauses, seconds
constexpr milliseconds kProbeEvery{1000};    // one query to a primary that does not answer
constexpr milliseconds kVerifyEvery{1000};   // one zone's serial and one owner checked at the primary
constexpr milliseconds kQueryWait{2000};     // for a query's answer
constexpr milliseconds kWatchKordEvery{1000};

void usage(FILE *to) {
    fprintf(to,
            "Usage: flowgate [-c FILE] [-t | --once [--json]]\n"
            "  (no option)    run: publish every cluster group's A records on the primary\n"
            "  -t, --check    check the configuration, and the TSIG key at the primary, then exit\n"
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

// ---- kord's heartbeat ----

// What kord's lock and heartbeat say about the states in its maps.
kord::Liveness kord_liveness() { return kord::liveness(path_item(3), time(nullptr)); }

const char *states_word(const kord::Liveness &lv) { return lv.state == kord::Liveness::Fresh ? "fresh" : "stale"; }

const char *kord_word(const kord::Liveness &lv) {
    return lv.state == kord::Liveness::Fresh ? "running" : lv.state == kord::Liveness::Stale ? "stale" : "not running";
}

// ---- the key tried at the primary ----

// One signed SOA query per zone: a key the primary does not take, or a zone
// it does not hold, is an error; a primary that does not answer, a warning.
void check_primary(const Config &cfg, const std::vector<std::string> &zones, const std::string &path,
                   std::vector<std::string> &errors, std::vector<std::string> &warnings) {
    if (zones.empty()) return;
    std::string server = cfg.server_text();
    sockaddr_storage ss{};
    socklen_t len;
    if (cfg.server.find(':') != std::string::npos) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(cfg.port);
        inet_pton(AF_INET6, cfg.server.c_str(), &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(cfg.port);
        inet_pton(AF_INET, cfg.server.c_str(), &a->sin_addr);
        len = sizeof *a;
    }
    int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        warnings.push_back(path + ": server " + server + ": cannot open a socket (" + strerror(errno) +
                           "): the key was not tried");
        if (fd >= 0) close(fd);
        return;
    }
    std::mt19937 rng{std::random_device{}()};
    for (const std::string &zone : zones) {
        Update q;
        std::string why;
        if (!build_query(zone, QueryType::Soa, cfg.key, uint16_t(rng()), q, why)) {
            errors.push_back(path + ": zone " + zone + ": " + why);
            continue;
        }
        Answer a;
        std::string lost = "no answer in 2 s";
        for (int attempt = 0; attempt < 2 && !a.ours; attempt++) {
            if (send(fd, q.wire.data(), q.wire.size(), 0) < 0) {
                lost = strerror(errno);
                break;
            }
            auto end = Clock::now() + milliseconds(1000);
            while (!a.ours) {
                long ms = long(std::chrono::duration_cast<milliseconds>(end - Clock::now()).count());
                pollfd p{fd, POLLIN, 0};
                if (ms <= 0 || poll(&p, 1, int(ms)) <= 0) break;
                uint8_t buf[65536];
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n < 0) {
                    lost = strerror(errno);
                    attempt = 2;
                    break;
                }
                a = check_answer(q, buf, size_t(n), cfg.key);
            }
        }
        if (!a.ours) {
            warnings.push_back(path + ": server " + server + " does not answer (" + lost + "): the key was not tried");
            break;
        }
        if (a.error.empty()) continue;
        std::string hint;
        if (a.tsig_error == 16) hint = ": the secret differs from the primary's";
        else if (a.tsig_error == 17) hint = ": the primary knows no key of this name and algorithm";
        else if (a.tsig_error == 18) hint = ": the clocks of the two machines differ";
        else if (a.rcode == LDNS_RCODE_REFUSED) hint = ": the primary does not serve this zone, or refuses this key";
        else if (a.rcode == LDNS_RCODE_NOTAUTH) hint = ": the primary holds no zone of this name";
        errors.push_back(path + ": server " + server + ": zone " + zone + ": SOA query answered " + a.error + hint);
    }
    close(fd);
}

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
        std::vector<std::string> zones;
        for (const GroupView &v : views)
            if (v.name[0] && v.domain[0]) zones.push_back(cfg.zone_for(v.domain));
        for (const auto &[domain, zone] : cfg.zones) {
            (void)domain;
            zones.push_back(zone);
        }
        std::sort(zones.begin(), zones.end());
        zones.erase(std::unique(zones.begin(), zones.end()), zones.end());
        check_primary(cfg, zones, path, errors, warnings);
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
    // Without a running kord the maps hold its last states: published
    // still, and shown as stale.
    kord::Liveness lv = kord_liveness();
    const char *states = states_word(lv);
    if (json) printf("{\"kord\":%s,\"states\":\"%s\",\"groups\":[", json_str(kord_word(lv)).c_str(), states);
    else
        printf("%-16s %-32s %-20s %-13s %6s %-6s %-9s %s\n", "GROUP", "OWNER", "ZONE", "METHOD", "TTL", "STATES",
               "SOURCE", "ADDRESSES");
    bool first = true;
    for (size_t i = 0; i < views.size(); i++) {
        const GroupView &v = views[i];
        if (!v.name[0] || !v.domain[0]) continue;
        int answers = cfg.answers_for(v.name, v.domain);
        uint32_t ttl = cfg.ttl_for(v.name, v.domain);
        Selection sel = select(v, answers, zone, ttl, time(nullptr));
        std::string owner = std::string(v.name) + "." + v.domain + ".";
        std::string zn = cfg.zone_for(v.domain) + ".";
        if (json) {
            printf("%s\n {\"index\":%zu,\"name\":%s,\"domain\":%s,\"owner\":%s,\"zone\":%s,\"method\":%s,"
                   "\"ttl\":%u,\"answers\":%d,\"states\":\"%s\",\"source\":%s,\"addresses\":[",
                   first ? "" : ",", i, json_str(v.name).c_str(), json_str(v.domain).c_str(),
                   json_str(owner).c_str(), json_str(zn).c_str(), json_str(method_name(v.method)).c_str(), ttl,
                   answers, states, json_str(source_name(sel.source)).c_str());
            for (size_t k = 0; k < sel.addrs.size(); k++)
                printf("%s%s", k ? "," : "", json_str(addr_text(sel.addrs[k])).c_str());
            printf("]}");
        } else {
            printf("%-16s %-32s %-20s %-13s %6u %-6s %-9s %s\n", v.name, owner.c_str(), zn.c_str(),
                   method_name(v.method), ttl, states, source_name(sel.source), join(sel.addrs).c_str());
        }
        first = false;
    }
    if (json) printf("\n]}\n");
    if (!json && lv.state != kord::Liveness::Fresh)
        fprintf(stderr, "flowgate: %s: the states above are the last kord left in its maps\n",
                lv.state == kord::Liveness::Stale ? "kord's heartbeat is old" : "kord is not running");
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
    bool sent_a = false, sent_aaaa = false;   // the families the last accepted update set
    unsigned generation = 0;           // counts accepted updates: an older check's answer is void
    bool inflight = false;
    std::vector<uint32_t> sending;
    std::vector<Addr6> sending6;
    uint32_t sending_ttl = 0;
    bool sending_a = false, sending_aaaa = false;
    Clock::time_point retry_at{};
    int pause = 0;                     // seconds before the next try, 0 after success
    bool failing_open = false;
    bool failing_open6 = false;        // the same over IPv6, on its own
    bool bad_name = false;             // logged that the owner cannot be published
    bool alone = false;                // refused in a batch: sent on its own until accepted
    unsigned pass = 0;

    bool needs_update() const {
        if ((want.source == Source::None && want.source6 == Source::None) || bad_name) return false;
        return !published || sent_ttl != ttl || sorted(sent) != sorted(want.addrs) ||
               sorted(sent6) != sorted(want.addrs6);
    }
};

struct Inflight {
    std::vector<std::string> keys;     // the groups the message carries, all of one zone
    Clock::time_point deadline;
    Update update;
};

// A query of ours at the primary: a probe while it does not answer, or a
// check that it still holds what was sent.
struct Query {
    enum Kind { Probe, Serial, Owner } kind = Probe;
    std::string key;                   // Serial: the zone; Owner: the group
    QueryType type = QueryType::Soa;
    unsigned generation = 0;
    Clock::time_point deadline;
    Update q;
};

class Controller {
public:
    explicit Controller(std::string path)
        : path_(std::move(path)), maps_(ctl_path(), path_item(8)), notices_(kord::notice_path(path_item(8))) {}
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
    // The primary stopped answering / answers again: one line each, no
    // pause growth meanwhile, everything pending sent at once after.
    void primary_down(Clock::time_point now, const std::string &why);
    void primary_answers(Clock::time_point now);
    void send_probe(Clock::time_point now);
    // Now and then: does the primary still hold what was sent?
    void verify_published(Clock::time_point now);
    bool send_query(Query::Kind kind, const std::string &key, const std::string &name, QueryType type,
                    unsigned generation, Clock::time_point now);
    void on_answer(const Query &q, const Answer &a);
    void resend_all(const char *why);
    void watch_kord(Clock::time_point now);
    Clock::time_point next_wakeup(Clock::time_point now) const;

    std::string path_;
    Config cfg_;
    Maps maps_;
    kord::ChangeWatch notices_;
    ZoneMembers zone_;
    timespec zone_mtime_{};
    bool maps_ok_ = false, maps_logged_ = false, mapped_once_ = false;
    std::map<std::string, Group> groups_;
    std::map<uint16_t, Inflight> inflight_;
    unsigned pass_ = 0;
    int64_t rotate_at_ = 0;            // the next slice boundary of a rotating group
    int sock_ = -1;
    Clock::time_point sock_retry_at_{};
    // The primary stopped answering: since when, why, the next probe.
    bool down_ = false;
    bool catching_up_ = false;                 // sending what waited out an outage
    Clock::time_point down_since_{}, probe_at_{};
    std::map<uint16_t, Query> queries_;
    Clock::time_point verify_at_{};
    std::string verify_zone_, verify_group_;   // round-robin positions
    std::map<std::string, uint32_t> serials_;  // zone -> last serial seen at the primary
    // kord's heartbeat, checked every second.
    Clock::time_point kord_at_{};
    kord::Liveness::State kord_state_ = kord::Liveness::Fresh;
    bool kord_logged_ = false;                 // a "not running" line awaits its end
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
                reload ? "; every group is sent again" : "");
    // A reload sends every group again: the way to repair a primary by hand.
    for (auto &[k, g] : groups_) {
        (void)k;
        g.published = false;
        g.bad_name = false;
    }
    if (new_target) {
        drop_inflight();
        queries_.clear();
        serials_.clear();
        down_ = false;
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
    // Room for a catch-up window of replies at once.
    int rcvbuf = 4 << 20;
    if (sock_ >= 0) setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
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
        for (const std::string &k : f.keys)
            if (auto it = groups_.find(k); it != groups_.end()) it->second.inflight = false;
    }
    inflight_.clear();
}

void Controller::poll_maps(Clock::time_point now) {
    (void)now;
    rotate_at_ = 0;   // set again by the groups that rotate
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
        g.want = select(v, cfg_.answers_for(v.name, v.domain), zone_, g.ttl, time(nullptr));
        if (g.want.rotates_at && (!rotate_at_ || g.want.rotates_at < rotate_at_)) rotate_at_ = g.want.rotates_at;
        bool open = g.want.source == Source::FailOpen;
        if (open && !g.failing_open)
            port_syslog(LOG_WARNING, "Group %s: no fit node, publishing every member: %s (fail open)", owner.c_str(),
                        join(g.want.addrs).c_str());
        else if (!open && g.failing_open && g.want.source != Source::None)
            port_syslog(LOG_WARNING, "Group %s: fit nodes again, fail open ends", owner.c_str());
        if (g.want.source != Source::None) g.failing_open = open;
        bool open6 = g.want.source6 == Source::FailOpen;
        if (open6 && !g.failing_open6) {
            std::string six;
            for (const Addr6 &a : g.want.addrs6) six += (six.empty() ? "" : " ") + addr6_text(a);
            port_syslog(LOG_WARNING, "Group %s: no node fit over IPv6, publishing every IPv6 member: %s (fail open)",
                        owner.c_str(), six.c_str());
        } else if (!open6 && g.failing_open6 && g.want.source6 != Source::None) {
            port_syslog(LOG_WARNING, "Group %s: nodes fit over IPv6 again, fail open ends", owner.c_str());
        }
        if (g.want.source6 != Source::None) g.failing_open6 = open6;
    }
    for (auto it = groups_.begin(); it != groups_.end();) {
        if (it->second.pass != pass_) {
            port_syslog(LOG_WARNING, "Group %s is no longer in the data map; its records at the primary stay as they are",
                        it->second.owner.c_str());
            if (it->second.inflight)
                for (auto &[id, f] : inflight_) {
                    (void)id;
                    f.keys.erase(std::remove(f.keys.begin(), f.keys.end(), it->first), f.keys.end());
                }
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
    if (down_) return;   // the probe finds out when it answers again
    int window = catching_up_ ? kCatchUpWindow : kWindow;
    // The groups due, by zone: one message carries as many of a zone's
    // changes as fit (the primary applies it as a whole and signs once).
    std::map<std::string, std::vector<std::string>> due;
    for (auto &[key, g] : groups_)
        if (!g.inflight && g.needs_update() && now >= g.retry_at) due[lower(g.zone)].push_back(key);
    for (auto &[zone, keys] : due) {
        (void)zone;
        for (size_t at = 0; at < keys.size();) {
            if (int(inflight_.size()) >= window) return;
            Group &first = groups_[keys[at]];
            Fence fence{role_.enabled() ? fence_owner(role_.config().cluster, first.zone) : "", epoch};
            if (role_.enabled() && !fence_ready(first.zone, epoch, now)) {
                if (!role_.may_publish(epoch, term)) return;   // fenced
                break;   // this zone waits for its fence
            }
            // A group whose batch was refused goes alone: one bad owner
            // holds back no other.
            std::vector<OwnerChange> changes;
            for (size_t i = at; i < keys.size(); i++) {
                const Group &g = groups_[keys[i]];
                const bool single = g.alone;
                if (!changes.empty() && single) break;
                OwnerChange c;
                c.owner = g.owner;
                // A family no member has is left alone at the primary.
                c.a = g.want.source != Source::None ? &g.want.addrs : nullptr;
                c.aaaa = g.want.source6 != Source::None ? &g.want.addrs6 : nullptr;
                c.ttl = g.ttl;
                changes.push_back(c);
                if (single) break;
            }
            uint16_t id;
            do id = uint16_t(rng_()); while (inflight_.count(id));
            Inflight f;
            size_t taken = 0;
            std::string why;
            if (!build_zone_update(first.zone, changes, kMaxUpdateSize, cfg_.key, id, f.update, taken, why,
                                   role_.enabled() ? &fence : nullptr)) {
                port_syslog(LOG_ERR, "Group %s: cannot publish: %s", first.owner.c_str(), why.c_str());
                first.bad_name = true;
                at++;
                continue;
            }
            f.keys.assign(keys.begin() + long(at), keys.begin() + long(at + taken));
            at += taken;
            if (send(sock_, f.update.wire.data(), f.update.wire.size(), 0) < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return;
                primary_down(now, strerror(errno));
                return;
            }
            f.deadline = now + kReplyWait;
            for (const std::string &k : f.keys) {
                Group &g = groups_[k];
                g.inflight = true;
                g.sending = g.want.addrs;
                g.sending6 = g.want.addrs6;
                g.sending_ttl = g.ttl;
                g.sending_a = g.want.source != Source::None;
                g.sending_aaaa = g.want.source6 != Source::None;
            }
            inflight_.emplace(id, std::move(f));
        }
    }
    if (inflight_.empty()) catching_up_ = false;   // all that waited is through
}

void Controller::on_readable(Clock::time_point now) {
    static uint8_t buf[65536];
    for (;;) {
        ssize_t n = recv(sock_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            // ICMP port unreachable and the like: every update out is lost.
            primary_down(now, strerror(errno));
            continue;
        }
        if (n < 12) continue;
        if (auto q = queries_.find(uint16_t(message_id(buf, size_t(n)))); q != queries_.end()) {
            Answer a = check_answer(q->second.q, buf, size_t(n), cfg_.key);
            if (!a.ours) continue;
            Query done = std::move(q->second);
            queries_.erase(q);
            // A server still loading its zones answers SERVFAIL: not back yet.
            if (done.kind == Query::Probe && a.rcode == LDNS_RCODE_SERVFAIL) continue;
            primary_answers(now);
            on_answer(done, a);
            continue;
        }
        auto it = inflight_.find(uint16_t(message_id(buf, size_t(n))));
        if (it == inflight_.end()) continue;
        std::string why;
        Reply r = check_reply(it->second.update, buf, size_t(n), cfg_.key, why);
        if (r == Reply::NotOurs) continue;
        primary_answers(now);
        std::vector<std::string> keys = std::move(it->second.keys);
        inflight_.erase(it);
        bool fence_checked = false;
        for (const std::string &k : keys) {
            auto g = groups_.find(k);
            if (g == groups_.end()) continue;
            Group &grp = g->second;
            grp.inflight = false;
            if (r == Reply::Accepted) {
                grp.published = true;
                grp.sent = grp.sending;
                grp.sent6 = grp.sending6;
                grp.sent_ttl = grp.sending_ttl;
                grp.sent_a = grp.sending_a;
                grp.sent_aaaa = grp.sending_aaaa;
                grp.generation++;
                grp.pause = 0;
                grp.alone = false;
                updates_++;
                port_syslog(LOG_INFO, "Group %s: published %s (ttl %u, %s) at %s", grp.owner.c_str(),
                            join(grp.sent).c_str(), grp.sent_ttl, source_name(grp.want.source),
                            cfg_.server_text().c_str());
                role_.update_sent();
            } else {
                if (!fence_checked && role_.enabled() && why.rfind("NXRRSET", 0) == 0) {
                    // The fence holds another epoch: a newer leader publishes.
                    fence_checked = true;
                    int64_t held = 0, epoch = 0;
                    uint64_t term = 0;
                    std::string err;
                    role_.may_publish(epoch, term);
                    read_fence(cfg_, fence_owner(role_.config().cluster, grp.zone), held, err);
                    role_.fenced(epoch, held);
                }
                // Refused as a whole: each goes alone next, to find the one at fault.
                if (keys.size() > 1) grp.alone = true;
                failed(grp, now, "update refused by " + cfg_.server_text() + ": " + why +
                                     (keys.size() > 1 ? " (with " + std::to_string(keys.size() - 1) +
                                                            " other groups of the zone)"
                                                      : ""));
            }
        }
    }
}

void Controller::expire(Clock::time_point now) {
    for (auto it = inflight_.begin(); it != inflight_.end();) {
        if (it->second.deadline > now) {
            ++it;
            continue;
        }
        long secs = long(std::chrono::duration_cast<std::chrono::seconds>(kReplyWait).count());
        primary_down(now, "no reply to an update in " + std::to_string(secs) + " s");
        return;   // every update out was dropped with it
    }
    for (auto it = queries_.begin(); it != queries_.end();)
        it = it->second.deadline <= now ? queries_.erase(it) : std::next(it);
}

void Controller::primary_down(Clock::time_point now, const std::string &why) {
    if (down_) return;
    drop_inflight();
    size_t pending = 0;
    for (auto &[k, g] : groups_) {
        (void)k;
        pending += g.needs_update();
    }
    down_ = true;
    down_since_ = now;
    probe_at_ = now + kProbeEvery;
    port_syslog(LOG_ERR, "Primary %s does not answer (%s); %zu update%s wait, probing it every second",
                cfg_.server_text().c_str(), why.c_str(), pending, pending == 1 ? "" : "s");
}

void Controller::primary_answers(Clock::time_point now) {
    if (!down_) return;
    down_ = false;
    queries_.clear();
    size_t pending = 0;
    for (auto &[k, g] : groups_) {
        (void)k;
        // Pauses earned while it was down are forgotten: all go now.
        g.pause = 0;
        g.retry_at = {};
        pending += g.needs_update();
    }
    long secs = long(std::chrono::duration_cast<std::chrono::seconds>(now - down_since_).count());
    port_syslog(LOG_INFO, "Primary %s answers again after %ld s; sending %zu group%s again",
                cfg_.server_text().c_str(), secs, pending, pending == 1 ? "" : "s");
    verify_at_ = now + kVerifyEvery;
    catching_up_ = pending > 0;
}

bool Controller::send_query(Query::Kind kind, const std::string &key, const std::string &name, QueryType type,
                            unsigned generation, Clock::time_point now) {
    if (sock_ < 0) return false;
    uint16_t id;
    do id = uint16_t(rng_()); while (inflight_.count(id) || queries_.count(id));
    Query q;
    std::string why;
    if (!build_query(name, type, cfg_.key, id, q.q, why)) return false;
    q.kind = kind;
    q.key = key;
    q.type = type;
    q.generation = generation;
    q.deadline = now + (kind == Query::Probe ? kProbeEvery : kQueryWait);
    if (send(sock_, q.q.wire.data(), q.q.wire.size(), 0) < 0) {
        // An earlier datagram's refusal comes out here as well.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) primary_down(now, strerror(errno));
        return false;
    }
    queries_.emplace(id, std::move(q));
    return true;
}

// One SOA query about once a second, whatever the outcome of the last.
void Controller::send_probe(Clock::time_point now) {
    if (!down_ || now < probe_at_) return;
    probe_at_ = now + kProbeEvery;
    std::string zone;
    for (const auto &[k, g] : groups_) {
        (void)k;
        if (!g.zone.empty()) {
            zone = g.zone;
            break;
        }
    }
    if (zone.empty()) zone = cfg_.zones.empty() ? "." : cfg_.zones.begin()->second;
    // A refusal shows as the socket's error here or at the next receive:
    // the outage goes on either way.
    send_query(Query::Probe, zone, zone, QueryType::Soa, 0, now);
}

// Each second one zone's SOA serial (gone back: the primary lost changes)
// and one published owner's records, both round-robin.
void Controller::verify_published(Clock::time_point now) {
    if (down_ || now < verify_at_ || groups_.empty()) return;
    verify_at_ = now + kVerifyEvery;
    std::vector<std::string> zones;
    for (const auto &[k, g] : groups_) {
        (void)k;
        if (g.published) zones.push_back(g.zone);
    }
    std::sort(zones.begin(), zones.end());
    zones.erase(std::unique(zones.begin(), zones.end()), zones.end());
    if (!zones.empty()) {
        auto z = std::upper_bound(zones.begin(), zones.end(), verify_zone_);
        verify_zone_ = z == zones.end() ? zones.front() : *z;
        send_query(Query::Serial, verify_zone_, verify_zone_, QueryType::Soa, 0, now);
    }
    auto it = groups_.upper_bound(verify_group_);
    for (size_t n = 0; n < groups_.size(); n++, ++it) {
        if (it == groups_.end()) it = groups_.begin();
        const Group &g = it->second;
        if (!g.published || g.inflight || g.needs_update()) continue;
        verify_group_ = it->first;
        if (g.sent_a) send_query(Query::Owner, it->first, g.owner, QueryType::A, g.generation, now);
        if (g.sent_aaaa) send_query(Query::Owner, it->first, g.owner, QueryType::Aaaa, g.generation, now);
        break;
    }
}

void Controller::on_answer(const Query &q, const Answer &a) {
    // NXDOMAIN is an answer too: the owner is gone.
    if (q.kind == Query::Probe || !a.signature_ok ||
        (a.rcode != LDNS_RCODE_NOERROR && a.rcode != LDNS_RCODE_NXDOMAIN) || a.tsig_error)
        return;
    if (q.kind == Query::Serial) {
        if (!a.have_soa) return;
        auto [it, fresh] = serials_.emplace(q.key, a.serial);
        if (!fresh && int32_t(a.serial - it->second) < 0) {
            size_t n = 0;
            for (auto &[k, g] : groups_) {
                (void)k;
                if (g.zone != q.key || !g.published) continue;
                g.published = false;
                n++;
            }
            port_syslog(LOG_WARNING, "Primary %s: zone %s's serial went back from %u to %u (its changes were lost?); "
                        "sending its %zu group%s again", cfg_.server_text().c_str(), q.key.c_str(), it->second,
                        a.serial, n, n == 1 ? "" : "s");
        }
        it->second = a.serial;
        return;
    }
    auto it = groups_.find(q.key);
    if (it == groups_.end()) return;
    Group &g = it->second;
    if (!g.published || g.inflight || g.generation != q.generation) return;   // changed meanwhile
    bool six = q.type == QueryType::Aaaa;
    bool same = six ? a.aaaa == sorted(g.sent6) : a.a == sorted(g.sent);
    size_t count = six ? a.aaaa.size() : a.a.size();
    if (same && (count == 0 || a.ttl == g.sent_ttl)) return;
    std::string held;
    if (six)
        for (const auto &x : a.aaaa) held += (held.empty() ? "" : " ") + addr6_text(x);
    else
        held = join(a.a);
    if (held.empty()) held = "-";
    port_syslog(LOG_WARNING, "Group %s: the primary %s answers %s %s (ttl %u), not what was sent; sending it again",
                g.owner.c_str(), cfg_.server_text().c_str(), six ? "AAAA" : "A", held.c_str(), a.ttl);
    g.published = false;
}

void Controller::watch_kord(Clock::time_point now) {
    if (now < kord_at_) return;
    kord_at_ = now + kWatchKordEvery;
    kord::Liveness lv = kord_liveness();
    if (lv.state == kord_state_) return;
    if (lv.state == kord::Liveness::NotRunning)
        port_syslog(LOG_WARNING, "kord is not running: publishing the last states it left in its maps");
    else if (lv.state == kord::Liveness::Stale)
        port_syslog(LOG_WARNING, "kord's heartbeat is %lld s old: publishing the last states it left in its maps",
                    lv.age);
    else if (kord_logged_)
        port_syslog(LOG_INFO, "kord is running again (pid %lld): its states are current", lv.pid);
    kord_logged_ = lv.state != kord::Liveness::Fresh;
    kord_state_ = lv.state;
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
                    (down_ ? "; primary not answering" : "") + (maps_ok_ ? "" : "; kord's maps unreadable") +
                    (kord_state_ == kord::Liveness::NotRunning ? "; kord is not running, states are stale"
                     : kord_state_ == kord::Liveness::Stale ? "; kord's heartbeat is old, states are stale" : "");
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
    for (const auto &[id, q] : queries_) {
        (void)id;
        t = std::min(t, q.deadline);
    }
    if (down_) t = std::min(t, probe_at_);
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
    Clock::time_point next_poll = Clock::now(), polled{};
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= next_poll) {
            polled = now;
            poll_maps(now);
            next_poll = now + kPollEvery;
            // Rotating shares: the next slice's choice when it begins.
            if (long long ms = ms_until(rotate_at_); ms >= 0) next_poll = std::min(next_poll, now + milliseconds(ms));
        }
        expire(now);
        watch_kord(now);
        send_probe(now);
        send_due(now);
        verify_published(now);
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
        bool changed = false;
        int r = notices_.poll(fds, sock_ >= 0 ? 2 : 1, ms, changed);
        if (changed) next_poll = std::min(next_poll, polled + kNoticeGap);
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
