// Alerts mailed once per cluster: every kord of a cluster sees the same node
// go down, and the first to create the alert's key in etcd mails it. The
// key lives for the group's alert interval. Without etcd every kord mails,
// as alone: a duplicate is better than a lost alert.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "cluster/config.h"
#include "cluster/etcd.h"
#include "master/kord.h"

namespace kord {

namespace {

struct AlertClaims {
    std::mutex mu;
    bool loaded = false;
    cluster::Config cfg;
    std::unique_ptr<cluster::Etcd> etcd;
    time_t warned = 0;
};

AlertClaims &claims() {
    static AlertClaims *c = new AlertClaims;   // the mailer may run while kord exits
    return *c;
}

}  // namespace

bool cluster_alert_claim(const std::string &subject, uint32_t minutes, std::string &sent_by) {
    AlertClaims &c = claims();
    std::lock_guard<std::mutex> lk(c.mu);
    if (!c.loaded) {
        c.loaded = true;
        std::vector<std::string> errors;
        if (!cluster::load_config(cluster::default_config_path(), c.cfg, errors)) {
            for (const auto &e : errors) port_syslog(LOG_ERR, "%s; alerts are mailed from this host alone", e.c_str());
            c.cfg = cluster::Config();
        }
        if (c.cfg.enabled()) c.etcd = std::make_unique<cluster::Etcd>(c.cfg);
    }
    if (!c.etcd) return true;
    // The subject names this host first; the rest names the group, the node
    // and the kind of alert, the same on every host of the cluster.
    std::string what = subject;
    std::string prefix = std::string(g_host_name) + ": ";
    if (what.compare(0, prefix.size(), prefix) == 0) what.erase(0, prefix.size());
    std::string key = "/tessaron/" + c.cfg.cluster + "/alert/" + what;
    int ttl = int(std::max<uint32_t>(minutes, 1u) * 60u);
    std::string why, holder;
    int64_t lease = 0;
    bool created = false;
    if (c.etcd->grant(ttl, lease, why) && c.etcd->create_if_absent(key, c.cfg.name, lease, created, holder, why)) {
        if (created) return true;
        c.etcd->revoke(lease, why);
        sent_by = "sent by " + (holder.empty() ? std::string("another host") : holder) + " of cluster " +
                  c.cfg.cluster;
        return false;
    }
    time_t now = time(nullptr);
    if (now - c.warned >= 60) {
        c.warned = now;
        port_syslog(LOG_WARNING, "Cluster %s: etcd unreachable (%s); alerts are mailed from this host",
                    c.cfg.cluster.c_str(), why.c_str());
    }
    return true;
}

int send_alert_mail(void *record) {
    auto *a = static_cast<AlertMail *>(record);
    post_alert_mail(&a->req, a->minutes);
    return 0;
}

}  // namespace kord
