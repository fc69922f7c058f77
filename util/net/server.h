// Request server internals.
#pragma once

#include <cstdint>

#include "sorvan.h"

namespace sorvan {

// Calls of reset() so far (process-wide, never cleared).
uint32_t reset_count(void);

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

// xread_len refusing, unread, a frame that announces more than `max_frame`
// payload bytes.
void *xread_bounded(int sock, uint32_t *len, uint32_t max_frame);

}  // namespace sorvan
