// Transaction log: internal declarations.
#pragma once

#include <cstddef>

#include "sorvan.h"

namespace sorvan::tlog {

inline constexpr size_t kRecordSize = 2176;
inline constexpr size_t kDispatchSize = 2184;

// Number of whole records queued, or a negative code as tlog_process.
int count(TlogHandle *h);

}  // namespace sorvan::tlog
