// File-tree operations: internal declarations.
#pragma once

#include "util/sorvan.h"

namespace sorvan::fileops {

// One pass over a directory as rm_pass, also counting what it removed
// (below it, too), so that rm_all can tell when a pass made no progress.
int rm_pass_counted(const char *dir, int *removed);

}  // namespace sorvan::fileops
