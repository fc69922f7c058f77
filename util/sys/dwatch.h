// Directory watcher internals (inotify), open to tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/sorvan.h"

// Longest full path a change may carry, terminator excluded; longer
// changes are dropped and logged.
inline constexpr size_t kDwatchPathMax = 1023;

// Appends one change to the watcher's queue: dir, '/', name.
// 0, -1 no memory for the entry, -2 no memory for the path, -3 path too long.
int queue_change(DirWatcher *w, const char *dir, const char *name, int32_t action);

// What the watcher could not deliver since dwatch.
struct DwatchStats {
    size_t dropped;      // path too long, or no memory
    size_t overflows;    // inotify queue overflows (followed by a rescan)
};
DwatchStats dwatch_stats(DirWatcher *w);
