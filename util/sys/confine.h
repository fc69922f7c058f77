// Where the request server may act: the served roots, the paths no remove
// may take, and the canonical form every file operation is carried out on.
#pragma once

#include <string>
#include <vector>

#include "util/sorvan.h"

namespace sorvan::confine {

// What a file operation does to the path it names. The operations that
// act on the entry itself (all but kMkdir) never follow a final symbolic
// link, not even one named with a trailing slash.
enum class Op { kWrite, kMkdir, kRenameFrom, kRenameTo, kRemove, kAttributes };

// The canonical form of `path`: "." and ".." applied and symbolic links
// resolved component by component; components that do not exist are taken
// as written. With `follow_last` false a final link stays unresolved.
// False (errno set) when a link loops or a component cannot be examined.
bool canonical(const char *path, bool follow_last, std::string *out);

// Checks `path` for `op`: the served roots, and for removes and both ends
// of a rename the paths no remove may take. On success *out holds the
// canonical path the operation must use. A refusal is logged with the path.
bool admit(Op op, const char *path, std::string *out);

// True when no remove may take `path`: the root directory, a directory
// directly below it, a mount point, a system directory or anything above
// one (the listed directories resolved too, so /lib -> usr/lib counts).
bool prohibited(const char *path);

// The served roots, canonical; empty when the server is not confined.
std::vector<std::string> roots();

// The temporary file of a transfer to `dest` (a mkstemp template), and
// whether a file name is one of those.
std::string temp_template(const std::string &dest);
bool is_temp_name(const char *name);

}  // namespace sorvan::confine
