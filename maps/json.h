// JSON text for the status outputs of kordstat and flowgate.
#pragma once

#include <cstdio>
#include <string>

// s as a JSON string: quotes and backslashes escaped, control and non-ASCII
// bytes as \u00XX (names in the maps are bytes, not UTF-8).
inline std::string json_str(const std::string &s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += char(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += char(c);
        }
    }
    return o + "\"";
}
