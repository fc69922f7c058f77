// Registry items on a file tree (see registry.h for the layout).
//
// Every call walks the key path from the root with openat(O_NOFOLLOW), so a
// key name can neither climb out of the tree nor follow a planted symbolic
// link out of it. Values are replaced through a temporary file and rename,
// so a reader never sees half a value.
#include "util/store/registry.h"

#include "util/sorvan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <chrono>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace sorvan::registry {
namespace {

constexpr const char *kDefaultRoot = "/var/lib/tessaron/registry";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept {
        if (this != &o) { reset(); fd_ = o.fd_; o.fd_ = -1; }
        return *this;
    }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    int release() { int f = fd_; fd_ = -1; return f; }
    void reset(int fd = -1) { if (fd_ >= 0) ::close(fd_); fd_ = fd; }

private:
    int fd_;
};

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// mkdir -p of the root itself; the root may sit behind ordinary symlinks.
bool make_root(const std::string &path) {
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        partial = path.substr(0, next);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        pos = next + 1;
    }
    return true;
}

// Opens the key's directory; with create, makes the missing keys on the way.
Fd open_key(const std::vector<std::string> &names, bool create) {
    std::string base = root();
    Fd fd(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok() && create && errno == ENOENT && make_root(base))
        fd.reset(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok()) return Fd();
    for (const std::string &name : names) {
        if (create && ::mkdirat(fd.get(), name.c_str(), 0755) != 0 && errno != EEXIST)
            return Fd();
        Fd next(::openat(fd.get(), name.c_str(), kDirFlags));
        if (!next.ok()) return Fd();
        fd = std::move(next);
    }
    return fd;
}

Fd open_key(const char *path, bool create) {
    std::vector<std::string> names;
    if (!split_key(path, names)) return Fd();
    return open_key(names, create);
}

bool write_all(int fd, const struct iovec *iov, int count) {
    struct iovec v[2];
    for (int i = 0; i < count; i++) v[i] = iov[i];
    int first = 0;
    while (first < count) {
        ssize_t n = ::writev(fd, v + first, count - first);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        while (first < count && static_cast<size_t>(n) >= v[first].iov_len) {
            n -= static_cast<ssize_t>(v[first].iov_len);
            first++;
        }
        if (first < count) {
            v[first].iov_base = static_cast<char *>(v[first].iov_base) + n;
            v[first].iov_len -= static_cast<size_t>(n);
        }
    }
    return true;
}

// Replaces one value file: type byte then data. 0, or -2 when not written.
int write_value(const char *key, const char *name, unsigned char type, const void *data,
                size_t len) {
    Fd dir = open_key(key, true);
    if (!dir.ok()) return -1;
    if (!valid_value_name(name)) return -2;

    // The temporary name starts with '.', so it is never a value of ours
    // left half-written under its own name.
    char tmp_name[64];
    std::snprintf(tmp_name, sizeof tmp_name, ".~%d.%d", static_cast<int>(::getpid()),
                  static_cast<int>(::gettid()));
    const std::string tmp = tmp_name;
    Fd out(::openat(dir.get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0644));
    if (!out.ok() && errno == EEXIST) {  // left over by a crashed writer
        ::unlinkat(dir.get(), tmp.c_str(), 0);
        out.reset(::openat(dir.get(), tmp.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    }
    if (!out.ok()) return -2;
    struct iovec iov[2] = {{&type, 1}, {const_cast<void *>(data), len}};
    bool ok = write_all(out.get(), iov, 2);
    if (::close(out.release()) != 0) ok = false;
    if (ok && ::renameat(dir.get(), tmp.c_str(), dir.get(), name) == 0) return 0;
    ::unlinkat(dir.get(), tmp.c_str(), 0);
    return -2;
}

// Reads a value's bytes (after the type byte) into buf when they fit in cap.
// Returns the length, or -1 when missing, unreadable or longer than cap.
long read_value(int dir, const char *name, unsigned char *buf, size_t cap) {
    if (!valid_value_name(name)) return -1;
    Fd fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok()) return -1;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 1) return -1;
    if (static_cast<unsigned long long>(st.st_size) - 1 > cap) return -1;
    // One byte more than fits tells a value that grew meanwhile.
    unsigned char tmp[1 + kTextBufferSize + 1];
    size_t want = cap + 2, got = 0;
    while (got < want) {
        ssize_t n = ::read(fd.get(), tmp + got, want - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < 1 || got - 1 > cap) return -1;
    std::memcpy(buf, tmp + 1, got - 1);
    return static_cast<long>(got - 1);
}

thread_local char text_buffer[kTextBufferSize];
thread_local int32_t retry_count = 0;

}  // namespace

std::string root() {
    const char *env = std::getenv("TESSARON_REGISTRY");
    std::string r = (env && *env) ? env : kDefaultRoot;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    return r;
}

bool split_key(const char *path, std::vector<std::string> &names) {
    names.clear();
    if (!path) return false;
    std::string cur;
    for (const char *p = path;; p++) {
        if (*p == '\\' || *p == '/' || *p == '\0') {
            if (cur == "." || cur == "..") return false;
            if (!cur.empty()) names.push_back(std::move(cur));
            cur.clear();
            if (*p == '\0') break;
        } else {
            cur.push_back(*p);
        }
    }
    return true;
}

bool valid_value_name(const char *name) {
    if (!name || !*name) return false;
    if (std::strchr(name, '/')) return false;
    return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

}  // namespace sorvan::registry

using namespace sorvan::registry;

extern "C" {

SORVAN_API int SetRegItemString(const char *key, const char *name, const char *text) {
    if (!text) text = "";
    return write_value(key, name, kTypeText, text, std::strlen(text));
}

SORVAN_API int SetRegItemNumber(const char *key, const char *name, int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    unsigned char le[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                           static_cast<unsigned char>(v >> 16),
                           static_cast<unsigned char>(v >> 24)};
    return write_value(key, name, kTypeNumber, le, sizeof le);
}

SORVAN_API char *GetRegItemString(const char *key, const char *name) {
    std::memset(text_buffer, 0, sizeof text_buffer);
    Fd dir = open_key(key, false);
    if (!dir.ok()) return nullptr;
    // At most 1023 bytes, so the text always ends in a zero; longer reads
    // as empty text.
    long n = read_value(dir.get(), name, reinterpret_cast<unsigned char *>(text_buffer),
                        kTextBufferSize - 1);
    if (n < 0) std::memset(text_buffer, 0, sizeof text_buffer);
    return text_buffer;
}

SORVAN_API int32_t GetRegItemNumber(const char *key, const char *name) {
    Fd dir = open_key(key, false);
    if (!dir.ok()) return 0;
    unsigned char le[4] = {0, 0, 0, 0};
    if (read_value(dir.get(), name, le, sizeof le) < 0) return 0;
    uint32_t v = uint32_t(le[0]) | uint32_t(le[1]) << 8 | uint32_t(le[2]) << 16 |
                 uint32_t(le[3]) << 24;
    return static_cast<int32_t>(v);
}

SORVAN_API int CleanRegistry(const char *key, const char *subkey) {
    Fd parent = open_key(key, false);
    if (!parent.ok()) return -1;
    std::vector<std::string> names;
    if (!split_key(subkey, names) || names.empty()) return -2;
    for (size_t i = 0; i + 1 < names.size(); i++) {
        Fd next(::openat(parent.get(), names[i].c_str(), kDirFlags));
        if (!next.ok()) return -2;
        parent = std::move(next);
    }
    const std::string &last = names.back();
    Fd target(::openat(parent.get(), last.c_str(), kDirFlags));
    if (!target.ok()) return -2;

    // As the registry does, a key that still has subkeys is not deleted;
    // its values go with it.
    DIR *d = ::fdopendir(target.get());
    if (!d) return -2;
    target.release();
    std::vector<std::string> values;
    bool has_subkeys = false;
    while (struct dirent *e = ::readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            has_subkeys = true;
            break;
        }
        values.emplace_back(e->d_name);
    }
    int rc = 0;
    if (has_subkeys) {
        rc = -2;
    } else {
        for (const std::string &v : values)
            if (::unlinkat(::dirfd(d), v.c_str(), 0) != 0 && errno != ENOENT) rc = -2;
        if (rc == 0 && ::unlinkat(parent.get(), last.c_str(), AT_REMOVEDIR) != 0) rc = -2;
    }
    ::closedir(d);
    return rc;
}

SORVAN_API int retry(int limit, int seconds) {
    if (seconds != 0) {
        if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
        return 1;
    }
    if (++retry_count <= limit) return 1;
    retry_count = 0;
    return 0;
}

}  // extern "C"
