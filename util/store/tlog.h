// Transaction log: internal declarations.
#pragma once

#include <cstddef>

#include "util/sorvan.h"

namespace sorvan::tlog {

inline constexpr size_t kRecordSize = 2176;
inline constexpr size_t kDispatchSize = 2184;

// A removed record: its place is zeroed, so address and kind read 0 and no
// reader can carry it out.
bool removed(const TlogRecord &rec);

}  // namespace sorvan::tlog
