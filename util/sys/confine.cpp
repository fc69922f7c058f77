// Confinement of the request server's file operations: the served roots,
// the paths no remove may take, and the canonical paths operations use, so
// that what was checked is what is acted on.
#include "util/sys/confine.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "port/varro.h"

namespace {

// What takes the place of the Windows directory: deleting any of these,
// or anything above them, would wreck the node.
constexpr const char *kSystemDirs[] = {"/bin", "/boot", "/dev",  "/etc", "/lib", "/lib64",
                                       "/proc", "/root", "/sbin", "/sys", "/usr", "/var"};

constexpr const char kTempMark[] = ".sorvan~";   // then mkstemp's six characters
constexpr size_t kTempMarkLen = sizeof kTempMark - 1;
constexpr int kMaxLinks = 40;                      // as the kernel's own walk

std::shared_mutex g_roots_lock;
std::vector<std::string> g_roots;

std::string parent_of(const std::string &p) {
    size_t s = p.rfind('/');
    return s == 0 || s == std::string::npos ? "/" : p.substr(0, s);
}

std::string join(const std::string &dir, const std::string &name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// Pushes the components of `path` onto `todo` so that the first is on top.
void push_components(const std::string &path, std::vector<std::string> *todo) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string c = path.substr(i, j - i);
        if (!c.empty() && c != ".") parts.push_back(c);
        i = j + 1;
    }
    todo->insert(todo->end(), parts.rbegin(), parts.rend());
}

bool inside(const std::string &path, const std::string &root, bool strict) {
    if (root == "/") return !strict || path != "/";
    if (path.compare(0, root.size(), root) != 0) return false;
    if (path.size() == root.size()) return !strict;
    return path[root.size()] == '/';
}

bool mount_point(const std::string &path) {
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) != 0) return false;
    if (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) return sx.stx_attributes & STATX_ATTR_MOUNT_ROOT;
    struct stat self, up;
    return lstat(path.c_str(), &self) == 0 && stat(parent_of(path).c_str(), &up) == 0 &&
           self.st_dev != up.st_dev;
}

// Why no remove may take the canonical path `c` (asked for as `raw`), or null.
const char *system_rule(const char *raw, const std::string &c) {
    std::vector<std::string> listed(std::begin(kSystemDirs), std::end(kSystemDirs));
    // On merged-/usr hosts /lib and friends are links: their targets count too.
    for (const char *d : kSystemDirs) {
        char real[PATH_MAX];
        if (realpath(d, real) && listed.end() == std::find(listed.begin(), listed.end(), real))
            listed.emplace_back(real);
    }
    for (const std::string &d : listed) {
        if (std::strstr(d.c_str(), raw) || d.find(c) != std::string::npos || inside(d, c, false))
            return "contains windows directory";
    }
    if (c == "/" || c.find('/', 1) == std::string::npos) return "is the root or a directory directly below it";
    if (mount_point(c)) return "is a mount point";
    return nullptr;
}

// The directory the last path of this thread was in: a session sends file
// after file into the same few directories. It stands for as long as its
// path, as asked, still leads to the same directory (one stat, where a
// fresh resolution looks at every component).
struct LastDir {
    std::string raw, canon;
    dev_t dev = 0;
    ino_t ino = 0;
};
thread_local LastDir t_last_dir;

// A plain last component of an absolute path (not ".", "..", nor empty):
// where its directory ends, else npos.
size_t plain_last(const char *path) {
    if (path[0] != '/') return std::string::npos;
    const char *slash = std::strrchr(path, '/');
    const char *last = slash + 1;
    if (slash == path || !*last || !std::strcmp(last, ".") || !std::strcmp(last, "..")) return std::string::npos;
    return size_t(slash - path);
}

bool same_dir(const char *path, dev_t dev, ino_t ino) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == dev && st.st_ino == ino;
}

const char *op_name(sorvan::confine::Op op) {
    using Op = sorvan::confine::Op;
    switch (op) {
    case Op::kWrite: return "write";
    case Op::kMkdir: return "mkdir";
    case Op::kRenameFrom:
    case Op::kRenameTo: return "rename";
    case Op::kRemove: return "delete";
    case Op::kAttributes: return "attribute";
    }
    return "?";
}

}  // namespace

namespace sorvan::confine {

bool canonical(const char *path, bool follow_last, std::string *out) {
    if (!path || !*path) {
        errno = ENOENT;
        return false;
    }
    size_t dir_end = follow_last ? std::string::npos : plain_last(path);
    LastDir &last = t_last_dir;
    if (dir_end != std::string::npos && last.raw.size() == dir_end && !last.raw.compare(0, dir_end, path, dir_end)) {
        if (same_dir(last.raw.c_str(), last.dev, last.ino)) {
            *out = join(last.canon, path + dir_end + 1);
            return true;
        }
        last.raw.clear();
    }
    std::string cur = "/";
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return false;
        cur = cwd;
    }
    std::vector<std::string> todo;
    push_components(path, &todo);
    int links = 0;
    while (!todo.empty()) {
        std::string c = std::move(todo.back());
        todo.pop_back();
        if (c == "..") {
            cur = parent_of(cur);
            continue;
        }
        std::string next = join(cur, c);
        if (todo.empty() && !follow_last) {
            struct stat st;
            if (dir_end != std::string::npos && stat(cur.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                last = {std::string(path, dir_end), cur, st.st_dev, st.st_ino};
            cur = next;
            break;
        }
        struct stat st;
        if (lstat(next.c_str(), &st) != 0) {
            // Missing (or below a file): taken as written; the operation
            // creates it or fails on it.
            if (errno != ENOENT && errno != ENOTDIR) return false;
            cur = next;
            continue;
        }
        if (!S_ISLNK(st.st_mode)) {
            cur = next;
            continue;
        }
        if (++links > kMaxLinks) {
            errno = ELOOP;
            return false;
        }
        char target[PATH_MAX];
        ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            if (n == 0) errno = ENOENT;
            return false;
        }
        target[n] = '\0';
        if (target[0] == '/') cur = "/";
        push_components(target, &todo);
    }
    *out = cur;
    return true;
}

bool prohibited(const char *path) {
    std::string c;
    if (!path || !canonical(path, false, &c)) return true;
    return system_rule(path, c) != nullptr;
}

bool admit(Op op, const char *path, std::string *out) {
    std::string c;
    if (!canonical(path, op == Op::kMkdir, &c)) {
        port_syslog(LOG_ALERT, "Tessaron(tm) Slave Server: %s path '%s' cannot be resolved (%s), refused!",
                    op_name(op), path, std::strerror(errno));
        return false;
    }
    if (op == Op::kRemove || op == Op::kRenameFrom || op == Op::kRenameTo) {
        if (const char *why = system_rule(path, c)) {
            port_syslog(LOG_ALERT, "Tessaron(tm) Slave Server: %s path '%s' %s, prohibited!", op_name(op), path,
                        why);
            return false;
        }
    }
    {
        std::shared_lock<std::shared_mutex> lk(g_roots_lock);
        if (!g_roots.empty()) {
            // Creating or touching a root itself is fine; replacing or
            // removing one is not.
            bool strict = op != Op::kMkdir && op != Op::kAttributes;
            bool ok = false;
            for (const std::string &r : g_roots) ok = ok || inside(c, r, strict);
            if (!ok) {
                port_syslog(LOG_ALERT,
                            "Tessaron(tm) Slave Server: %s path '%s' (resolved '%s') is not below a "
                            "served root, refused!",
                            op_name(op), path, c.c_str());
                return false;
            }
        }
    }
    *out = c;
    return true;
}

std::vector<std::string> roots() {
    std::shared_lock<std::shared_mutex> lk(g_roots_lock);
    return g_roots;
}

std::string temp_template(const std::string &dest) { return dest + kTempMark + "XXXXXX"; }

bool is_temp_name(const char *name) {
    size_t n = std::strlen(name);
    if (n <= kTempMarkLen + 6) return false;   // a name of its own before the mark
    if (std::memcmp(name + n - 6 - kTempMarkLen, kTempMark, kTempMarkLen) != 0) return false;
    for (size_t i = n - 6; i < n; ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

}  // namespace sorvan::confine

namespace {

int g_swept = 0;

// A leftover is a regular file with a transfer's temporary name that no
// running transfer holds (each holds a lock on its file while it writes).
int sweep_entry(const char *path, const struct stat *st, int type, struct FTW *at) {
    if (type != FTW_F || !S_ISREG(st->st_mode) || !sorvan::confine::is_temp_name(path + at->base)) return 0;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat now;
    if (fstat(fd, &now) == 0 && S_ISREG(now.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        if (unlink(path) == 0) {
            ++g_swept;
            port_syslog(LOG_NOTICE, "Tessaron(tm) Slave Server: removed the leftover temporary file '%s'", path);
        } else {
            port_syslog(LOG_WARNING, "Tessaron(tm) Slave Server: leftover temporary file '%s' not removed: %s",
                        path, std::strerror(errno));
        }
    }
    close(fd);
    return 0;
}

}  // namespace

extern "C" {

SORVAN_API int32_t confine_roots(const char *const *dirs) {
    std::vector<std::string> resolved;
    for (const char *const *d = dirs; d && *d; ++d) {
        char real[PATH_MAX];
        struct stat st;
        if (!**d || !realpath(*d, real)) return -1;
        if (stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        resolved.emplace_back(real);
    }
    std::unique_lock<std::shared_mutex> lk(g_roots_lock);
    g_roots = std::move(resolved);
    return 0;
}

SORVAN_API int32_t confine_sweep(void) {
    static std::mutex one_at_a_time;   // nftw's callback has no argument of ours
    std::lock_guard<std::mutex> lk(one_at_a_time);
    g_swept = 0;
    for (const std::string &r : sorvan::confine::roots()) nftw(r.c_str(), sweep_entry, 32, FTW_PHYS);
    return g_swept;
}

}  // extern "C"
