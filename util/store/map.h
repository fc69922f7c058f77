// Shared maps: internal helpers (MapOpen/MapClose are in sorvan.h).
#pragma once

#include <stddef.h>

namespace sorvan {

// Longest backing-file path MapOpen accepts (its name buffer is 1024 bytes).
constexpr size_t kMapNameMax = 1023;

// Length of a view made by MapOpen, or 0 for an unknown address.
size_t map_view_length(const void *base);

}  // namespace sorvan
