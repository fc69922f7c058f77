// Node workers: failure counting, down alerts, threshold latches and checks,
// and a worker's whole life against real ICMP on loopback.
#include <gtest/gtest.h>


#include <cstring>
#include <ctime>
#include <vector>

#include "master/kord.h"

using namespace kord;

namespace {

int g_sent = 0;
std::vector<std::string> g_texts;
int count_sender(void *) { return ++g_sent, 7; }
int text_sender(void *r) {
    g_texts.push_back(static_cast<ThresholdAlert *>(r)->text);
    return 0;
}

// The state after each of a run of failures.
std::vector<uint32_t> states_after_failures(uint32_t retries, int n) {
    ProbeStatus s{};
    std::vector<uint32_t> out;
    for (int i = 0; i < n; i++) {
        status_fail(&s, retries);
        out.push_back(s.state);
    }
    return out;
}

}  // namespace

TEST(StatusRecords, DownOnTheRetriesPlusOnethFailure) {
    EXPECT_EQ(states_after_failures(2, 3), (std::vector<uint32_t>{2, 2, 3}));
    // With retries 1 the first failure leaves the state as it was (0 before
    // any probe, 1 after an answer); the second makes it down.
    ProbeStatus s{};
    status_ok(&s);
    status_fail(&s, 1);
    EXPECT_EQ(s.state, kStateUp);
    status_fail(&s, 1);
    EXPECT_EQ(s.state, kStateDown);
    // Further failures keep it down; an answer brings it up with no failures.
    status_fail(&s, 1);
    EXPECT_EQ(s.state, kStateDown);
    EXPECT_EQ(s.failures, 3u);
    status_ok(&s);
    EXPECT_EQ(s.state, kStateUp);
    EXPECT_EQ(s.failures, 0u);

    // The cycle counter wraps once it passes retries.
    ProbeStatus c{};
    for (int i = 0; i < 3; i++) status_step(&c, 2);
    EXPECT_EQ(c.cycle, 0u);
}

TEST(StatusRecords, OneDownAlertPerIntervalAndNoneAfterQuickRecovery) {
    ProbeStatus s{};
    g_sent = 0;
    EXPECT_EQ(alert_raise(&s, count_sender, nullptr), 0);  // not down: nothing
    EXPECT_EQ(g_sent, 0);
    s.state = kStateDown;
    EXPECT_EQ(alert_raise(&s, count_sender, nullptr), 7);
    EXPECT_EQ(s.alert_flags & 3, 3u);
    EXPECT_EQ(alert_raise(&s, count_sender, nullptr), 0);
    EXPECT_EQ(g_sent, 1);

    // Recovery keeps the flags: failing again within the interval is silent.
    status_ok(&s);
    s.state = kStateDown;
    alert_expire(&s, 1);
    EXPECT_EQ(alert_raise(&s, count_sender, nullptr), 0);
    EXPECT_EQ(g_sent, 1);

    // Once the interval has passed the flags go and the next alert goes out.
    s.alert_time = uint32_t(time(nullptr)) - 61;
    alert_expire(&s, 1);
    EXPECT_EQ(s.alert_flags & 3, 0u);
    alert_raise(&s, count_sender, nullptr);
    EXPECT_EQ(g_sent, 2);
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
    g_texts.clear();
    ThresholdAlert rec{};
    rec.sender = text_sender;
    rec.group = &g;
    rec.slot = &s;
    strcpy(rec.text, "x");
    AlertLatch l{};
    latch_alert(&l, 1, &rec);
    latch_alert(&l, 1, &rec);
    EXPECT_EQ(g_texts.size(), 1u);
    l.time -= 61;
    latch_alert(&l, 1, &rec);  // expired: cleared now, sent on the next call
    latch_alert(&l, 1, &rec);
    EXPECT_EQ(g_texts.size(), 2u);

    // check_thresholds mails through threshold_mail; without a group
    // address that declines, so only the bits and latches are seen here.
    check_thresholds(&g, &s);
    EXPECT_EQ(s.mem_status, 0x1u | kMemLowBit);
    EXPECT_EQ(s.conn_status & kConnHighBit, kConnHighBit);
    EXPECT_EQ(s.fs_status[0] & kFsLowBit, kFsLowBit);
    EXPECT_EQ(s.fs_status[1], 0x4u);
    EXPECT_EQ(s.fs_summary & kFsAnyBit, kFsAnyBit);
    EXPECT_EQ(s.mem_latch.flags & 3, 3u);
    EXPECT_EQ(s.conn_latch.flags & 3, 3u);
    EXPECT_EQ(s.fs_latch[0].flags & 3, 3u);
    EXPECT_EQ(s.fs_latch[1].flags, 0u);

    // Conditions gone: bits clear, latches stay.
    s.agent_stats.word[2] = 600;
    s.agent_stats.word[11] = 100;
    s.agent_stats.drive[0].free_mb = 10;
    check_thresholds(&g, &s);
    EXPECT_EQ(s.mem_status, 0x1u);
    EXPECT_EQ(s.conn_status, 0u);
    EXPECT_EQ(s.fs_summary & kFsAnyBit, 0u);
    EXPECT_EQ(s.mem_latch.flags & 3, 3u);

    // No group address: threshold_mail declines.
    ThresholdAlert none{};
    EXPECT_EQ(threshold_mail(&none), -1);
    none.group = &g;
    none.slot = &s;
    EXPECT_EQ(threshold_mail(&none), -1);
}
