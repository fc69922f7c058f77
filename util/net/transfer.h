// File transfer: internal declarations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "util/sorvan.h"

namespace sorvan::transfer {

// The directory part of a destination ("" when it has none).
std::string parent_dir(const char *path);

// What became of a file operation on the agent: rc as the handler's
// result (0 done), err the system's error number where one caused it,
// why a text for the requester's log.
struct Outcome {
    int32_t rc = 0;
    int err = 0;
    std::string why;
    bool ok() const { return rc == 0; }
};

// Writes a file's content into an open file: true when the whole announced
// content arrived and was written; otherwise false with *out filled.
using ContentSink = std::function<bool(int fd, uint64_t size, Outcome *out)>;

// The admitted destination of a file send ("" and *out filled when it may
// not be written; *refused when confinement refused the path).
std::string destination(const FileRecord &rec, Outcome *out, bool *refused);

// Stores a sent file at `dest`: its content (from `sink`, when size > 0)
// into a temporary file beside it that gets the attributes and descriptor
// first and then replaces the destination in one rename, so a reader sees
// the old file or the new one, whole and with its mode. Every failure
// removes the temporary file at once and is logged.
Outcome store_file(const std::string &dest, const FileRecord &rec, unsigned char *sd, uint32_t sd_len,
                   const ContentSink &sink);

// Moves `from` onto `to`, replacing it; across file systems a file is
// copied and the original removed. 0, or -1 with errno set.
int move_replace(const char *from, const char *to);

}  // namespace sorvan::transfer
