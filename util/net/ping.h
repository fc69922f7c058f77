// ICMP echo: internals shared with the tests and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvan {

// RFC 1071 Internet checksum, as stored in the header (byte order of the data).
uint16_t icmp_checksum(const uint8_t *data, size_t len);

// Kernel filter for the process's raw ping socket: only echo replies
// carrying ident (as it sits in the packet, little-endian) are queued.
// 0 or -1.
int ping_attach_filter(int sock, uint16_t ident);

// The process's ping socket and what its receiver has seen.
enum PingSocketKind { kPingNotOpen = 0, kPingRaw = 1, kPingUnprivileged = 2 };
struct PingCounters {
    int kind;              // PingSocketKind
    int rcvbuf;            // receive buffer the kernel granted, bytes
    uint64_t received;     // datagrams read
    uint64_t matched;      // replies handed to a waiting call
    uint64_t ignored;      // not ours, late, or not an echo reply
    uint64_t dropped;      // lost to a full receive queue (SO_RXQ_OVFL)
};
PingCounters ping_counters();

}  // namespace sorvan
