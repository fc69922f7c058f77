// MX lookup and SMTP delivery against a real DNS server (dnsmasq), the mail
// sink (aiosmtpd) and scripted SMTP servers, all on loopback addresses.
#include "util/net/mail.h"
#include "util/sorvan.h"
#include "tests/support/testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <strings.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <tuple>
#include <vector>

using namespace std::chrono;
using testutil::TempDir;

namespace {

// An answer to "x.test MX" with records (type, preference, name), each
// owned by a pointer to the question's name; other types carry the same data.
using Rr = std::tuple<uint16_t, uint16_t, std::string>;
std::vector<uint8_t> answer(const std::vector<Rr> &rrs) {
    std::vector<uint8_t> b = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, static_cast<uint8_t>(rrs.size()), 0, 0, 0, 0,
                              1, 'x', 4, 't', 'e', 's', 't', 0, 0, 15, 0, 1};
    for (const auto &[type, pref, name] : rrs) {
        std::vector<uint8_t> rd = {static_cast<uint8_t>(pref >> 8), static_cast<uint8_t>(pref)};
        for (size_t start = 0; start < name.size();) {
            size_t dot = std::min(name.find('.', start), name.size());
            rd.push_back(static_cast<uint8_t>(dot - start));
            rd.insert(rd.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
            start = dot + 1;
        }
        rd.push_back(0);
        b.insert(b.end(), {0xc0, 12, 0, static_cast<uint8_t>(type), 0, 1, 0, 0, 1, 44, 0,
                           static_cast<uint8_t>(rd.size())});
        b.insert(b.end(), rd.begin(), rd.end());
    }
    return b;
}

using Entries = std::vector<std::pair<uint16_t, std::string>>;
Entries walk(const std::vector<uint8_t> &ans, size_t names_size = sorvan::kMxNameBuffer) {
    std::vector<char> names(names_size);
    char *hosts[100];
    uint16_t prefs[100];
    int n = sorvan::mx_from_answer(ans.data(), ans.size(), hosts, prefs, names.data(), names.size(), false);
    Entries r;
    for (int i = 0; i < n; ++i) r.emplace_back(prefs[i], hosts[i]);
    return r;
}

// ------------------------------------------------------- the private network

// dnsmasq zone: every mail domain of the tests lives under .test.
const char *const kDnsRecords[] = {
    "--mx-host=order.test,mx20.order.test,20", "--mx-host=order.test,mx10.order.test,10",
    "--host-record=mx10.order.test,127.0.1.10", "--host-record=mx20.order.test,127.0.1.20",
    "--mx-host=dup.test,mx.dup.test,5",        "--mx-host=dup.test,mx.dup.test,5",
    "--host-record=mx.dup.test,127.0.1.30",    "--host-record=nomx.test,127.0.1.9",
    "--mx-host=good.test,mx.good.test,10",     "--host-record=mx.good.test,127.0.1.40",
    "--mx-host=script.test,mx.script.test,10", "--host-record=mx.script.test,127.0.1.50",
    "--mx-host=refuse.test,mx.refuse.test,10", "--host-record=mx.refuse.test,127.0.1.60",
    "--mx-host=vendor.test,mx.vendor.test,10", "--host-record=mx.vendor.test,127.0.1.70",
    "--mx-host=slow.test,silent.slow.test,10", "--host-record=silent.slow.test,127.0.1.81",
    "--mx-host=slow.test,junk.slow.test,20",   "--host-record=junk.slow.test,127.0.1.82",
    "--mx-host=slow.test,down.slow.test,30",   "--host-record=down.slow.test,127.0.1.83",
    "--mx-host=slow.test,hangup.slow.test,35", "--host-record=hangup.slow.test,127.0.1.86",
    "--mx-host=slow.test,hole.slow.test,40",   "--host-record=hole.slow.test,127.0.1.84",
    "--mx-host=slow.test,noname.slow.test,45", // no address at all
    "--mx-host=slow.test,mx.slow.test,50",     "--host-record=mx.slow.test,127.0.1.85",
    "--server=/tmpfail.test/127.0.0.1#5353",   // nobody there: the lookup times out
};

// Takes a network and mount namespace of its own (so that port 25 and 53 and
// /etc/resolv.conf are ours alone), and runs dnsmasq on 127.0.0.1:53.
class MailNet : public ::testing::Environment {
public:
    static bool ready() { return ready_; }

    void SetUp() override {
        if (!testutil::in_private_netns() || !testutil::own_network(true)) return;
        dir_ = new TempDir;
        testutil::write_file(*dir_ / "resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
        testutil::write_file(*dir_ / "hosts", "127.0.0.1 localhost\n");
        if (mount((*dir_ / "resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
            mount((*dir_ / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            return;
        // A black hole: connections to it get no answer at all.
        if (!testutil::nft({"add", "table", "ip", "mailtest"}) ||
            !testutil::nft({"add", "chain", "ip", "mailtest", "in", "{ type filter hook input priority 0; }"}) ||
            !testutil::nft({"add", "rule", "ip", "mailtest", "in", "ip", "daddr", "127.0.1.84", "tcp", "dport",
                            "25", "drop"}))
            return;
        std::vector<std::string> argv = {"/usr/sbin/dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null",
                                         "--user=root", "--port=53", "--listen-address=127.0.0.1",
                                         "--bind-interfaces", "--no-resolv", "--no-hosts",
                                         "--local=/test/", "--pid-file=" + *dir_ / "dnsmasq.pid"};
        for (const char *r : kDnsRecords) argv.emplace_back(r);
        dnsmasq_ = new testutil::Proc(argv, {}, *dir_ / "dnsmasq.out");
        ready_ = testutil::wait_until(
            [] {
                char *h[100];
                int rc;
                return getmxrr("good.test", h, nullptr, &rc) == 1;
            },
            seconds(10));
    }
    void TearDown() override {
        delete dnsmasq_;
        delete dir_;
    }

private:
    static inline bool ready_ = false;
    testutil::Proc *dnsmasq_ = nullptr;
    TempDir *dir_ = nullptr;
};
::testing::Environment *const mail_net = ::testing::AddGlobalTestEnvironment(new MailNet);

#define REQUIRE_NETWORK() \
    if (!MailNet::ready()) GTEST_SKIP() << "needs root in a private network namespace"

// The mail sink of tests/support on addr:25.
struct Sink {
    TempDir dir;
    std::unique_ptr<testutil::Proc> proc;
    explicit Sink(const std::string &addr) : proc(testutil::smtp_sink(addr, dir.path())) {}
    std::vector<std::string> messages() const { return testutil::mails(dir.path()); }
};

// A scripted SMTP server on addr:25: fixed replies by verb ("." ends the
// data), everything it receives kept byte for byte. Without a greeting it
// accepts and never says a word.
struct Script {
    std::vector<std::string> greeting = {"220 scripted ready\r\n"};   // written with pauses between
    std::map<std::string, std::string> reply = {{"HELO", "250 hello\r\n"}, {"MAIL", "250 ok\r\n"},
                                                {"RCPT", "250 ok\r\n"},    {"DATA", "354 go ahead\r\n"},
                                                {".", "250 queued\r\n"}};
    bool hang_up_after_greeting = false;
    bool junk = false;                    // endless bytes, never a line end
    std::function<void()> on_quit;
};

class ScriptedServer {
public:
    ScriptedServer(const std::string &addr, Script script, int port = 25) : script_(std::move(script)) {
        lfd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port));
        sin.sin_addr.s_addr = inet_addr(addr.c_str());
        ok_ = bind(lfd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0 && listen(lfd_, 8) == 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        close(lfd_);
    }
    bool ok() const { return ok_; }
    int connections() const { return connections_; }
    std::string transcript() {
        std::lock_guard<std::mutex> g(mu_);
        return transcript_;
    }

private:
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 50) > 0;
    }
    void serve() {
        while (!stop_) {
            int c = readable(lfd_) ? accept(lfd_, nullptr, nullptr) : -1;
            if (c < 0) continue;
            ++connections_;
            session(c);
            close(c);
        }
    }
    void say(int c, const std::string &s) { send(c, s.data(), s.size(), MSG_NOSIGNAL); }
    bool line(int c, std::string &out) {
        out.clear();
        for (char ch; !stop_;) {
            if (!readable(c)) continue;
            if (recv(c, &ch, 1, 0) != 1) return false;
            out += ch;
            if (ch == '\n') return true;
        }
        return false;
    }
    void session(int c) {
        for (size_t i = 0; i < script_.greeting.size(); ++i) {
            if (i) std::this_thread::sleep_for(milliseconds(60));
            say(c, script_.greeting[i]);
        }
        if (script_.hang_up_after_greeting) return;
        if (script_.junk) {
            for (std::string junk(1024, 'x'); !stop_; std::this_thread::sleep_for(milliseconds(1)))
                if (send(c, junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) return;
            return;
        }
        std::string l;
        while (line(c, l)) {
            record(l);
            std::string verb = l.substr(0, 4);
            for (char &ch : verb) ch = static_cast<char>(toupper(ch));
            if (verb == "QUIT") {
                if (script_.on_quit) script_.on_quit();
                return say(c, "221 bye\r\n");
            }
            auto r = script_.reply.find(verb);
            say(c, r == script_.reply.end() ? "500 what\r\n" : r->second);
            if (verb != "DATA" || r->second.rfind("354", 0) != 0) continue;
            std::string body;
            while (!body.ends_with("\r\n.\r\n") && body != ".\r\n") {
                if (!line(c, l)) return;
                body += l;
            }
            record(body);
            say(c, script_.reply["."]);
        }
    }
    void record(const std::string &s) {
        std::lock_guard<std::mutex> g(mu_);
        transcript_ += s;
    }

    Script script_;
    int lfd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mu_;
    std::string transcript_;
    std::thread thread_;
};

MailRequest request(const char *to, const char *subject = "Node down", const char *body = "text") {
    MailRequest r{};
    r.to = to;
    r.from = "alerts@kord.test";
    r.subject = subject;
    r.body = body;
    return r;
}

// The name mail() greets with: this host's, never the exchanger's.
std::string helo() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string &name = sorvan::helo_name();
    EXPECT_EQ(name.rfind(host, 0), 0u) << name << " does not name " << host;
    return "HELO " + name + "\r\n";
}

Script silent() {
    Script s;
    s.greeting.clear();
    return s;
}

// Shorter reply time-outs, so that silent servers cost little here.
class ReplyTimeout {
public:
    explicit ReplyTimeout(int ms) : saved_(sorvan::mail_reply_timeout_ms.exchange(ms)) {}
    ~ReplyTimeout() { sorvan::mail_reply_timeout_ms = saved_; }

private:
    int saved_;
};

}  // namespace

// ------------------------------------------------------------ the MX walk

TEST(MxAnswer, SortUniqueAndLimits) {
    Entries got = walk(answer({{15, 20, "b.x.test"}, {5, 0, "cname.x.test"}, {15, 10, "A.x.test"},
                               {15, 10, "a.X.test"}, {15, 30, "c.x.test"}, {15, 5, "b.x.test"}}));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(strcasecmp(got[1].second.c_str(), "a.x.test"), 0);   // either spelling may stay
    got[1].second = "a.x.test";
    // The same host under two preferences is no neighbour of itself: it stays twice.
    EXPECT_EQ(got, (Entries{{5, "b.x.test"}, {10, "a.x.test"}, {20, "b.x.test"}, {30, "c.x.test"}}));
    EXPECT_TRUE(walk(answer({{1, 0, "a.x.test"}})).empty());

    std::vector<Rr> many;
    for (int i = 0; i < 120; ++i) many.emplace_back(15, 1000 - i, "h" + std::to_string(i) + ".x.test");
    Entries m = walk(answer(many));
    ASSERT_EQ(m.size(), 99u);   // only the first 99 records count
    EXPECT_EQ(m.front(), (std::pair<uint16_t, std::string>{902, "h98.x.test"}));
    EXPECT_EQ(m.back(), (std::pair<uint16_t, std::string>{1000, "h0.x.test"}));
    // A name buffer too small for all names ends the walk, never overruns it.
    size_t few = walk(answer(many), 40).size();
    EXPECT_TRUE(few > 0 && few < 4) << few;
}

TEST(SmtpBody, CrlfLineEndsAndDotStuffing) {
    EXPECT_EQ(sorvan::smtp_body(""), "");
    EXPECT_EQ(sorvan::smtp_body("one\ntwo"), "one\r\ntwo\r\n");
    EXPECT_EQ(sorvan::smtp_body("one\r\ntwo\r\n"), "one\r\ntwo\r\n");
    EXPECT_EQ(sorvan::smtp_body("a\rb\n\n"), "a\r\nb\r\n\r\n");
    EXPECT_EQ(sorvan::smtp_body(".\n..x\nmid.dle\n."), "..\r\n...x\r\nmid.dle\r\n..\r\n");
}

// ------------------------------------------------------------ lookups

TEST(MailLookup, ResultCodesOrderAndUndeliverableRecipients) {
    REQUIRE_NETWORK();
    char *hosts[100];
    uint16_t prefs[100];
    int rc = -5;
    ASSERT_EQ(getmxrr("order.test", hosts, prefs, &rc), 2);
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(hosts[0], "mx10.order.test");
    EXPECT_EQ(prefs[0], 10);
    EXPECT_STREQ(hosts[1], "mx20.order.test");
    EXPECT_EQ(prefs[1], 20);
    EXPECT_EQ(getmxrr("dup.test", hosts, nullptr, &rc), 1);
    for (auto [domain, n, code] : {std::tuple{"nx.test", 0, 68}, {"nomx.test", 0, 0}, {"tmpfail.test", -1, 75}}) {
        EXPECT_EQ(getmxrr(domain, hosts, prefs, &rc), n) << domain;
        EXPECT_EQ(rc, code) << domain;
    }

    for (const char *to : {"bob@nx.test", "bob@nomx.test", "no-at-sign", "bob\r\nRCPT TO: <eve@good.test>@good.test"}) {
        MailRequest r = request(to);
        EXPECT_EQ(mail(&r), -1) << to;
    }
    EXPECT_EQ(mail(nullptr), -1);
    MailRequest r = request("bob@tmpfail.test");   // a temporary failure: nothing tried, not an error
    EXPECT_EQ(mail(&r), 0);
}

// ------------------------------------------------------------ delivery

TEST(MailDelivery, HeadersBodyAndLineEndsAsReceived) {
    REQUIRE_NETWORK();
    Sink sink("127.0.1.40");
    ASSERT_TRUE(sink.proc);

    MailRequest r = request("bob@good.test", "Node web1 down", ".hidden\n..two\nmiddle\n.\nlast");
    r.html = 1;
    ASSERT_EQ(mail(&r), 0);
    MailRequest bare = request("bob@good.test", nullptr, nullptr);
    bare.html = 2;
    ASSERT_EQ(mail(&bare), 0);

    auto msgs = sink.messages();
    ASSERT_EQ(msgs.size(), 2u);
    if (!testutil::contains(msgs[0], "web1")) std::swap(msgs[0], msgs[1]);
    std::regex shape(
        "X-Envelope: MAIL FROM:<alerts@kord.test> RCPT TO:<bob@good.test>\r\n"
        "X-Helo: [^\r\n]+\r\n"
        "From: <alerts@kord.test>\r\n"
        "To: bob <bob@good.test>\r\n"
        "subject: Node web1 down\r\n"
        "Message-ID: <KELVANE\\.[0-9]+\\.[0-9]{14}@[^>\r\n]+>\r\n"
        "Date: [A-Z][a-z]{2}, [1-9][0-9]? [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} (GMT|[-+][0-9]{4})\r\n"
        "Content-Type: text/html; charset=\"iso-8859-1\"\r\n"
        "\r\n"
        "\\.hidden\r\n\\.\\.two\r\nmiddle\r\n\\.\r\nlast\r\n");
    EXPECT_TRUE(std::regex_match(msgs[0], shape)) << msgs[0];
    EXPECT_TRUE(testutil::contains(msgs[0], "\r\nX-Helo: " + helo().substr(5))) << msgs[0];

    std::regex bare_shape(
        "X-Envelope: [^\r\n]*\r\nX-Helo: [^\r\n]*\r\nFrom: <alerts@kord.test>\r\nTo: bob <bob@good.test>\r\n"
        "Message-ID: [^\r\n]*\r\nDate: [^\r\n]*\r\n\r\n");
    EXPECT_TRUE(std::regex_match(msgs[1], bare_shape)) << msgs[1];
}

TEST(MailDialogue, CommandsEndInCrlfAndRepliesAreReadWhole) {
    REQUIRE_NETWORK();
    Script s;
    // Multi-line replies, the greeting even in two pieces: a client that
    // takes one read per reply falls a reply behind.
    s.greeting = {"220-mx.script.test first line\r\n", "220-second line\r\n220 ready\r\n"};
    s.reply["HELO"] = "250-mx.script.test\r\n250-SIZE 100000\r\n250 HELP\r\n";
    const std::string envelope = "MAIL FROM: <alerts@kord.test>\r\nRCPT TO: <bob@script.test>\r\n";
    {
        ScriptedServer srv("127.0.1.50", s);
        ASSERT_TRUE(srv.ok());
        MailRequest r = request("bob@script.test", "up", "line\n");
        EXPECT_EQ(mail(&r), 0);
        testutil::wait_until([&] { return srv.transcript().ends_with("QUIT\r\n"); }, seconds(2));
        std::string t = srv.transcript();
        EXPECT_EQ(t.substr(0, t.find("From:")), helo() + envelope + "DATA\r\n");
        EXPECT_TRUE(t.ends_with("\r\n\r\nline\r\n.\r\nQUIT\r\n")) << t;
    }
    s.reply["RCPT"] = "550-no such\r\n550 user\r\n";
    ScriptedServer srv("127.0.1.50", s);
    MailRequest r = request("bob@script.test");
    EXPECT_EQ(mail(&r), 1);
    testutil::wait_until([&] { return srv.transcript().ends_with("QUIT\r\n"); }, seconds(2));
    EXPECT_EQ(srv.transcript(), helo() + envelope + "QUIT\r\n");
}

TEST(MailDialogue, ExchangersInPreferenceOrderAndHeloRefusal) {
    REQUIRE_NETWORK();
    Script refuse_helo, other_helo;
    refuse_helo.reply["HELO"] = "502 not here\r\n";
    other_helo.reply["HELO"] = "500 syntax\r\n";   // only 502 turns us away
    MailRequest r = request("bob@order.test");
    {
        ScriptedServer mx10("127.0.1.10", refuse_helo), mx20("127.0.1.20", Script{});
        EXPECT_EQ(mail(&r), 0);
        testutil::wait_until([&] { return mx20.transcript().ends_with("QUIT\r\n"); }, seconds(2));
        EXPECT_EQ(mx10.transcript(), helo() + "QUIT\r\n");
        EXPECT_TRUE(testutil::contains(mx20.transcript(), "DATA\r\n"));
    }
    {
        ScriptedServer mx10("127.0.1.10", other_helo), mx20("127.0.1.20", Script{});
        EXPECT_EQ(mail(&r), 0);
        EXPECT_TRUE(testutil::contains(mx10.transcript(), "DATA\r\n"));
        EXPECT_EQ(mx20.connections(), 0);
    }
    ScriptedServer dup("127.0.1.30", refuse_helo);   // listed twice, tried once
    r.to = "bob@dup.test";
    EXPECT_EQ(mail(&r), 0);
    EXPECT_EQ(dup.connections(), 1);
}

TEST(MailRefusal, NoticeToSupportWhileTheRefusingConnectionIsOpen) {
    REQUIRE_NETWORK();
    Sink vendor("127.0.1.70");
    ASSERT_TRUE(vendor.proc);
    setenv("TESSARON_SUPPORT_MAIL", "help@vendor.test", 1);
    setenv("TESSARON_SALES_MAIL", "sales@vendor.test", 1);

    std::atomic<size_t> notices_at_quit{99};
    Script s;
    s.on_quit = [&] { notices_at_quit = vendor.messages().size(); };
    MailRequest r = request("bob@refuse.test");
    // Refused with the flag, then without it (nobody told), then refused
    // only for now: no verdict on the address.
    for (auto [flag, reply, want] : {std::tuple{1, "550 5.1.1 no such user\r\n", 1}, {0, "550 5.1.1 no such user\r\n", 1},
                                     {1, "450 4.2.1 try later\r\n", 0}}) {
        s.reply["RCPT"] = reply;
        ScriptedServer srv("127.0.1.60", s);
        r.report_bad_recipient = flag;
        EXPECT_EQ(mail(&r), want) << reply;
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_FALSE(testutil::contains(srv.transcript(), "DATA")) << reply;
        if (flag && want) {
            EXPECT_EQ(notices_at_quit, 1u);   // sent before our QUIT
        }
    }
    auto msgs = vendor.messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].rfind("X-Envelope: MAIL FROM:<sales@vendor.test> RCPT TO:<help@vendor.test>\r\n", 0), 0u);
    EXPECT_TRUE(testutil::contains(msgs[0], "\r\nsubject: Bad acct <bob@refuse.test>\r\n"));
    EXPECT_TRUE(testutil::contains(msgs[0], "\r\n\r\nThis email address shall be deleted\r\n"));
    unsetenv("TESSARON_SUPPORT_MAIL");
    unsetenv("TESSARON_SALES_MAIL");
}

TEST(MailReport, OutcomesExchangerLimitDeadlineAndBadExchangers) {
    REQUIRE_NETWORK();
    char rep[1024];
    MailRequest r = request("bob@nx.test");
    EXPECT_EQ(mail_report(&r, 0, 0, rep, sizeof rep), -1);
    EXPECT_STREQ(rep, "not sent: no mail exchanger for nx.test (no such domain)");
    {
        Sink sink("127.0.1.40");
        ASSERT_TRUE(sink.proc);
        r.to = "bob@good.test";
        EXPECT_EQ(mail_report(&r, 0, 0, rep, sizeof rep), 0);
        EXPECT_EQ(std::string(rep).rfind("accepted by mx.good.test [127.0.1.40]:25 (250", 0), 0u) << rep;
    }
    {
        Script s;
        s.reply["RCPT"] = "550 5.1.1 no such user\r\n";
        ScriptedServer srv("127.0.1.60", s);
        r.to = "bob@refuse.test";
        EXPECT_EQ(mail_report(&r, 0, 0, rep, sizeof rep), 1);
        EXPECT_STREQ(rep, "recipient refused by mx.refuse.test [127.0.1.60]:25 (550 5.1.1 no such user)");
    }

    // slow.test: a silent exchanger first, then six more.
    ScriptedServer quiet("127.0.1.81", silent());
    r.to = "bob@slow.test";
    auto t0 = steady_clock::now();
    EXPECT_EQ(mail_report(&r, 700, 0, rep, sizeof rep), 0);   // the 10 s reply wait is cut short
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 8000);   // below the 10 s
    EXPECT_EQ(std::string(rep).rfind("not sent: the mail's deadline passed after 1 of 7 exchangers: "
                                      "silent.slow.test [127.0.1.81]:25: no greeting: the mail's deadline passed", 0),
              0u) << rep;
    ReplyTimeout quick(200);
    EXPECT_EQ(mail_report(&r, 0, 2, rep, sizeof rep), 0);
    EXPECT_STREQ(rep, "not sent: 2 of 7 exchangers tried: silent.slow.test [127.0.1.81]:25: no greeting: no reply "
                      "within 200 ms; junk.slow.test [127.0.1.82]:25: connection failed (Connection refused)");

    // Without those limits every bad exchanger costs only its time-out.
    Sink last("127.0.1.85");
    ASSERT_TRUE(last.proc);
    Script junk, hangup;
    junk.junk = true;                      // 20: endless bytes without a line end
    hangup.hang_up_after_greeting = true;  // 35: greets and hangs up
    ScriptedServer junk_srv("127.0.1.82", junk), hangup_srv("127.0.1.86", hangup);
    // 30: nobody listens; 40: packets dropped (connect time-out 1.5 s);
    // 45: no address; 50: the sink.
    t0 = steady_clock::now();
    EXPECT_EQ(mail(&r), 0);
    long ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    EXPECT_EQ(last.messages().size(), 1u);
    EXPECT_GE(ms, 1500);
    EXPECT_LT(ms, 6000);
    std::printf("mail past five bad exchangers: %ld ms\n", ms);
    EXPECT_EQ(quiet.connections(), 3);
    EXPECT_EQ(junk_srv.connections(), 1);
    EXPECT_EQ(hangup_srv.connections(), 1);
}

TEST(MailRelay, EveryMailGoesThroughTheRelay) {
    REQUIRE_NETWORK();
    char rep[1024];
    {
        ScriptedServer relay("127.0.1.90", Script{}, 2525);
        ASSERT_TRUE(relay.ok());
        setenv("TESSARON_SMTP_RELAY", "127.0.1.90:2525", 1);
        MailRequest r = request("bob@nx.test");   // no such domain: only a relay takes it
        EXPECT_EQ(mail_report(&r, 0, 0, rep, sizeof rep), 0);
        EXPECT_STREQ(rep, "accepted by 127.0.1.90 [127.0.1.90]:2525 (250 queued)");
        testutil::wait_until([&] { return relay.transcript().ends_with("QUIT\r\n"); }, seconds(2));
        EXPECT_EQ(relay.transcript().rfind(helo() + "MAIL FROM: <alerts@kord.test>\r\nRCPT TO: <bob@nx.test>\r\n", 0),
                  0u);
    }
    {   // By name, on port 25.
        Sink sink("127.0.1.40");
        ASSERT_TRUE(sink.proc);
        setenv("TESSARON_SMTP_RELAY", "mx.good.test", 1);
        MailRequest r = request("bob@nomx.test");
        EXPECT_EQ(mail(&r), 0);
        ASSERT_EQ(sink.messages().size(), 1u);
        EXPECT_TRUE(testutil::contains(sink.messages()[0], "RCPT TO:<bob@nomx.test>"));
    }
    MailRequest r = request("bob@good.test");
    setenv("TESSARON_SMTP_RELAY", "mx.good.test:25x", 1);
    EXPECT_EQ(mail_report(&r, 0, 0, rep, sizeof rep), -1);
    EXPECT_STREQ(rep, "not sent: TESSARON_SMTP_RELAY \"mx.good.test:25x\" is not host[:port]");
    setenv("TESSARON_SMTP_RELAY", "127.0.1.91:2525", 1);   // nobody there
    EXPECT_EQ(mail_report(&r, 0, 0, rep, sizeof rep), 0);
    EXPECT_STREQ(rep, "not sent: relay 127.0.1.91 [127.0.1.91]:2525: connection failed (Connection refused)");
    unsetenv("TESSARON_SMTP_RELAY");
}
