// flowgate in a cluster: one publisher per cluster, chosen by etcd's
// election, and fenced at the primary by a TXT record set that holds the
// leader's epoch (the create revision of its election key).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cluster/config.h"
#include "cluster/etcd.h"
#include "flowgate/config.h"

// Last: ldns defines names that libstdc++ uses when clang compiles it.
#include <ldns/ldns.h>

namespace flowgate {

enum class Role { Alone, Standby, Leader, Fenced };
const char *role_name(Role r);

// The fence of a cluster in a zone: _flowgate-<cluster>.<zone>.
struct Fence {
    std::string owner;
    int64_t epoch = 0;
};
std::string fence_owner(const std::string &cluster, const std::string &zone);
// The prerequisite every update of a leader carries: the fence's TXT set is
// exactly its epoch (RFC 2136 2.4.2). The caller frees the list.
ldns_rr_list *fence_prerequisite(const Fence &f);

// Reads the fence at the primary. held: the highest epoch it holds, 0 when
// there is none. False with why when the primary gave no answer.
bool read_fence(const Config &cfg, const std::string &owner, int64_t &held, std::string &why);
// Replaces the fence with epoch, only if it still holds `held` (0: none).
// False with why when the primary refused or gave no answer.
bool write_fence(const Config &cfg, const std::string &zone, const std::string &owner, int64_t held,
                 int64_t epoch, std::string &why);

// The role machine. Two threads talk to etcd: one keeps the lease and
// watches the leader, one campaigns. The main loop asks may_publish().
class ClusterRole {
public:
    ClusterRole() = default;
    ~ClusterRole();
    // Starts the threads when cfg names etcd; alone otherwise.
    void start(const cluster::Config &cfg);
    bool enabled() const { return cfg_.enabled(); }
    const cluster::Config &config() const { return cfg_; }

    // True while this host leads (or runs alone); epoch and term set. term
    // changes at each new leadership: then every group goes out again.
    bool may_publish(int64_t &epoch, uint64_t &term);
    // An update carried the epoch and the primary refused it: another
    // leader holds the fence (held, 0 when unknown).
    void fenced(int64_t epoch, int64_t held);
    // SIGTERM: hand over at once.
    void resign();
    void update_sent() { last_update_ = time(nullptr); }

    // "leader (epoch 7)", "standby, leader b", ...; empty when alone.
    std::string status_text();
    // data/flowgate.status, rewritten atomically when it changed.
    void write_status(const std::string &path);

private:
    void keeper();
    void campaigner();
    void become(Role r, const std::string &why_log);
    bool kord_alive();
    void step_down_locked(cluster::Etcd &e, const char *why);

    cluster::Config cfg_;
    std::string election_;
    std::mutex mu_;
    Role role_ = Role::Alone;
    int64_t epoch_ = 0;
    uint64_t term_ = 0;
    int64_t lease_ = 0;            // 0: none yet, or lost
    cluster::LeaderKey mine_;      // while leading
    std::string leader_;           // the leader's name, as last seen
    bool kord_ok_ = true;
    bool stop_ = false;
    bool resigning_ = false;       // a resignation on its way to etcd
    time_t etcd_warned_ = 0;
    bool etcd_lost_ = false;
    std::atomic<time_t> last_update_{0};
    std::string status_written_;
    std::unique_ptr<cluster::Etcd> keeper_etcd_, campaign_etcd_;
    std::thread keeper_thread_, campaign_thread_;
};

}  // namespace flowgate
