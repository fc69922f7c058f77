// RFC 2136 updates that replace one owner's A record set, signed with TSIG,
// and the check of the server's reply. The messages are built, signed,
// parsed and verified by ldns.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flowgate/config.h"

namespace flowgate {

// One update on its way: the wire form and what is needed to check the reply.
struct Update {
    uint16_t id = 0;
    std::vector<uint8_t> wire;
    std::vector<uint8_t> request_mac;   // empty when unsigned
    int mac_type = 0;                   // ldns's type of that field
};

// Builds the update for zone (e.g. "demo.test"): delete owner's A RRset,
// add one A record per address with the TTL. False with why on failure.
bool build_update(const std::string &zone, const std::string &owner, const std::vector<uint32_t> &addrs,
                  uint32_t ttl, const TsigKey &key, uint16_t id, Update &out, std::string &why);
// Both families in one message: each set given (non-null) replaces the
// owner's RRset of its type; a null one leaves that type alone.
// fence: in a cluster, the update holds only while the fence says so.
struct Fence;
bool build_update(const std::string &zone, const std::string &owner, const std::vector<uint32_t> *a,
                  const std::vector<std::array<uint8_t, 16>> *aaaa, uint32_t ttl, const TsigKey &key, uint16_t id,
                  Update &out, std::string &why, const Fence *fence = nullptr);

enum class Reply {
    NotOurs,    // another id, not a reply to an update, or not parseable
    Accepted,   // NOERROR, and signed by the key when the update was
    Refused,    // an error RCODE, or a reply whose signature does not verify
};

// Checks a datagram against the update it may answer. For Refused, why
// carries the RCODE name (and the TSIG error, if any).
Reply check_reply(const Update &u, const uint8_t *wire, size_t n, const TsigKey &key, std::string &why);

// Signs a throw-away message with the key: false (why set) when ldns
// cannot use it.
bool key_usable(const TsigKey &key, std::string &why);

}  // namespace flowgate
