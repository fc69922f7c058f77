// kord's change notice: readers of the maps learn of a change the moment
// kord writes it, without polling. kord changes its maps in place, which
// raises no file notification, so it keeps a small file of its own beside
// the data map (kord.notify), one page mapped shared:
//
//   offset 0   8 bytes  magic "TSNNOTE1"
//   offset 8   4 bytes  change counter, little-endian, wraps at 2^32
//   offset 12  ...      zero
//
// After each change a reader may care about, kord increments the counter
// and wakes every process waiting on it (a futex on the shared file
// mapping, which crosses processes). kord never waits for a reader; a
// reader needs only read access to the file.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <thread>

namespace kord {

inline constexpr char kNoticeMagic[8] = {'T', 'S', 'N', 'N', 'O', 'T', 'E', '1'};
inline constexpr size_t kNoticeSize = 4096;
inline constexpr size_t kNoticeCounterAt = 8;

// kord.notify in the data map's directory.
std::string notice_path(const std::string &data_map);

// ---- kord's side ----

// Creates (or takes over) the notice file and maps it. False, with why,
// when it cannot: changes are then simply not announced.
bool notice_open(const std::string &path, std::string &why);
// Announces a change: one atomic increment and one wake-up call, whether or
// not anyone waits. Safe from any thread; nothing before notice_open.
void notice_change();

// ---- a reader's side ----

// Waits for kord's notices beside the caller's own descriptors. A thread
// of its own waits on the counter (a second at most per wait, then checks
// that the file is still the same) and makes an eventfd readable; the
// file may be missing, appear later or be replaced. Finding the file (at
// the start, or a new one) counts as a change: what changed before is
// not known.
class ChangeWatch {
public:
    explicit ChangeWatch(std::string path);
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch &) = delete;
    ChangeWatch &operator=(const ChangeWatch &) = delete;

    // poll(2) over fds with the notice as one more source: returns what
    // poll returns for fds (0 when only a notice came), with changed set
    // when kord announced a change since the last call that said so.
    int poll(pollfd *fds, nfds_t n, int timeout_ms, bool &changed);
    // True while the notice file is mapped and the thread waits on it.
    bool watching() const { return mapped_.load(); }
    // Notices seen so far (each wake-up that found the counter moved).
    unsigned long seen() const { return seen_.load(); }

private:
    void run();
    bool remap();
    std::string path_;
    int event_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false}, mapped_{false};
    std::atomic<unsigned long> seen_{0};
    std::atomic<const unsigned char *> map_{nullptr};   // changed by the thread alone
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace kord
