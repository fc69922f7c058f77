// Port-file reading, split out so that it can be fed from any stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "master/httpcheck.h"

#include "maps/records.h"

namespace kord {
// Sets the slot's port, label and alert address from the first usable line
// of an open port file (port 0 when there is none). With check, also reads
// the "key value" lines after it; a line kord cannot use leaves the check a
// bare connect and says why in problem ("line 3: ...").
void parse_port_file(FILE *f, NodeRecord *slot, PortCheck *check = nullptr, std::string *problem = nullptr);
// How a port file's check reads in kordstat and the log: "8080/https /healthz".
std::string describe_check(uint16_t port, const PortCheck &c);
// How many port files this thread has parsed on the probing path.
uint32_t port_file_reads(void);
}  // namespace kord
