// Shared maps: a MAP_SHARED view of a backing file. Every process that maps
// the same file sees the same bytes; the page cache keeps the views coherent.
#include "util/sorvan.h"
#include "util/store/map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

// What MapClose needs to undo a view: its length and its backing file's
// name. Kept per view, not per thread, so that closing any view (not only
// the thread's latest) unmaps the right length and deletes the right file.
struct View {
    size_t length;
    std::string name;
};

std::mutex views_lock;
std::map<void *, View> &views() {
    static auto *m = new std::map<void *, View>;  // outlives static destructors
    return *m;
}

// A new empty file in $TMPDIR (default /tmp) whose name holds ".tmp".
bool make_temp_file(std::string &name) {
    const char *dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    std::string tmpl = std::string(dir) + "/.tmpXXXXXX.tmp";
    int fd = mkstemps(tmpl.data(), 4);
    if (fd < 0) return false;
    close(fd);
    name = tmpl;
    return true;
}

}  // namespace

namespace sorvan {

size_t map_view_length(const void *base) {
    std::lock_guard<std::mutex> g(views_lock);
    auto it = views().find(const_cast<void *>(base));
    return it == views().end() ? 0 : it->second.length;
}

}  // namespace sorvan

extern "C" {

SORVAN_API void *MapOpen(const char *path, uint32_t size, int32_t reserved, int32_t flags) {
    (void)reserved;
    if ((flags & 3) == 0) {
        errno = EINVAL;
        return nullptr;
    }
    std::string name;
    bool temporary = false;
    if (path) {
        // A cut path would name some other file: refuse it instead.
        if (std::strlen(path) > sorvan::kMapNameMax) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        if (!*path) {
            errno = ENOENT;
            return nullptr;
        }
        name = path;
    } else {
        if (!make_temp_file(name)) return nullptr;
        temporary = true;
    }

    auto fail = [&](int err) -> void * {
        if (temporary) unlink(name.c_str());
        errno = err;
        return nullptr;
    };

    int fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fail(errno);

    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return fail(err);
    }
    size_t length = size;
    if (size == 0) {
        if (st.st_size <= 0) {
            close(fd);
            return fail(EINVAL);
        }
        length = static_cast<size_t>(st.st_size);
    } else if (st.st_size < static_cast<off_t>(size)) {
        // Reserve the blocks now: a sparse file would fail later, at a
        // write through the view, with SIGBUS instead of a null result.
        int rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
        if (rc == EOPNOTSUPP || rc == EINVAL) rc = ftruncate(fd, size) == 0 ? 0 : errno;
        if (rc != 0) {
            close(fd);
            return fail(rc);
        }
    }

    void *base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int err = errno;
    close(fd);  // the mapping keeps the file
    if (base == MAP_FAILED) return fail(err);

    std::lock_guard<std::mutex> g(views_lock);
    views()[base] = View{length, std::move(name)};
    return base;
}

SORVAN_API int32_t MapClose(void *base) {
    View v;
    {
        std::lock_guard<std::mutex> g(views_lock);
        auto it = views().find(base);
        if (it == views().end()) {
            errno = EINVAL;
            return 0;
        }
        v = std::move(it->second);
        views().erase(it);
    }
    munmap(base, v.length);
    if (v.name.find(".tmp") != std::string::npos) return unlink(v.name.c_str()) == 0 ? 1 : 0;
    return 0;
}

}  // extern "C"
