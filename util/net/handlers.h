// Request server: what the file handlers share (the handlers themselves
// are exported, see sorvan.h).
#pragma once

#include <cstdint>

#include "util/sorvan.h"

namespace sorvan::handlers {

// Ends the connection of a refused operation as a rejected request ends.
void refuse(int sock, const struct sockaddr_in *peer);

}  // namespace sorvan::handlers
