// Cluster-group file: the sequential reader, the formatter and the editors.
//
// A group line holds 13 fields, each ended by ':', then the member names
// separated by ','. The editors rewrite the file through a copy
// "<path>.new" that is renamed over the file once it is completely written,
// so a failed edit never leaves the file missing or half written.
#include "util/sorvan.h"
#include "util/store/group.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sorvan {
namespace {

// ---- shared bits ----

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n';
}

// atoi without its undefined overflow: clamps to the 32-bit range.
int32_t to_int(const char *s) {
    while (is_space(*s)) ++s;
    bool neg = false;
    if (*s == '+' || *s == '-') neg = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > (long long)INT32_MAX + 1) v = (long long)INT32_MAX + 1;
    }
    if (neg) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    return static_cast<int32_t>(v);
}

// strsep over ":\n": the next piece, or null when the pieces are used up.
char *next_piece(char *&p) {
    if (!p) return nullptr;
    char *piece = p;
    char *q = std::strpbrk(p, ":\n");
    if (q) {
        *q = '\0';
        p = q + 1;
    } else {
        p = nullptr;
    }
    return piece;
}

const char *text_or_empty(const char *s) { return s ? s : ""; }

// ---- reader ----

struct ReaderState {
    FILE *file = nullptr;
    grentry entry{};
    char *members[kGroupReaderMembers + 1] = {};
    char line[kGroupLineMax] = {};

    ~ReaderState() {
        if (file) std::fclose(file);
    }
};

// Made on a thread's first read: threads that never read the group file
// (kord's node workers, thousands of them) carry no buffer for it.
thread_local std::unique_ptr<ReaderState> t_reader;

ReaderState &reader_state() {
    if (!t_reader) t_reader = std::make_unique<ReaderState>();
    return *t_reader;
}

enum class LineRead { ok, skip, end };

// One line of at most kGroupLineMax-1 characters ending in its newline.
// Longer lines, a last line without newline and lines holding a NUL byte
// are consumed and reported as skip.
LineRead read_group_line(FILE *f, char *buf) {
    int n = 0;
    bool nul = false;
    int c = EOF;
    while (n < kGroupLineMax - 1 && (c = getc_unlocked(f)) != EOF) {
        if (c == '\0') nul = true;
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (n == 0) return LineRead::end;
    buf[n] = '\0';
    if (buf[n - 1] != '\n') {
        while (c != EOF && c != '\n') c = getc_unlocked(f);
        return LineRead::skip;
    }
    // A file written on Windows: CR LF ends the line as LF does.
    if (n >= 2 && buf[n - 2] == '\r') {
        buf[n - 2] = '\n';
        buf[n - 1] = '\0';
    }
    return nul ? LineRead::skip : LineRead::ok;
}

// The next group line of the reader's file, optionally only one named `want`.
grentry *next_group(const char *want) {
    ReaderState &r = reader_state();
    for (;;) {
        LineRead got = read_group_line(r.file, r.line);
        if (got == LineRead::end) return nullptr;
        if (got == LineRead::skip) continue;
        char c0 = r.line[0];
        if (c0 == '#' || is_space(c0)) continue;

        char *p = r.line;
        grentry &g = r.entry;
        g.gr_name = next_piece(p);
        g.gr_domain = next_piece(p);
        if (!g.gr_domain) {
            std::fputs("Cfg file corrupted: domain field is empty, skipped\n", stderr);
            continue;
        }
        g.gr_passwd = next_piece(p);
        if (!g.gr_passwd) {
            std::fputs("Cfg file corrupted: password field is empty, skipped\n", stderr);
            continue;
        }
        if (g.gr_name[0] == '+') continue;
        if (want && std::strcmp(g.gr_name, want) != 0) continue;

        char *f[10];
        bool complete = true;
        for (char *&piece : f)
            if (!(piece = next_piece(p))) complete = false;
        if (!complete || !p) continue;  // fewer than 13 fields, or nothing after the 13th
        g.gr_interval = to_int(f[0]);
        g.gr_method = f[1];
        g.gr_alert_interval = to_int(f[2]);
        g.gr_retries = to_int(f[3]);
        g.gr_timeout = to_int(f[4]);
        g.gr_port = to_int(f[5]);
        g.gr_extra = f[6];
        g.gr_mailto = f[7];
        g.gr_param1 = to_int(f[8]);
        g.gr_param2 = to_int(f[9]);

        // Members: ',' separates, NUL, newline or space ends the list.
        int count = 0;
        char *name = p;
        for (char *s = p;; ++s) {
            char ch = *s;
            bool end = ch == '\0' || ch == '\n' || ch == ' ';
            if (ch == ',' || end) {
                *s = '\0';
                if (*name && count < kGroupReaderMembers) r.members[count++] = name;
                name = s + 1;
                if (end) break;
            }
        }
        r.members[count] = nullptr;
        g.gr_mem = r.members;
        return &g;
    }
}

// ---- formatter ----

bool text_writable(const char *s) { return !s || !std::strpbrk(s, ":\n"); }

}  // namespace

void format_member_list(std::string &out, const grentry *gr) {
    if (gr->gr_mem) {
        for (int i = 0; i < kEditMembers && gr->gr_mem[i]; ++i) {
            if (i) out += ',';
            out += gr->gr_mem[i];
        }
    }
    out += '\n';
}

void format_group_line(std::string &out, const grentry *gr) {
    auto text = [&](const char *s) {
        out += text_or_empty(s);
        out += ':';
    };
    auto num = [&](int32_t v) {
        out += std::to_string(v);
        out += ':';
    };
    text(gr->gr_name);
    text(gr->gr_domain);
    text(gr->gr_passwd);
    num(gr->gr_interval);
    text(gr->gr_method);
    num(gr->gr_alert_interval);
    num(gr->gr_retries);
    num(gr->gr_timeout);
    num(gr->gr_port);
    text(gr->gr_extra);
    text(gr->gr_mailto);
    num(gr->gr_param1);
    num(gr->gr_param2);
    format_member_list(out, gr);
}

bool group_record_writable(const grentry *gr) {
    for (const char *t : {gr->gr_name, gr->gr_domain, gr->gr_passwd, gr->gr_method, gr->gr_extra,
                          gr->gr_mailto})
        if (!text_writable(t)) return false;
    if (gr->gr_mem)
        for (int i = 0; i < kEditMembers && gr->gr_mem[i]; ++i)
            if (std::strpbrk(gr->gr_mem[i], ",: \n")) return false;
    return true;
}

namespace {

// ---- editors ----

// The group file's copy "<path>.new", replaced over the file by commit().
class Rewrite {
public:
    ~Rewrite() {
        std::free(buf_);
        if (in_) std::fclose(in_);
        if (out_) {
            std::fclose(out_);
            unlink(copy_.c_str());
        }
    }

    // -1 when the file cannot be opened, -2 when the copy cannot be made.
    int open(const char *path) {
        path_ = path;
        copy_ = path_ + ".new";
        in_ = std::fopen(path, "r");
        if (!in_) return -1;
        struct stat st;
        if (fstat(fileno(in_), &st) != 0) return -1;
        // The copy takes the file's place: give it the file's mode and owner.
        int fd = ::open(copy_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                        st.st_mode & 07777);
        if (fd < 0) return -2;
        if (fchmod(fd, st.st_mode & 07777) != 0) { /* best effort */ }
        if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* best effort */ }
        out_ = fdopen(fd, "w");
        if (!out_) {
            close(fd);
            unlink(copy_.c_str());
            return -2;
        }
        return 0;
    }

    // The next physical line, newline included if there is one; false at end.
    bool read(std::string_view &line) {
        ssize_t n = getline(&buf_, &cap_, in_);
        if (n <= 0) {
            std::free(buf_);
            buf_ = nullptr;
            cap_ = 0;
            return false;
        }
        line = std::string_view(buf_, static_cast<size_t>(n));
        return true;
    }

    void write(std::string_view s) {
        if (s.empty()) return;
        if (std::fwrite(s.data(), 1, s.size(), out_) != s.size() && !err_) err_ = errno ? errno : EIO;
        last_ = s.back();
    }

    // Ends an unterminated last line so that appended text starts a line.
    void end_line() {
        if (last_ && last_ != '\n') write("\n");
    }

    // 1 when the completed copy replaced the file; 0 (file untouched, copy
    // removed) when reading, writing or the rename failed.
    int commit() {
        int err = err_ ? err_ : std::ferror(in_) ? EIO : 0;
        bool ok = err == 0;
        if (std::fflush(out_) != 0 || fsync(fileno(out_)) != 0) {
            if (!err) err = errno;
            ok = false;
        }
        if (std::fclose(out_) != 0) {
            if (!err) err = errno;
            ok = false;
        }
        out_ = nullptr;
        std::fclose(in_);
        in_ = nullptr;
        if (ok && std::rename(copy_.c_str(), path_.c_str()) == 0) return 1;
        if (!err) err = errno;
        unlink(copy_.c_str());
        errno = err ? err : EIO;
        return 0;
    }

    Rewrite() = default;
    Rewrite(const Rewrite &) = delete;
    Rewrite &operator=(const Rewrite &) = delete;

private:
    std::string path_, copy_;
    FILE *in_ = nullptr;
    FILE *out_ = nullptr;
    char *buf_ = nullptr;
    size_t cap_ = 0;
    char last_ = 0;
    int err_ = 0;  // first write failure
};

// A line the editors parse: it ends in its newline within their buffer.
bool complete_line(std::string_view line) {
    return line.size() <= static_cast<size_t>(kEditLineMax - 1) && line.back() == '\n';
}

enum class Op { add, change, remove };

int line_edit(const char *path, const char *name, const grentry *gr, Op op) {
    std::string key = text_or_empty(name);
    key += ':';
    if (key.size() <= 1 || !text_writable(name) || !path || (op != Op::remove && !gr)) {
        errno = EINVAL;
        return 0;
    }
    std::string replacement;
    if (op != Op::remove) {
        if (!group_record_writable(gr) || !gr->gr_name || !*gr->gr_name) {
            errno = EINVAL;
            return 0;
        }
        format_group_line(replacement, gr);
    }

    Rewrite rw;
    if (int rc = rw.open(path)) return rc;
    bool matched = false;
    std::string_view line;
    while (rw.read(line)) {
        if (!matched && complete_line(line) && line[0] != '#' && line[0] != '\n' &&
            line.substr(0, key.size()) == key) {
            matched = true;
            if (op == Op::change) rw.write(replacement);
            else if (op == Op::add) rw.write(line);
            continue;
        }
        rw.write(line);
    }
    if (op == Op::add && !matched) {
        rw.end_line();
        rw.write(replacement);
    }
    int rc = rw.commit();
    if (rc == 1) {
        if (op == Op::add && matched) errno = EEXIST;
        else if (op != Op::add && !matched) errno = ENOENT;
    }
    return rc;
}

const char *skip_space(const char *s) {
    while (*s && is_space(*s)) ++s;
    return s;
}

bool same_name(const char *a, const char *b) { return std::strncmp(a, b, kNameCompare) == 0; }

bool selected(char **groups, const char *group) {
    if (!groups) return false;
    for (int i = 0; i < kSelectionMax && groups[i]; ++i)
        if (same_name(skip_space(groups[i]), group)) return true;
    return false;
}

// Parses one group line for editgroups; false when it holds too few fields
// to be a group line (it is then kept as it stands).
bool parse_edit_line(std::string &buf, grentry &g, std::vector<char *> &mem) {
    char *p = buf.data();
    char *piece[14] = {};
    int count = 0;
    while (count < 14 && (piece[count] = next_piece(p))) ++count;
    if (count < 9) return false;
    auto text = [&](int i) { return i < count ? piece[i] : const_cast<char *>(""); };
    auto num = [&](int i) { return i < count ? to_int(piece[i]) : 0; };
    g.gr_name = text(0);
    g.gr_domain = text(1);
    g.gr_passwd = text(2);
    g.gr_interval = num(3);
    g.gr_method = text(4);
    g.gr_alert_interval = num(5);
    g.gr_retries = num(6);
    g.gr_timeout = num(7);
    g.gr_port = num(8);
    g.gr_extra = text(9);
    g.gr_mailto = text(10);
    g.gr_param1 = num(11);
    g.gr_param2 = num(12);
    mem.clear();
    if (count == 14) {
        // The member piece ends at ':' or newline; cut it at ','.
        char *s = piece[13];
        char *name = s;
        for (;; ++s) {
            bool end = *s == '\0' || *s == '\n';
            if (*s == ',' || end) {
                *s = '\0';
                if (*name && static_cast<int>(mem.size()) < kEditMembers) mem.push_back(name);
                name = s + 1;
                if (end) break;
            }
        }
    }
    return true;
}

}  // namespace
}  // namespace sorvan

using namespace sorvan;

extern "C" {

SORVAN_API grentry *Qv5_GetGrEnt(const char *path) {
    ReaderState &r = reader_state();
    if (!r.file) {
        if (!path || !(r.file = std::fopen(path, "re"))) return nullptr;
    }
    return next_group(nullptr);
}

SORVAN_API grentry *Qv5_GetGrNam(const char *path, const char *name) {
    ReaderState &r = reader_state();
    if (r.file) {
        std::rewind(r.file);
    } else if (!path || !(r.file = std::fopen(path, "re"))) {
        return nullptr;
    }
    grentry *g = name ? next_group(name) : nullptr;
    std::fclose(r.file);
    r.file = nullptr;
    return g;
}

SORVAN_API void Qv5_EndGrEnt(void) {
    ReaderState &r = reader_state();
    if (r.file) {
        std::fclose(r.file);
        r.file = nullptr;
    }
}

SORVAN_API int32_t fmtgrentry(char *buf, const grentry *gr, int32_t pos) {
    if (!buf || !gr || pos < 0) {
        errno = EINVAL;
        return -1;
    }
    std::string out;
    if (pos == 0) format_group_line(out, gr);
    else format_member_list(out, gr);
    std::memcpy(buf + pos, out.c_str(), out.size() + 1);
    return pos + static_cast<int32_t>(out.size());
}

SORVAN_API int32_t addgrent(const char *path, const grentry *gr) {
    return line_edit(path, gr ? gr->gr_name : nullptr, gr, Op::add);
}

SORVAN_API int32_t chggrent(const char *path, const char *name, const grentry *gr) {
    return line_edit(path, name, gr, Op::change);
}

SORVAN_API int32_t delgrent(const char *path, const char *name) {
    return line_edit(path, name, nullptr, Op::remove);
}

SORVAN_API int32_t editgroups(const char *path, char **groups, const char *member, int32_t mode) {
    if (!path || mode < 0 || mode > 2) {
        errno = EINVAL;
        return 0;
    }
    const char *want = skip_space(text_or_empty(member));
    bool appending = mode == 2 && groups;
    if (appending && (!*want || std::strpbrk(want, ",: \n"))) {
        errno = EINVAL;
        return 0;
    }

    Rewrite rw;
    if (rw.open(path) != 0) return -1;  // no file, or no copy
    std::string_view line;
    std::string buf;
    std::string out;
    std::vector<char *> mem;
    while (rw.read(line)) {
        if (!complete_line(line) || line[0] == '#') {
            rw.write(line);
            continue;
        }
        if (line == "\n" || line == "\r\n") continue;  // blank lines are dropped
        if (line.find('\0') != std::string_view::npos) {
            rw.write(line);
            continue;
        }
        buf.assign(line);
        if (buf.size() >= 2 && buf[buf.size() - 2] == '\r') buf.erase(buf.size() - 2, 1);   // CR LF
        grentry g{};
        if (!parse_edit_line(buf, g, mem)) {
            rw.write(line);  // not a group line: keep it as it stands
            continue;
        }
        if (mode == 0 && !groups) {
            std::erase_if(mem, [&](char *m) { return same_name(skip_space(m), want); });
        } else if (mode == 1 && groups && selected(groups, g.gr_name)) {
            for (auto it = mem.begin(); it != mem.end(); ++it)
                if (same_name(skip_space(*it), want)) {
                    mem.erase(it);
                    break;
                }
        } else if (appending && selected(groups, g.gr_name)) {
            bool present = false;
            for (char *m : mem) present = present || same_name(skip_space(m), want);
            if (!present && static_cast<int>(mem.size()) < kEditMembers)
                mem.push_back(const_cast<char *>(want));
        }
        mem.push_back(nullptr);
        g.gr_mem = mem.data();
        out.clear();
        format_group_line(out, &g);
        rw.write(out);
    }
    return rw.commit();
}

}  // extern "C"
