// A three-member etcd cluster on 127.0.0.11-13 for tests in a private
// network namespace. Members can be stopped, frozen and started again.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/testutil.h"

namespace testutil {

class EtcdCluster {
public:
    // Starts the members and waits until the cluster has a leader; ok() tells.
    explicit EtcdCluster(int members = 3);
    ~EtcdCluster();
    bool ok() const { return ok_; }
    // "http://127.0.0.11:2379,http://127.0.0.12:2379,..."
    std::string endpoints() const;
    std::string endpoint(int i) const;
    void stop(int i);          // SIGKILL
    bool start(int i);         // again, on its data
    void freeze(int i, bool on);
    // True once a put through etcdctl succeeds at every live endpoint.
    bool healthy(int ms = 20000) const;
    const std::string &dir() const { return dir_.path(); }

private:
    TempDir dir_;
    int n_;
    std::vector<std::unique_ptr<Proc>> procs_;
    bool ok_ = false;
};

}  // namespace testutil
