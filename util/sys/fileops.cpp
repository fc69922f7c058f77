// File-tree operations: copying and removing files and directory trees.
#include "util/sys/fileops.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "port/varro.h"
#include "util/sys/secdesc.h"

namespace {

void report(const char *tag, const char *call) {
    int saved = errno;
    const char *text = GetLastErrorString(tag, call, 0);
    if (text) port_syslog(LOG_ERR, "%s", text);
    errno = saved;
}

std::string join(const char *dir, const char *name) {
    std::string p(dir);
    if (p.empty() || p.back() != '/') p += '/';
    return p + name;
}

bool is_dot(const char *n) { return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)); }

// A file without any write bit is read-only: deleting it fails until its
// read-only attribute is cleared, as the tree operations expect.
bool delete_file(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0) return false;
    if (!S_ISLNK(st.st_mode) && !(st.st_mode & 0222)) {
        errno = EACCES;
        return false;
    }
    return unlink(path) == 0;
}

bool copy_file(const std::string &src, const std::string &dst) {
    std::error_code ec;
    std::filesystem::copy_file(src, dst, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) errno = ec.value();
    return !ec;
}

// Directory entries with their kind (lstat: links are not followed).
template <class F>
bool each_entry(const char *dir, F &&f) {
    DIR *d = opendir(dir);
    if (!d) return false;
    while (struct dirent *e = readdir(d)) {
        std::string full = join(dir, e->d_name);
        struct stat st;
        bool is_dir = lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        f(e->d_name, full, is_dir);
    }
    closedir(d);
    return true;
}

}  // namespace

namespace sorvan::fileops {

int rm_pass_counted(const char *dir, int *removed) {
    if (!dir) return -1;
    if (access(dir, R_OK) != 0) return -2;
    int failed = 0;
    bool listed = each_entry(dir, [&](const char *name, const std::string &full, bool is_dir) {
        if (is_dot(name)) return;
        clear_readonly(full.c_str());
        if (is_dir) {
            if (rmdir(full.c_str()) == 0) {
                ++*removed;
            } else {
                ++failed;
                rm_pass_counted(full.c_str(), removed);
            }
        } else if (delete_file(full.c_str())) {
            ++*removed;
        } else {
            ++failed;
        }
    });
    return listed ? failed : -2;
}

}  // namespace sorvan::fileops

using sorvan::fileops::rm_pass_counted;

extern "C" {

SORVAN_API int clear_readonly(const char *path) {
    struct stat st;
    if (!path || lstat(path, &st) != 0) return -1;
    if (S_ISLNK(st.st_mode)) return 0;
    unsigned char b[4];
    if (lgetxattr(path, sorvan::sd::kAttrXattr, b, 4) == 4) {
        uint32_t w = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        uint32_t cleared = w & ~(sorvan::sd::kAttrReadOnly | sorvan::sd::kAttrHidden);
        if (cleared != w) sorvan::sd::store_attr_word(path, cleared);
    }
    if (!(st.st_mode & S_IWUSR) && chmod(path, (st.st_mode & 07777) | S_IWUSR) != 0) return -1;
    return 0;
}

SORVAN_API int createdirs(const char *src, const char *dst) {
    if (!src) return -1;
    if (!dst) return -2;
    // The entry "." stands for the destination itself: it is created
    // first, so that the subdirectories have a place to go.
    if (access(src, R_OK) == 0 && mkdir(dst, 0777) != 0 && errno != EEXIST)
        report("createdirs", "CreateDirectory");
    each_entry(src, [&](const char *name, const std::string &, bool is_dir) {
        if (!is_dir || is_dot(name)) return;
        std::string target = join(dst, name);
        if (mkdir(target.c_str(), 0777) != 0 && errno != EEXIST) report("createdirs", "CreateDirectory");
    });
    return 0;
}

SORVAN_API int cpfiles(const char *src, const char *dst) {
    if (!src) return -1;
    if (!dst) return -2;
    each_entry(src, [&](const char *name, const std::string &full, bool is_dir) {
        if (is_dir) return;
        if (!copy_file(full, join(dst, name))) report("cpfiles", "CopyFile");
    });
    return 0;
}

SORVAN_API int cp(const char *src, const char *dst) {
    struct stat st;
    if (!src || stat(src, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) {
        if (!dst) return -1;
        if (copy_file(src, dst)) return 0;
        report("cp", "CopyFile");
        return -1;
    }
    if (createdirs(src, dst) < 0) return -2;
    if (cpfiles(src, dst) < 0) return -3;
    return 0;
}

SORVAN_API int rm_pass(const char *dir) {
    int removed = 0;
    return rm_pass_counted(dir, &removed);
}

SORVAN_API int rm_all(const char *dir, int self) {
    // Entries go only from a writable directory: lift a read-only
    // directory's write bit before its entries, not after them.
    struct stat st;
    bool lifted = dir && lstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR) &&
                  chmod(dir, (st.st_mode & 07777) | S_IWUSR) == 0;
    int rc;
    for (;;) {
        int removed = 0;
        rc = rm_pass_counted(dir, &removed);
        // An entry that can never go would keep every pass failing: stop
        // once a pass made no progress.
        if (rc <= 0 || removed == 0) break;
    }
    if (self) {
        clear_readonly(dir);
        if (rmdir(dir) != 0) return -9;
    } else if (lifted) {
        chmod(dir, st.st_mode & 07777);   // the directory stays as it was
    }
    return rc;
}

SORVAN_API int rm(const char *path) {
    if (!path) return -1;
    // A trailing slash would make lstat follow a link: the link itself is
    // what goes, never what it points to.
    std::string p(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return rm_all(p.c_str(), 1);
    clear_readonly(p.c_str());
    return delete_file(p.c_str()) ? 0 : -2;
}

SORVAN_API int rmdirs(const char *dir) {
    if (!dir) return -1;
    each_entry(dir, [&](const char *name, const std::string &full, bool is_dir) {
        if (!is_dir || is_dot(name)) return;
        if (rmdir(full.c_str()) != 0) {
            int saved = errno;
            char cwd[4096];
            std::printf("pwd: %s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
            std::fflush(stdout);
            errno = saved;
            report("rmdirs", "RemoveDirectory");
        }
    });
    if (rmdir(dir) != 0) report("rmdirs", "RemoveDirectory");
    return 0;
}

SORVAN_API int rmfiles(const char *dir) {
    if (!dir) return -1;
    each_entry(dir, [&](const char *, const std::string &full, bool is_dir) {
        if (!is_dir) delete_file(full.c_str());
    });
    return 0;
}

}  // extern "C"
