// Request server internals.
#pragma once

#include <cstdint>

#include "util/net/frame.h"
#include "util/sorvan.h"

namespace sorvan {

// Calls of reset() so far (process-wide, never cleared).
uint32_t reset_count(void);

}  // namespace sorvan
