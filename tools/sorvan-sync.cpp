// sorvan-sync: replicates files to a node's agent through a transaction
// log that survives restarts.
//
//   sorvan-sync -l LOG -a ADDRESS -p PORT -k PASSWORD [-t USEC] put PATH [DEST]
//   sorvan-sync -l LOG -a ADDRESS -p PORT -k PASSWORD [-t USEC] mkdir PATH
//   sorvan-sync -l LOG -a ADDRESS -p PORT -k PASSWORD [-t USEC] rm PATH
//   sorvan-sync -l LOG -a ADDRESS -p PORT -k PASSWORD [-t USEC] mv PATH PATH2
//   sorvan-sync -l LOG [...] drain
//
// put queues a file, or a directory with everything below it (its
// directories first), to be sent to DEST (default: the same path on the
// node). mkdir, rm and mv name paths on the node. drain carries the queued
// operations out, oldest first, until the log is empty; killed and started
// again, it goes on with the oldest operation left.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "port/paths.h"
#include "port/varro.h"
#include "sorvan.h"

namespace fs = std::filesystem;

namespace {

// The product's request key, shared with kord and the agents.
const unsigned char kDesKey[8] = {0x5A, 0xC3, 0x19, 0x7E, 0x02, 0xB4, 0xD8, 0x61};

const char *g_prog = "sorvan-sync";
uint64_t g_bytes = 0;
long g_done = 0;

// The attribute word the node is to apply (read-only, compressed, ...).
uint32_t attr_word(const char *path) {
    ByHandleFileInformation info;
    return stat_file(path, &info) == 0 ? info.dwFileAttributes : 0x20;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: %s -l log -a address -p port -k password [-t usec] put path [dest]\n"
                 "       %s -l log -a address -p port -k password [-t usec] mkdir|rm path\n"
                 "       %s -l log -a address -p port -k password [-t usec] mv path path2\n"
                 "       %s -l log drain\n",
                 g_prog, g_prog, g_prog, g_prog);
    std::exit(2);
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

    bool add(uint32_t kind, const std::string &path, const std::string &path2, uint32_t attrs,
             uint64_t size) {
        TlogRecord r = base;
        r.kind = kind;
        if (!set_text(r.file.path, sizeof r.file.path, path) ||
            !set_text(r.file.path2, sizeof r.file.path2, path2))
            return false;
        r.file.attributes = attrs;
        r.file.size = size;
        int rc = tlog_write_rec(&log, &r);
        if (rc < 0) {
            std::fprintf(stderr, "%s: cannot queue in %s (%d)\n", g_prog, log.path, rc);
            return false;
        }
        ++queued;
        return true;
    }
};

bool queue_file(Queue &q, const std::string &src, const std::string &dst) {
    struct stat st;
    if (stat(src.c_str(), &st) != 0) {
        std::fprintf(stderr, "%s: %s: %s\n", g_prog, src.c_str(), std::strerror(errno));
        return false;
    }
    return q.add(REQ_SEND_FILE, src, dst == src ? "" : dst, attr_word(src.c_str()),
                 uint64_t(st.st_size));
}

// A directory and everything below it: directories first, then files, so
// the node never receives a file whose directory it lacks the descriptor of.
bool queue_tree(Queue &q, const std::string &src, const std::string &dst) {
    // mkdir creates `path` on the node and takes its descriptor from the
    // local `path2`.
    if (!q.add(REQ_MKDIR, dst, src, attr_word(src.c_str()), 0)) return false;
    std::error_code ec;
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(src, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string rel = fs::relative(it->path(), src).string();
        std::string d = dst + "/" + rel;
        if (it->is_directory() && !it->is_symlink()) {
            if (!q.add(REQ_MKDIR, d, it->path().string(), attr_word(it->path().c_str()), 0))
                return false;
        } else if (it->is_regular_file()) {
            files.push_back(it->path());
        }
    }
    if (ec) {
        std::fprintf(stderr, "%s: %s: %s\n", g_prog, src.c_str(), ec.message().c_str());
        return false;
    }
    for (auto &f : files)
        if (!queue_file(q, f.string(), dst + "/" + fs::relative(f, src).string())) return false;
    return true;
}

void report_progress(TlogHandle *h) {
    struct stat st;
    long left = stat(h->path, &st) == 0 ? long(st.st_size / sizeof(TlogRecord)) : 0;
    std::printf("operations left: %ld, bytes sent: %llu\n", left,
                static_cast<unsigned long long>(g_bytes));
    std::fflush(stdout);
}

// The consumer: carry the oldest operation out, then remove it from the log.
void consume(evContext *ctx, void *uap, const void *) {
    auto *block = static_cast<TlogDispatch *>(uap);
    TlogRecord op = block->rec;   // the queued bytes stay the record's identity
    bool carry = true;
    if (op.kind == REQ_SEND_FILE || op.kind == REQ_SEND_FILE_ALT) {
        // Send the file as it is now: its length and attributes may have
        // changed since it was queued.
        op.file.path[sizeof op.file.path - 1] = 0;
        struct stat st;
        if (stat(op.file.path, &st) != 0 || !S_ISREG(st.st_mode)) {
            std::fprintf(stderr, "%s: %s is gone, not sent\n", g_prog, op.file.path);
            carry = false;
        } else {
            op.file.size = uint64_t(st.st_size);
            op.file.attributes = attr_word(op.file.path);
        }
    }
    if (carry) {
        int rc = tlog_do_op(ctx, &op);
        if (rc == -100) std::fprintf(stderr, "%s: unknown operation %u dropped\n", g_prog, op.kind);
        else if (op.kind == REQ_SEND_FILE || op.kind == REQ_SEND_FILE_ALT) g_bytes += op.file.size;
    }
    tlog_delete_rec(block->log, &block->rec);
    ++g_done;
    memput(block, sizeof(TlogDispatch));
}

int drain(TlogHandle *h) {
    for (;;) {
        report_progress(h);
        int rc = tlog_process(h);
        if (rc == -1 || rc == -2) break;   // no log, or nothing left in it
        if (rc < 0) {
            std::fprintf(stderr, "%s: cannot read %s (%d)\n", g_prog, h->path, rc);
            return 1;
        }
        evDo(h->evctx, nullptr);
        evMainLoop(h->evctx);
    }
    std::printf("done: %ld operations, %llu bytes sent\n", g_done, static_cast<unsigned long long>(g_bytes));
    return 0;
}

void load_des() {
    init_path("sorvan-sync", nullptr);
    std::string lib = std::string(path_item(6)) + "/libcrypto.so.3";
    if (void *h = dlopen(lib.c_str(), RTLD_NOW))
        if (des_init(h)) des_setkey_ecb(kDesKey, 8);
    if (!C) std::fprintf(stderr, "%s: %s not loaded: requests travel unenciphered\n", g_prog, lib.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    g_prog = appname(argv[0]);
    const char *log = nullptr, *address = nullptr, *password = nullptr;
    long port = 10000, timeout = 5000000;
    int opt;
    while ((opt = getopt(argc, argv, "l:a:p:k:t:")) != -1) {
        char *end = nullptr;
        switch (opt) {
        case 'l': log = optarg; break;
        case 'a': address = optarg; break;
        case 'k': password = optarg; break;
        case 'p':
            port = std::strtol(optarg, &end, 10);
            if (*end || port <= 0 || port > 65535) {
                std::fprintf(stderr, "%s: bad port '%s'\n", g_prog, optarg);
                return 2;
            }
            break;
        case 't':
            timeout = std::strtol(optarg, &end, 10);
            if (*end || timeout <= 0 || timeout > 0x7FFFFFFF) {
                std::fprintf(stderr, "%s: bad time-out '%s'\n", g_prog, optarg);
                return 2;
            }
            break;
        default: usage();
        }
    }
    if (!log || optind >= argc) usage();
    std::string verb = argv[optind];
    std::vector<std::string> args(argv + optind + 1, argv + argc);

    signal(SIGPIPE, SIG_IGN);
    port_openlog("sorvan-sync", LOG_PID, LOG_DAEMON);
    Queue q;
    tlog_init(&q.log, log, consume);
    int status = 0;
    if (verb == "drain") {
        if (!args.empty()) usage();
        load_des();
        status = drain(&q.log);
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
            std::string dst = args.size() == 2 ? args[1] : src;
            if (!dst.empty() && dst.size() > 1 && dst.back() == '/') dst.pop_back();
            ok = fs::is_directory(src) ? queue_tree(q, src, dst) : queue_file(q, src, dst);
        } else if (verb == "mkdir" && args.size() == 1) {
            ok = q.add(REQ_MKDIR, args[0], "", 0x10, 0);
        } else if (verb == "rm" && args.size() == 1) {
            ok = q.add(REQ_REMOVE, args[0], "", 0, 0);
        } else if (verb == "mv" && args.size() == 2) {
            ok = q.add(REQ_RENAME, args[0], args[1], 0, 0);
        } else {
            usage();
        }
        std::printf("queued: %d operations\n", q.queued);
        status = ok ? 0 : 1;
    }
    tlog_shutdown(&q.log);
    port_closelog();
    return status;
}
