// Alert mail straight to the recipient domain's mail exchangers (no relay).
#include "net/mail.h"
#include "sorvan.h"
#include "port/varro.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

static_assert(offsetof(MailRequest, to) == 0);
static_assert(offsetof(MailRequest, from) == sizeof(void *));
static_assert(offsetof(MailRequest, subject) == 2 * sizeof(void *));
static_assert(offsetof(MailRequest, body) == 3 * sizeof(void *));
static_assert(offsetof(MailRequest, report_bad_recipient) == 4 * sizeof(void *));
static_assert(offsetof(MailRequest, html) == 4 * sizeof(void *) + 4);
static_assert(sizeof(MailRequest) == 4 * sizeof(void *) + 8);

namespace sorvan {

std::atomic<int> mail_reply_timeout_ms{10000};

namespace {

thread_local char mx_names[kMxNameBuffer];

constexpr size_t kMaxReplyLine = 4096;     // a longer line is not SMTP
constexpr size_t kMaxReply = 64 * 1024;    // nor is a longer reply

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One SMTP connection; every read and write is bounded in time.
class SmtpSession {
public:
    explicit SmtpSession(int fd) : fd_(fd) {
        int fl = fcntl(fd_, F_GETFL);
        if (fl >= 0) fcntl(fd_, F_SETFL, fl | O_NONBLOCK);
    }
    ~SmtpSession() { close(fd_); }
    SmtpSession(const SmtpSession &) = delete;
    SmtpSession &operator=(const SmtpSession &) = delete;

    bool send(std::string_view text) {
        const int64_t deadline = now_ms() + mail_reply_timeout_ms.load();
        while (!text.empty()) {
            // MSG_NOSIGNAL: a server that hangs up must not raise SIGPIPE here.
            ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
            if (n > 0) {
                text.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
            if (!wait(POLLOUT, deadline)) return false;
        }
        return true;
    }

    // Reads one whole reply (continuation lines "NNN-" up to the line
    // "NNN " or "NNN"). Returns its code, 0 for a reply that has none, or
    // -1 when the server closed, fell silent or sent no line in bounds.
    int reply() {
        const int64_t deadline = now_ms() + mail_reply_timeout_ms.load();
        int code = -1;
        size_t total = 0;
        for (;;) {
            std::string line;
            if (!read_line(line, deadline)) return -1;
            total += line.size();
            const bool coded = line.size() >= 3 && isdigit3(line);
            if (code < 0) code = coded ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;
            if (!(coded && line.size() > 3 && line[3] == '-')) return code;
            if (total > kMaxReply) return -1;
        }
    }

private:
    static bool isdigit3(const std::string &l) {
        for (int i = 0; i < 3; ++i)
            if (l[i] < '0' || l[i] > '9') return false;
        return true;
    }

    bool wait(short events, int64_t deadline) {
        for (;;) {
            int64_t left = deadline - now_ms();
            if (left <= 0) return false;
            pollfd p{fd_, events, 0};
            int r = poll(&p, 1, static_cast<int>(left));
            if (r > 0) return true;
            if (r == 0) return false;
            if (errno != EINTR) return false;
        }
    }

    // One line without its line end (LF or CRLF).
    bool read_line(std::string &line, int64_t deadline) {
        for (;;) {
            size_t nl = in_.find('\n');
            if (nl != std::string::npos) {
                line.assign(in_, 0, nl);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                in_.erase(0, nl + 1);
                return true;
            }
            if (in_.size() > kMaxReplyLine) return false;
            char buf[512];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                in_.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) return false;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
            if (!wait(POLLIN, deadline)) return false;
        }
    }

    int fd_;
    std::string in_;
};

bool has_line_break(const char *s) { return std::strpbrk(s, "\r\n") != nullptr; }

// First IPv4 address of a host name, thread-safe (gethostbyname is not).
bool resolve_host(const char *name, uint32_t &addr) {
    std::vector<char> buf(8192);
    hostent he{}, *res = nullptr;
    int err = 0;
    for (;;) {
        int rc = gethostbyname_r(name, &he, buf.data(), buf.size(), &res, &err);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || !res || res->h_addrtype != AF_INET || !res->h_addr_list[0]) return false;
        std::memcpy(&addr, res->h_addr_list[0], 4);
        return true;
    }
}

std::string env_or(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return v && *v ? v : fallback;
}

std::string header_text(const char *s) {
    // A line break in a header value would start a header of the caller's making.
    std::string out(s);
    for (char &c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

std::string build_message(const MailRequest &req, const std::string &local, const std::string &domain) {
    std::string m;
    char line[2048];
    m += "From: <" + std::string(req.from) + ">\r\n";
    m += "To: " + local + " <" + local + "@" + domain + ">\r\n";
    if (req.subject) m += "subject: " + header_text(req.subject) + "\r\n";

    time_t now = std::time(nullptr);
    tm lt{};
    localtime_r(&now, &lt);
    char host[1025] = {};
    gethostname(host, 1024);
    std::snprintf(line, sizeof line, "Message-ID: <KELVANE.%d.%4d%02d%02d%02d%02d%02d@%s>\r\n",
                  static_cast<int>(getpid()), lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                  lt.tm_hour, lt.tm_min, lt.tm_sec, host);
    m += line;
    if (char *date = arpadate(nullptr)) {
        m += "Date: " + std::string(date) + "\r\n";
        std::free(date);
    }
    if (req.html == 1) m += "Content-Type: text/html; charset=\"iso-8859-1\"\r\n";
    m += "\r\n";
    if (req.body) m += smtp_body(req.body);
    m += ".\r\n";
    return m;
}

// The refusal notice to the vendor; sent while the refusing exchanger's
// connection is still open. Its result does not matter to the caller.
void send_refusal_notice(const std::string &local, const std::string &domain) {
    const std::string to = env_or("TESSARON_SUPPORT_MAIL", "support@tessaron.invalid");
    const std::string from = env_or("TESSARON_SALES_MAIL", "sales@tessaron.invalid");
    const std::string subject = "Bad acct <" + local + "@" + domain + ">";
    MailRequest notice{};
    notice.to = to.c_str();
    notice.from = from.c_str();
    notice.subject = subject.c_str();
    notice.body = "This email address shall be deleted";
    notice.report_bad_recipient = 0;
    notice.html = 0;
    mail(&notice);
}

enum class Outcome { next_exchanger, refused, done };

Outcome talk(SmtpSession &s, const std::string &mx_name, const MailRequest &req,
             const std::string &local, const std::string &domain) {
    auto abandon = [&s] {
        s.send("QUIT\r\n");
        return Outcome::next_exchanger;
    };
    if (s.reply() < 0) return abandon();   // greeting: content not examined
    if (!s.send("HELO " + mx_name + "\r\n")) return abandon();
    int code = s.reply();
    if (code < 0 || code == 502) return abandon();
    if (!s.send("MAIL FROM: <" + std::string(req.from) + ">\r\n")) return abandon();
    if (s.reply() < 0) return abandon();
    if (!s.send("RCPT TO: <" + local + "@" + domain + ">\r\n")) return abandon();
    code = s.reply();
    // Only a permanent refusal condemns the address; a temporary one (4xx)
    // or a reply we cannot read says nothing about it.
    if (code >= 500 && code <= 599) {
        if (req.report_bad_recipient) send_refusal_notice(local, domain);
        s.send("QUIT\r\n");
        return Outcome::refused;
    }
    if (code < 200 || code > 299) return abandon();
    if (!s.send("DATA\r\n")) return abandon();
    // Without a go-ahead the message lines would be taken for commands.
    if (s.reply() != 354) return abandon();
    if (!s.send(build_message(req, local, domain))) return abandon();
    s.reply();   // acceptance is not examined
    s.send("QUIT\r\n");
    return Outcome::done;
}

}  // namespace

int mx_sort_unique(char **hosts, uint16_t *prefs, int n) {
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
            if (prefs[i] > prefs[j]) {
                std::swap(prefs[i], prefs[j]);
                std::swap(hosts[i], hosts[j]);
            }
    int i = 0;
    while (i + 1 < n) {
        if (strcasecmp(hosts[i], hosts[i + 1]) == 0) {
            for (int k = i + 1; k + 1 < n; ++k) {
                hosts[k] = hosts[k + 1];
                prefs[k] = prefs[k + 1];
            }
            --n;
        } else {
            ++i;
        }
    }
    return n;
}

int mx_from_answer(const uint8_t *answer, size_t len, char **hosts, uint16_t *prefs,
                   char *names, size_t names_size, bool debug) {
    if (len > kMxAnswerSize) len = kMxAnswerSize;
    if (len < NS_HFIXEDSZ || names_size < 2) return 0;
    const uint8_t *eom = answer + len;
    const uint8_t *cp = answer + NS_HFIXEDSZ;
    int questions = get16(answer + 4);
    int answers = get16(answer + 6);

    while (questions-- > 0) {
        int k = dn_skipname(cp, eom);
        if (k < 0 || eom - cp < k + NS_QFIXEDSZ) return 0;
        cp += k + NS_QFIXEDSZ;
    }

    const size_t usable = names_size - 1;
    size_t used = 0;
    int n = 0;
    while (answers-- > 0 && cp < eom && n < kMaxMx) {
        if (used >= usable) break;
        // Owner name: expanded to check it, not kept.
        int k = dn_expand(answer, eom, cp, names + used, static_cast<int>(usable - used));
        if (k < 0) break;
        cp += k;
        if (eom - cp < NS_RRFIXEDSZ) break;
        const int type = get16(cp);
        const int dlen = get16(cp + 8);
        cp += NS_RRFIXEDSZ;
        if (eom - cp < dlen) break;   // data runs past the answer
        const uint8_t *next = cp + dlen;
        if (type != ns_t_mx) {
            if (debug) std::printf("unexpected answer type %d, size %d\n", type, dlen);
            cp = next;
            continue;
        }
        if (dlen < 2) {   // no room for a preference
            cp = next;
            continue;
        }
        const uint16_t pref = get16(cp);
        k = dn_expand(answer, eom, cp + 2, names + used, static_cast<int>(usable - used));
        if (k < 0) break;
        hosts[n] = names + used;
        prefs[n] = pref;
        ++n;
        used += std::strlen(names + used) + 1;
        cp = next;
    }
    return mx_sort_unique(hosts, prefs, n);
}

std::string smtp_body(std::string_view body) {
    std::string out;
    out.reserve(body.size() + body.size() / 16 + 4);
    bool line_start = true;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
            out += "\r\n";
            line_start = true;
            continue;
        }
        if (line_start && c == '.') out += '.';
        out += c;
        line_start = false;
    }
    if (!line_start) out += "\r\n";
    return out;
}

}  // namespace sorvan

using namespace sorvan;

extern "C" SORVAN_API int getmxrr(const char *domain, char **mxhosts, uint16_t *prefs, int *rcode) {
    int ignored = 0;
    if (!rcode) rcode = &ignored;
    *rcode = 0;
    if (!domain || !mxhosts) {
        *rcode = 71;
        return -1;
    }
    uint16_t own_prefs[kMaxMx + 1];
    if (!prefs) prefs = own_prefs;

    static thread_local uint8_t answer[kMxAnswerSize];
    int n = res_query(domain, ns_c_in, ns_t_mx, answer, sizeof answer);
    if (n < 0) {
        switch (h_errno) {
        case HOST_NOT_FOUND: *rcode = 68; return 0;
        case TRY_AGAIN:
        case NETDB_INTERNAL: *rcode = 75; return -1;
        case NO_RECOVERY:
        case NO_DATA: return 0;
        default: *rcode = 71; return -1;
        }
    }
    const bool debug = (_res.options & RES_DEBUG) != 0;
    return mx_from_answer(answer, static_cast<size_t>(n) < sizeof answer ? static_cast<size_t>(n) : sizeof answer,
                          mxhosts, prefs, mx_names, sizeof mx_names, debug);
}

extern "C" SORVAN_API int mail(const MailRequest *req) {
    if (!req || !req->to || !req->from) return -1;
    // A line break in an address would end the command early and start one
    // of the caller's making.
    if (has_line_break(req->to) || has_line_break(req->from)) return -1;
    const char *at = std::strchr(req->to, '@');
    if (!at) return -1;
    const std::string local(req->to, at);
    const std::string domain(at + 1);
    if (local.empty() || domain.empty()) return -1;

    char *hosts[kMaxMx + 1];
    uint16_t prefs[kMaxMx + 1];
    int rcode = 0;
    int n = getmxrr(domain.c_str(), hosts, prefs, &rcode);
    if (n == 0) return -1;
    if (n < 0) return 0;
    // A refusal notice reuses this thread's name buffer: keep our own copies.
    std::vector<std::string> exchangers(hosts, hosts + n);

    for (const std::string &mx : exchangers) {
        uint32_t addr = 0;
        if (!resolve_host(mx.c_str(), addr)) continue;
        int fd = connect_nb(addr, 25, kSmtpConnectTimeoutUs);
        if (fd < 0) continue;
        SmtpSession s(fd);
        switch (talk(s, mx, *req, local, domain)) {
        case Outcome::refused: return 1;
        case Outcome::done: return 0;
        case Outcome::next_exchanger: break;
        }
    }
    return 0;
}
