// Fuzzes the group-file reader and editors with arbitrary file content.
// Checks: every record read formats to a line that reads back the same;
// an edit that finds nothing leaves the file byte for byte; an add keeps
// every byte that was there.
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "util/sorvan.h"

namespace {

std::string dir() {
    static std::string d = [] {
        // tmpfs when there is one: the editors fsync every copy.
        std::string tmpl = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        tmpl += "/fuzz_group.XXXXXX";
        if (!mkdtemp(tmpl.data())) abort();
        return tmpl;
    }();
    static bool cleanup = [] {
        return std::atexit([] {
            for (const char *name : {"/gpfile", "/gpfile.new", "/again"}) unlink((d + name).c_str());
            rmdir(d.c_str());
        }) == 0;
    }();
    (void)cleanup;
    return d;
}

void put(const std::string &path, const std::string &s) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) abort();
    std::fwrite(s.data(), 1, s.size(), f);
    std::fclose(f);
}

std::string get(const std::string &path) {
    std::string s;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

struct Flat {
    std::vector<std::string> text;
    std::vector<int32_t> num;
    std::vector<std::string> mem;
    bool operator==(const Flat &) const = default;
};

Flat flatten(const grentry *g) {
    Flat f;
    for (const char *t : {g->gr_name, g->gr_domain, g->gr_passwd, g->gr_method, g->gr_extra, g->gr_mailto})
        f.text.emplace_back(t);
    f.num = {g->gr_interval, g->gr_alert_interval, g->gr_retries, g->gr_timeout,
             g->gr_port,     g->gr_param1,         g->gr_param2};
    for (char **m = g->gr_mem; *m; ++m) f.mem.emplace_back(*m);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = dir() + "/gpfile";
    const std::string again = dir() + "/again";
    const std::string input(reinterpret_cast<const char *>(data), size);
    put(path, input);

    // Reader, and the formatter's round trip.
    std::vector<Flat> read;
    std::string formatted, last_name;
    static char line[8192];
    while (grentry *g = Qv5_GetGrEnt(path.c_str())) {
        last_name = g->gr_name;
        int n = fmtgrentry(line, g, 0);
        if (n <= 0 || n >= static_cast<int>(sizeof line) || line[n - 1] != '\n') abort();
        if (n > 1039) continue;  // empty numbers written as "0" can outgrow the reader's line
        if (n >= 2 && line[n - 2] == '\r') continue;  // a last member ending in CR: CR LF ends a line
        read.push_back(flatten(g));
        formatted.append(line, n);
    }
    Qv5_EndGrEnt();
    put(again, formatted);
    size_t i = 0;
    while (grentry *g = Qv5_GetGrEnt(again.c_str())) {
        if (i >= read.size() || !(flatten(g) == read[i])) abort();
        ++i;
    }
    Qv5_EndGrEnt();
    if (i != read.size()) abort();
    if (!last_name.empty() && !Qv5_GetGrNam(path.c_str(), last_name.c_str())) abort();

    // Editors.
    errno = 0;
    if (delgrent(path.c_str(), "zz-absent-zz") == 1 && errno == ENOENT && get(path) != input) abort();
    char *mem[] = {const_cast<char *>("n1"), const_cast<char *>("n2"), nullptr};
    grentry rec{};
    rec.gr_name = const_cast<char *>("zz-added-zz");
    rec.gr_domain = const_cast<char *>("d");
    rec.gr_mem = mem;
    const std::string before = get(path);
    errno = 0;
    if (addgrent(path.c_str(), &rec) == 1 && errno != EEXIST) {
        std::string after = get(path);
        if (after.compare(0, before.size(), before) != 0) abort();
    }
    char *list[] = {const_cast<char *>("zz-added-zz"), const_cast<char *>(" web"), nullptr};
    editgroups(path.c_str(), list, "n3", 2);
    editgroups(path.c_str(), list, "n1", 1);
    editgroups(path.c_str(), nullptr, "n2", 0);
    (void)chggrent(path.c_str(), "zz-added-zz", &rec);
    return 0;
}
