// ICMP echo: internals shared with the tests and the benchmark.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sorvan {

// SO_RCVTIMEO/SO_SNDTIMEO value in milliseconds for a wait of timeout_us:
// T' = max(T, 1000), T'/1000 + T' mod 1000 (1234 gives 235).
int32_t ping_socket_timeout_ms(int32_t timeout_us);

// RFC 1071 Internet checksum, as stored in the header (byte order of the data).
uint16_t icmp_checksum(const uint8_t *data, size_t len);

// Kernel filter for one ping socket: only echo replies from addr carrying
// ident (as it sits in the packet, little-endian) are queued. 0 or -1.
int ping_attach_filter(int sock, uint16_t ident, uint32_t addr_network_order);

// On by default; the benchmark turns it off to measure what it saves, and
// the tests to reach the checks made after receipt.
extern std::atomic<bool> ping_use_filter;
// Off by default: one socket per call, so that only pings in flight hold a
// raw socket (every raw ICMP socket on the host is walked for every ICMP
// packet that arrives, and a thousand idle kept sockets cost kord more than
// creating one per call). On: each thread keeps one socket for all its
// calls (closed when the thread ends).
extern std::atomic<bool> ping_keep_socket;

}  // namespace sorvan
