// Load probes: internals the tests reach.
#pragma once

#include <cstdint>

#include "util/sorvan.h"

namespace sorvan {

// Directory the counters are read from ("/proc" unless a test points it
// elsewhere); the utmp file likewise.
void set_probe_sources(const char *proc_root, const char *utmp_path);

// Last value of counter i (0..12) as the most recent collection left it.
double counter_value(int i);

// Byte count -> KiB word of the load report; saturates at 0xFFFFFFFF, and a
// failed counter (negative) gives 0xFFFFFFFF >> 10 as it always has.
uint32_t kib_word(double bytes);

}  // namespace sorvan
