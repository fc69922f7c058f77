// Small utilities: program names and mail dates.
#include "util/sorvan.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {

SORVAN_API const char *appname(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

SORVAN_API char *arpadate(const char *ctime_text) {
    char *out = static_cast<char *>(std::calloc(1, 93));
    if (!out) return nullptr;
    time_t now = std::time(nullptr);
    char cbuf[32];
    // A text shorter than ctime's 24 characters cannot be cut into fields.
    if (!ctime_text || strnlen(ctime_text, 24) < 24) {
        ctime_r(&now, cbuf);
        ctime_text = cbuf;
    }
    // Www Mmm dd hh:mm:ss yyyy
    char *p = out;
    std::memcpy(p, ctime_text, 3); p += 3;
    *p++ = ','; *p++ = ' ';
    if (ctime_text[8] != ' ') *p++ = ctime_text[8];
    *p++ = ctime_text[9];
    *p++ = ' ';
    std::memcpy(p, ctime_text + 4, 3); p += 3;
    *p++ = ' ';
    std::memcpy(p, ctime_text + 20, 4); p += 4;
    *p++ = ' ';
    std::memcpy(p, ctime_text + 11, 8); p += 8;
    *p++ = ' ';

    struct tm g, l;
    gmtime_r(&now, &g);
    localtime_r(&now, &l);
    int off = (l.tm_hour - g.tm_hour) * 60 + (l.tm_min - g.tm_min);
    if (l.tm_year < g.tm_year) off -= 1440;
    else if (l.tm_year > g.tm_year) off += 1440;
    else if (l.tm_yday < g.tm_yday) off -= 1440;
    else if (l.tm_yday > g.tm_yday) off += 1440;
    if (off == 0) {
        std::memcpy(p, "GMT", 3); p += 3;
    } else {
        *p++ = off < 0 ? '-' : '+';
        int m = off < 0 ? -off : off;
        if (m > 1439) m = 1439;
        *p++ = static_cast<char>('0' + m / 600);
        *p++ = static_cast<char>('0' + (m / 60) % 10);
        *p++ = static_cast<char>('0' + (m % 60) / 10);
        *p++ = static_cast<char>('0' + m % 10);
    }
    *p = '\0';
    return out;
}

}  // extern "C"
