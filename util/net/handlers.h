// Request server: what the file handlers share with the tests (the
// handlers themselves are exported, see sorvan.h).
#pragma once

#include <cstdint>

#include "sorvan.h"

namespace sorvan::handlers {

// True when `path` may not be removed: it is a part of one of the system
// directories (the root, a system directory, anything above one), as
// written or once `..` and symbolic links are resolved.
bool prohibited(const char *path);

}  // namespace sorvan::handlers
