// Hosts-file entries: internal helpers.
#pragma once

#include <string>

namespace sorvan::hosts {

// True when line (without its newline) begins with key: the prefix match
// the editors use, so "10.0.0.1" also matches a line for "10.0.0.10".
inline bool line_matches(const std::string &line, const char *key, size_t keylen) {
    return line.size() >= keylen && line.compare(0, keylen, key, keylen) == 0;
}

}  // namespace sorvan::hosts
