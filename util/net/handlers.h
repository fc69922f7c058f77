// Request server: what the file handlers share (the handlers themselves
// are exported, see sorvan.h).
#pragma once

#include <cstdint>

#include "util/net/transfer.h"
#include "util/sorvan.h"

namespace sorvan::handlers {

// Ends the connection of a refused operation as a rejected request ends.
void refuse(int sock, const struct sockaddr_in *peer);

// The file operations on a record (and descriptor) already read; *refused
// when confinement refused a path (the caller ends the request as refused).
transfer::Outcome remove_path(const FileRecord &rec, bool *refused);
transfer::Outcome change_descriptor(const FileRecord &rec, unsigned char *sd, uint32_t len, bool *refused);
transfer::Outcome rename_path(const FileRecord &rec, unsigned char *sd, uint32_t len, bool *refused);
transfer::Outcome make_dir(const FileRecord &rec, unsigned char *sd, uint32_t len, bool *refused);

}  // namespace sorvan::handlers
