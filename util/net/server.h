// Request server internals.
#pragma once

#include <cstdint>

#include "sorvan.h"

namespace sorvan {

// Calls of reset() so far (process-wide, never cleared).
uint32_t reset_count(void);

}  // namespace sorvan
