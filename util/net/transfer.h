// File transfer: internal declarations.
#pragma once

#include <cstdint>
#include <string>

#include "util/sorvan.h"

namespace sorvan::transfer {

// The directory part of a destination ("" when it has none).
std::string parent_dir(const char *path);

// Moves `from` onto `to`, replacing it; across file systems a file is
// copied and the original removed. 0, or -1 with errno set.
int move_replace(const char *from, const char *to);

}  // namespace sorvan::transfer
