// Security descriptors and the attribute word: internal helpers shared by
// the file-tree operations, the request handlers and the file transfer.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "util/sorvan.h"


namespace sorvan::sd {

// Layout of our self-relative descriptor (little-endian at rest, except
// that the control word travels big-endian).
inline constexpr size_t kOffRevision = 0;
inline constexpr size_t kOffControl = 2;
inline constexpr size_t kOffUid = 4;
inline constexpr size_t kOffGid = 8;
inline constexpr size_t kOffMode = 12;
inline constexpr size_t kOffAccessLen = 16;
inline constexpr size_t kOffDefaultLen = 20;
inline constexpr size_t kHeaderSize = 24;
inline constexpr uint16_t kRevision = 1;
inline constexpr uint16_t kSelfRelative = 0x8000;   // SE_SELF_RELATIVE
inline constexpr uint16_t kDaclPresent = 0x0004;    // an access ACL follows
inline constexpr uint16_t kDaclDefaulted = 0x0008;  // a default ACL follows
inline constexpr uint32_t kMaxAclLen = 65536;       // far above any real ACL

inline constexpr uint32_t kAttrReadOnly = 0x1;
inline constexpr uint32_t kAttrHidden = 0x2;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrCompressed = 0x800;
inline constexpr const char *kAttrXattr = "user.tessaron.attributes";

// Applies a descriptor in transit form whose buffer holds `len` bytes
// (SIZE_MAX: trust the descriptor's own lengths). Everything is checked
// before anything is changed. Results as set_NT_SD.
int set_sd(const char *path, unsigned char *sd, size_t len);

// Turns a descriptor's control word into transit (big-endian) form.
void control_to_transit(unsigned char *sd);

// The attribute word of a file: the stored one where there is one, else
// derived from the file (directory, read-only, compressed). 0 when missing.
uint32_t attr_word(const char *path);

// attr_word and get_NT_SD of an open file (st: its fstat), without looking
// its path up again.
uint32_t attr_word_fd(int fd, const struct stat &st);
void *descriptor_fd(int fd, const struct stat &st, uint32_t *len);

// fstat, attr_word_fd and descriptor_fd of an open file together, in as
// few calls as it allows; false when it cannot be looked at.
struct OpenFile {
    struct stat st;
    uint32_t attributes;
    void *sd;   // malloc'd; null where it cannot be read
    uint32_t sd_len;
};
bool describe_fd(int fd, OpenFile *f);

// What set_NT_file_attr and then set_sd leave on a new file, given to the
// open temporary file of a reception (mode 0600, ours) in as few calls as
// it allows: the attribute word; the descriptor's owner, mode and access
// list where it holds, else the mode a new file gets (0644, read-only
// without write bits). 0, or the failure set_sd would give.
int apply_to_new_file(int fd, uint32_t attributes, unsigned char *sd, size_t len);

// Stores the word in the extended attribute; false where unsupported.
bool store_attr_word(const char *path, uint32_t word);

}  // namespace sorvan::sd
