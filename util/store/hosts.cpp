// Hosts-file entries: find, append and remove lines keyed by their start.
//
// Lines are read whole, whatever their length, so a long line is matched
// and copied as one line. The remove writes the kept lines to "<path>.new"
// and renames that over the file: on any failure the original stays as it
// was.
#include "util/store/hosts.h"

#include "util/sorvan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvan::hosts {
namespace {

constexpr size_t kLineMax = 1024;  // a written entry is at most 1023 characters

struct FileCloser {
    void operator()(FILE *f) const { if (f) std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct LineReader {
    char *buf = nullptr;
    size_t cap = 0;
    ~LineReader() { std::free(buf); }
    // The next line with its newline, if it has one; false at end or error.
    bool next(FILE *f, std::string &line) {
        ssize_t n = ::getline(&buf, &cap, f);
        if (n < 0) return false;
        line.assign(buf, static_cast<size_t>(n));
        return true;
    }
};

// The caller names the file: there is no default to fall back on.
bool path_ok(const char *path) { return path && *path; }

bool key_ok(const char *key) {
    return key && *key && !std::strchr(key, '\n') && !std::strchr(key, '\r');
}

bool is_comment_or_blank(const std::string &line) {
    return line.empty() || line[0] == '#' || line == "\n" || line == "\r\n";
}

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

}  // namespace sorvan::hosts

using namespace sorvan::hosts;

extern "C" {

SORVAN_API int HostsFileFindEntry(const char *path, const char *key) {
    if (!path_ok(path) || !key_ok(key)) {
        errno = EINVAL;
        return -1;
    }
    File f(std::fopen(path, "r"));
    if (!f) return -1;
    size_t keylen = std::strlen(key);
    LineReader reader;
    std::string line;
    while (reader.next(f.get(), line)) {
        if (is_comment_or_blank(line)) continue;
        if (line_matches(line, key, keylen)) return 1;
    }
    return 0;
}

SORVAN_API int HostsFileAddEntry(const char *path, const char *key, const char *value) {
    // A key starting with '#' would add a comment that no find ever sees.
    if (!path_ok(path) || !key_ok(key) || key[0] == '#' || !value || std::strchr(value, '\n') ||
        std::strchr(value, '\r')) {
        errno = EINVAL;
        return 1;
    }
    char entry[kLineMax];
    int len = std::snprintf(entry, sizeof entry, "%s\t\t%s\n", key, value);
    if (len < 0 || static_cast<size_t>(len) >= sizeof entry) {
        errno = EINVAL;  // a cut line would lose its newline and merge with the next
        return 1;
    }
    if (HostsFileFindEntry(path, key) != 0) return 1;

    int fd = ::open(path, O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0) return -2;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    off_t old_size = ok ? st.st_size : 0;
    // A last line without its newline would swallow the new entry.
    if (ok && old_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, old_size - 1) == 1 && last != '\n')
            ok = write_all(fd, "\n", 1);
    }
    if (ok) ok = write_all(fd, entry, static_cast<size_t>(len));
    if (ok) ok = ::fsync(fd) == 0 || errno == EINVAL;
    if (!ok) {
        int saved = errno;
        if (::ftruncate(fd, old_size) != 0) { /* nothing more to undo */ }
        ::close(fd);
        errno = saved;
        return -2;
    }
    if (::close(fd) != 0) return -2;
    return 0;
}

SORVAN_API int HostsFileRemoveEntry(const char *path, const char *key) {
    if (!path_ok(path) || !key_ok(key)) {
        errno = EINVAL;
        return -1;
    }
    File in(std::fopen(path, "r"));
    if (!in) return -1;

    char copy[kLineMax];
    int n = std::snprintf(copy, sizeof copy, "%s.new", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof copy) {
        errno = ENAMETOOLONG;
        return -2;
    }
    struct stat st;
    if (::fstat(::fileno(in.get()), &st) != 0) return -1;
    int out = ::open(copy, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return -2;
    // The copy takes the file's place: give it the file's owner and mode.
    if (::fchown(out, st.st_uid, st.st_gid) != 0) { /* keep ours when not allowed */ }
    bool ok = ::fchmod(out, st.st_mode & 07777) == 0;

    size_t keylen = std::strlen(key);
    LineReader reader;
    std::string line;
    while (ok && reader.next(in.get(), line)) {
        if (line_matches(line, key, keylen)) continue;
        ok = write_all(out, line.data(), line.size());
    }
    if (ok && std::ferror(in.get())) ok = false;
    if (ok) ok = ::fsync(out) == 0 || errno == EINVAL;
    if (::close(out) != 0) ok = false;
    in.reset();
    if (!ok) {
        int saved = errno;
        ::unlink(copy);
        errno = saved;
        return -3;
    }
    if (::rename(copy, path) != 0) {
        int saved = errno;
        ::unlink(copy);
        errno = saved;
        return 0;
    }
    return 1;
}

SORVAN_API int hexstr2dec(const char *text, int count) {
    static const char digits[] = "0123456789abcdef";
    if (!text) return -1;
    uint32_t sum = 0;
    for (int i = 0; i < count; i++) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const char *d = c ? std::strchr(digits, c) : nullptr;
        if (!d) return -1;  // also the end of the text: never read past it
        if (i < 8) sum += static_cast<uint32_t>(d - digits) << (4 * i);
    }
    return static_cast<int32_t>(sum);
}

}  // extern "C"
