// Wake-on-LAN: internal helpers (the exports are in sorvan.h).
#pragma once

#include <stdint.h>

namespace sorvan {

constexpr int kMagicPacketSize = 102;

// Six 0xFF bytes, then the 6-byte hardware address sixteen times.
void build_magic_packet(const unsigned char mac[6], unsigned char out[kMagicPacketSize]);

}  // namespace sorvan
