#include "tests/support/etcd_cluster.h"

#include <signal.h>
#include <sys/wait.h>

namespace testutil {

namespace {

std::string host(int i) { return "127.0.0." + std::to_string(11 + i); }

}  // namespace

EtcdCluster::EtcdCluster(int members) : n_(members), procs_(size_t(members)) {
    bool started = true;
    for (int i = 0; i < n_; i++) started = start(i) && started;
    ok_ = started && healthy();
}

EtcdCluster::~EtcdCluster() {
    for (int i = 0; i < n_; i++) stop(i);
}

std::string EtcdCluster::endpoint(int i) const { return "http://" + host(i) + ":2379"; }

std::string EtcdCluster::endpoints() const {
    std::string s;
    for (int i = 0; i < n_; i++) s += (i ? "," : "") + endpoint(i);
    return s;
}

bool EtcdCluster::start(int i) {
    std::string initial;
    for (int k = 0; k < n_; k++) initial += (k ? "," : "") + ("m" + std::to_string(k)) + "=http://" + host(k) + ":2380";
    std::string name = "m" + std::to_string(i);
    procs_[size_t(i)] = std::make_unique<Proc>(
        std::vector<std::string>{"/usr/bin/etcd", "--name", name, "--data-dir", dir_ / name,
                                 "--listen-client-urls", endpoint(i), "--advertise-client-urls", endpoint(i),
                                 "--listen-peer-urls", "http://" + host(i) + ":2380",
                                 "--initial-advertise-peer-urls", "http://" + host(i) + ":2380",
                                 "--initial-cluster", initial, "--initial-cluster-state", "new",
                                 "--initial-cluster-token", "tessaron-test", "--heartbeat-interval", "50",
                                 "--election-timeout", "500", "--log-level", "warn"},
        std::vector<std::string>{}, dir_ / (name + ".log"));
    return procs_[size_t(i)]->pid > 0;
}

void EtcdCluster::stop(int i) {
    if (procs_[size_t(i)]) {
        kill(procs_[size_t(i)]->pid, SIGCONT);
        procs_[size_t(i)]->stop(SIGKILL);
        procs_[size_t(i)].reset();
    }
}

void EtcdCluster::freeze(int i, bool on) {
    if (procs_[size_t(i)]) kill(procs_[size_t(i)]->pid, on ? SIGSTOP : SIGCONT);
}

bool EtcdCluster::healthy(int ms) const {
    return wait_until(
        [&] {
            for (int i = 0; i < n_; i++) {
                if (!procs_[size_t(i)]) continue;
                RunResult r = run({"/usr/bin/etcdctl", "--endpoints", endpoint(i), "--command-timeout=2s", "put",
                                   "tessaron-test-health", "1"},
                                  {"ETCDCTL_API=3"});
                if (r.status != 0) return false;
            }
            return true;
        },
        std::chrono::milliseconds(ms));
}

}  // namespace testutil
