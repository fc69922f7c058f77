// Security descriptors and file attributes on Linux: a descriptor carries
// owner, group, mode bits and the POSIX ACLs; the attribute word maps
// read-only to the write bits and compressed to the file-system flag.
#include "util/sys/secdesc.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "port/varro.h"

namespace {

constexpr const char *kAclAccess = "system.posix_acl_access";
constexpr const char *kAclDefault = "system.posix_acl_default";

int g_privileged = 0;
uid_t *g_owner = nullptr;   // the process "SID": its effective uid

uint16_t get16(const unsigned char *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t get32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put16(unsigned char *p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
void put32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Reads an ACL attribute, through get(buffer, size) (an xattr read of a
// path or an open file), into a heap block; length 0 when there is none.
template <class Get>
bool read_acl_with(Get get, unsigned char **out, uint32_t *len) {
    *out = nullptr;
    *len = 0;
    ssize_t n = get(nullptr, 0);
    if (n < 0) return errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP;
    if (n == 0) return true;
    if (size_t(n) > sorvan::sd::kMaxAclLen) return false;
    auto *buf = static_cast<unsigned char *>(std::malloc(size_t(n)));
    if (!buf) return false;
    n = get(buf, size_t(n));
    if (n < 0) {
        std::free(buf);
        return false;
    }
    *out = buf;
    *len = uint32_t(n);
    return true;
}

bool read_acl(const char *path, const char *name, unsigned char **out, uint32_t *len) {
    return read_acl_with([&](void *b, size_t n) { return lgetxattr(path, name, b, n); }, out, len);
}

// The descriptor of a file whose stat and ACLs are read: consumes acc/def.
void *build_sd(const struct stat &st, unsigned char *acc, uint32_t alen, unsigned char *def, uint32_t dlen,
               uint32_t *len) {
    using namespace sorvan::sd;
    size_t total = kHeaderSize + alen + dlen;
    auto *sd = static_cast<unsigned char *>(std::calloc(1, total));
    if (sd) {
        uint16_t control = kSelfRelative | (alen ? kDaclPresent : 0) | (dlen ? kDaclDefaulted : 0);
        put16(sd + kOffRevision, kRevision);
        put16(sd + kOffControl, control);
        put32(sd + kOffUid, st.st_uid);
        put32(sd + kOffGid, st.st_gid);
        put32(sd + kOffMode, st.st_mode & 07777);
        put32(sd + kOffAccessLen, alen);
        put32(sd + kOffDefaultLen, dlen);
        if (alen) std::memcpy(sd + kHeaderSize, acc, alen);
        if (dlen) std::memcpy(sd + kHeaderSize + alen, def, dlen);
        if (len) *len = uint32_t(total);
    }
    std::free(acc);
    std::free(def);
    return sd;
}

// The mode a file takes for an attribute word: read-only clears the write
// bits, anything else gives the owner write.
mode_t mode_for(uint32_t attributes, mode_t st_mode) {
    mode_t mode = st_mode & 07777;
    if (attributes & sorvan::sd::kAttrReadOnly)
        mode &= ~mode_t(0222);
    else if (!(mode & S_IWUSR))
        mode |= S_IWUSR;
    return mode;
}

// The attribute word derived from the file where none is stored; whether
// it is compressed is asked of the open file unless already known (0, 1).
uint32_t derived_word(const struct stat &st, int fd, int compressed = -1) {
    using namespace sorvan::sd;
    uint32_t w = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
    if (!S_ISLNK(st.st_mode) && !(st.st_mode & 0222)) w |= kAttrReadOnly;
    int flags = 0;
    if (compressed < 0)
        compressed = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_COMPR_FL);
    if (compressed) w |= kAttrCompressed;
    return w;
}

// The kernel's POSIX ACL attribute: version 2, then 8-byte entries.
bool acl_shape_ok(const unsigned char *p, uint32_t len) {
    if (len == 0) return true;
    if (len < 4 || (len - 4) % 8 != 0 || get32(p) != 2) return false;
    for (uint32_t off = 4; off < len; off += 8) {
        uint16_t tag = get16(p + off);
        uint16_t perm = get16(p + off + 2);
        if (perm & ~7u) return false;
        if (tag != 0x01 && tag != 0x02 && tag != 0x04 && tag != 0x08 && tag != 0x10 && tag != 0x20)
            return false;
    }
    return true;
}

bool apply_acl(const char *path, const char *name, const unsigned char *p, uint32_t len) {
    if (len)
        return lsetxattr(path, name, p, len, 0) == 0;
    if (lremovexattr(path, name) == 0) return true;
    return errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP;
}

// Turns on CAP_CHOWN and CAP_FOWNER where the permitted set has them.
bool enable_caps() {
    __user_cap_header_struct hdr{};
    __user_cap_data_struct data[2]{};
    hdr.version = _LINUX_CAPABILITY_VERSION_3;
    if (syscall(SYS_capget, &hdr, data) != 0) return false;
    const uint32_t want = (1u << CAP_CHOWN) | (1u << CAP_FOWNER);
    if ((data[0].effective & want) == want) return true;
    if ((data[0].permitted & want) != want) {
        errno = EPERM;
        return false;
    }
    data[0].effective |= want;
    return syscall(SYS_capset, &hdr, data) == 0;
}

uint64_t filetime(const struct timespec &ts) {
    return (uint64_t(ts.tv_sec) + 11644473600ull) * 10000000ull + uint64_t(ts.tv_nsec) / 100;
}

int8_t set_compression(const char *path, bool on) {
    if (!path) return -1;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -2;
    int flags = 0;
    int8_t rc = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        rc = -3;
    } else {
        int want = on ? (flags | FS_COMPR_FL) : (flags & ~FS_COMPR_FL);
        if (want != flags && ioctl(fd, FS_IOC_SETFLAGS, &want) != 0) rc = -3;
    }
    close(fd);
    return rc;
}

}  // namespace

namespace sorvan::sd {

void control_to_transit(unsigned char *sd) {
    uint16_t c = get16(sd + kOffControl);
    sd[kOffControl] = uint8_t(c >> 8);
    sd[kOffControl + 1] = uint8_t(c);
}

namespace {

// Checks a descriptor in transit form (its control word turned back to the
// form at rest): 0, or set_sd's result for a bad one.
int check_sd(unsigned char *sd, size_t len) {
    if (len < kOffControl + 2) return -2;
    // Turn the transit control word back (ntohs), as it is kept at rest.
    uint16_t control = uint16_t(sd[kOffControl] << 8 | sd[kOffControl + 1]);
    put16(sd + kOffControl, control);
    if (len < kHeaderSize) return -3;
    if (get16(sd + kOffRevision) != kRevision || !(control & kSelfRelative)) return -3;
    uint32_t mode = get32(sd + kOffMode);
    uint32_t alen = get32(sd + kOffAccessLen);
    uint32_t dlen = get32(sd + kOffDefaultLen);
    if (mode & ~07777u) return -3;
    if (alen > kMaxAclLen || dlen > kMaxAclLen) return -3;
    if (size_t(alen) + dlen + kHeaderSize > len) return -3;
    if (bool(alen) != bool(control & kDaclPresent) || bool(dlen) != bool(control & kDaclDefaulted))
        return -3;
    const unsigned char *acl = sd + kHeaderSize;
    if (!acl_shape_ok(acl, alen) || !acl_shape_ok(acl + alen, dlen)) return -3;
    return 0;
}

}  // namespace

int set_sd(const char *path, unsigned char *sd, size_t len) {
    if (!path || !sd) return -1;
    if (int rc = check_sd(sd, len)) return rc;
    uint32_t mode = get32(sd + kOffMode);
    uint32_t alen = get32(sd + kOffAccessLen);
    uint32_t dlen = get32(sd + kOffDefaultLen);
    const unsigned char *acl = sd + kHeaderSize;
    struct stat st;
    if (lstat(path, &st) != 0) return -4;
    if (dlen && !S_ISDIR(st.st_mode)) return -3;
    uid_t uid = get32(sd + kOffUid);
    gid_t gid = get32(sd + kOffGid);
    if ((st.st_uid != uid || st.st_gid != gid) && lchown(path, uid, gid) != 0) return -4;
    if (S_ISLNK(st.st_mode)) return 0;   // links carry no mode or ACL of their own
    if (chmod(path, mode) != 0) return -4;
    if (!apply_acl(path, kAclAccess, acl, alen)) return -4;
    if (S_ISDIR(st.st_mode) && !apply_acl(path, kAclDefault, acl + alen, dlen)) return -4;
    return 0;
}

int apply_to_new_file(int fd, uint32_t attributes, unsigned char *sd, size_t len) {
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        int want = attributes & kAttrCompressed ? (flags | FS_COMPR_FL) : (flags & ~FS_COMPR_FL);
        if (want != flags) ioctl(fd, FS_IOC_SETFLAGS, &want);
    }
    unsigned char b[4];
    put32(b, attributes);
    fsetxattr(fd, kAttrXattr, b, 4, 0);   // where the file system allows it
    // A descriptor that holds sets mode and owner; else the attributes
    // shape the mode a new file gets. A default list fits no file.
    if (!sd || check_sd(sd, len) != 0 || get32(sd + kOffDefaultLen) != 0)
        return fchmod(fd, mode_for(attributes, 0644)) == 0 ? 0 : -1;
    struct stat st;
    if (fstat(fd, &st) != 0) return -4;
    uid_t uid = get32(sd + kOffUid);
    gid_t gid = get32(sd + kOffGid);
    if ((st.st_uid != uid || st.st_gid != gid) && fchown(fd, uid, gid) != 0) return -4;
    if (fchmod(fd, get32(sd + kOffMode)) != 0) return -4;
    uint32_t alen = get32(sd + kOffAccessLen);
    if (alen) return fsetxattr(fd, kAclAccess, sd + kHeaderSize, alen, 0) == 0 ? 0 : -4;
    if (fremovexattr(fd, kAclAccess) == 0 || errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP) return 0;
    return -4;
}

bool store_attr_word(const char *path, uint32_t word) {
    unsigned char b[4];
    put32(b, word);
    return lsetxattr(path, kAttrXattr, b, 4, 0) == 0;
}

uint32_t attr_word(const char *path) {
    struct stat st;
    if (!path || lstat(path, &st) != 0) return 0;
    unsigned char b[4];
    if (lgetxattr(path, kAttrXattr, b, 4) == 4) return get32(b);
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    uint32_t w = derived_word(st, fd);
    if (fd >= 0) close(fd);
    return w;
}

uint32_t attr_word_fd(int fd, const struct stat &st) {
    unsigned char b[4];
    if (fgetxattr(fd, kAttrXattr, b, 4) == 4) return get32(b);
    return derived_word(st, fd);
}

bool describe_fd(int fd, OpenFile *f) {
    *f = OpenFile{};
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) != 0) return false;
    struct stat &st = f->st;
    st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.st_ino = sx.stx_ino;
    st.st_mode = sx.stx_mode;
    st.st_nlink = sx.stx_nlink;
    st.st_uid = sx.stx_uid;
    st.st_gid = sx.stx_gid;
    st.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
    st.st_size = off_t(sx.stx_size);
    st.st_blksize = blksize_t(sx.stx_blksize);
    st.st_blocks = blkcnt_t(sx.stx_blocks);
    st.st_atim = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
    st.st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
    st.st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
    // No extended attribute at all (the common case): no stored word, no
    // access list, and the compressed flag is in what statx gave. File
    // systems that can compress say so in the attribute mask (ext4, btrfs,
    // f2fs); where it is missing no file is compressed.
    char names[256];
    ssize_t n = flistxattr(fd, names, sizeof names);
    if (n == 0) {
        bool compressed = (sx.stx_attributes_mask & STATX_ATTR_COMPRESSED) && (sx.stx_attributes & STATX_ATTR_COMPRESSED);
        f->attributes = derived_word(st, fd, compressed ? 1 : 0);
        f->sd = build_sd(st, nullptr, 0, nullptr, 0, &f->sd_len);
        return true;
    }
    f->attributes = attr_word_fd(fd, st);
    f->sd = descriptor_fd(fd, st, &f->sd_len);
    return true;
}

void *descriptor_fd(int fd, const struct stat &st, uint32_t *len) {
    if (len) *len = 0;
    unsigned char *acc = nullptr, *def = nullptr;
    uint32_t alen = 0, dlen = 0;
    auto get = [fd](const char *name) {
        return [fd, name](void *b, size_t n) { return fgetxattr(fd, name, b, n); };
    };
    if (!read_acl_with(get(kAclAccess), &acc, &alen) ||
        (S_ISDIR(st.st_mode) && !read_acl_with(get(kAclDefault), &def, &dlen))) {
        std::free(acc);
        return nullptr;
    }
    return build_sd(st, acc, alen, def, dlen, len);
}

}  // namespace sorvan::sd

using namespace sorvan::sd;

extern "C" {

SORVAN_API int GetProcessSid(void) {
    auto *copy = static_cast<uid_t *>(std::malloc(sizeof(uid_t)));
    if (!copy) {
        lerror("GetProcessSid", "GetKernelObjectSecurity", 2, 1);
        return 0;
    }
    *copy = geteuid();
    std::free(g_owner);
    g_owner = copy;
    if (!enable_caps()) {
        lerror("GetProcessSid", "AdjustTokenPrivileges", 2, 1);
        return 0;
    }
    return 1;
}

SORVAN_API int super_user_init(void) {
    if (g_privileged) return 0;
    if (!GetProcessSid()) {
        lerror("GetProcessSid", "GetProcessSid", 2, 1);
        return -1;
    }
    g_privileged = 1;
    return 0;
}

SORVAN_API int super_user_finish(void) {
    if (!g_privileged || !g_owner) return -1;
    std::free(g_owner);
    g_owner = nullptr;
    g_privileged = 0;
    return 0;
}

SORVAN_API void *get_NT_SD(const char *path, uint32_t *len) {
    if (len) *len = 0;
    if (!path) return nullptr;
    struct stat st;
    if (lstat(path, &st) != 0) return nullptr;
    unsigned char *acc = nullptr, *def = nullptr;
    uint32_t alen = 0, dlen = 0;
    bool link = S_ISLNK(st.st_mode);
    if (!link && (!read_acl(path, kAclAccess, &acc, &alen) ||
                  (S_ISDIR(st.st_mode) && !read_acl(path, kAclDefault, &def, &dlen)))) {
        std::free(acc);
        return nullptr;
    }
    return build_sd(st, acc, alen, def, dlen, len);
}

SORVAN_API int set_NT_SD(const char *path, void *sd) {
    return set_sd(path, static_cast<unsigned char *>(sd), SIZE_MAX);
}

SORVAN_API int8_t NT_compress_NTFS_file(const char *path) { return set_compression(path, true); }
SORVAN_API int8_t NT_uncompress_NTFS_file(const char *path) { return set_compression(path, false); }

SORVAN_API int set_NT_file_attr(const char *path, uint32_t attributes) {
    if (!path) return -1;
    if (attributes & kAttrCompressed)
        NT_compress_NTFS_file(path);
    else
        NT_uncompress_NTFS_file(path);
    // No encryption calls exist here: encryption is left alone.
    struct stat st;
    if (lstat(path, &st) != 0) return -1;
    if (S_ISLNK(st.st_mode)) return 0;
    mode_t mode = mode_for(attributes, st.st_mode);
    if (mode != (st.st_mode & 07777) && chmod(path, mode) != 0) return -1;
    store_attr_word(path, attributes);   // where the file system allows it
    return 0;
}

SORVAN_API int stat_file(const char *path, ByHandleFileInformation *info) {
    if (!path || !info) return -1;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    struct statx sx;
    int rc = fstat(fd, &st);
    // The birth time where the file system keeps one, else the change time.
    struct timespec created = st.st_ctim;
    if (rc == 0 && statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
        created = {sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec};
    close(fd);
    if (rc != 0) return -2;
    std::memset(info, 0, sizeof *info);
    info->dwFileAttributes = attr_word(path);
    auto put_ft = [](uint32_t *ft, const struct timespec &ts) {
        uint64_t v = filetime(ts);
        ft[0] = uint32_t(v);
        ft[1] = uint32_t(v >> 32);
    };
    put_ft(info->ftCreationTime, created);
    put_ft(info->ftLastAccessTime, st.st_atim);
    put_ft(info->ftLastWriteTime, st.st_mtim);
    info->dwVolumeSerialNumber = uint32_t(st.st_dev);
    info->nFileSizeHigh = uint32_t(uint64_t(st.st_size) >> 32);
    info->nFileSizeLow = uint32_t(st.st_size);
    info->nNumberOfLinks = uint32_t(st.st_nlink);
    info->nFileIndexHigh = uint32_t(uint64_t(st.st_ino) >> 32);
    info->nFileIndexLow = uint32_t(st.st_ino);
    return 0;
}

}  // extern "C"
