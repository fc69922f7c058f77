// The side map: what the data map's fixed layout has no room for. Each
// node's IPv6 address and its IPv6 probe states, and the outcome of its
// HTTP check. It lives beside the data map (side.data in the same
// directory); a header, then one record per node slot in data-map order
// (group i, slot k at i * 4 + k). Readers of the data map alone see exactly
// what they saw before. Integers little-endian, read in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "maps/records.h"

namespace kord {

inline constexpr char kSideMagic[8] = {'T', 'S', 'N', 'S', 'I', 'D', 'E', '1'};
inline constexpr uint32_t kSideVersion = 1;
inline constexpr uint32_t kSideHeaderSize = 32;
inline constexpr uint32_t kSideRecordSize = 128;

struct SideHeader {
    char magic[8];          // 0: kSideMagic
    uint32_t version;       // 8: kSideVersion; later versions only add fields
    uint32_t record_size;   // 12: bytes per record; a reader skips what it does not know
    uint32_t records;       // 16: group count * 4
    uint32_t reserved[3];   // 20
};

// How a port is probed.
inline constexpr uint8_t kCheckTcp = 0, kCheckHttp = 1, kCheckHttps = 2;

struct SideRecord {
    uint8_t addr6[16];      // 0: the node's first IPv6 address, network order; all zero: none
    ProbeStatus ping6;      // 16: ICMPv6 echo
    ProbeStatus port6;      // 36: the port probe (or HTTP check) over IPv6
    int32_t last_ping6;     // 56: round trip in ms as last_ping; -1 none
    uint8_t port_check;     // 60: kCheckTcp, kCheckHttp or kCheckHttps
    uint8_t unused61[3];    // 61
    uint16_t http_status;   // 64: status of the last HTTP check over IPv4; 0 no answer
    uint16_t http_status6;  // 66: ... over IPv6
    uint32_t http_us;       // 68: how long the last check over IPv4 took, µs
    uint32_t http_us6;      // 72: ... over IPv6
    uint8_t unused76[52];   // 76
};

static_assert(sizeof(SideHeader) == kSideHeaderSize);
static_assert(offsetof(SideHeader, magic) == 0);
static_assert(offsetof(SideHeader, version) == 8);
static_assert(offsetof(SideHeader, record_size) == 12);
static_assert(offsetof(SideHeader, records) == 16);
static_assert(sizeof(SideRecord) == kSideRecordSize);
static_assert(offsetof(SideRecord, addr6) == 0);
static_assert(offsetof(SideRecord, ping6) == 16);
static_assert(offsetof(SideRecord, port6) == 36);
static_assert(offsetof(SideRecord, last_ping6) == 56);
static_assert(offsetof(SideRecord, port_check) == 60);
static_assert(offsetof(SideRecord, http_status) == 64);
static_assert(offsetof(SideRecord, http_status6) == 66);
static_assert(offsetof(SideRecord, http_us) == 68);
static_assert(offsetof(SideRecord, http_us6) == 72);
static_assert(offsetof(SideRecord, unused76) == 76);

// The side map's path for a data map's path: side.data in its directory.
inline std::string side_map_path(const std::string &data_map) {
    size_t slash = data_map.rfind('/');
    return (slash == std::string::npos ? std::string() : data_map.substr(0, slash + 1)) + "side.data";
}

inline size_t side_map_size(uint32_t groups) {
    return kSideHeaderSize + size_t(groups) * kSlotsPerGroup * kSideRecordSize;
}

// The record of (group, slot) in a side map of len bytes read from outside:
// null when the header is not one this reader knows (a record size that
// would misalign the records included) or the record is not there whole.
inline const SideRecord *side_record(const void *map, size_t len, uint32_t group, uint32_t slot) {
    if (!map || len < kSideHeaderSize || slot >= uint32_t(kSlotsPerGroup)) return nullptr;
    SideHeader h;
    std::memcpy(&h, map, sizeof h);
    if (std::memcmp(h.magic, kSideMagic, sizeof h.magic) != 0 || h.version < 1 ||
        h.record_size < kSideRecordSize || h.record_size % alignof(SideRecord) != 0)
        return nullptr;
    uint64_t index = uint64_t(group) * kSlotsPerGroup + slot;
    if (index >= h.records) return nullptr;
    uint64_t at = kSideHeaderSize + index * h.record_size;
    if (at + kSideRecordSize > len) return nullptr;
    return reinterpret_cast<const SideRecord *>(static_cast<const char *>(map) + at);
}

}  // namespace kord
