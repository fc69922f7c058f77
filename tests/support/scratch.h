// Scratch trees for destructive tests: tmpfs mounts in a private mount
// namespace of the test process, gone with the process.
#pragma once

#include <string>

namespace testutil {

// Enters a private mount namespace (once per process) and mounts a fresh
// tmpfs with `options` on a new directory; its path, "" when that cannot
// be done (not root).
std::string scratch_tmpfs(const std::string &options = "size=64m");

// Points $TMPDIR at a scratch tmpfs, so that TempDir lands there. False
// when no scratch tree could be made.
bool scratch_tmpdir();

// Makes a scratch tmpfs the process's root directory: a chroot in which the
// built programs run (the build tree and the system libraries bound
// read-only at their own paths; /lib and /lib64 links into usr, as on a
// merged-/usr host; /tmp writable), and changes into it. Afterwards every
// path the process or its children use lies on the tmpfs or is read-only.
// DES is keyed first (libcrypto is loaded outside). False when not root.
bool enter_scratch_root();

}  // namespace testutil
