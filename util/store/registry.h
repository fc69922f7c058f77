// Registry items: internal helpers shared with the fuzzer and the tests.
//
// The registry is a file tree under $TESSARON_REGISTRY (default
// /var/lib/tessaron/registry). Each backslash-separated name of a key path
// is a directory; each value is one file in its key's directory whose first
// byte is the value's type (1 text, 4 number) followed by the value's bytes.
#pragma once

#include <string>
#include <vector>

namespace sorvan::registry {

inline constexpr unsigned char kTypeText = 1;    // REG_SZ
inline constexpr unsigned char kTypeNumber = 4;  // REG_DWORD
inline constexpr size_t kTextBufferSize = 1024;

// Root of the tree: $TESSARON_REGISTRY, else the default.
std::string root();

// Splits a key path into its names. Backslashes and slashes both separate;
// empty names (leading, trailing or doubled separators) are dropped, so an
// absolute path is taken relative to the registry root. False when a name
// is "." or ".." (the path would leave its key) or the path is null.
bool split_key(const char *path, std::vector<std::string> &names);

// A value name is one file name: not empty, no '/', not "." or "..".
bool valid_value_name(const char *name);

}  // namespace sorvan::registry
