// Node workers: failure counting, down alerts, threshold latches and checks;
// the mailer's queue.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <poll.h>

#include "master/kord.h"
#include "tests/support/testutil.h"

using namespace kord;

namespace {

int g_sent = 0;
int count_sender(void *) { return ++g_sent, 7; }

}  // namespace

TEST(StatusRecords, DownOnTheRetriesPlusOnethFailureOneAlertPerInterval) {
    // With retries 1 the first failure leaves the state as it was (1 after
    // an answer); the second makes it down, an answer brings it up.
    ProbeStatus s{};
    status_ok(&s);
    status_fail(&s, 1);
    EXPECT_EQ(s.state, kStateUp);
    status_fail(&s, 1);
    status_fail(&s, 1);
    EXPECT_EQ(s.state, kStateDown);
    EXPECT_EQ(s.failures, 3u);
    g_sent = 0;
    EXPECT_EQ(alert_raise(&s, count_sender, nullptr), 7);
    EXPECT_EQ(alert_raise(&s, count_sender, nullptr), 0);
    EXPECT_EQ(g_sent, 1);
    status_ok(&s);
    EXPECT_EQ(s.state, kStateUp);
    EXPECT_EQ(s.failures, 0u);
    EXPECT_EQ(alert_raise(&s, count_sender, nullptr), 0);   // not down: nothing

    // Recovery keeps the flags: failing again within the interval is silent.
    s.state = kStateDown;
    alert_expire(&s, 1);
    EXPECT_EQ(alert_raise(&s, count_sender, nullptr), 0);
    s.alert_time = uint32_t(time(nullptr)) - 61;
    alert_expire(&s, 1);
    EXPECT_EQ(s.alert_flags & 3, 0u);
    alert_raise(&s, count_sender, nullptr);
    EXPECT_EQ(g_sent, 2);

    ProbeStatus f{};
    for (uint32_t want : {2u, 2u, 3u}) {   // retries 2: failing, failing, down
        status_fail(&f, 2);
        EXPECT_EQ(f.state, want);
    }
    ProbeStatus c{};   // the cycle counter wraps once it passes retries
    for (int i = 0; i < 3; i++) status_step(&c, 2);
    EXPECT_EQ(c.cycle, 0u);
}

TEST(Thresholds, LatchesSetBitsAndRepeatOnlyAfterTheInterval) {
    static GroupRecord g{};  // large: keep it off the stack
    g = GroupRecord{};
    strcpy(g.name, "web");
    g.alert_interval_min = 1;
    NodeRecord &s = g.slot[0];
    strcpy(s.name, "n1");
    s.min_vm = 512;
    s.min_fs = 10;
    s.max_connections = 100;
    s.agent_stats.word[2] = 100;   // free memory below 512
    s.agent_stats.word[11] = 101;  // connections above 100
    strcpy(s.agent_stats.drive[0].name, "/");
    s.agent_stats.drive[0].total_mb = 1000;
    s.agent_stats.drive[0].free_mb = 5;
    strcpy(s.agent_stats.drive[1].name, "C:\\");  // no slash: never compared
    s.agent_stats.drive[1].total_mb = 1000;
    s.agent_stats.drive[1].free_mb = 0;
    s.fs_status[1] = 0x80 | 0x4;  // a stale bit clears, other bits stay
    s.mem_status = 0x1;

    // A latch sends once, then again only after the interval has passed.
    g_sent = 0;
    ThresholdAlert rec{};
    rec.sender = count_sender;
    rec.group = &g;
    rec.slot = &s;
    AlertLatch l{};
    latch_alert(&l, 1, &rec);
    latch_alert(&l, 1, &rec);
    EXPECT_EQ(g_sent, 1);
    l.time -= 61;
    latch_alert(&l, 1, &rec);  // expired: cleared now, sent on the next call
    latch_alert(&l, 1, &rec);
    EXPECT_EQ(g_sent, 2);

    // check_thresholds mails through threshold_mail; without a group
    // address that declines, so only the bits and latches are seen here.
    check_thresholds(&g, &s);
    EXPECT_EQ(s.mem_status, 0x1u | kMemLowBit);
    EXPECT_EQ(s.conn_status & kConnHighBit, kConnHighBit);
    EXPECT_EQ(s.fs_status[0] & kFsLowBit, kFsLowBit);
    EXPECT_EQ(s.fs_status[1], 0x4u);
    EXPECT_EQ(s.fs_summary & kFsAnyBit, kFsAnyBit);
    EXPECT_EQ(s.conn_latch.flags & 3, 3u);
    EXPECT_EQ(s.fs_latch[1].flags, 0u);

    // Conditions gone: bits clear, latches stay.
    s.agent_stats.word[2] = 600;
    s.agent_stats.word[11] = 100;   // at the limit is not above it
    s.agent_stats.drive[0].free_mb = 10;
    check_thresholds(&g, &s);
    EXPECT_EQ(s.mem_status, 0x1u);
    EXPECT_EQ(s.conn_status, 0u);
    EXPECT_EQ(s.fs_summary & kFsAnyBit, 0u);
    EXPECT_EQ(s.mem_latch.flags & 3, 3u);
}

// Posting never waits for the mail: with the relay silent, the mailer sits
// on the first mail while the queue fills and sheds its oldest.
TEST(Mailer, PostingNeverBlocksAndAFullQueueDropsTheOldest) {
    const std::string &log = testutil::log_file("mailer");
    uint16_t port = 0;
    int relay = testutil::loopback_socket(&port);   // listens, never greets
    ASSERT_GE(relay, 0);
    setenv("TESSARON_SMTP_RELAY", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);

    const int n = int(kMailQueueMax) + 3;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) {
        std::string subject = "m" + std::to_string(i);
        MailRequest r{};
        r.to = r.from = "ops@x.test";
        r.subject = subject.c_str();
        post_mail(&r);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    // Three too many: whichever the mailer took first, the mails dropped are
    // among the three oldest, and no later one.
    auto drops = [&](int from, int to) {
        const std::string text = testutil::read_file(log);
        int k = 0;
        for (int i = from; i < to; i++)
            k += testutil::contains(text, "mail to ops@x.test \"m" + std::to_string(i) + "\": dropped, mail queue full");
        return k;
    };
    EXPECT_TRUE(testutil::wait_until([&] { return drops(0, 3) >= 2; }, std::chrono::seconds(2)))
        << testutil::read_file(log);
    EXPECT_EQ(drops(3, n), 0);

    // At the stop every mail not sent is told of, and later ones too.
    pollfd p{relay, POLLIN, 0};
    ASSERT_TRUE(testutil::wait_until([&] { return poll(&p, 1, 0) == 1; }, std::chrono::seconds(2)))
        << "the mailer is at the relay";
    mailer_stop();
    MailRequest late{};
    late.to = late.from = "ops@x.test";
    late.subject = "late";
    post_mail(&late);
    const std::string text = testutil::read_file(log);
    EXPECT_TRUE(testutil::contains(text, "\": not sent: kord stopped while sending it")) << text;
    EXPECT_TRUE(testutil::contains(text, "\"m" + std::to_string(n - 1) + "\": not sent: kord stopped")) << text;
    EXPECT_TRUE(testutil::contains(text, "\"late\": not sent: kord stopped")) << text;
    close(relay);
}
