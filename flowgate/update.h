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

// One owner's record sets within a zone's batch: each set given (non-null)
// replaces the owner's RRset of its type.
struct OwnerChange {
    std::string owner;
    const std::vector<uint32_t> *a = nullptr;
    const std::vector<std::array<uint8_t, 16>> *aaaa = nullptr;
    uint32_t ttl = 0;
};

// The largest update sent in one datagram: the size that passes without
// fragments on any path (as DNS over UDP sizes its answers since 2020).
inline constexpr size_t kMaxUpdateSize = 1232;

// One update for zone carrying the changes from the front of `changes`
// that fit, signed, within max_size bytes; `taken` says how many (at least
// one: an owner too large alone still goes alone). The primary applies the
// message as a whole and signs the zone once. False with why when the
// first change cannot be built; a later one that cannot is left out
// (taken stops before it).
bool build_zone_update(const std::string &zone, const std::vector<OwnerChange> &changes, size_t max_size,
                       const TsigKey &key, uint16_t id, Update &out, size_t &taken, std::string &why,
                       const Fence *fence = nullptr);

enum class Reply {
    NotOurs,    // another id, not a reply to an update, or not parseable
    Accepted,   // NOERROR, and signed by the key when the update was
    Refused,    // an error RCODE, or a reply whose signature does not verify
};

// Checks a datagram against the update it may answer. For Refused, why
// carries the RCODE name (and the TSIG error, if any).
Reply check_reply(const Update &u, const uint8_t *wire, size_t n, const TsigKey &key, std::string &why);

// A query for one name and type (the primary's SOA, an owner's A or AAAA
// set), signed with the key when there is one. Kept in an Update: the
// same id and MAC check its answer.
enum class QueryType { Soa, A, Aaaa };
bool build_query(const std::string &name, QueryType type, const TsigKey &key, uint16_t id, Update &out,
                 std::string &why);

// What an answer to build_query says.
struct Answer {
    bool ours = false;             // the reply to this query, parsed
    unsigned rcode = 0;
    unsigned tsig_error = 0;
    bool signature_ok = true;      // false: signed query, reply not signed by the key
    std::string error;             // "NOTAUTH, TSIG error BADSIG"; empty on NOERROR with a good signature
    bool have_soa = false;
    uint32_t serial = 0;
    std::vector<uint32_t> a;                    // network order, sorted
    std::vector<std::array<uint8_t, 16>> aaaa;  // sorted
    uint32_t ttl = 0;                           // of the first address record
};
Answer check_answer(const Update &q, const uint8_t *wire, size_t n, const TsigKey &key);

// The id of a DNS message, or -1 when it is too short for one.
inline int message_id(const uint8_t *wire, size_t n) { return n < 12 ? -1 : (wire[0] << 8) | wire[1]; }

// Signs a throw-away message with the key: false (why set) when ldns
// cannot use it.
bool key_usable(const TsigKey &key, std::string &why);

}  // namespace flowgate
