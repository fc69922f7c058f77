// Alert mail straight to the recipient domain's mail exchangers, or through
// the relay named in $TESSARON_SMTP_RELAY.
#include "util/net/mail.h"
#include "util/sorvan.h"
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
#include <algorithm>
#include <memory>
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

// The MX names of this thread's last lookup. Made on a thread's first
// lookup, so that threads that never mail (kord's node workers) carry no
// buffer of it.
thread_local std::unique_ptr<char[]> mx_names;

constexpr size_t kMaxReplyLine = 4096;     // a longer line is not SMTP
constexpr size_t kMaxReply = 64 * 1024;    // nor is a longer reply

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

int64_t now_ms() { return mono_us() / 1000; }

// One SMTP connection; every read and write is bounded in time, and by the
// whole mail's deadline when it has one (0: none).
class SmtpSession {
public:
    SmtpSession(int fd, int64_t deadline_ms) : fd_(fd), cap_(deadline_ms) {
        int fl = fcntl(fd_, F_GETFL);
        if (fl >= 0) fcntl(fd_, F_SETFL, fl | O_NONBLOCK);
    }
    ~SmtpSession() { close(fd_); }
    SmtpSession(const SmtpSession &) = delete;
    SmtpSession &operator=(const SmtpSession &) = delete;

    bool send(std::string_view text) {
        const int64_t deadline = step_deadline();
        while (!text.empty()) {
            // MSG_NOSIGNAL: a server that hangs up must not raise SIGPIPE here.
            ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
            if (n > 0) {
                text.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                why_ = std::string("write failed: ") + std::strerror(errno);
                return false;
            }
            if (!wait(POLLOUT, deadline)) return false;
        }
        return true;
    }

    // Reads one whole reply (continuation lines "NNN-" up to the line
    // "NNN " or "NNN"). Returns its code, 0 for a reply that has none, or
    // -1 when the server closed, fell silent or sent no line in bounds
    // (why() says which). last() is the reply's first line.
    int reply() {
        const int64_t deadline = step_deadline();
        int code = -1;
        size_t total = 0;
        for (;;) {
            std::string line;
            if (!read_line(line, deadline)) return -1;
            total += line.size();
            const bool coded = line.size() >= 3 && isdigit3(line);
            if (code < 0) {
                code = coded ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;
                last_ = printable(line);
            }
            if (!(coded && line.size() > 3 && line[3] == '-')) return code;
            if (total > kMaxReply) {
                why_ = "reply too long";
                return -1;
            }
        }
    }

    const std::string &last() const { return last_; }
    const std::string &why() const { return why_; }

private:
    static bool isdigit3(const std::string &l) {
        for (int i = 0; i < 3; ++i)
            if (l[i] < '0' || l[i] > '9') return false;
        return true;
    }

    static std::string printable(const std::string &l) {
        std::string out = l.substr(0, 120);
        for (char &c : out)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
        return out;
    }

    int64_t step_deadline() const {
        const int64_t d = now_ms() + mail_reply_timeout_ms.load();
        return cap_ > 0 && cap_ < d ? cap_ : d;
    }

    bool wait(short events, int64_t deadline) {
        for (;;) {
            int64_t left = deadline - now_ms();
            if (left <= 0) break;
            pollfd p{fd_, events, 0};
            int r = poll(&p, 1, static_cast<int>(left));
            if (r > 0) return true;
            if (r == 0) break;
            if (errno != EINTR) {
                why_ = std::string("wait failed: ") + std::strerror(errno);
                return false;
            }
        }
        why_ = cap_ > 0 && deadline == cap_ ? "the mail's deadline passed"
                                            : "no reply within " + std::to_string(mail_reply_timeout_ms.load()) + " ms";
        return false;
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
            if (in_.size() > kMaxReplyLine) {
                why_ = "reply line too long";
                return false;
            }
            char buf[512];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                in_.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) {
                why_ = "connection closed";
                return false;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                why_ = std::string("read failed: ") + std::strerror(errno);
                return false;
            }
            if (!wait(POLLIN, deadline)) return false;
        }
    }

    int fd_;
    int64_t cap_;
    std::string in_, last_, why_;
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

// What one call did, for a caller that logs it; nothing is kept without one.
class Report {
public:
    explicit Report(std::string *out) : out_(out) {}
    void set(const std::string &text) {
        if (out_) *out_ = text;
    }
    // One exchanger that did not take the mail, and why.
    void tried(const std::string &what) {
        if (!out_) return;
        if (!failures_.empty()) failures_ += "; ";
        failures_ += what;
    }
    const std::string &failures() const { return failures_; }

private:
    std::string *out_;
    std::string failures_;
};

int mail_with(const MailRequest *req, int64_t deadline_ms, int max_exchangers, std::string *report);

// The refusal notice to the vendor; sent while the refusing exchanger's
// connection is still open. Its result does not matter to the caller.
void send_refusal_notice(const std::string &local, const std::string &domain, int64_t deadline_ms) {
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
    mail_with(&notice, deadline_ms, 0, nullptr);
}

enum class Outcome { next_exchanger, refused, done };

// One exchanger or relay, as the log names it.
struct Peer {
    std::string name;
    uint32_t addr = 0;
    int port = 25;
    std::string label() const {
        char a[INET_ADDRSTRLEN] = "?";
        in_addr ia;
        ia.s_addr = addr;
        inet_ntop(AF_INET, &ia, a, sizeof a);
        return name + " [" + a + "]:" + std::to_string(port);
    }
};

Outcome talk(SmtpSession &s, const Peer &peer, const MailRequest &req, const std::string &local,
             const std::string &domain, int64_t deadline_ms, Report &rep) {
    auto abandon = [&](const std::string &why) {
        rep.tried(peer.label() + ": " + why);
        s.send("QUIT\r\n");
        return Outcome::next_exchanger;
    };
    auto said = [&s](const char *step) { return std::string(step) + " (" + s.last() + ")"; };
    auto silent = [&s](const char *step) { return std::string(step) + ": " + s.why(); };
    if (s.reply() < 0) return abandon(silent("no greeting"));   // content not examined
    // Our own name: many servers turn away a client that greets with theirs.
    if (!s.send("HELO " + helo_name() + "\r\n")) return abandon(silent("HELO not sent"));
    int code = s.reply();
    if (code < 0) return abandon(silent("no reply to HELO"));
    if (code == 502) return abandon(said("HELO refused"));
    if (!s.send("MAIL FROM: <" + std::string(req.from) + ">\r\n")) return abandon(silent("MAIL FROM not sent"));
    if (s.reply() < 0) return abandon(silent("no reply to MAIL FROM"));
    if (!s.send("RCPT TO: <" + local + "@" + domain + ">\r\n")) return abandon(silent("RCPT TO not sent"));
    code = s.reply();
    // Only a permanent refusal condemns the address; a temporary one (4xx)
    // or a reply we cannot read says nothing about it.
    if (code >= 500 && code <= 599) {
        rep.set("recipient refused by " + peer.label() + " (" + s.last() + ")");
        if (req.report_bad_recipient) send_refusal_notice(local, domain, deadline_ms);
        s.send("QUIT\r\n");
        return Outcome::refused;
    }
    if (code < 0) return abandon(silent("no reply to RCPT TO"));
    if (code < 200 || code > 299) return abandon(said("recipient not taken"));
    if (!s.send("DATA\r\n")) return abandon(silent("DATA not sent"));
    // Without a go-ahead the message lines would be taken for commands.
    code = s.reply();
    if (code < 0) return abandon(silent("no reply to DATA"));
    if (code != 354) return abandon(said("DATA refused"));
    if (!s.send(build_message(req, local, domain))) return abandon(silent("message not sent"));
    code = s.reply();
    if (code >= 200 && code <= 299)
        rep.set("accepted by " + peer.label() + " (" + s.last() + ")");
    else if (code < 0)
        rep.set("sent to " + peer.label() + ", no reply after the message: " + s.why());
    else
        rep.set("sent to " + peer.label() + ", not accepted (" + s.last() + ")");
    s.send("QUIT\r\n");
    return Outcome::done;
}

// host or host:port of $TESSARON_SMTP_RELAY; false when it is set but not
// of that shape.
bool relay_setting(const char *value, Peer &relay) {
    std::string v(value);
    size_t colon = v.rfind(':');
    if (colon != std::string::npos) {
        const std::string port = v.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return false;
        relay.port = std::atoi(port.c_str());
        if (relay.port < 1 || relay.port > 65535) return false;
        v.resize(colon);
    }
    if (v.empty() || v.find_first_of(" \t\r\n:") != std::string::npos) return false;
    relay.name = v;
    return true;
}

int64_t remaining_ms(int64_t deadline_ms) { return deadline_ms > 0 ? deadline_ms - now_ms() : INT64_MAX; }

// Resolves, connects and talks to one exchanger or relay. Returns the
// outcome; next_exchanger when it did not take the mail (reported).
Outcome deliver_via(Peer &peer, const MailRequest &req, const std::string &local, const std::string &domain,
                    int64_t deadline_ms, Report &rep) {
    if (!resolve_host(peer.name.c_str(), peer.addr)) {
        rep.tried(peer.name + ": name does not resolve");
        return Outcome::next_exchanger;
    }
    int64_t left = remaining_ms(deadline_ms);
    int32_t connect_us = kSmtpConnectTimeoutUs;
    if (left < connect_us / 1000) connect_us = static_cast<int32_t>(left > 0 ? left * 1000 : 0);
    int fd = connect_us > 0 ? connect_nb(peer.addr, peer.port, connect_us) : -1;
    if (fd < 0) {
        const int e = errno;
        rep.tried(peer.label() + ": connection failed (" +
                  (connect_us <= 0 ? "the mail's deadline passed"
                   : e == ETIMEDOUT ? "timed out"
                                    : std::strerror(e)) +
                  ")");
        return Outcome::next_exchanger;
    }
    SmtpSession s(fd, deadline_ms);
    return talk(s, peer, req, local, domain, deadline_ms, rep);
}

int mail_with(const MailRequest *req, int64_t deadline_ms, int max_exchangers, std::string *report) {
    Report rep(report);
    if (!req || !req->to || !req->from) {
        rep.set("not sent: no recipient or sender");
        return -1;
    }
    // A line break in an address would end the command early and start one
    // of the caller's making.
    if (has_line_break(req->to) || has_line_break(req->from)) {
        rep.set("not sent: a line break in an address");
        return -1;
    }
    const char *at = std::strchr(req->to, '@');
    const std::string local = at ? std::string(req->to, at) : std::string();
    const std::string domain = at ? std::string(at + 1) : std::string();
    if (local.empty() || domain.empty()) {
        rep.set("not sent: the recipient is not local@domain");
        return -1;
    }

    // Most networks let mail out only through their relay.
    if (const char *relay_env = std::getenv("TESSARON_SMTP_RELAY"); relay_env && *relay_env) {
        Peer relay;
        if (!relay_setting(relay_env, relay)) {
            rep.set(std::string("not sent: TESSARON_SMTP_RELAY \"") + relay_env + "\" is not host[:port]");
            return -1;
        }
        switch (deliver_via(relay, *req, local, domain, deadline_ms, rep)) {
        case Outcome::refused: return 1;
        case Outcome::done: return 0;
        case Outcome::next_exchanger: break;
        }
        rep.set("not sent: relay " + rep.failures());
        return 0;
    }

    char *hosts[kMaxMx + 1];
    uint16_t prefs[kMaxMx + 1];
    int rcode = 0;
    int n = getmxrr(domain.c_str(), hosts, prefs, &rcode);
    if (n == 0) {
        rep.set("not sent: no mail exchanger for " + domain +
                (rcode == 68 ? " (no such domain)" : " (no MX records)"));
        return -1;
    }
    if (n < 0) {
        rep.set("not sent: MX lookup for " + domain + " failed (" +
                (rcode == 75 ? "temporary failure" : "resolver error") + ")");
        return 0;
    }
    // A refusal notice reuses this thread's name buffer: keep our own copies.
    std::vector<std::string> exchangers(hosts, hosts + n);

    int tried = 0;
    for (const std::string &mx : exchangers) {
        if (max_exchangers > 0 && tried == max_exchangers) {
            rep.set("not sent: " + std::to_string(tried) + " of " + std::to_string(n) +
                    " exchangers tried: " + rep.failures());
            return 0;
        }
        if (remaining_ms(deadline_ms) <= 0) {
            rep.set("not sent: the mail's deadline passed after " + std::to_string(tried) + " of " +
                    std::to_string(n) + " exchangers: " + rep.failures());
            return 0;
        }
        ++tried;
        Peer peer;
        peer.name = mx;
        switch (deliver_via(peer, *req, local, domain, deadline_ms, rep)) {
        case Outcome::refused: return 1;
        case Outcome::done: return 0;
        case Outcome::next_exchanger: break;
        }
    }
    rep.set("not sent: " + std::to_string(tried) + " of " + std::to_string(n) + " exchangers tried: " +
            rep.failures());
    return 0;
}

}  // namespace

const std::string &helo_name() {
    static const std::string name = [] {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return std::string("localhost");
        std::string out = host;
        if (out.find('.') != std::string::npos) return out;
        addrinfo hints{};
        hints.ai_flags = AI_CANONNAME;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *res = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &res) == 0 && res) {
            if (res->ai_canonname && std::strchr(res->ai_canonname, '.') &&
                !has_line_break(res->ai_canonname) && !std::strchr(res->ai_canonname, ' '))
                out = res->ai_canonname;
            freeaddrinfo(res);
        }
        return out;
    }();
    return name;
}

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

    std::vector<uint8_t> answer(kMxAnswerSize);
    int n = res_query(domain, ns_c_in, ns_t_mx, answer.data(), static_cast<int>(answer.size()));
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
    if (!mx_names) mx_names.reset(new char[kMxNameBuffer]);
    return mx_from_answer(answer.data(), std::min(static_cast<size_t>(n), answer.size()), mxhosts, prefs,
                          mx_names.get(), kMxNameBuffer, debug);
}

extern "C" SORVAN_API int mail(const MailRequest *req) { return mail_with(req, 0, 0, nullptr); }

extern "C" SORVAN_API int mail_report(const MailRequest *req, int32_t deadline_ms, int32_t max_exchangers,
                                      char *report, uint32_t report_size) {
    std::string text;
    const int64_t deadline = deadline_ms > 0 ? now_ms() + deadline_ms : 0;
    int rc = mail_with(req, deadline, max_exchangers, report ? &text : nullptr);
    if (report && report_size > 0) std::snprintf(report, report_size, "%s", text.c_str());
    return rc;
}
