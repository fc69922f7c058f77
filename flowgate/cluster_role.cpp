// The role machine of a flowgate in a cluster, and the fence at the primary.
#include "flowgate/cluster_role.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>

#include "port/paths.h"
#include "port/varro.h"

namespace flowgate {

namespace {

constexpr uint32_t kFenceTtl = 60;

std::string fqdn(const std::string &name) { return name.empty() || name.back() != '.' ? name + "." : name; }

std::condition_variable &wake() {
    static std::condition_variable *cv = new std::condition_variable;
    return *cv;
}

template <class T, void (*F)(T *)> struct Free {
    void operator()(T *p) const { if (p) F(p); }
};
using PktPtr = std::unique_ptr<ldns_pkt, Free<ldns_pkt, ldns_pkt_free>>;
using ResPtr = std::unique_ptr<ldns_resolver, Free<ldns_resolver, ldns_resolver_deep_free>>;
using ListPtr = std::unique_ptr<ldns_rr_list, Free<ldns_rr_list, ldns_rr_list_deep_free>>;

ldns_rr *txt_rr(const std::string &owner, uint32_t ttl, int64_t value) {
    ldns_rr *rr = nullptr;
    std::string text = fqdn(owner) + " " + std::to_string(ttl) + " IN TXT \"" + std::to_string(value) + "\"";
    if (ldns_rr_new_frm_str(&rr, text.c_str(), 0, nullptr, nullptr) != LDNS_STATUS_OK) return nullptr;
    return rr;
}

// An RR of the owner's TXT set with no data: class NONE "does not exist"
// as a prerequisite, class ANY "delete the set" as an update.
ldns_rr *empty_txt(const std::string &owner, ldns_rr_class c) {
    ldns_rr *rr = ldns_rr_new();
    ldns_rr_set_owner(rr, ldns_dname_new_frm_str(fqdn(owner).c_str()));
    ldns_rr_set_type(rr, LDNS_RR_TYPE_TXT);
    ldns_rr_set_class(rr, c);
    ldns_rr_set_ttl(rr, 0);
    return rr;
}

ResPtr resolver(const Config &cfg, bool sign, std::string &why) {
    ResPtr r(ldns_resolver_new());
    bool v6 = cfg.server.find(':') != std::string::npos;
    ldns_rdf *ns = ldns_rdf_new_frm_str(v6 ? LDNS_RDF_TYPE_AAAA : LDNS_RDF_TYPE_A, cfg.server.c_str());
    if (!r || !ns || ldns_resolver_push_nameserver(r.get(), ns) != LDNS_STATUS_OK) {
        if (ns) ldns_rdf_deep_free(ns);
        why = "no resolver for " + cfg.server_text();
        return nullptr;
    }
    ldns_rdf_deep_free(ns);
    ldns_resolver_set_port(r.get(), cfg.port);
    ldns_resolver_set_retry(r.get(), 2);
    ldns_resolver_set_timeout(r.get(), timeval{1, 0});
    ldns_resolver_set_recursive(r.get(), false);
    ldns_resolver_set_random(r.get(), false);
    if (sign && !cfg.key.empty()) {
        ldns_resolver_set_tsig_keyname(r.get(), fqdn(cfg.key.name).c_str());
        ldns_resolver_set_tsig_keydata(r.get(), cfg.key.secret.c_str());
        ldns_resolver_set_tsig_algorithm(r.get(), fqdn(cfg.key.algorithm).c_str());
    }
    return r;
}

std::string rcode_text(ldns_pkt_rcode rc) {
    if (const ldns_lookup_table *t = ldns_lookup_by_id(ldns_rcodes, int(rc))) return t->name;
    return "RCODE " + std::to_string(int(rc));
}

}  // namespace

const char *role_name(Role r) {
    switch (r) {
    case Role::Leader: return "leader";
    case Role::Standby: return "standby";
    case Role::Fenced: return "fenced";
    default: return "alone";
    }
}

std::string fence_owner(const std::string &cluster, const std::string &zone) {
    std::string z = zone;
    while (!z.empty() && z.back() == '.') z.pop_back();
    return "_flowgate-" + lower(cluster) + "." + z;
}

ldns_rr_list *fence_prerequisite(const Fence &f) {
    ldns_rr_list *l = ldns_rr_list_new();
    if (ldns_rr *rr = txt_rr(f.owner, 0, f.epoch)) ldns_rr_list_push_rr(l, rr);
    return l;
}

bool read_fence(const Config &cfg, const std::string &owner, int64_t &held, std::string &why) {
    held = 0;
    ResPtr r = resolver(cfg, false, why);
    if (!r) return false;
    ldns_rdf *name = ldns_dname_new_frm_str(fqdn(owner).c_str());
    if (!name) {
        why = "\"" + owner + "\" is not a domain name";
        return false;
    }
    ldns_pkt *raw = nullptr;
    ldns_status s = ldns_resolver_send(&raw, r.get(), name, LDNS_RR_TYPE_TXT, LDNS_RR_CLASS_IN, 0);
    ldns_rdf_deep_free(name);
    PktPtr p(raw);
    if (s != LDNS_STATUS_OK || !p) {
        why = "no answer from " + cfg.server_text() + ": " + ldns_get_errorstr_by_id(s);
        return false;
    }
    ldns_pkt_rcode rc = ldns_pkt_get_rcode(p.get());
    if (rc == LDNS_RCODE_NXDOMAIN) return true;
    if (rc != LDNS_RCODE_NOERROR) {
        why = cfg.server_text() + " answers " + rcode_text(rc);
        return false;
    }
    ldns_rr_list *ans = ldns_pkt_answer(p.get());
    for (size_t i = 0; ans && i < ldns_rr_list_rr_count(ans); i++) {
        ldns_rr *rr = ldns_rr_list_rr(ans, i);
        if (ldns_rr_get_type(rr) != LDNS_RR_TYPE_TXT || ldns_rr_rd_count(rr) < 1) continue;
        const ldns_rdf *d = ldns_rr_rdf(rr, 0);
        // A character string: a length byte, then the text.
        const uint8_t *b = ldns_rdf_data(d);
        size_t n = ldns_rdf_size(d);
        if (n < 1 || b[0] + 1u > n) continue;
        std::string text(reinterpret_cast<const char *>(b + 1), b[0]);
        int64_t v = 0;
        bool digits = !text.empty() && text.size() < 19;
        for (char c : text) digits = digits && c >= '0' && c <= '9';
        if (digits) v = std::stoll(text);
        held = std::max(held, v);
    }
    return true;
}

bool write_fence(const Config &cfg, const std::string &zone, const std::string &owner, int64_t held,
                 int64_t epoch, std::string &why) {
    ResPtr r = resolver(cfg, true, why);
    if (!r) return false;
    ListPtr pre(ldns_rr_list_new()), up(ldns_rr_list_new());
    ldns_rr *cur = held ? txt_rr(owner, 0, held) : empty_txt(owner, LDNS_RR_CLASS_NONE);
    ldns_rr *add = txt_rr(owner, kFenceTtl, epoch);
    if (!cur || !add) {
        if (cur) ldns_rr_free(cur);
        if (add) ldns_rr_free(add);
        why = "\"" + owner + "\" is not a domain name";
        return false;
    }
    ldns_rr_list_push_rr(pre.get(), cur);
    ldns_rr_list_push_rr(up.get(), empty_txt(owner, LDNS_RR_CLASS_ANY));
    ldns_rr_list_push_rr(up.get(), add);
    ldns_rdf *zone_rdf = ldns_dname_new_frm_str(fqdn(zone).c_str());
    if (!zone_rdf) {
        why = "zone \"" + zone + "\" is not a domain name";
        return false;
    }
    PktPtr q(ldns_update_pkt_new(zone_rdf, LDNS_RR_CLASS_IN, pre.get(), up.get(), nullptr));
    if (!q) {
        why = "ldns could not build the fence update";
        return false;
    }
    ldns_pkt_set_rd(q.get(), false);
    ldns_pkt_set_random_id(q.get());
    // ldns_send checks the reply's signature against the query's.
    if (!cfg.key.empty()) {
        ldns_status st = ldns_pkt_tsig_sign(q.get(), fqdn(cfg.key.name).c_str(), cfg.key.secret.c_str(), 300,
                                            fqdn(cfg.key.algorithm).c_str(), nullptr);
        if (st != LDNS_STATUS_OK) {
            why = std::string("TSIG signing failed: ") + ldns_get_errorstr_by_id(st);
            return false;
        }
    }
    ldns_pkt *raw = nullptr;
    ldns_status s = ldns_send(&raw, r.get(), q.get());
    PktPtr a(raw);
    if (s != LDNS_STATUS_OK || !a) {
        why = "no answer from " + cfg.server_text() + ": " + ldns_get_errorstr_by_id(s);
        return false;
    }
    ldns_pkt_rcode rc = ldns_pkt_get_rcode(a.get());
    if (rc != LDNS_RCODE_NOERROR) {
        why = rcode_text(rc);
        return false;
    }
    return true;
}

// ---- the role machine ----

ClusterRole::~ClusterRole() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_ = true;
    }
    if (keeper_etcd_) keeper_etcd_->abort();
    if (campaign_etcd_) campaign_etcd_->abort();
    wake().notify_all();
    if (keeper_thread_.joinable()) keeper_thread_.join();
    if (campaign_thread_.joinable()) campaign_thread_.join();
}

void ClusterRole::start(const cluster::Config &cfg) {
    cfg_ = cfg;
    if (!cfg_.enabled()) return;
    election_ = "/tessaron/" + cfg_.cluster + "/election";
    role_ = Role::Standby;
    keeper_etcd_ = std::make_unique<cluster::Etcd>(cfg_);
    campaign_etcd_ = std::make_unique<cluster::Etcd>(cfg_);
    keeper_etcd_->set_timeout(std::max(1000L, cfg_.lease * 1000L / 3));
    port_syslog(LOG_INFO, "Cluster %s: %s campaigns at %s (lease %d s)", cfg_.cluster.c_str(), cfg_.name.c_str(),
                cfg_.endpoints[0].c_str(), cfg_.lease);
    keeper_thread_ = std::thread([this] { keeper(); });
    campaign_thread_ = std::thread([this] { campaigner(); });
}

bool ClusterRole::may_publish(int64_t &epoch, uint64_t &term) {
    if (!cfg_.enabled()) {
        epoch = 0;
        term = 0;
        return true;
    }
    std::lock_guard<std::mutex> lk(mu_);
    epoch = epoch_;
    term = term_;
    return role_ == Role::Leader && !stop_;
}

void ClusterRole::become(Role r, const std::string &log) {
    role_ = r;
    if (!log.empty()) port_syslog(r == Role::Fenced ? LOG_WARNING : LOG_INFO, "Cluster %s: %s", cfg_.cluster.c_str(),
                                  log.c_str());
    wake().notify_all();
}

void ClusterRole::fenced(int64_t epoch, int64_t held) {
    std::lock_guard<std::mutex> lk(mu_);
    if (role_ != Role::Leader || epoch != epoch_) return;   // told already
    become(Role::Fenced, "fenced by the primary (it holds epoch " + (held ? std::to_string(held) : "unknown") +
                             "); standing down");
    // The keeper resigns the key, if it is still ours, and the campaign
    // goes on as a standby.
}

void ClusterRole::resign() {
    if (!cfg_.enabled()) return;
    cluster::LeaderKey k;
    int64_t lease;
    bool leading;
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_ = true;
        leading = role_ == Role::Leader || role_ == Role::Fenced;
        k = mine_;
        lease = lease_;
        role_ = Role::Standby;
    }
    keeper_etcd_->abort();
    campaign_etcd_->abort();
    wake().notify_all();
    cluster::Etcd e(cfg_);
    e.set_timeout(1000);
    std::string why;
    // The lease's end takes our key out of the election: the next in line leads.
    if (leading && !k.key.empty() && !e.resign(k, why))
        port_syslog(LOG_WARNING, "Cluster %s: cannot resign: %s", cfg_.cluster.c_str(), why.c_str());
    if (lease && !e.revoke(lease, why))
        port_syslog(LOG_WARNING, "Cluster %s: cannot revoke the lease: %s", cfg_.cluster.c_str(), why.c_str());
    if (leading) port_syslog(LOG_INFO, "Cluster %s: resigned (epoch %lld)", cfg_.cluster.c_str(), (long long)k.rev);
}

bool ClusterRole::kord_alive() {
    std::string dir = path_item(3);
    int fd = open((dir + "/kord.pid").c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!held) flock(fd, LOCK_UN);
    close(fd);
    if (!held) return false;
    long long pass = 0, interval = 1;
    bool have_pass = false;
    if (FILE *f = fopen((dir + "/kord.status").c_str(), "re")) {
        char key[64];
        long long v;
        char line[256];
        while (fgets(line, sizeof line, f)) {
            if (sscanf(line, "%63s %lld", key, &v) != 2) continue;
            if (!strcmp(key, "pass")) {
                pass = v;
                have_pass = true;
            } else if (!strcmp(key, "interval")) {
                interval = std::max(1LL, v);
            }
        }
        fclose(f);
    }
    // Stale after two of kord's passes, as kordstat tells it.
    long long now = time(nullptr);
    return have_pass && now - pass <= 2 * interval + 1;
}

void ClusterRole::step_down_locked(cluster::Etcd &e, const char *why) {
    cluster::LeaderKey k = mine_;
    mine_ = {};
    if (why) become(Role::Standby, why);
    else role_ = Role::Standby;
    if (!k.key.empty()) {
        // A campaign on the same lease now would take the old key back,
        // epoch and all: it waits for the resignation.
        std::string err;
        resigning_ = true;
        mu_.unlock();
        e.resign(k, err);
        mu_.lock();
        resigning_ = false;
        wake().notify_all();
    }
}

void ClusterRole::keeper() {
    cluster::Etcd &e = *keeper_etcd_;
    long period = std::max(300L, cfg_.lease * 1000L / 3);
    std::unique_lock<std::mutex> lk(mu_);
    while (!stop_) {
        int64_t lease = lease_;
        lk.unlock();
        bool alive = kord_alive();
        std::string why;
        bool ok;
        int64_t ttl = 0;
        if (!lease) {
            ok = e.grant(cfg_.lease, lease, why);
            ttl = ok ? cfg_.lease : 0;
        } else {
            ok = e.keepalive(lease, ttl, why);
        }
        cluster::LeaderKey cur;
        bool found = false;
        if (ok) ok = e.leader(election_, cur, found, why);
        lk.lock();
        if (stop_) break;
        time_t now = time(nullptr);
        if (!ok) {
            if (now - etcd_warned_ >= 60) {
                etcd_warned_ = now;
                if (role_ == Role::Leader)
                    port_syslog(LOG_WARNING, "Cluster %s: etcd unreachable (%s); publishing under epoch %lld",
                                cfg_.cluster.c_str(), why.c_str(), (long long)epoch_);
                else
                    port_syslog(LOG_WARNING, "Cluster %s: etcd unreachable (%s); %s, not publishing",
                                cfg_.cluster.c_str(), why.c_str(), role_name(role_));
            }
            etcd_lost_ = true;
        } else {
            if (etcd_lost_) port_syslog(LOG_INFO, "Cluster %s: etcd reachable again", cfg_.cluster.c_str());
            etcd_lost_ = false;
            etcd_warned_ = 0;
            if (ttl <= 0) {
                // The lease ran out while etcd was away: whatever we held is gone.
                lease_ = 0;
                if (role_ == Role::Leader) step_down_locked(e, "lease lost; standing down, campaigning again");
                else mine_ = {};
            } else {
                lease_ = lease;
            }
            std::string name = found ? cur.value : "";
            if (role_ == Role::Leader && (!found || cur.key != mine_.key)) {
                mine_ = {};
                become(Role::Standby, "standby, leader " + (found ? name : std::string("none")));
            } else if (role_ == Role::Fenced) {
                if (!mine_.key.empty()) {
                    step_down_locked(e, nullptr);
                    if (role_ == Role::Standby) role_ = Role::Fenced;   // shown as such until another leads
                } else if (found && cur.key != mine_.key) {
                    become(Role::Standby, "standby, leader " + name);
                }
            } else if (!alive && role_ == Role::Leader) {
                step_down_locked(e, "kord is not running or stale; resigning");
            } else if (role_ != Role::Leader && found && name != leader_ && cur.key != mine_.key) {
                become(Role::Standby, "standby, leader " + name);
            }
            leader_ = name;
        }
        kord_ok_ = alive;
        wake().notify_all();
        wake().wait_for(lk, std::chrono::milliseconds(period), [&] { return stop_; });
    }
}

void ClusterRole::campaigner() {
    cluster::Etcd &e = *campaign_etcd_;
    std::unique_lock<std::mutex> lk(mu_);
    bool kord_logged = false;
    while (!stop_) {
        wake().wait_for(lk, std::chrono::seconds(1), [&] {
            return stop_ || (lease_ && kord_ok_ && role_ != Role::Leader && mine_.key.empty() && !resigning_);
        });
        if (stop_) break;
        if (!kord_ok_) {
            if (!kord_logged) port_syslog(LOG_WARNING, "Cluster %s: kord is not running or stale; not campaigning",
                                          cfg_.cluster.c_str());
            kord_logged = true;
            continue;
        }
        kord_logged = false;
        if (!lease_ || role_ == Role::Leader || !mine_.key.empty() || resigning_) continue;
        int64_t lease = lease_;
        lk.unlock();
        cluster::LeaderKey k;
        std::string why;
        bool won = e.campaign(election_, cfg_.name, lease, 5000, k, why);
        lk.lock();
        if (stop_) break;
        if (!won) {
            if (why.find("not elected yet") == std::string::npos) {
                lk.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                lk.lock();
            }
            continue;
        }
        if (lease != lease_ || !kord_ok_) {
            // Won on a lease that is gone, or kord died meanwhile.
            std::string err;
            lk.unlock();
            e.resign(k, err);
            lk.lock();
            continue;
        }
        mine_ = k;
        epoch_ = k.rev;
        term_++;
        leader_ = cfg_.name;
        become(Role::Leader, "leader (epoch " + std::to_string(k.rev) + ")");
    }
}

std::string ClusterRole::status_text() {
    if (!cfg_.enabled()) return "";
    std::lock_guard<std::mutex> lk(mu_);
    switch (role_) {
    case Role::Leader: return "leader (epoch " + std::to_string(epoch_) + ")";
    case Role::Fenced: return "fenced";
    default: return "standby, leader " + (leader_.empty() ? std::string("none") : leader_);
    }
}

void ClusterRole::write_status(const std::string &path) {
    std::string text;
    {
        std::lock_guard<std::mutex> lk(mu_);
        Role r = cfg_.enabled() ? role_ : Role::Alone;
        text = std::string("role ") + role_name(r) + "\ncluster " + (cfg_.enabled() ? cfg_.cluster : "-") +
               "\nname " + (cfg_.name.empty() ? "-" : cfg_.name) + "\nepoch " + std::to_string(epoch_) +
               "\nleader " + (leader_.empty() ? "-" : leader_) + "\nupdated " + std::to_string(last_update_.load()) +
               "\n";
    }
    if (text == status_written_) return;
    // Readers see the old file or the new one, never half of one.
    std::string tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) status_written_ = text;
    else unlink(tmp.c_str());
}

}  // namespace flowgate
