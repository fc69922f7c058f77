// Transaction log: a file of fixed-size records, oldest first, that
// queues replication operations across restarts.
//
// Costs do not grow with the queue: the process keeps an index of the file
// (where each record lies, by content hash), rebuilt whenever the file is
// not what this process last left. An append writes one record at the end;
// a removal zeroes the record where it lies (a record no reader can carry
// out), and the zeroed places are squeezed out by one rewrite once they are
// as many as the records left, so each removal pays for at most one record
// copied. Every change is a single write of whole records or a rename of a
// finished copy: a process killed at any point leaves every queued record
// whole.
#include "util/store/tlog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
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

constexpr size_t kRec = sorvan::tlog::kRecordSize;
constexpr size_t kBatch = 480;      // records per read while scanning, about 1 MiB
constexpr size_t kSmallLog = 64;    // a log this short is rewritten on every removal

uint64_t content_hash(const void *rec) {
    return std::hash<std::string_view>{}(std::string_view(static_cast<const char *>(rec), kRec));
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool unchanged(const struct stat &a, const struct stat &b) {
    return same_file(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

// The process's picture of one log file.
struct tlog_index {
    int fd = -1;               // open while the handle lives; locked per operation
    bool valid = false;
    struct stat seen {};       // the file as this process last left it
    std::vector<uint64_t> hash;   // per place: content hash
    std::vector<uint8_t> live;    // per place: a queued record (not removed)
    size_t head = 0;              // first live place
    size_t nlive = 0;
    std::unordered_map<uint64_t, std::vector<uint32_t>> by_hash;   // live places, ascending

    size_t places() const { return live.size(); }

    void clear() {
        hash.clear();
        live.clear();
        by_hash.clear();
        head = nlive = 0;
        valid = false;
    }

    void add(uint64_t h, bool alive) {
        hash.push_back(h);
        live.push_back(alive);
        if (alive) {
            by_hash[h].push_back(uint32_t(places() - 1));
            ++nlive;
        } else if (head == places() - 1) {
            ++head;
        }
    }

    void kill(size_t at) {
        auto it = by_hash.find(hash[at]);
        if (it != by_hash.end()) {
            auto &v = it->second;
            v.erase(std::find(v.begin(), v.end(), uint32_t(at)));
            if (v.empty()) by_hash.erase(it);
        }
        live[at] = 0;
        --nlive;
        while (head < places() && !live[head]) ++head;
    }

    // Place of the index-th live record, counted from the oldest.
    size_t nth(size_t index) const {
        for (size_t at = head; at < places(); ++at)
            if (live[at] && index-- == 0) return at;
        return places();
    }

    bool read(size_t at, void *rec) const {
        return pread(fd, rec, kRec, off_t(at * kRec)) == ssize_t(kRec);
    }

    // Reads every record; false when the file cannot be read.
    bool rebuild(const struct stat &st) {
        clear();
        size_t n = size_t(st.st_size) / kRec;
        std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[std::max<size_t>(1, std::min(n, kBatch)) * kRec]);
        try {
            hash.reserve(n);
            live.reserve(n);
        } catch (...) {
            return false;
        }
        if (!buf) return false;
        for (size_t first = 0; first < n; first += kBatch) {
            size_t count = std::min(kBatch, n - first);
            ssize_t want = ssize_t(count * kRec);
            if (pread(fd, buf.get(), size_t(want), off_t(first * kRec)) != want) {
                clear();
                return false;
            }
            for (size_t i = 0; i < count; ++i) {
                const unsigned char *p = buf.get() + i * kRec;
                bool alive = !sorvan::tlog::removed(*reinterpret_cast<const TlogRecord *>(p));
                add(alive ? content_hash(p) : 0, alive);
            }
        }
        seen = st;
        valid = true;
        return true;
    }

    void remember() {
        if (fstat(fd, &seen) != 0) valid = false;
    }
};

namespace {

class Locked {
public:
    explicit Locked(TlogHandle *h) : h_(h) { pthread_mutex_lock(&h_->mutex); }
    ~Locked() {
        if (h_->index && h_->index->fd >= 0) flock(h_->index->fd, LOCK_UN);
        pthread_mutex_unlock(&h_->mutex);
    }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    TlogHandle *h_;
};

void close_fd(TlogHandle *h) {
    if (h->fd > 0) close(h->fd);
    h->fd = 0;
}

// Opens and locks the log file (other processes lock it too), and brings
// the index up to date. 0; -1 no file; -3 not readable.
int attach(TlogHandle *h, bool create) {
    if (!h->index) {
        h->index = new (std::nothrow) tlog_index;
        if (!h->index) return -3;
    }
    tlog_index &ix = *h->index;
    for (int tries = 0; tries < 100; ++tries) {
        if (ix.fd < 0) {
            ix.valid = false;
            ix.fd = open(h->path, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
            // A log that cannot be written can still be read.
            if (ix.fd < 0 && (errno == EACCES || errno == EROFS) && !create)
                ix.fd = open(h->path, O_RDONLY | O_CLOEXEC);
            if (ix.fd < 0) return errno == ENOENT ? -1 : -3;
        }
        while (flock(ix.fd, LOCK_EX) != 0)
            if (errno != EINTR) return -3;
        struct stat mine, named;
        if (fstat(ix.fd, &mine) != 0) return -3;
        bool gone = stat(h->path, &named) != 0;
        if (gone || !same_file(mine, named)) {
            // Replaced or removed while we did not hold it: take the new one.
            flock(ix.fd, LOCK_UN);
            close(ix.fd);
            ix.fd = -1;
            ix.clear();
            if (gone && !create) return -1;
            continue;
        }
        if (!ix.valid || !unchanged(mine, ix.seen)) {
            if (!ix.rebuild(mine)) return -3;
        }
        return 0;
    }
    return -3;
}

// Attaches for reading: -1 no file, -2 no queued record, -3 unreadable.
int attach_queued(TlogHandle *h) {
    int rc = attach(h, false);
    if (rc < 0) return rc;
    return h->index->nlive == 0 ? -2 : 0;
}

// The first live place holding a record equal to rec; places() when none.
// A place whose bytes are not what the index says means another process
// changed the file unnoticed: the index is rebuilt and the search repeated,
// as it is on a miss when `look_again` (a removal expects to find its
// record, so a miss there is worth one look at the file as it is).
size_t find(TlogHandle *h, const TlogRecord *rec, bool look_again) {
    tlog_index &ix = *h->index;
    uint64_t want = content_hash(rec);
    for (int pass = 0; pass < 2; ++pass) {
        bool stale = false;
        if (auto it = ix.by_hash.find(want); it != ix.by_hash.end()) {
            TlogRecord got;
            for (uint32_t at : it->second) {
                if (!ix.read(at, &got) || content_hash(&got) != want) {
                    stale = true;
                    break;
                }
                if (got.kind == rec->kind && std::memcmp(&got, rec, kRec) == 0) return at;
            }
        }
        if (pass == 1 || (!stale && !look_again)) break;
        struct stat st;
        if (fstat(ix.fd, &st) != 0 || !ix.rebuild(st)) break;
    }
    return ix.places();
}

// Reads `n` live records from the live place `at` on, a run of adjacent
// places at a time, checking each is what the index says.
bool read_live_run(TlogHandle *h, size_t at, size_t n, TlogRecord *recs) {
    tlog_index &ix = *h->index;
    size_t done = 0;
    bool ok = true;
    while (ok && done < n) {
        while (at < ix.places() && !ix.live[at]) ++at;
        size_t run = 0;
        while (done + run < n && at + run < ix.places() && ix.live[at + run]) ++run;
        ssize_t bytes = ssize_t(run * kRec);
        ok = run > 0 && pread(ix.fd, recs + done, size_t(bytes), off_t(at * kRec)) == bytes;
        for (size_t i = 0; ok && i < run; ++i) ok = content_hash(&recs[done + i]) == ix.hash[at + i];
        done += run;
        at += run;
    }
    if (ok) return true;
    struct stat st;
    if (fstat(ix.fd, &st) == 0) ix.rebuild(st);
    return false;
}

// Logical position (among queued records) of a live place.
int position(const tlog_index &ix, size_t at) {
    int n = 0;
    for (size_t i = ix.head; i < at; ++i) n += ix.live[i];
    return n;
}

// Writes the queued records into a copy and renames it over the log. A
// failure leaves the log as it was.
bool squeeze(TlogHandle *h) {
    tlog_index &ix = *h->index;
    std::string copy = std::string(h->path) + ".new";
    int out = open(copy.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return false;
    flock(out, LOCK_EX);   // nobody else knows it yet; held across the rename
    // Live records are gathered at the front of each piece read, in place.
    size_t n = ix.places();
    size_t room = std::min(kBatch, n - ix.head);
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[room * kRec]);
    bool ok = buf != nullptr;
    off_t written = 0;
    for (size_t first = ix.head; ok && first < n; first += room) {
        size_t count = std::min(room, n - first);
        ssize_t want = ssize_t(count * kRec);
        if (pread(ix.fd, buf.get(), size_t(want), off_t(first * kRec)) != want) {
            ok = false;
            break;
        }
        size_t keep = 0;
        for (size_t i = 0; i < count; ++i)
            if (ix.live[first + i]) {
                if (keep != i) std::memcpy(buf.get() + keep * kRec, buf.get() + i * kRec, kRec);
                ++keep;
            }
        ok = pwrite(out, buf.get(), keep * kRec, written) == ssize_t(keep * kRec);
        written += off_t(keep * kRec);
    }
    if (!ok || rename(copy.c_str(), h->path) != 0) {
        close(out);
        unlink(copy.c_str());
        return false;
    }
    close(ix.fd);   // releases the old file's lock: waiters find the new one
    ix.fd = out;
    tlog_index fresh;
    fresh.fd = out;
    for (size_t at = ix.head; at < n; ++at)
        if (ix.live[at]) fresh.add(ix.hash[at], true);
    ix.hash = std::move(fresh.hash);
    ix.live = std::move(fresh.live);
    ix.by_hash = std::move(fresh.by_hash);
    ix.head = 0;
    ix.nlive = fresh.nlive;
    ix.remember();
    return true;
}

}  // namespace

namespace sorvan::tlog {

bool removed(const TlogRecord &rec) { return rec.addr == 0 && rec.kind == 0; }

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
    pthread_mutex_lock(&h->mutex);
    std::snprintf(h->path, sizeof h->path, "%s", path ? path : "");
    h->evctx = evCreate();
    h->callback = callback;
    pthread_mutex_unlock(&h->mutex);
    return 0;
}

SORVAN_API void tlog_shutdown(TlogHandle *h) {
    if (!h) return;
    if (h->index) {
        if (h->index->fd >= 0) close(h->index->fd);
        delete h->index;
        h->index = nullptr;
    }
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
    int rc = attach_queued(h);
    if (rc < 0) return rc;
    size_t at = find(h, rec, false);
    return at == h->index->places() ? 0 : position(*h->index, at);
}

SORVAN_API int tlog_write_rec(TlogHandle *h, const TlogRecord *rec) {
    Locked lock(h);
    close_fd(h);
    if (attach(h, true) < 0) return -2;
    tlog_index &ix = *h->index;
    // A record equal to the oldest one answers 0 and is queued again: its
    // operation may already be under way, so it is carried out once more.
    size_t at = ix.nlive ? find(h, rec, false) : ix.places();
    if (at < ix.places() && at != ix.head) return 1;
    // Whole records only: a torn tail would shift every later record.
    off_t end = off_t(ix.places() * kRec);
    if (ix.seen.st_size != end && ftruncate(ix.fd, end) != 0) return -2;
    // Room first, so a full file system refuses here and not half-way.
    if (int e = posix_fallocate(ix.fd, end, off_t(kRec)); e != 0) {
        if (ftruncate(ix.fd, end) != 0) { /* the size did not change */ }
        ix.remember();
        return -2;
    }
    // The place reads as a removed record until its first bytes land, so a
    // writer killed in between leaves nothing to carry out.
    const auto *bytes = reinterpret_cast<const unsigned char *>(rec);
    constexpr size_t kHead = 8;   // address and kind
    bool ok = pwrite(ix.fd, bytes + kHead, kRec - kHead, end + off_t(kHead)) == ssize_t(kRec - kHead) &&
              pwrite(ix.fd, bytes, kHead, end) == ssize_t(kHead);
    if (!ok) {
        if (ftruncate(ix.fd, end) != 0) { /* nothing more to do */ }
        ix.remember();
        return -3;
    }
    bool alive = !sorvan::tlog::removed(*rec);
    ix.add(alive ? content_hash(rec) : 0, alive);
    ix.remember();
    return 0;
}

SORVAN_API int tlog_write_recs(TlogHandle *h, const TlogRecord *recs, int32_t n) {
    if (n <= 0) return 0;
    Locked lock(h);
    close_fd(h);
    if (attach(h, true) < 0) return -2;
    tlog_index &ix = *h->index;
    // Which records go in: as tlog_write_rec decides for each, and one of
    // two equal records of the batch.
    std::vector<int32_t> take;
    std::unordered_map<uint64_t, std::vector<int32_t>> batch;
    for (int32_t i = 0; i < n; ++i) {
        if (sorvan::tlog::removed(recs[i])) continue;
        size_t at = ix.nlive ? find(h, &recs[i], false) : ix.places();
        if (at < ix.places() && at != ix.head) continue;
        uint64_t hv = content_hash(&recs[i]);
        auto &same = batch[hv];
        bool dup = false;
        for (int32_t j : same) dup = dup || std::memcmp(&recs[j], &recs[i], kRec) == 0;
        if (dup) continue;
        same.push_back(i);
        take.push_back(i);
    }
    if (take.empty()) return 0;
    off_t end = off_t(ix.places() * kRec);
    off_t room = off_t(take.size() * kRec);
    if (ix.seen.st_size != end && ftruncate(ix.fd, end) != 0) return -2;
    if (int e = posix_fallocate(ix.fd, end, room); e != 0) {
        if (ftruncate(ix.fd, end) != 0) { /* the size did not change */ }
        ix.remember();
        return -2;
    }
    // Every place reads as removed until its head lands, and the heads land
    // after the rest: a writer killed at any point leaves whole records or
    // nothing to carry out. The second write goes over bytes already there
    // but the heads, in file order, so wherever a kill cuts it the records
    // with a head are a prefix of the batch, each whole.
    constexpr size_t kHead = 8;
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[size_t(room)]);
    bool ok = buf != nullptr;
    if (ok) {
        for (size_t k = 0; k < take.size(); ++k) {
            std::memcpy(buf.get() + k * kRec, &recs[take[k]], kRec);
            std::memset(buf.get() + k * kRec, 0, kHead);
        }
        ok = pwrite(ix.fd, buf.get(), size_t(room), end) == room;
    }
    if (ok) {
        for (size_t k = 0; k < take.size(); ++k) std::memcpy(buf.get() + k * kRec, &recs[take[k]], kHead);
        ok = pwrite(ix.fd, buf.get(), size_t(room), end) == room;
    }
    if (!ok) {
        if (ftruncate(ix.fd, end) != 0) { /* nothing more to do */ }
        ix.remember();
        return -3;
    }
    for (int32_t i : take) ix.add(content_hash(&recs[i]), true);
    ix.remember();
    return int(take.size());
}

SORVAN_API int tlog_delete_recs(TlogHandle *h, const TlogRecord *recs, int32_t n) {
    if (n <= 0) return 0;
    Locked lock(h);
    close_fd(h);
    int rc = attach_queued(h);
    if (rc < 0) return rc;
    tlog_index &ix = *h->index;
    // Records that sit one after another (operations finished in the order
    // they started) are checked with one read and cleared with one write.
    constexpr int32_t kRun = 32;
    static const unsigned char zeros[kRun * kRec] = {};
    auto first_place = [&](const TlogRecord &r) {
        auto it = ix.by_hash.find(content_hash(&r));
        return it == ix.by_hash.end() ? ix.places() : size_t(it->second.front());
    };
    std::vector<unsigned char> seen;
    for (int32_t i = 0; i < n && ix.nlive > 0;) {
        size_t at = first_place(recs[i]);
        int32_t k = 1;
        while (at < ix.places() && i + k < n && k < kRun && first_place(recs[i + k]) == at + size_t(k)) ++k;
        ssize_t bytes = ssize_t(size_t(k) * kRec);
        bool same = at < ix.places();
        if (same) {
            seen.resize(size_t(bytes));
            same = pread(ix.fd, seen.data(), size_t(bytes), off_t(at * kRec)) == bytes;
            for (int32_t j = 0; same && j < k; ++j) same = std::memcmp(&seen[size_t(j) * kRec], &recs[i + j], kRec) == 0;
        }
        if (!same) {   // one at a time, looking at the file as it is
            k = 1;
            bytes = ssize_t(kRec);
            at = find(h, &recs[i], true);
            if (at == ix.places()) {
                ++i;
                continue;
            }
        }
        if (pwrite(ix.fd, zeros, size_t(bytes), off_t(at * kRec)) != bytes) {
            ix.remember();
            return -5;
        }
        for (int32_t j = 0; j < k; ++j) ix.kill(at + size_t(j));
        i += k;
    }
    ix.remember();
    if (ix.nlive == 0) {
        struct stat st;
        if (ftruncate(ix.fd, 0) == 0 && fstat(ix.fd, &st) == 0) ix.rebuild(st);
    } else if (ix.places() - ix.nlive >= ix.nlive || ix.nlive <= kSmallLog) {
        squeeze(h);
    }
    return 0;
}

SORVAN_API int tlog_read_rec(TlogHandle *h, int32_t index, TlogRecord *rec) {
    return tlog_read_recs(h, index, 1, rec, nullptr);
}

SORVAN_API int tlog_read_recs(TlogHandle *h, int32_t index, int32_t n, TlogRecord *recs, int32_t *got) {
    Locked lock(h);
    if (got) *got = 0;
    for (int tries = 0; tries < 2; ++tries) {
        int rc = attach(h, false);
        if (rc < 0) return rc;
        tlog_index &ix = *h->index;
        if (index < 0 || size_t(index) >= ix.nlive || !recs || n <= 0) return int(ix.nlive);
        size_t want = std::min(size_t(n), ix.nlive - size_t(index));
        if (read_live_run(h, ix.nth(size_t(index)), want, recs)) {
            if (got) *got = int32_t(want);
            return int(ix.nlive);
        }
    }
    return -3;
}

SORVAN_API int tlog_process(TlogHandle *h) {
    Locked lock(h);
    close_fd(h);
    auto *block = static_cast<TlogDispatch *>(memget(sorvan::tlog::kDispatchSize));
    if (!block) return -4;
    int rc = -3;
    for (int tries = 0; tries < 2 && rc == -3; ++tries) {
        rc = attach_queued(h);
        if (rc == 0 && !read_live_run(h, h->index->head, 1, &block->rec)) rc = -3;
    }
    if (rc < 0) {
        memput(block, sorvan::tlog::kDispatchSize);
        return rc;
    }
    block->log = h;
    if (evWaitFor(h->evctx, nullptr, h->callback, block) < 0) {
        memput(block, sorvan::tlog::kDispatchSize);
        return -5;
    }
    return 0;
}

SORVAN_API int tlog_delete_rec(TlogHandle *h, const TlogRecord *rec) {
    Locked lock(h);
    close_fd(h);
    int rc = attach_queued(h);
    if (rc < 0) return rc;
    tlog_index &ix = *h->index;
    size_t at = find(h, rec, true);
    if (at == ix.places()) return 0;
    static const unsigned char zeros[kRec] = {};
    if (pwrite(ix.fd, zeros, kRec, off_t(at * kRec)) != ssize_t(kRec)) {
        ix.remember();
        return -5;
    }
    ix.kill(at);
    ix.remember();
    // Squeezing out the removed places may fail (a full file system): they
    // then stay, read as removed, until a later removal succeeds in it.
    if (ix.nlive == 0) {
        struct stat st;
        if (ftruncate(ix.fd, 0) == 0 && fstat(ix.fd, &st) == 0) ix.rebuild(st);
    } else if (ix.places() - ix.nlive >= ix.nlive || ix.nlive <= kSmallLog) {
        squeeze(h);
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
    int rc;
    switch (rec->kind) {
    case REQ_SEND_FILE_ALT:
    case REQ_SEND_FILE:
        rc = req_send_file(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
        break;
    case REQ_REMOVE:
        rc = req_remove(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
        break;
    case REQ_CHANGE_ATTRIBUTE:
        rc = req_change_attribute(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
        break;
    case REQ_CHANGE_SD:
        rc = req_change_sd(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
        break;
    case REQ_MKDIR:
        rc = req_mkdir(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
        break;
    case REQ_RENAME:
        rc = req_rename(rec->addr, rec->port, rec->timeout, rec->passwd, &rec->file);
        break;
    default:
        return -100;
    }
    return rc < 0 ? -100 : 0;
}

}  // extern "C"
