// Porting layer: sockets, signals, error texts, logging, memory pool.
#include "port/varro.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

// ---- sockets and descriptors ----

int nonblock(int s) {
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0) return -1;
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    return flags;
}

int block(int s, int mode) {
    if (mode < 0) return -1;
    return fcntl(s, F_SETFL, mode);
}

int linger(int s, int seconds) {
    struct linger l;
    l.l_onoff = 1;
    l.l_linger = seconds;
    return setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int nread(int fd, void *buf, int n) {
    char *p = static_cast<char *>(buf);
    int got = 0;
    while (got < n) {
        ssize_t r = read(fd, p + got, static_cast<size_t>(n - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return got > 0 ? got : -1;
        }
        if (r == 0) break;
        got += static_cast<int>(r);
    }
    return got;
}

int nwrite(int fd, const void *buf, int n) {
    const char *p = static_cast<const char *>(buf);
    int put = 0;
    while (put < n) {
        ssize_t r = send(fd, p + put, static_cast<size_t>(n - put), MSG_NOSIGNAL);
        if (r < 0 && errno == ENOTSOCK) r = write(fd, p + put, static_cast<size_t>(n - put));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        put += static_cast<int>(r);
    }
    return put;
}

int connect_nb(uint32_t addr_net, int port_host, int32_t timeout_us) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int mode = nonblock(s);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port_host));
    sin.sin_addr.s_addr = addr_net;
    int rc = connect(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    if (rc < 0 && errno == EINPROGRESS) {
        pollfd p{s, POLLOUT, 0};
        int ms = timeout_us <= 0 ? 0 : (timeout_us + 999) / 1000;
        int pr;
        do {
            pr = poll(&p, 1, ms);
        } while (pr < 0 && errno == EINTR);
        if (pr <= 0) {
            close(s);
            if (pr == 0) errno = ETIMEDOUT;
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            close(s);
            errno = err;
            return -1;
        }
        rc = 0;
    }
    if (rc < 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    block(s, mode);
    return s;
}

int mkdirs(const char *path) {
    if (!path || !*path) return -1;
    std::string p(path);
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i == p.size() || p[i] == '/') {
            std::string part = p.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return -1;
        }
    }
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return 0;
}

// ---- signals: a table of our own; the OS signal of the same number is untouched ----

namespace {
constexpr int kMaxSignal = 65;
port_sighandler_t g_handlers[kMaxSignal];
std::mutex g_sig_mutex;
}  // namespace

int set_signal_handler(int sig, port_sighandler_t handler) {
    if (sig <= 0 || sig >= kMaxSignal) return -1;
    std::lock_guard<std::mutex> lk(g_sig_mutex);
    g_handlers[sig] = handler;
    return 0;
}

int sigraise(int sig) {
    if (sig <= 0 || sig >= kMaxSignal) return -1;
    port_sighandler_t h;
    {
        std::lock_guard<std::mutex> lk(g_sig_mutex);
        h = g_handlers[sig];
    }
    if (!h) return -1;
    h(sig);
    return 0;
}

// ---- error texts ----

const char *NTstrerror(int err) {
    static thread_local char buf[256];
    const char *s = strerror_r(err, buf, sizeof buf);
    return s;
}

const char *GetLastErrorString(const char *tag, const char *call, int flag) {
    (void)flag;
    static thread_local char buf[512];
    int e = errno;
    std::snprintf(buf, sizeof buf, "%s: %s: %s", tag ? tag : "", call ? call : "", NTstrerror(e));
    errno = e;
    return buf;
}

void lerror(const char *tag, const char *call, int priority, int flag) {
    (void)flag;
    int e = errno;
    port_syslog(priority, "%s: %s failed: %s (%d)", tag ? tag : "", call ? call : "", NTstrerror(e), e);
    errno = e;
}

void NTperror(const char *tag) {
    int e = errno;
    std::fprintf(stderr, "%s: %s\n", tag ? tag : "", NTstrerror(e));
    errno = e;
}

// ---- logging ----

namespace {
std::mutex g_log_mutex;
char g_ident[128] = "tessaron";
bool g_ident_set = false;
FILE *g_mirror = nullptr;
bool g_mirror_checked = false;

FILE *mirror_file() {
    if (!g_mirror_checked) {
        g_mirror_checked = true;
        const char *target = std::getenv("TESSARON_LOG");
        if (target && *target) {
            if (std::strcmp(target, "-") == 0) g_mirror = stderr;
            else g_mirror = std::fopen(target, "ae");
        }
    }
    return g_mirror;
}
// The length of the well-formed UTF-8 sequence at p (at most n bytes), 0
// when there is none.
size_t utf8_length(const unsigned char *p, size_t n) {
    size_t len = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 && p[0] < 0xE0 ? 2 : 0;
    if (len == 0 || len > n) return 0;
    for (size_t i = 1; i < len; i++)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return len;
}

}  // namespace

size_t port_escape(const char *in, char *out, size_t room) {
    if (!room) return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(in ? in : "");
    size_t n = std::strlen(reinterpret_cast<const char *>(p)), o = 0;
    for (size_t i = 0; i < n;) {
        size_t seq = p[i] >= 0x80 ? utf8_length(p + i, n - i) : 0;
        if (seq) {
            if (o + seq >= room) break;
            std::memcpy(out + o, p + i, seq);
            o += seq;
            i += seq;
        } else if (p[i] >= 0x20 && p[i] < 0x7F) {
            if (o + 1 >= room) break;
            out[o++] = char(p[i++]);
        } else {
            if (o + 4 >= room) break;
            std::snprintf(out + o, 5, "\\x%02x", p[i++]);
            o += 4;
        }
    }
    out[o] = '\0';
    return o;
}

void port_openlog(const char *ident, int option, int facility) {
    std::lock_guard<std::mutex> lk(g_log_mutex);
    std::snprintf(g_ident, sizeof g_ident, "%s", ident ? ident : "tessaron");
    g_ident_set = true;
    // The library's copy of this layer logs under the same identity.
    setenv("TESSARON_LOG_IDENT", g_ident, 1);
    openlog(g_ident, option, facility ? facility : LOG_DAEMON);
}

void port_syslog(int priority, const char *fmt, ...) {
    char msg[2048];
    int e = errno;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    size_t n = std::strlen(msg);
    while (n > 0 && (msg[n - 1] == '\n' || msg[n - 1] == '\r')) msg[--n] = '\0';
    // Names in the text come from maps, files and peers: no byte of theirs
    // may reach the log as a control character (a forged line, a terminal
    // escape).
    char shown[sizeof msg * 4];
    port_escape(msg, shown, sizeof shown);
    syslog(priority, "%s", shown);
    std::lock_guard<std::mutex> lk(g_log_mutex);
    if (FILE *f = mirror_file()) {
        char when[32];
        time_t now = std::time(nullptr);
        struct tm tmv;
        localtime_r(&now, &tmv);
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tmv);
        const char *ident = g_ident;
        if (!g_ident_set) {
            const char *shared = std::getenv("TESSARON_LOG_IDENT");
            ident = shared && *shared ? shared : program_invocation_short_name;
        }
        std::fprintf(f, "%s %s[%d]: <%d> %s\n", when, ident, static_cast<int>(getpid()),
                     priority & LOG_PRIMASK, shown);
        std::fflush(f);
    }
    errno = e;
}

void port_closelog(void) {
    std::lock_guard<std::mutex> lk(g_log_mutex);
    closelog();
}

void port_message_box(const char *caption, const char *text) {
    if (caption && *caption) {
        std::fprintf(stderr, "%s: %s\n", caption, text ? text : "");
        port_syslog(LOG_ALERT, "%s: %s", caption, text ? text : "");
    } else {
        std::fprintf(stderr, "%s\n", text ? text : "");
        port_syslog(LOG_ALERT, "%s", text ? text : "");
    }
}

// ---- memory pool: the C heap underneath ----

void *memget(size_t size) { return size ? std::malloc(size) : nullptr; }

void memput(void *block, size_t size) {
    (void)size;
    std::free(block);
}

char *savestr(const char *text, int needpanic) {
    char *s = strdup(text ? text : "");
    if (!s && needpanic) {
        std::fprintf(stderr, "savestr: out of memory\n");
        std::abort();
    }
    return s;
}

void freestr(char *text) { std::free(text); }

// ---- time ----

int64_t mono_us(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

uint32_t tick_count_ms(void) { return static_cast<uint32_t>(mono_us() / 1000); }

int32_t port_gettid(void) { return static_cast<int32_t>(syscall(SYS_gettid)); }
