// The data map and control map records that kord publishes for the traffic
// controller. This layout is an external format: every offset is fixed and
// checked below; integers are 32-bit little-endian, texts NUL-terminated.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "maps/names.h"
#include "util/sorvan.h"

static_assert(std::endian::native == std::endian::little,
              "the maps are little-endian and read in place");

namespace kord {

inline constexpr uint32_t kGroupRecordSize = 3240;
inline constexpr uint32_t kNodeRecordSize = 732;
inline constexpr int kSlotsPerGroup = 4;

// Status-word bits.
inline constexpr uint32_t kMemLowBit = 0x40;
inline constexpr uint32_t kFsLowBit = 0x80;
inline constexpr uint32_t kFsAnyBit = 0x1;
inline constexpr uint32_t kConnHighBit = 0x100;

struct ProbeStatus {
    uint32_t cycle;        // incremented each probe, wraps past retries
    uint32_t failures;     // consecutive failures
    uint32_t state;        // 1 up, 2 failing, 3 down, 0 before the first probe
    uint32_t alert_flags;  // bits 0 and 1, set and cleared together
    uint32_t alert_time;   // last alert, seconds since the epoch
};

struct AlertLatch {
    uint32_t flags;
    uint32_t time;
};

struct NodeRecord {
    char name[32];
    uint32_t thread_id;        // 32: worker id from CreateChild, 0 when none
    uint32_t group_index;      // 36
    uint32_t slot_index;       // 40
    int32_t conn_fd;           // 44: descriptor of the last agent query
    uint32_t addr;             // 48: IPv4, network order
    ProbeStatus ping;          // 52
    ProbeStatus agent;         // 72
    ProbeStatus port_summary;  // 92
    ProbeStatus fourth;        // 112: never updated, copied for mirrors
    AlertLatch fs_latch[8];    // 132
    AlertLatch mem_latch;      // 196
    AlertLatch conn_latch;     // 204
    int32_t last_ping;         // 212
    float ratio[3];            // 216: agent words 8, 9, 10 / word 6
    float mean_ratio;          // 228: agent word 7 / word 6
    uint8_t extra[8];          // 232
    uint32_t next_slot;        // 240
    uint32_t prev_slot;        // 244
    uint8_t unused248[12];     // 248
    AgentStats agent_stats;    // 260: host order
    uint32_t zero512;          // 512
    uint16_t port;             // 516: probed TCP port, 0 = none
    char port_label[8];        // 518: not terminated when full
    char port_mail[64];        // 526
    uint16_t unused590;        // 590
    ProbeStatus port_status;   // 592
    uint8_t unused612[20];     // 612
    uint32_t name_changed;     // 632
    uint32_t mem_status;       // 636
    uint32_t conn_status;      // 640
    uint32_t fs_status[8];     // 644
    uint32_t fs_summary;       // 676
    uint32_t peer_copies;      // 680
    uint8_t unused684[8];      // 684
    uint32_t min_fs;           // 692, megabytes
    uint32_t min_vm;           // 696, kilobytes
    uint32_t unused700;        // 700
    int32_t max_connections;   // 704
    int32_t traffic_alloc;     // 708
    uint32_t unused712;        // 712
    uint32_t worker_tid;       // 716: non-zero exactly while the worker runs
    uint32_t worker_handle;    // 720
    uint32_t worker_mutex;     // 724
    uint32_t worker_stop;      // 728
};

struct GroupRecord {
    char name[32];                 // 0
    char domain[64];               // 32
    char passwd[24];               // 96
    char peer[96];                 // 120: "group.domain" of a mirror's peer
    uint32_t method;               // 216: method bits
    uint32_t timeout_us;           // 220
    uint32_t retries;              // 224
    uint16_t agent_port;           // 228
    uint16_t unused230;            // 230
    uint32_t interval_us;          // 232
    uint32_t alert_interval_min;   // 236
    char mailto[32];               // 240
    int32_t param2;                // 272
    uint32_t first_slot;           // 276
    uint32_t last_slot;            // 280
    uint8_t unused284[8];          // 284
    uint32_t next_group;           // 292: link, 0 in the last record
    NodeRecord slot[kSlotsPerGroup];  // 296
    uint32_t node_count;           // 3224
    uint32_t worker_count;         // 3228
    uint32_t unused3232;           // 3232
    int32_t param1;                // 3236
};

static_assert(sizeof(ProbeStatus) == 20);
static_assert(sizeof(AlertLatch) == 8);
static_assert(sizeof(DriveInfo) == 24);
static_assert(sizeof(AgentStats) == 252);
static_assert(offsetof(AgentStats, drive) == 60);

static_assert(offsetof(NodeRecord, name) == 0);
static_assert(offsetof(NodeRecord, thread_id) == 32);
static_assert(offsetof(NodeRecord, group_index) == 36);
static_assert(offsetof(NodeRecord, slot_index) == 40);
static_assert(offsetof(NodeRecord, conn_fd) == 44);
static_assert(offsetof(NodeRecord, addr) == 48);
static_assert(offsetof(NodeRecord, ping) == 52);
static_assert(offsetof(NodeRecord, agent) == 72);
static_assert(offsetof(NodeRecord, port_summary) == 92);
static_assert(offsetof(NodeRecord, fourth) == 112);
static_assert(offsetof(NodeRecord, fs_latch) == 132);
static_assert(offsetof(NodeRecord, mem_latch) == 196);
static_assert(offsetof(NodeRecord, conn_latch) == 204);
static_assert(offsetof(NodeRecord, last_ping) == 212);
static_assert(offsetof(NodeRecord, ratio) == 216);
static_assert(offsetof(NodeRecord, mean_ratio) == 228);
static_assert(offsetof(NodeRecord, extra) == 232);
static_assert(offsetof(NodeRecord, next_slot) == 240);
static_assert(offsetof(NodeRecord, prev_slot) == 244);
static_assert(offsetof(NodeRecord, unused248) == 248);
static_assert(offsetof(NodeRecord, agent_stats) == 260);
static_assert(offsetof(NodeRecord, zero512) == 512);
static_assert(offsetof(NodeRecord, port) == 516);
static_assert(offsetof(NodeRecord, port_label) == 518);
static_assert(offsetof(NodeRecord, port_mail) == 526);
static_assert(offsetof(NodeRecord, unused590) == 590);
static_assert(offsetof(NodeRecord, port_status) == 592);
static_assert(offsetof(NodeRecord, unused612) == 612);
static_assert(offsetof(NodeRecord, name_changed) == 632);
static_assert(offsetof(NodeRecord, mem_status) == 636);
static_assert(offsetof(NodeRecord, conn_status) == 640);
static_assert(offsetof(NodeRecord, fs_status) == 644);
static_assert(offsetof(NodeRecord, fs_summary) == 676);
static_assert(offsetof(NodeRecord, peer_copies) == 680);
static_assert(offsetof(NodeRecord, unused684) == 684);
static_assert(offsetof(NodeRecord, min_fs) == 692);
static_assert(offsetof(NodeRecord, min_vm) == 696);
static_assert(offsetof(NodeRecord, unused700) == 700);
static_assert(offsetof(NodeRecord, max_connections) == 704);
static_assert(offsetof(NodeRecord, traffic_alloc) == 708);
static_assert(offsetof(NodeRecord, unused712) == 712);
static_assert(offsetof(NodeRecord, worker_tid) == 716);
static_assert(offsetof(NodeRecord, worker_handle) == 720);
static_assert(offsetof(NodeRecord, worker_mutex) == 724);
static_assert(offsetof(NodeRecord, worker_stop) == 728);
static_assert(sizeof(NodeRecord) == kNodeRecordSize);

static_assert(offsetof(GroupRecord, name) == 0);
static_assert(offsetof(GroupRecord, domain) == 32);
static_assert(offsetof(GroupRecord, passwd) == 96);
static_assert(offsetof(GroupRecord, peer) == 120);
static_assert(offsetof(GroupRecord, method) == 216);
static_assert(offsetof(GroupRecord, timeout_us) == 220);
static_assert(offsetof(GroupRecord, retries) == 224);
static_assert(offsetof(GroupRecord, agent_port) == 228);
static_assert(offsetof(GroupRecord, unused230) == 230);
static_assert(offsetof(GroupRecord, interval_us) == 232);
static_assert(offsetof(GroupRecord, alert_interval_min) == 236);
static_assert(offsetof(GroupRecord, mailto) == 240);
static_assert(offsetof(GroupRecord, param2) == 272);
static_assert(offsetof(GroupRecord, first_slot) == 276);
static_assert(offsetof(GroupRecord, last_slot) == 280);
static_assert(offsetof(GroupRecord, unused284) == 284);
static_assert(offsetof(GroupRecord, next_group) == 292);
static_assert(offsetof(GroupRecord, slot) == 296);
static_assert(offsetof(GroupRecord, node_count) == 3224);
static_assert(offsetof(GroupRecord, worker_count) == 3228);
static_assert(offsetof(GroupRecord, unused3232) == 3232);
static_assert(offsetof(GroupRecord, param1) == 3236);
static_assert(sizeof(GroupRecord) == kGroupRecordSize);

}  // namespace kord
