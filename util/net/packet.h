// Packet and socket layer: internal helpers (the exports are in sorvan.h).
#pragma once

#include <netinet/in.h>
#include <stdint.h>

namespace sorvan {

// A zeroed IPv4 socket address for addr:port given in host byte order.
sockaddr_in make_address(uint32_t addr_host, int32_t port_host);

}  // namespace sorvan
