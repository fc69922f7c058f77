// Shared by the fuzz targets that write files for every input.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

// A scratch directory for the run, memory-backed when possible, removed at
// exit. `name` tags it (at most 20 characters).
inline std::string fuzz_scratch_dir(const char *name) {
    char tmpl[64];
    std::snprintf(tmpl, sizeof tmpl, "/dev/shm/%s.XXXXXX", name);
    const char *d = mkdtemp(tmpl);
    if (!d) {
        std::snprintf(tmpl, sizeof tmpl, "/tmp/%s.XXXXXX", name);
        d = mkdtemp(tmpl);
    }
    if (!d) abort();
    static std::string made;
    made = d;
    atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(made, ec);
    });
    return made;
}
