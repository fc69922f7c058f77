// Node files (per-node thresholds and traffic share) and the group's
// balancing method.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "maps/notify.h"
#include "master/kord.h"
#include "master/nodefile.h"
#include "port/paths.h"

namespace kord {

uint32_t parse_method(const char *keyword) {
    uint32_t bit = method_bit(keyword);
    return bit ? bit : kMethodRtt;
}

namespace {

constexpr int kLineMax = 1024;
constexpr int kReadChunk = 4096;

// One reader per thread: workers and the main loop read node files at once.
struct Reader {
    int fd = -1;
    bool end = false;
    unsigned char chunk[kReadChunk];
    int chunk_len = 0;
    int chunk_pos = 0;
    char line[kLineMax + 1];
};
// Made on a thread's first read (see group.cpp): node workers read none.
thread_local std::unique_ptr<Reader> t_reader;
Reader &reader() {
    if (!t_reader) t_reader = std::make_unique<Reader>();
    return *t_reader;
}

// Next byte of the file, or -1 at its end or on a read error.
int next_byte(Reader &r) {
    if (r.chunk_pos == r.chunk_len) {
        ssize_t n;
        do n = read(r.fd, r.chunk, sizeof r.chunk);
        while (n < 0 && errno == EINTR);
        if (n <= 0) return -1;
        r.chunk_len = static_cast<int>(n);
        r.chunk_pos = 0;
    }
    return r.chunk[r.chunk_pos++];
}

// Reads one line into r.line. A 0xFF byte or the end of the data ends the
// file after this line; a line over kLineMax is cut, the next byte lost.
void read_line(Reader &r) {
    int n = 0;
    bool cut = false;
    for (;;) {
        int c = next_byte(r);
        if (c < 0 || c == 0xFF) {
            r.end = true;
            break;
        }
        if (c == '\n') break;
        if (n == kLineMax) {
            cut = true;   // c is the lost byte
            break;
        }
        r.line[n++] = static_cast<char>(c);
    }
    // A file written on Windows: CR LF ends the line as LF does.
    if (!cut && n > 0 && r.line[n - 1] == '\r') --n;
    r.line[n] = '\0';
}

bool is_sep(char c) { return c == ' ' || c == '\t' || c == '='; }

void take_line(char *line, NodeFileValues &v) {
    if (line[0] == '\0' || line[0] == '#' || line[0] == ';') return;
    char *p = line;
    while (is_sep(*p)) ++p;
    char *key = p;
    while (*p && *p != '=' && !std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (p == key) return;
    char *key_end = p;
    while (is_sep(*p)) ++p;
    char *value = p;
    *key_end = '\0';
    for (int k = 0; k < kNodeKeyCount; ++k) {
        if (std::strncmp(key, kNodeKeys[k], std::strlen(kNodeKeys[k])) != 0) continue;
        // At most the first 16 characters of a value count.
        std::snprintf(v.value[k], sizeof v.value[k], "%.16s", value);
        break;
    }
}

// atoi without its overflow: out-of-range values clamp.
int to_int(const char *text) {
    long n = std::strtol(text, nullptr, 10);
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
}

std::string node_file_path(const NodeRecord *slot) {
    std::string p = path_item(2);
    p += "/nodes/";
    p.append(slot->name, strnlen(slot->name, sizeof slot->name));
    p += ".cfg";
    return p;
}

}  // namespace

void parse_node_file(int fd, NodeFileValues *values) {
    Reader &r = reader();
    *values = NodeFileValues{};
    r.fd = fd;
    r.end = false;
    r.chunk_len = r.chunk_pos = 0;
    if (fd < 0) return;
    while (!r.end) {
        read_line(r);
        take_line(r.line, *values);
    }
    r.fd = -1;
}

void node_file_defaults(NodeRecord *slot) {
    slot->min_fs = 1;
    slot->min_vm = 512;
    slot->max_connections = 10000;
}

int read_node_file(NodeRecord *slot) {
    NodeFileValues v;
    std::string path = node_file_path(slot);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    parse_node_file(fd, &v);
    if (fd >= 0) close(fd);
    node_file_defaults(slot);
    if (v.value[0][0]) slot->min_fs = static_cast<uint32_t>(to_int(v.value[0]));
    if (v.value[1][0]) slot->min_vm = static_cast<uint32_t>(to_int(v.value[1]));
    if (v.value[2][0]) slot->max_connections = to_int(v.value[2]);
    if (!v.value[3][0]) return 0;
    slot->traffic_alloc = to_int(v.value[3]);
    return slot->traffic_alloc;
}

namespace {

void forget_names(DirWatcher *w) {
    freestr(w->old_name);
    freestr(w->new_name);
    w->old_name = w->new_name = nullptr;
}

bool same(const char *a, const std::string &b) { return a && b == a; }

bool exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }

// Acts on one slot for one change. inotify reports a rename as the old
// name then the new name, with no modified notice behind it, so the pair is
// settled by the new name and the names are forgotten there.
void on_slot(DirWatcher *w, const char *changed, int action, NodeRecord *slot) {
    std::string p = node_file_path(slot);
    if (p != changed && !(action == 5 && same(w->old_name, p))) return;
    switch (action) {
    case 1:
    case 3:
        if (exists(p)) read_node_file(slot);
        break;
    case 2:
        node_file_defaults(slot);
        break;
    case 4:
        // Gone under this name, whether renamed inside the tree or moved out.
        if (!exists(p)) node_file_defaults(slot);
        break;
    case 5:
        if (p == changed && exists(p))
            read_node_file(slot);
        else if (same(w->old_name, p) && !exists(p))
            node_file_defaults(slot);
        break;
    default:
        break;
    }
    notice_change();   // thresholds and shares may have changed
}

void remember(char **name, const char *path) {
    freestr(*name);
    *name = savestr(path, 0);
}

}  // namespace

void on_node_file_change(struct ev_context *, void *uap, const void *) {
    auto *rec = static_cast<DispatchRecord *>(uap);
    if (!rec) return;
    DirWatcher *w = rec->watcher;
    // After the stop the records only free themselves.
    if (w && w == g_watcher && rec->path && g_groups) {
        if (rec->action == 4) {
            remember(&w->old_name, rec->path);
            freestr(w->new_name);
            w->new_name = nullptr;
        } else if (rec->action == 5) {
            remember(&w->new_name, rec->path);
        }
        for (int g = 0; g < g_group_count; ++g) {
            GroupRecord &gr = g_groups[g];
            if (!gr.name[0] || !gr.domain[0] || gr.node_count == 0) continue;
            for (int s = 0; s < kSlotsPerGroup; ++s)
                if (gr.slot[s].name[0]) on_slot(w, rec->path, rec->action, &gr.slot[s]);
        }
        if (rec->action == 5) forget_names(w);
    }
    freestr(rec->path);
    memput(rec, sizeof(DispatchRecord));
}

}  // namespace kord
