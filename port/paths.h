// Install paths: the numbered items of the installation.
//   2 root ($TESSARON_ROOT, else /opt/tessaron)   3 <root>/data (control map)
//   6 directory of libcrypto.so.3                 7 <root>/gpfile (group file)
//   8 <root>/data/map.data (data map)
// Any item n may be overridden with $TESSARON_PATH_<n>.
#pragma once

#include "varro.h"

#ifdef __cplusplus
extern "C" {
#endif

// Resolves the items; name and registry key are accepted for the caller's
// sake and not used. Returns 0.
VARRO_API int init_path(const char *name, const char *key);
// The item's path without a trailing '/', valid for the life of the process;
// "" for an unknown item. Resolves with init_path's defaults if needed.
VARRO_API const char *path_item(int n);

#ifdef __cplusplus
}
#endif
