// Transaction log: a file of fixed-size records, oldest first, that
// queues replication operations across restarts.
#include "store/tlog.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "port/varro.h"

static_assert(sizeof(FileRecord) == 2096);
static_assert(offsetof(TlogRecord, addr) == 0);
static_assert(offsetof(TlogRecord, kind) == 4);
static_assert(offsetof(TlogRecord, file) == 8);
static_assert(offsetof(TlogRecord, port) == 2104);
static_assert(offsetof(TlogRecord, reserved) == 2106);
static_assert(offsetof(TlogRecord, timeout) == 2108);
static_assert(offsetof(TlogRecord, passwd) == 2112);
static_assert(sizeof(TlogRecord) == sorvan::tlog::kRecordSize);
static_assert(offsetof(TlogDispatch, rec) == 8);
static_assert(sizeof(TlogDispatch) == sorvan::tlog::kDispatchSize);

namespace {

constexpr off_t kRec = off_t(sorvan::tlog::kRecordSize);

class Locked {
public:
    explicit Locked(TlogHandle *h) : h_(h) { pthread_mutex_lock(&h_->mutex); }
    ~Locked() { pthread_mutex_unlock(&h_->mutex); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    TlogHandle *h_;
};

void close_fd(TlogHandle *h) {
    if (h->fd > 0) close(h->fd);
    h->fd = 0;
}

bool same(const unsigned char *a, const TlogRecord *b) {
    uint32_t kind;
    std::memcpy(&kind, a + offsetof(TlogRecord, kind), 4);
    return kind == b->kind && std::memcmp(a, b, sizeof *b) == 0;
}

// The log is walked in pieces read into one buffer: mapping it whole
// would fault in (and, for a delete, dirty) every page of a deep queue.
constexpr size_t kBatch = 480;   // records per piece, about 1 MiB

struct Walk {
    int fd = -1;
    size_t records = 0;
    std::vector<unsigned char> buf;
    ~Walk() {
        if (fd >= 0) close(fd);
    }
    // -1 no file, -2 no whole record, -3 not readable.
    int open_log(const char *path, bool writable) {
        struct stat st;
        if (stat(path, &st) != 0) return -1;
        if (st.st_size < kRec) return -2;
        fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
        if (fd < 0) return -3;
        records = size_t(st.st_size / kRec);
        try {
            buf.resize(kBatch * size_t(kRec));
        } catch (...) {
            return -3;
        }
        return 0;
    }
    // Reads records [first, first + count) into the buffer.
    bool read(size_t first, size_t count) {
        size_t want = count * size_t(kRec);
        return pread(fd, buf.data(), want, off_t(first) * kRec) == ssize_t(want);
    }
    // Index of the first record equal to rec; SIZE_MAX none; -3 as error.
    int find(const TlogRecord *rec, size_t *index) {
        *index = SIZE_MAX;
        for (size_t first = 0; first < records; first += kBatch) {
            size_t count = std::min(kBatch, records - first);
            if (!read(first, count)) return -3;
            for (size_t i = 0; i < count; ++i)
                if (same(buf.data() + i * size_t(kRec), rec)) {
                    *index = first + i;
                    return 0;
                }
        }
        return 0;
    }
};

int search_locked(TlogHandle *h, const TlogRecord *rec) {
    Walk w;
    int rc = w.open_log(h->path, false);
    if (rc < 0) return rc;
    size_t index;
    if ((rc = w.find(rec, &index)) < 0) return rc;
    return index == SIZE_MAX ? 0 : int(index);
}

}  // namespace

namespace sorvan::tlog {

int count(TlogHandle *h) {
    if (!h) return -1;
    Locked lock(h);
    struct stat st;
    if (stat(h->path, &st) != 0) return -1;
    return int(st.st_size / kRec);
}

}  // namespace sorvan::tlog

extern "C" {

SORVAN_API int tlog_init(TlogHandle *h, const char *path, tlog_callback callback) {
    std::memset(h, 0, sizeof *h);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&h->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    h->mutex_ready = 1;
    Locked lock(h);
    std::snprintf(h->path, sizeof h->path, "%s", path ? path : "");
    h->evctx = evCreate();
    h->callback = callback;
    return 0;
}

SORVAN_API void tlog_shutdown(TlogHandle *h) {
    if (!h) return;
    if (h->mutex_ready) {
        pthread_mutex_destroy(&h->mutex);
        h->mutex_ready = 0;
    }
    evDestroy(h->evctx);
    h->evctx = nullptr;
}

SORVAN_API int tlog_rec_last(const TlogRecord *rec, const void *end) {
    return reinterpret_cast<const unsigned char *>(rec) + kRec >= static_cast<const unsigned char *>(end);
}

SORVAN_API int tlog_search(TlogHandle *h, const TlogRecord *rec) {
    Locked lock(h);
    return search_locked(h, rec);
}

SORVAN_API int tlog_write_rec(TlogHandle *h, const TlogRecord *rec) {
    Locked lock(h);
    // A record equal to the oldest one answers 0 and is queued again: its
    // operation may already be under way, so it is carried out once more.
    if (search_locked(h, rec) >= 1) return 1;
    h->fd = open(h->path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (h->fd < 0) {
        h->fd = 0;
        return -2;
    }
    struct stat st;
    if (fstat(h->fd, &st) != 0) {
        close_fd(h);
        return -2;
    }
    // Whole records only: a torn tail would shift every later record.
    off_t old_size = st.st_size - st.st_size % kRec;
    if (ftruncate(h->fd, old_size + kRec) != 0) {
        if (old_size != st.st_size && ftruncate(h->fd, st.st_size) != 0) { /* as it was */ }
        close_fd(h);
        return -2;
    }
    void *p = mmap(nullptr, size_t(old_size + kRec), PROT_READ | PROT_WRITE, MAP_SHARED, h->fd, 0);
    if (p == MAP_FAILED) {
        // Never leave a record of zeros behind.
        if (ftruncate(h->fd, old_size) != 0) { /* nothing more to do */ }
        close_fd(h);
        return -3;
    }
    std::memcpy(static_cast<unsigned char *>(p) + old_size, rec, size_t(kRec));
    munmap(p, size_t(old_size + kRec));
    close_fd(h);
    return 0;
}

SORVAN_API int tlog_process(TlogHandle *h) {
    Locked lock(h);
    close_fd(h);
    Walk w;
    int rc = w.open_log(h->path, false);
    if (rc < 0) return rc;
    auto *block = static_cast<TlogDispatch *>(memget(sorvan::tlog::kDispatchSize));
    if (!block) return -4;
    block->log = h;
    if (pread(w.fd, &block->rec, size_t(kRec), 0) != kRec) {
        memput(block, sorvan::tlog::kDispatchSize);
        return -3;
    }
    if (evWaitFor(h->evctx, nullptr, h->callback, block) < 0) {
        memput(block, sorvan::tlog::kDispatchSize);
        return -5;
    }
    return 0;
}

SORVAN_API int tlog_delete_rec(TlogHandle *h, const TlogRecord *rec) {
    Locked lock(h);
    close_fd(h);
    Walk w;
    int rc = w.open_log(h->path, false);
    if (rc < 0) return rc;
    size_t index;
    if ((rc = w.find(rec, &index)) < 0) return rc;
    if (index == SIZE_MAX) return 0;
    // The later records move one slot towards the start through a copy
    // that replaces the log in one rename: a process killed half-way
    // through leaves the old log or the new one, never a torn record.
    std::string copy = std::string(h->path) + ".new";
    h->fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (h->fd < 0) {
        h->fd = 0;
        return -4;
    }
    bool ok = true;
    off_t out = 0;
    for (size_t first = 0; ok && first < w.records; first += kBatch) {
        size_t count = std::min(kBatch, w.records - first);
        if (!w.read(first, count)) {
            ok = false;
            break;
        }
        unsigned char *p = w.buf.data();
        size_t keep = count;
        if (index >= first && index < first + count) {   // leave the matched one out
            size_t at = index - first;
            std::memmove(p + at * size_t(kRec), p + (at + 1) * size_t(kRec), (count - at - 1) * size_t(kRec));
            --keep;
        }
        size_t bytes = keep * size_t(kRec);
        ok = pwrite(h->fd, p, bytes, out) == ssize_t(bytes);
        out += off_t(bytes);
    }
    close_fd(h);
    if (!ok || rename(copy.c_str(), h->path) != 0) {
        unlink(copy.c_str());
        return -5;
    }
    return 0;
}

SORVAN_API int tlog_do_op(struct ev_context *, TlogRecord *queued) {
    // Work on a copy whose texts are surely terminated: the queued record
    // itself must stay byte for byte what the log holds.
    TlogRecord copy = *queued;
    TlogRecord *rec = &copy;
    rec->passwd[sizeof rec->passwd - 1] = 0;
    rec->file.path[sizeof rec->file.path - 1] = 0;
    rec->file.path2[sizeof rec->file.path2 - 1] = 0;
    switch (rec->kind) {
    case REQ_SEND_FILE_ALT:
    case REQ_SEND_FILE:
        return req_send_file(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
    case REQ_REMOVE:
        return req_remove(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
    case REQ_CHANGE_ATTRIBUTE:
        return req_change_attribute(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
    case REQ_CHANGE_SD:
        return req_change_sd(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
    case REQ_MKDIR:
        return req_mkdir(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
    case REQ_RENAME:
        return req_rename(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
    default:
        return -100;
    }
}

}  // extern "C"
