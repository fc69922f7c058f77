// Port-file reading, split out so that it can be fed from any stream.
#pragma once

#include <cstdint>
#include <cstdio>

#include "maps/records.h"

namespace kord {
// Sets the slot's port, label and alert address from the first usable line
// of an open port file (port 0 when there is none).
void parse_port_file(FILE *f, NodeRecord *slot);
// How many port files this thread has parsed on the probing path.
uint32_t port_file_reads(void);
}  // namespace kord
