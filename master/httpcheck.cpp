// HTTP and HTTPS health checks. One checker thread drives every request
// with libcurl's multi interface: the node workers hand it a job and sleep
// until it is done, so a thousand checks in flight cost one event loop and
// a socket each, not a thread's worth of TLS state each. The checker alone
// touches curl handles, so the TLS session cache it shares between the
// requests needs no lock: a node's next check resumes its last session and
// skips the full handshake. Connections last one request, as a probe's do.
#include "master/httpcheck.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "master/kord.h"

namespace kord {

// ---- the port file's check lines ----

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool has_control(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

bool host_name_ok(std::string_view s) {
    if (s.empty() || s.size() > 253) return false;
    for (unsigned char c : s)
        if (!isalnum(c) && c != '.' && c != '-' && c != '_') return false;
    return true;
}

// A header name is an HTTP token.
bool token_ok(std::string_view s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!isalnum(c) && !strchr("!#$%&'*+-.^_`|~", c)) return false;
    return true;
}

bool parse_codes(std::string_view s, std::vector<std::pair<uint16_t, uint16_t>> &out, std::string *problem) {
    out.clear();
    auto number = [](std::string_view t, uint16_t &v) {
        t = trimmed(t);
        if (t.size() != 3) return false;
        int n = 0;
        for (char c : t) {
            if (c < '0' || c > '9') return false;
            n = n * 10 + (c - '0');
        }
        if (n < 100 || n > 599) return false;
        v = uint16_t(n);
        return true;
    };
    for (size_t pos = 0; pos <= s.size();) {
        size_t comma = std::min(s.find(',', pos), s.size());
        std::string_view item = s.substr(pos, comma - pos);
        pos = comma + 1;
        size_t dash = item.find('-');
        uint16_t lo = 0, hi = 0;
        bool ok = dash == std::string_view::npos ? number(item, lo) && number(item, hi)
                                                 : number(item.substr(0, dash), lo) && number(item.substr(dash + 1), hi);
        if (!ok || lo > hi) {
            *problem = quoted(trimmed(item)) + " is not a status code (100-599) or a range of them";
            return false;
        }
        if (out.size() == 16) {
            *problem = "more than 16 codes and ranges";
            return false;
        }
        out.emplace_back(lo, hi);
    }
    return true;
}

}  // namespace

bool PortCheck::expects(long status) const {
    if (expect.empty()) return status >= 200 && status <= 399;
    for (const auto &[lo, hi] : expect)
        if (status >= lo && status <= hi) return true;
    return false;
}

const char *check_kind_name(uint8_t kind) {
    return kind == kCheckHttp ? "http" : kind == kCheckHttps ? "https" : "tcp";
}

bool parse_check_line(std::string_view line, PortCheck &c, std::string *field, std::string *problem) {
    line = trimmed(line);
    size_t sp = 0;
    while (sp < line.size() && !blank(line[sp])) sp++;
    const std::string_view key = line.substr(0, sp), value = trimmed(line.substr(sp));
    *field = std::string(key);
    if (has_control(value)) {
        *problem = "control characters in " + quoted(value);
        return false;
    }
    auto need_value = [&]() {
        if (!value.empty()) return true;
        *problem = "no value";
        return false;
    };
    if (key == "http" || key == "https") {
        if (!need_value()) return false;
        if (value[0] != '/' || value.find_first_of(" \t") != std::string_view::npos || value.size() > 1024) {
            *problem = quoted(value) + " is not a path (it starts with \"/\", has no blanks, at most 1024 characters)";
            return false;
        }
        c.kind = key == "http" ? kCheckHttp : kCheckHttps;
        c.path = std::string(value);
        return true;
    }
    if (key == "method") {
        if (value == "GET" || value == "HEAD") {
            c.head = value == "HEAD";
            return true;
        }
        *problem = quoted(value) + " is neither GET nor HEAD";
        return false;
    }
    if (key == "expect") {
        if (!need_value()) return false;
        std::vector<std::pair<uint16_t, uint16_t>> codes;
        if (!parse_codes(value, codes, problem)) return false;
        c.expect = std::move(codes);
        return true;
    }
    if (key == "match") {
        if (!need_value()) return false;
        if (value.size() > 1024) {
            *problem = "longer than 1024 characters";
            return false;
        }
        c.match = std::string(value);
        return true;
    }
    if (key == "host") {
        if (!host_name_ok(value)) {
            *problem = quoted(value) + " is not a host name";
            return false;
        }
        c.host = std::string(value);
        return true;
    }
    if (key == "verify") {
        if (value == "yes" || value == "no") {
            c.verify = value == "yes";
            return true;
        }
        *problem = quoted(value) + " is neither yes nor no";
        return false;
    }
    if (key == "ca") {
        if (!need_value()) return false;
        c.ca = std::string(value);
        return true;
    }
    if (key == "header") {
        size_t colon = value.find(':');
        std::string_view name = trimmed(value.substr(0, colon == std::string_view::npos ? 0 : colon));
        if (colon == std::string_view::npos || !token_ok(name)) {
            *problem = quoted(value) + " is not \"Name: value\"";
            return false;
        }
        if (c.headers.size() == kHttpHeadersMax) {
            *problem = "more than " + std::to_string(kHttpHeadersMax) + " headers";
            return false;
        }
        c.headers.push_back(std::string(name) + ": " + std::string(trimmed(value.substr(colon + 1))));
        return true;
    }
    *field = "line";
    *problem = "unknown key " + quoted(key);
    return false;
}

// ---- the checker ----

namespace {

struct Job {
    // Set by the worker before it is queued.
    std::string url, connect_to, ca, match;
    std::vector<std::string> headers;
    bool head = false, verify = true;
    uint32_t timeout_ms = 0;
    // The checker's while it runs.
    PortCheck codes;                  // only its expect list is used
    curl_slist *connect_list = nullptr, *header_list = nullptr;
    std::string body;
    bool found = false, stopped = false;
    char error[CURL_ERROR_SIZE] = {};
    // The answer, published by done.
    HttpOutcome out;
    std::atomic<uint32_t> done{0};
};

// Keeps at most the first 64 KiB of the body and stops the transfer as soon
// as the answer is known: at once without a match text, at the match, or at
// the limit.
size_t on_body(char *data, size_t size, size_t n, void *arg) {
    auto *j = static_cast<Job *>(arg);
    size_t len = size * n;
    if (j->match.empty() || j->found) {
        j->stopped = true;
        return 0;
    }
    size_t keep = std::min(len, kHttpBodyMax - j->body.size());
    size_t from = j->body.size() >= j->match.size() ? j->body.size() - j->match.size() + 1 : 0;
    j->body.append(data, keep);
    if (memmem(j->body.data() + from, j->body.size() - from, j->match.data(), j->match.size()))
        j->found = true;
    if (j->found || j->body.size() >= kHttpBodyMax) {
        j->stopped = true;
        return 0;
    }
    return len;
}

std::string connect_text(long err) {
    switch (err) {
    case ECONNREFUSED: return "connection refused";
    case ECONNRESET: return "connection reset";
    case ETIMEDOUT: return "connection timed out";
    case EHOSTUNREACH: return "host unreachable";
    case ENETUNREACH: return "network unreachable";
    case 0: return "no connection";
    default: return std::string("connect: ") + strerror(int(err));
    }
}

// Why a TLS set-up failed, in the words of the certificate check.
std::string tls_text(const char *error, const std::string &host) {
    std::string e = error;
    static const char kProblem[] = "SSL certificate problem: ";
    if (e.compare(0, sizeof kProblem - 1, kProblem) == 0) return "TLS: " + e.substr(sizeof kProblem - 1);
    if (e.find("subject name") != std::string::npos || e.find("host name") != std::string::npos)
        return "TLS: certificate is not for " + host;
    for (const char *prefix : {"SSL: ", "OpenSSL "})
        if (e.compare(0, strlen(prefix), prefix) == 0) e.erase(0, strlen(prefix));
    return "TLS: " + (e.empty() ? std::string("handshake failed") : e);
}

bool c_expects(const Job *j, long status) { return j->codes.expects(status); }

void finish(CURL *h, Job *j, CURLcode rc) {
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t total_us = 0;
    curl_easy_getinfo(h, CURLINFO_TOTAL_TIME_T, &total_us);
    HttpOutcome &o = j->out;
    o.us = uint32_t(std::min<curl_off_t>(total_us, UINT32_MAX));
    o.status = uint16_t(status > 0 && status < 1000 ? status : 0);
    std::string name = j->url;
    if (size_t at = name.find("://"); at != std::string::npos) name.erase(0, at + 3);
    name = name.substr(0, name.find_first_of(":/"));
    if (rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && j->stopped)) {
        if (o.status == 0) {
            o.why = "no HTTP answer";
        } else if (!c_expects(j, o.status)) {
            o.why = "HTTP " + std::to_string(o.status);
        } else if (!j->match.empty() && !j->found) {
            o.why = "body lacks " + quoted(j->match);
        } else {
            o.why = "HTTP " + std::to_string(o.status);
            o.up = true;
        }
        return;
    }
    long os_errno = 0;
    curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &os_errno);
    switch (rc) {
    case CURLE_OPERATION_TIMEDOUT:
        o.why = "timed out after " + std::to_string(j->timeout_ms) + " ms";
        break;
    case CURLE_COULDNT_CONNECT:
        o.why = connect_text(os_errno);
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
        o.why = tls_text(j->error, name);
        break;
    case CURLE_SSL_CACERT_BADFILE:
        o.why = "TLS: CA file " + j->ca + " unusable";
        break;
    case CURLE_GOT_NOTHING:
        o.why = "closed without an answer";
        break;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        o.why = os_errno ? connect_text(os_errno) : std::string("connection lost");
        break;
    case CURLE_WEIRD_SERVER_REPLY:
        o.why = "not an HTTP answer";
        break;
    default:
        o.why = std::string(curl_easy_strerror(rc)) + (j->error[0] ? std::string(": ") + j->error : "");
    }
}

class Checker {
public:
    static Checker &get() {
        static Checker *c = new Checker;   // lives as long as the process
        return *c;
    }
    void submit(std::shared_ptr<Job> j) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(j));
        }
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) {}   // already pending: the checker wakes all the same
    }

private:
    Checker() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        multi_ = curl_multi_init();
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        struct epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = wake_;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, on_socket);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, on_timer);
        curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
        share_ = curl_share_init();
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        std::thread([this] { run(); }).detach();
    }

    void start(std::shared_ptr<Job> j) {
        // A handle of an ended check, reset, saves its allocations.
        CURL *h = nullptr;
        if (!idle_.empty()) {
            h = idle_.back();
            idle_.pop_back();
        } else {
            h = curl_easy_init();
        }
        if (!h) {
            complete(j.get(), "out of memory");
            return;
        }
        curl_easy_setopt(h, CURLOPT_URL, j->url.c_str());
        j->connect_list = curl_slist_append(nullptr, j->connect_to.c_str());
        curl_easy_setopt(h, CURLOPT_CONNECT_TO, j->connect_list);
        curl_slist *hl = nullptr;
        bool connection = false;
        for (const std::string &x : j->headers) {
            hl = curl_slist_append(hl, x.c_str());
            connection = connection || strncasecmp(x.c_str(), "connection:", 11) == 0;
        }
        if (!connection) hl = curl_slist_append(hl, "Connection: close");
        j->header_list = hl;
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, hl);
        curl_easy_setopt(h, CURLOPT_NOBODY, j->head ? 1L : 0L);
        curl_easy_setopt(h, CURLOPT_USERAGENT, "kord/" TESSARON_VERSION " health check");
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(j->timeout_ms));
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(j->timeout_ms));
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_PROXY, "");
        curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(h, CURLOPT_SHARE, share_);
        // Nothing is looked up (the URL's name goes to the address given),
        // and a cache of a thousand nodes' entries would be walked through
        // at every request.
        curl_easy_setopt(h, CURLOPT_DNS_CACHE_TIMEOUT, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, j->verify ? 1L : 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, j->verify ? 2L : 0L);
        if (!j->ca.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, j->ca.c_str());
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, j.get());
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, j->error);
        if (curl_multi_add_handle(multi_, h) != CURLM_OK) {
            release(h, j.get());
            complete(j.get(), "cannot start the request");
            return;
        }
        running_[h] = std::move(j);
    }

    void release(CURL *h, Job *j) {
        if (idle_.size() < kIdleHandles) {
            curl_easy_reset(h);
            idle_.push_back(h);
        } else {
            curl_easy_cleanup(h);
        }
        curl_slist_free_all(j->connect_list);
        curl_slist_free_all(j->header_list);
        j->connect_list = j->header_list = nullptr;
    }

    static void complete(Job *j, const char *why) {
        if (why) j->out.why = why;
        j->done.store(1, std::memory_order_release);
        syscall(SYS_futex, reinterpret_cast<uint32_t *>(&j->done), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }

    // curl tells which sockets to watch for what, and when to call it back
    // without an event; only the sockets that are ready are handled, so a
    // thousand handshakes in flight cost no pass over all of them.
    static int on_socket(CURL *, curl_socket_t fd, int what, void *arg, void *) {
        auto *c = static_cast<Checker *>(arg);
        if (what == CURL_POLL_REMOVE) {
            epoll_ctl(c->epoll_, EPOLL_CTL_DEL, fd, nullptr);
            return 0;
        }
        struct epoll_event ev{};
        ev.events = (what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u);
        ev.data.fd = fd;
        if (epoll_ctl(c->epoll_, EPOLL_CTL_MOD, fd, &ev) != 0 && errno == ENOENT)
            epoll_ctl(c->epoll_, EPOLL_CTL_ADD, fd, &ev);
        return 0;
    }
    static int on_timer(CURLM *, long timeout_ms, void *arg) {
        static_cast<Checker *>(arg)->due_us_ = timeout_ms < 0 ? -1 : mono_us() + int64_t(timeout_ms) * 1000;
        return 0;
    }

    void collect() {
        int left = 0;
        while (CURLMsg *m = curl_multi_info_read(multi_, &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            CURL *h = m->easy_handle;
            CURLcode rc = m->data.result;
            auto it = running_.find(h);
            curl_multi_remove_handle(multi_, h);
            if (it == running_.end()) {
                curl_easy_cleanup(h);
                continue;
            }
            std::shared_ptr<Job> j = std::move(it->second);
            running_.erase(it);
            finish(h, j.get(), rc);
            release(h, j.get());
            complete(j.get(), nullptr);
        }
    }

    void run() {
        std::vector<std::shared_ptr<Job>> batch;
        struct epoll_event events[64];
        int running = 0;
        for (;;) {
            int wait_ms = 1000;
            if (due_us_ >= 0) wait_ms = int(std::clamp<int64_t>((due_us_ - mono_us() + 999) / 1000, 0, 1000));
            int n = epoll_wait(epoll_, events, 64, wait_ms);
            for (int i = 0; i < n; i++) {
                if (events[i].data.fd == wake_) {
                    uint64_t v;
                    if (read(wake_, &v, sizeof v) < 0) {}   // drained; the queue says what came
                    continue;
                }
                int mask = (events[i].events & EPOLLIN ? CURL_CSELECT_IN : 0) |
                           (events[i].events & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                           (events[i].events & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0);
                curl_multi_socket_action(multi_, events[i].data.fd, mask, &running);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                batch.swap(queue_);
            }
            for (auto &j : batch) start(std::move(j));
            batch.clear();
            // A new handle asks for its first call through the timer; a
            // time-out due is run here too.
            if (due_us_ >= 0 && mono_us() >= due_us_) {
                due_us_ = -1;
                curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running);
            }
            collect();
        }
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<Job>> queue_;
    CURLM *multi_ = nullptr;
    int epoll_ = -1, wake_ = -1;
    int64_t due_us_ = -1;   // when curl wants its next call without an event; -1 never
    CURLSH *share_ = nullptr;
    std::unordered_map<CURL *, std::shared_ptr<Job>> running_;
    static constexpr size_t kIdleHandles = 256;
    std::vector<CURL *> idle_;
};

std::string address_text(const struct sockaddr *sa, uint16_t *port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (sa->sa_family == AF_INET6) {
        auto *s6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        inet_ntop(AF_INET6, &s6->sin6_addr, text, sizeof text);
        *port = ntohs(s6->sin6_port);
        return std::string("[") + text + "]";
    }
    auto *s4 = reinterpret_cast<const sockaddr_in *>(sa);
    inet_ntop(AF_INET, &s4->sin_addr, text, sizeof text);
    *port = ntohs(s4->sin_port);
    return text;
}

}  // namespace

HttpOutcome run_http_check(const PortCheck &c, const struct sockaddr *addr, const std::string &node_host,
                           uint32_t timeout_us) {
    auto j = std::make_shared<Job>();
    uint16_t port = 0;
    const std::string to = address_text(addr, &port);
    std::string host = c.host.empty() ? node_host : c.host;
    // A name that cannot stand in a URL is replaced by the address itself.
    if (!host_name_ok(host)) host = to;
    j->url = std::string(c.kind == kCheckHttps ? "https://" : "http://") + host + ":" + std::to_string(port) + c.path;
    j->connect_to = "::" + to + ":" + std::to_string(port);
    j->ca = c.ca;
    j->match = c.match;
    j->headers = c.headers;
    j->head = c.head;
    j->verify = c.verify;
    j->codes.expect = c.expect;
    j->timeout_ms = std::max<uint32_t>(1, (timeout_us + 999) / 1000);
    Checker::get().submit(j);
    // The checker ends every request within its time-out; the margin only
    // guards against a checker held up by the machine.
    const int64_t deadline = mono_us() + int64_t(timeout_us) + 2000000;
    while (j->done.load(std::memory_order_acquire) == 0) {
        int64_t left = deadline - mono_us();
        if (left <= 0) {
            HttpOutcome late;
            late.why = "timed out after " + std::to_string(j->timeout_ms) + " ms (checker late)";
            late.us = timeout_us;
            return late;
        }
        struct timespec ts{time_t(left / 1000000), long(left % 1000000) * 1000};
        syscall(SYS_futex, reinterpret_cast<uint32_t *>(&j->done), FUTEX_WAIT_PRIVATE, 0u, &ts, nullptr, 0);
    }
    return j->out;
}

}  // namespace kord
