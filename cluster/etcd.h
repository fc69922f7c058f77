// A client of etcd's v3 API as JSON over HTTP(S), through libcurl: leases,
// the election service and the one transaction the masters need. One
// object per thread; abort() alone may be called from another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "cluster/config.h"

namespace cluster {

// An election key as the election service names it.
struct LeaderKey {
    std::string name;    // the election
    std::string key;     // the holder's key in it
    int64_t rev = 0;     // the key's create revision: the epoch
    int64_t lease = 0;
    std::string value;   // the holder's name (from leader())
};

class Etcd {
public:
    explicit Etcd(const Config &cfg);
    ~Etcd();
    Etcd(const Etcd &) = delete;
    Etcd &operator=(const Etcd &) = delete;

    // Every call gives true on success, false with why (the endpoint and
    // what went wrong) when etcd could not be reached or refused.
    bool grant(int ttl, int64_t &id, std::string &why);
    // ttl: seconds the lease has left; 0 when etcd no longer knows it.
    bool keepalive(int64_t id, int64_t &ttl, std::string &why);
    bool revoke(int64_t id, std::string &why);
    // Blocks until this lease's key leads the election, at most wait_ms,
    // or until abort(). False on timeout (why says so) and on abort.
    bool campaign(const std::string &election, const std::string &value, int64_t lease, long wait_ms,
                  LeaderKey &out, std::string &why);
    // found is false when nobody leads.
    bool leader(const std::string &election, LeaderKey &out, bool &found, std::string &why);
    bool resign(const LeaderKey &k, std::string &why);
    // Puts key=value with the lease only if the key does not exist; else
    // created is false and holder has the existing value.
    bool create_if_absent(const std::string &key, const std::string &value, int64_t lease, bool &created,
                          std::string &holder, std::string &why);

    // Makes the current and every later call fail at once, until clear_abort().
    void abort() { aborted_ = true; }
    void clear_abort() { aborted_ = false; }
    // Bound of every call but campaign's, milliseconds (default 3000).
    void set_timeout(long ms) { timeout_ms_ = ms; }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::atomic<bool> aborted_{false};
    long timeout_ms_ = 3000;
};

std::string base64_encode(const std::string &s);
bool base64_decode(const std::string &s, std::string &out);

}  // namespace cluster
