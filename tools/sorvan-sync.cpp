// sorvan-sync: replicates files to a node's agent through a transaction
// log that survives restarts.
//
//   sorvan-sync -L LOG -a ADDRESS -p PORT -k PASSWORD [-T USEC] put PATH [DEST]
//   sorvan-sync -L LOG -a ADDRESS -p PORT -k PASSWORD [-T USEC] mkdir PATH
//   sorvan-sync -L LOG -a ADDRESS -p PORT -k PASSWORD [-T USEC] rm PATH
//   sorvan-sync -L LOG -a ADDRESS -p PORT -k PASSWORD [-T USEC] mv PATH PATH2
//   sorvan-sync -L LOG [-j N] drain
//
// put queues a file, or a directory with everything below it (its
// directories first), to be sent to DEST (default: the same path on the
// node). mkdir, rm and mv name paths on the node. drain carries the queued
// operations out, oldest first and N at a time, until the log is empty;
// killed and started again, it goes on with the oldest operations left.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "port/paths.h"
#include "port/varro.h"
#include "util/sorvan.h"

namespace fs = std::filesystem;

namespace {

// The product's request key, shared with kord and the agents.

const char *g_prog = "sorvan-sync";
uint64_t g_bytes = 0;
long g_done = 0;
long g_dropped = 0;
long g_kept = 0;
bool g_single = false;   // one request per operation, as to an agent without sessions

// The attribute word the node is to apply (read-only, compressed, ...).
uint32_t attr_word(const char *path) {
    ByHandleFileInformation info;
    return stat_file(path, &info) == 0 ? info.dwFileAttributes : 0x20;
}

// Operations in flight while draining: on sessions, spread over up to
// kConnections connections, each sending its share ahead of the outcomes;
// one request per operation, each on a connection of its own.
constexpr int kDefaultWidth = 256;
constexpr int kDefaultSingleWidth = 8;
constexpr int kMaxWidth = 1024;
constexpr int kConnections = 4;

void print_usage(FILE *to) {
    std::fprintf(to,
                 "usage: %s -L log -a address [-p port] [-k password] [-T usec] put path [dest]\n"
                 "       %s -L log -a address [-p port] [-k password] [-T usec] mkdir|rm path\n"
                 "       %s -L log -a address [-p port] [-k password] [-T usec] mv path path2\n"
                 "       %s -L log [-j requests] drain\n",
                 g_prog, g_prog, g_prog, g_prog);
}

[[noreturn]] void usage() {
    print_usage(stderr);
    std::exit(2);
}

void help() {
    print_usage(stdout);
    std::printf("\nQueues file operations for a node's agent in a transaction log and carries\n"
                "them out later; the log survives restarts.\n\n"
                "  -L, --log LOG          the transaction log file (created with mode 0600)\n"
                "  -a, --address ADDRESS  the agent's IPv4 address\n"
                "  -p, --port PORT        the agent's TCP port (default 10000)\n"
                "  -k, --password PW      the agent's password (default none)\n"
                "  -T, --timeout USEC     connect time-out in microseconds (default 5000000)\n"
                "  -j, --jobs N           drain: operations in flight at once, 1 to %d (default\n"
                "                         %d; %d with --single), over up to %d connections\n"
                "      --level N          drain: zlib level of file content, 1 to 9; 0 (the\n"
                "                         default) steps it down while compressing is slower\n"
                "                         than the link\n"
                "      --single           drain: one request per operation, as an agent\n"
                "                         without replication sessions is served\n"
                "  -h, --help             this text\n"
                "  -v, --version          the program's version\n"
                "Older spellings still work, with a warning: -l for -L, -t for -T, -V for -v.\n\n"
                "  put PATH [DEST]  send a file, or a directory and everything below it\n"
                "  mkdir PATH       make a directory on the node\n"
                "  rm PATH          remove a file or directory tree on the node\n"
                "  mv PATH PATH2    rename on the node\n"
                "  drain            carry the queued operations out until none is left\n\n"
                "Exit status: 0 done; 1 the log could not be read or written, an operation\n"
                "was given up (it is logged and dropped) or the agent could not carry one\n"
                "out (a full disk: it is logged and stays queued); 2 bad usage.\n",
                kMaxWidth, kDefaultWidth, kDefaultSingleWidth, kConnections);
}

bool set_text(char *field, size_t room, const std::string &text) {
    if (text.size() >= room) {
        std::fprintf(stderr, "%s: path too long: %s\n", g_prog, text.c_str());
        return false;
    }
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

struct Queue {
    TlogHandle log;
    TlogRecord base;   // peer, port, time-out, password
    int queued = 0;
    std::vector<TlogRecord> pending;   // appended together: one lock, one write
    static constexpr size_t kBatch = 512;

    bool add(uint32_t kind, const std::string &path, const std::string &path2, uint32_t attrs,
             uint64_t size) {
        TlogRecord r = base;
        r.kind = kind;
        if (!set_text(r.file.path, sizeof r.file.path, path) ||
            !set_text(r.file.path2, sizeof r.file.path2, path2))
            return false;
        r.file.attributes = attrs;
        r.file.size = size;
        pending.push_back(r);
        ++queued;
        return pending.size() < kBatch || flush();
    }

    bool flush() {
        if (pending.empty()) return true;
        int rc = tlog_write_recs(&log, pending.data(), int32_t(pending.size()));
        if (rc < 0) {
            std::fprintf(stderr, "%s: cannot queue %s and %zu more in %s: %s (%d)\n", g_prog, pending[0].file.path,
                         pending.size() - 1, log.path,
                         rc == -2 ? "no room, or the log cannot be created" : "the records were not written", rc);
            queued -= int(pending.size());
            pending.clear();
            return false;
        }
        pending.clear();
        return true;
    }
};

bool queue_file(Queue &q, const std::string &src, const std::string &dst) {
    struct stat st;
    if (stat(src.c_str(), &st) != 0) {
        std::fprintf(stderr, "%s: %s: %s\n", g_prog, src.c_str(), std::strerror(errno));
        return false;
    }
    // drain takes the attributes (and the length) afresh when it sends the
    // file: reading them here would only slow a large put down.
    return q.add(REQ_SEND_FILE, src, dst == src ? "" : dst, 0x20, uint64_t(st.st_size));
}

// A directory and everything below it: directories first, then files, so
// the node never receives a file whose directory it lacks the descriptor of.
bool queue_tree(Queue &q, const std::string &src, const std::string &dst) {
    // mkdir creates `path` on the node and takes its descriptor from the
    // local `path2`.
    if (!q.add(REQ_MKDIR, dst, src, attr_word(src.c_str()), 0)) return false;
    std::error_code ec;
    std::vector<std::string> files;
    // Entries are named src/rel: the node's name is dst/rel.
    auto below = [&](const fs::path &p) { return dst + p.string().substr(src.size()); };
    for (auto it = fs::recursive_directory_iterator(src, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        // The entry's type as the directory listed it: no lstat, except for
        // a link (its target is looked at) or where the listing has no type.
        std::error_code tec;
        bool link = it->is_symlink(tec);
        if (!link && it->is_directory(tec)) {
            if (!q.add(REQ_MKDIR, below(it->path()), it->path().string(), attr_word(it->path().c_str()), 0))
                return false;
        } else if (it->is_regular_file(tec)) {   // a link counts where its target is a file
            files.push_back(it->path().string());
        }
    }
    if (ec) {
        std::fprintf(stderr, "%s: %s: %s\n", g_prog, src.c_str(), ec.message().c_str());
        return false;
    }
    for (auto &f : files)
        if (!queue_file(q, f, below(f))) return false;
    return true;
}

// The paths an operation touches, here or on the node.
std::vector<std::string> paths_of(const TlogRecord &r) {
    std::vector<std::string> out;
    for (const char *p : {r.file.path, r.file.path2}) {
        std::string s(p, strnlen(p, sizeof r.file.path));
        while (s.size() > 1 && s.back() == '/') s.pop_back();
        if (!s.empty()) out.push_back(s);
    }
    return out;
}

// One path is the other or lies below it.
bool overlap(const std::string &a, const std::string &b) {
    const std::string &s = a.size() <= b.size() ? a : b, &l = a.size() <= b.size() ? b : a;
    return l.compare(0, s.size(), s) == 0 && (l.size() == s.size() || s == "/" || l[s.size()] == '/');
}

void note(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void note(int priority, const char *fmt, ...) {
    char text[2400];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    const char *mirror = std::getenv("TESSARON_LOG");
    if (!mirror || std::strcmp(mirror, "-") != 0) std::fprintf(stderr, "%s: %s\n", g_prog, text);
    port_syslog(priority, "%s", text);
}

const char *op_name(uint32_t kind) {
    switch (kind) {
    case REQ_SEND_FILE_ALT:
    case REQ_SEND_FILE: return "send";
    case REQ_REMOVE: return "remove";
    case REQ_CHANGE_ATTRIBUTE: return "change attributes of";
    case REQ_CHANGE_SD: return "change the descriptor of";
    case REQ_MKDIR: return "mkdir";
    case REQ_RENAME: return "rename";
    default: return nullptr;
    }
}

// The record as it is to go: a file is sent as it is now, its length and
// attributes may have changed since it was queued.
TlogRecord prepared(TlogRecord op) {
    if (op.kind == REQ_SEND_FILE || op.kind == REQ_SEND_FILE_ALT) {
        op.file.path[sizeof op.file.path - 1] = 0;
        struct stat st;
        if (stat(op.file.path, &st) == 0 && S_ISREG(st.st_mode)) {
            op.file.size = uint64_t(st.st_size);
            op.file.attributes = attr_word(op.file.path);
        }
    }
    return op;
}

// Carries one operation out: 0; -100 given up; -200 the agent could not
// carry it out now (kept queued).
int carry(TlogRecord queued, uint64_t *bytes) {
    *bytes = 0;
    TlogRecord op = prepared(queued);
    bool send = op.kind == REQ_SEND_FILE || op.kind == REQ_SEND_FILE_ALT;
    int rc = g_single ? tlog_do_op(nullptr, &op) : tlog_do_op_session(&op);
    if (rc == 0 && send) *bytes = op.file.size;
    return rc;
}

// The paths of the operations in flight: whether a record touches one of
// them (the same path, one above it or one below) is a few lookups, not a
// comparison with each. Paths are kept as hashes: two that collide only
// make a record wait that need not.
class PathsInFlight {
public:
    // A record's paths and every directory they lie below (as overlap sees
    // it), hashed once in one pass over each path.
    struct Keys {
        std::vector<uint64_t> exact, above;
    };
    static Keys keys(const std::vector<std::string> &paths) {
        Keys k;
        for (const std::string &p : paths) {
            uint64_t h = 14695981039346656037ull;   // FNV-1a
            for (size_t i = 0; i < p.size(); ++i) {
                if (p[i] == '/' && i > 0) k.above.push_back(h);
                h = (h ^ uint8_t(p[i])) * 1099511628211ull;
                if (i == 0 && p[0] == '/' && p.size() > 1) k.above.push_back(h);
            }
            k.exact.push_back(h);
        }
        return k;
    }

    void add(const Keys &k) { change(k, 1); }
    void remove(const Keys &k) { change(k, -1); }

    bool touched(const Keys &k) const {
        for (uint64_t e : k.exact)
            if (exact_.count(e) || above_.count(e)) return true;
        for (uint64_t a : k.above)
            if (exact_.count(a)) return true;
        return false;
    }

private:
    static void bump(std::unordered_map<uint64_t, int> &m, uint64_t key, int by) {
        auto it = m.try_emplace(key, 0).first;
        if ((it->second += by) <= 0) m.erase(it);
    }
    void change(const Keys &k, int by) {
        for (uint64_t e : k.exact) bump(exact_, e, by);
        for (uint64_t a : k.above) bump(above_, a, by);
    }

    std::unordered_map<uint64_t, int> exact_;   // paths in flight
    std::unordered_map<uint64_t, int> above_;   // directories a path in flight lies below
};

struct Job {
    TlogRecord rec;
    std::vector<std::string> paths;
    PathsInFlight::Keys keys;
    bool done = false;
    int rc = 0;
    uint64_t bytes = 0;
};

bool conflict(const std::vector<std::string> &a, const std::vector<std::string> &b) {
    for (const auto &x : a)
        for (const auto &y : b)
            if (overlap(x, y)) return true;
    return false;
}

// Carries the jobs out, on one session where the agent offers sessions
// (none of them touches another's path).
void carry_all(const std::vector<Job *> &jobs) {
    if (g_single || jobs.size() == 1) {
        for (Job *j : jobs) j->rc = carry(j->rec, &j->bytes);
        return;
    }
    std::vector<TlogRecord> recs;   // sessions take each file as it is now
    for (Job *j : jobs) recs.push_back(j->rec);
    std::vector<int32_t> rcs(recs.size(), 1);
    tlog_do_ops_session(recs.data(), int32_t(recs.size()), rcs.data());
    for (size_t k = 0; k < jobs.size(); ++k) {
        jobs[k]->rc = rcs[k];
        bool send = recs[k].kind == REQ_SEND_FILE || recs[k].kind == REQ_SEND_FILE_ALT;
        jobs[k]->bytes = rcs[k] == 0 && send ? recs[k].file.size : 0;
    }
}

// Drains the log with up to `width` operations in flight. Records start
// in queue order; one that touches a path (or a tree) an earlier record
// still in flight touches waits for it, so two operations on one path
// never overtake each other. A record leaves
// the log once its operation is done or given up; the records in flight
// are always the oldest ones queued after those kept. A record the agent
// could not carry out (a full disk) is kept queued for a later drain, and
// so is every later one on its path.
int drain(TlogHandle *h, int width) {
    std::mutex m;
    std::condition_variable work, done;
    std::deque<Job *> todo;
    std::vector<std::unique_ptr<Job>> flight;   // in queue order
    std::vector<TlogRecord> kept;                 // stay queued, ahead of the rest
    PathsInFlight in_flight;
    bool closing = false;
    size_t idle = 0;   // connections waiting for work
    const int connections = g_single ? width : std::min(width, kConnections);
    const size_t window = size_t((width + connections - 1) / connections);
    std::vector<std::thread> workers;
    for (int i = 0; i < connections; ++i)
        workers.emplace_back([&] {
            std::unique_lock<std::mutex> lk(m);
            std::vector<Job *> mine;
            for (;;) {
                ++idle;
                work.wait(lk, [&] { return closing || !todo.empty(); });
                --idle;
                if (todo.empty()) {
                    lk.unlock();
                    tlog_session_end();
                    return;
                }
                mine.clear();
                while (!todo.empty() && mine.size() < window) {
                    mine.push_back(todo.front());
                    todo.pop_front();
                }
                lk.unlock();
                carry_all(mine);
                lk.lock();
                for (Job *j : mine) j->done = true;
                done.notify_one();
            }
        });
    auto finish = [&](int status) {
        {
            std::lock_guard<std::mutex> lk(m);
            closing = true;
        }
        work.notify_all();
        for (auto &t : workers) t.join();
        return status;
    };

    auto last_report = std::chrono::steady_clock::now();
    auto report = [&](int left) {
        std::printf("operations left: %d, bytes sent: %llu\n", left, static_cast<unsigned long long>(g_bytes));
        std::fflush(stdout);
        last_report = std::chrono::steady_clock::now();
    };
    int left = tlog_read_rec(h, -1, nullptr);
    report(std::max(left, 0));
    bool more = true;
    std::deque<TlogRecord> ahead;   // read, not yet started
    std::vector<TlogRecord> batch(64);
    std::unique_lock<std::mutex> lk(m);
    for (;;) {
        // Finished operations leave the log, in whatever order they ended,
        // together.
        std::vector<TlogRecord> finished;
        for (auto it = flight.begin(); it != flight.end();) {
            Job &j = **it;
            if (!j.done) {
                ++it;
                continue;
            }
            if (j.rc == -200) {
                ++g_kept;
                kept.push_back(j.rec);
            } else {
                if (j.rc < 0) {
                    ++g_dropped;
                    j.rec.file.path[sizeof j.rec.file.path - 1] = 0;
                    if (const char *name = op_name(j.rec.kind))
                        note(LOG_WARNING, "%s %s given up and dropped from %s", name, j.rec.file.path, h->path);
                    else
                        note(LOG_WARNING, "unknown operation %u in %s dropped", j.rec.kind, h->path);
                }
                finished.push_back(j.rec);
                g_bytes += j.bytes;
                ++g_done;
            }
            in_flight.remove(j.keys);
            it = flight.erase(it);
        }
        if (!finished.empty()) {
            lk.unlock();
            int rc = tlog_delete_recs(h, finished.data(), int32_t(finished.size()));
            if (rc < 0) {
                note(LOG_ERR, "cannot remove a finished operation from %s (%d): stopping", h->path, rc);
                std::fflush(stdout);
                port_closelog();
                std::_Exit(1);   // requests still in flight stay queued
            }
            lk.lock();
        }
        // Start the next oldest records while there is room.
        while (more && flight.size() < size_t(width)) {
            if (ahead.empty()) {
                // The next records after those kept and in flight, read
                // together; they stay next in the log whatever finishes.
                lk.unlock();
                int from = int(kept.size() + flight.size());
                int32_t got = 0;
                int queued = tlog_read_recs(h, from, int32_t(batch.size()), batch.data(), &got);
                lk.lock();
                if (queued == -1 || (queued >= 0 && queued <= from)) {
                    left = std::max(queued, 0);
                    more = false;   // nothing beyond what is in flight
                    break;
                }
                if (queued < 0) {
                    note(LOG_ERR, "cannot read %s (%d)", h->path, queued);
                    lk.unlock();
                    return finish(1);
                }
                left = queued;
                ahead.assign(batch.begin(), batch.begin() + got);
            }
            auto next = std::make_unique<Job>();
            next->rec = ahead.front();
            next->paths = paths_of(next->rec);
            bool behind = false;
            for (auto &k : kept) behind = behind || conflict(paths_of(k), next->paths);
            if (behind) {
                next->rec.file.path[sizeof next->rec.file.path - 1] = 0;
                note(LOG_WARNING, "%s %s kept queued behind an operation on its path that is kept",
                     op_name(next->rec.kind) ? op_name(next->rec.kind) : "operation", next->rec.file.path);
                ++g_kept;
                kept.push_back(next->rec);
                ahead.pop_front();
                continue;
            }
            next->keys = PathsInFlight::keys(next->paths);
            if (in_flight.touched(next->keys)) break;   // waits for the earlier operation on its path
            ahead.pop_front();
            in_flight.add(next->keys);
            todo.push_back(next.get());
            flight.push_back(std::move(next));
        }
        // A waiting connection per window's worth.
        for (size_t k = 0; k < std::min(idle, (todo.size() + window - 1) / window); ++k) work.notify_one();
        if (flight.empty()) {
            lk.unlock();
            // Records queued meanwhile by another process are drained too.
            int queued = tlog_read_rec(h, -1, nullptr);
            if (queued > int(kept.size())) {
                more = true;
                lk.lock();
                continue;
            }
            if (queued < -1) {
                note(LOG_ERR, "cannot read %s (%d)", h->path, queued);
                return finish(1);
            }
            break;
        }
        if (std::chrono::steady_clock::now() - last_report > std::chrono::seconds(1)) {
            lk.unlock();
            report(left);
            lk.lock();
        }
        done.wait_for(lk, std::chrono::seconds(1), [&] {
            for (auto &f : flight)
                if (f->done) return true;
            return false;
        });
        more = true;
    }
    report(int(kept.size()));
    std::printf("done: %ld operations (%ld given up, %ld kept queued), %llu bytes sent\n", g_done, g_dropped,
                g_kept, static_cast<unsigned long long>(g_bytes));
    if (g_kept > 0)
        note(LOG_ERR, "%ld operations the agent could not carry out stay queued in %s for the next drain", g_kept,
             h->path);
    // Not every operation reached the node.
    return finish(g_dropped > 0 || g_kept > 0 ? 1 : 0);
}

void load_des() {
    init_path("sorvan-sync", nullptr);
    if (!req_cipher_init(path_item(6)))
        std::fprintf(stderr, "%s: %s/libcrypto.so.3 not loaded: requests travel unenciphered\n", g_prog,
                     path_item(6));
}

}  // namespace

int main(int argc, char **argv) {
    g_prog = appname(argv[0]);
    const char *log = nullptr, *address = nullptr, *password = nullptr;
    long port = 10000, timeout = 5000000;
    long width = 0;
    static const option longopts[] = {{"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'v'},
                                      {"log", required_argument, nullptr, 'L'},
                                      {"address", required_argument, nullptr, 'a'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"password", required_argument, nullptr, 'k'},
                                      {"timeout", required_argument, nullptr, 'T'},
                                      {"jobs", required_argument, nullptr, 'j'},
                                      {"level", required_argument, nullptr, 1001},
                                      {"single", no_argument, nullptr, 1002},
                                      {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "L:l:a:p:k:T:t:j:hvV", longopts, nullptr)) != -1) {
        char *end = nullptr;
        // Spellings of earlier releases: -l, -t and -V meant what -L, -T and -v do.
        if (opt == 'l' || opt == 't' || opt == 'V') {
            const char now = opt == 'l' ? 'L' : opt == 't' ? 'T' : 'v';
            std::fprintf(stderr, "%s: warning: -%c is now -%c\n", g_prog, opt, now);
            opt = now;
        }
        switch (opt) {
        case 'h': help(); return 0;
        case 'v': std::printf("%s (Tessaron) %s\n", g_prog, TESSARON_VERSION); return 0;
        case 'L': log = optarg; break;
        case 'a': address = optarg; break;
        case 'k': password = optarg; break;
        case 'p':
            port = std::strtol(optarg, &end, 10);
            if (*end || port <= 0 || port > 65535) {
                std::fprintf(stderr, "%s: bad port '%s'\n", g_prog, optarg);
                return 2;
            }
            break;
        case 'T':
            timeout = std::strtol(optarg, &end, 10);
            if (*end || timeout <= 0 || timeout > 0x7FFFFFFF) {
                std::fprintf(stderr, "%s: bad time-out '%s'\n", g_prog, optarg);
                return 2;
            }
            break;
        case 'j':
            width = std::strtol(optarg, &end, 10);
            if (*end || width < 1 || width > kMaxWidth) {
                std::fprintf(stderr, "%s: bad number of operations in flight '%s' (1 to %d)\n", g_prog, optarg,
                             kMaxWidth);
                return 2;
            }
            break;
        case 1001: {
            long level = std::strtol(optarg, &end, 10);
            if (*end || !*optarg || level < 0 || level > 9) {
                std::fprintf(stderr, "%s: bad compression level '%s' (0 to 9)\n", g_prog, optarg);
                return 2;
            }
            req_session_level(int32_t(level));
            break;
        }
        case 1002: g_single = true; break;
        default: usage();
        }
    }
    if (!log || optind >= argc) usage();
    std::string verb = argv[optind];
    std::vector<std::string> args(argv + optind + 1, argv + argc);

    signal(SIGPIPE, SIG_IGN);
    port_openlog("sorvan-sync", LOG_PID, LOG_DAEMON);
    Queue q;
    tlog_init(&q.log, log, nullptr);
    int status = 0;
    if (verb == "drain") {
        if (!args.empty()) usage();
        load_des();
        status = drain(&q.log, int(width ? width : g_single ? kDefaultSingleWidth : kDefaultWidth));
    } else {
        in_addr a{};
        if (!address || inet_pton(AF_INET, address, &a) != 1 || a.s_addr == 0) {
            std::fprintf(stderr, "%s: bad or missing address '%s'\n", g_prog, address ? address : "");
            return 2;
        }
        std::memset(&q.base, 0, sizeof q.base);
        q.base.addr = a.s_addr;
        q.base.port = uint16_t(port);
        q.base.timeout = int32_t(timeout);
        if (password && !set_text(q.base.passwd, sizeof q.base.passwd, password)) return 2;
        bool ok;
        auto abs = [](const std::string &p) { return fs::absolute(p).lexically_normal().string(); };
        if (verb == "put" && (args.size() == 1 || args.size() == 2)) {
            std::string src = abs(args[0]);
            if (src.size() > 1 && src.back() == '/') src.pop_back();
            std::string dst = args.size() == 2 ? args[1] : src;
            if (!dst.empty() && dst.size() > 1 && dst.back() == '/') dst.pop_back();
            ok = fs::is_directory(src) ? queue_tree(q, src, dst) : queue_file(q, src, dst);
        } else if (verb == "mkdir" && args.size() == 1) {
            // The agent makes a directory only with a descriptor: that of the
            // same path here, else of the nearest directory above it here.
            fs::path from = args[0];
            while (!fs::is_directory(from) && from.has_parent_path() && from != from.parent_path())
                from = from.parent_path();
            std::string desc = fs::is_directory(from) ? from.string() : "/";
            ok = q.add(REQ_MKDIR, args[0], desc == args[0] ? "" : desc, 0x10, 0);
        } else if (verb == "rm" && args.size() == 1) {
            ok = q.add(REQ_REMOVE, args[0], "", 0, 0);
        } else if (verb == "mv" && args.size() == 2) {
            ok = q.add(REQ_RENAME, args[0], args[1], 0, 0);
        } else {
            usage();
        }
        ok = q.flush() && ok;
        std::printf("queued: %d operations\n", q.queued);
        status = ok ? 0 : 1;
    }
    tlog_shutdown(&q.log);
    port_closelog();
    return status;
}
