// Request server: the handlers of the file operations (kinds 4 to 8).
// Each reads the rest of its request from the connection and carries the
// operation out; none answers on the connection.
#pragma once

#include <cstdint>

#include "sorvan.h"

extern "C" {

// 0; -1 no record; -2 prohibited path.
int32_t do_remove(int sock, const struct sockaddr_in *peer, void *context);
// 0; -1 no record; -2 no descriptor; -3 descriptor not applied.
int32_t change_mode(int sock, const struct sockaddr_in *peer, void *context, uint32_t version);
// 0; -1 no record; -2 no descriptor; -3 rename failed.
int32_t do_rename(int sock, const struct sockaddr_in *peer, void *context);
// 0; -1 no record; -2 no descriptor; -3 directory not created.
int32_t do_mkdir(int sock, const struct sockaddr_in *peer, void *context, uint32_t version);

}  // extern "C"

namespace sorvan::handlers {

// True when `path` may not be removed: it is a part of one of the system
// directories (the root, a system directory, anything above one), as
// written or once `..` and symbolic links are resolved.
bool prohibited(const char *path);

}  // namespace sorvan::handlers
