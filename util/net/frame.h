// Wire framing of sealed messages (xwrite/xread and their bounded forms).
#pragma once

#include <cstdint>

#include "util/sorvan.h"

namespace sorvan {

// While one lives, every sealed message this thread reads must arrive
// within `ms` of its making, however the peer spreads its bytes; a read
// past that fails as a closed connection would.
class ReadDeadline {
public:
    explicit ReadDeadline(int ms);
    ~ReadDeadline();
    ReadDeadline(const ReadDeadline &) = delete;
    ReadDeadline &operator=(const ReadDeadline &) = delete;
};

// xread that also hands back the message length; null when none was read.
void *xread_len(int sock, uint32_t *len);

// xread_len refusing, unread, a frame that announces more than `max_frame`
// payload bytes.
void *xread_bounded(int sock, uint32_t *len, uint32_t max_frame);

// Reads one sealed FileRecord; a shorter message is zero-extended and both
// paths are terminated inside their fields. 0, or -1 when none was read.
int read_file_record(int sock, FileRecord *rec);

}  // namespace sorvan
