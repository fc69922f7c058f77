// Cluster groups: the control map with the group count, the data map with
// one record per group, the loading of groups and node slots from the group
// file, and the refresh of mirror groups from their peers.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <vector>

#include <string>

#include "master/kord.h"
#include "maps/notify.h"
#include "port/paths.h"

namespace kord {

namespace {

// Link value meaning "the list head": the end marker of a group's slot ring.
constexpr uint32_t kSlotListHead = kSlotsPerGroup;

// Copies text into a fixed map field, cut so that the terminator fits.
template <size_t N>
void set_field(char (&field)[N], const char *text) {
    memset(field, 0, N);
    if (text)
        strncpy(field, text, N - 1);
}

void dir_of(const char *path, char *out, size_t n) {
    snprintf(out, n, "%s", path);
    if (char *slash = strrchr(out, '/'); slash && slash != out)
        *slash = '\0';
}

[[noreturn]] void bail_out(const char *text) {
    port_message_box("", text);
    abort();
}

void *g_side_map = nullptr;   // the side map's view, header included

// The side map beside the data map, with room for count groups; records a
// kord before this one left stay (the map grows, never shrinks).
void open_side_map(const char *data_map, int count) {
    if (g_side_map) MapClose(g_side_map);
    std::string path = side_map_path(data_map);
    g_side_map = MapOpen(path.c_str(), uint32_t(side_map_size(uint32_t(count))), 0, 3);
    if (!g_side_map)
        bail_out("Side map cannot be created, bail out!");
    auto *h = static_cast<SideHeader *>(g_side_map);
    if (memcmp(h->magic, kSideMagic, sizeof h->magic) != 0 || h->record_size != kSideRecordSize) {
        // New, or of a layout this kord does not write: start it afresh.
        memset(g_side_map, 0, side_map_size(uint32_t(count)));
        h->version = kSideVersion;
        h->record_size = kSideRecordSize;
        memcpy(h->magic, kSideMagic, sizeof h->magic);
    }
    h->records = uint32_t(count) * kSlotsPerGroup;
    g_side = reinterpret_cast<SideRecord *>(static_cast<char *>(g_side_map) + kSideHeaderSize);
}

void mail_unresolvable(const GroupRecord *g, const char *node) {
    char subject[256];
    snprintf(subject, sizeof subject, "Tessaron Group %s: %s is not resolvable by DNS.",
             g->name, node);
    MailRequest req{};
    req.to = g->mailto;
    req.from = g->mailto;
    req.subject = subject;
    req.body = "This node will not be used in this cluster group.";
    post_mail(&req);   // queued: the workers start without waiting for it
}

// The node's first IPv4 address (network order, 0: none) and its first
// IPv6 address (all zero: none). False when it has neither.
bool resolve(const char *name, uint32_t *v4, uint8_t (&v6)[16]) {
    *v4 = 0;
    memset(v6, 0, sizeof v6);
    in_addr_t a = inet_addr(name);
    if (a != INADDR_NONE) {
        *v4 = a;
        return true;
    }
    struct addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0)
        return false;
    bool have6 = false;
    for (const addrinfo *ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && *v4 == 0) {
            *v4 = reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr;
        } else if (ai->ai_family == AF_INET6 && !have6) {
            const auto *sa6 = reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr);
            // A mapped IPv4 address is no IPv6 reachability of its own.
            if (IN6_IS_ADDR_V4MAPPED(&sa6->sin6_addr) || IN6_IS_ADDR_UNSPECIFIED(&sa6->sin6_addr))
                continue;
            memcpy(v6, &sa6->sin6_addr, 16);
            have6 = true;
        }
    }
    freeaddrinfo(res);
    return *v4 != 0 || have6;
}

// The IPv6 half of a slot: address and per-family states, HTTP fields left alone.
void clear_side(SideRecord *r) {
    memset(r->addr6, 0, sizeof r->addr6);
    memset(&r->ping6, 0, sizeof r->ping6);
    memset(&r->port6, 0, sizeof r->port6);
    r->last_ping6 = -1;
}

// The fields a load clears in a slot that gets no node.
void clear_slot(NodeRecord *s) {
    memset(s->name, 0, sizeof s->name);
    s->addr = 0;
    memset(&s->ping, 0, offsetof(NodeRecord, last_ping) - offsetof(NodeRecord, ping));
    s->last_ping = 0;
    memset(s->extra, 0, sizeof s->extra);
    memset(&s->agent_stats, 0, sizeof s->agent_stats);
    memset(&s->zero512, 0, offsetof(NodeRecord, unused612) - offsetof(NodeRecord, zero512));
    s->name_changed = 0;
    memset(&s->mem_status, 0, offsetof(NodeRecord, peer_copies) - offsetof(NodeRecord, mem_status));
    s->peer_copies = 0;
    memset(&s->min_fs, 0, offsetof(NodeRecord, unused712) - offsetof(NodeRecord, min_fs));
}

// Record index of each mirror's peer (-1: none), worked out once per load:
// the peer references do not change while the groups stay loaded, and the
// mirrors are refreshed several times a second.
std::vector<int> g_peer_of;
const GroupRecord *g_peer_of_groups = nullptr;
int g_peer_of_count = -1;

void fill_record(GroupRecord *g, const grentry *e) {
    g->interval_us = e->gr_interval < 100000 ? 1000000u : uint32_t(e->gr_interval);
    g->method = parse_method(e->gr_method ? e->gr_method : "");
    g->alert_interval_min = e->gr_alert_interval < 1 ? 60u : uint32_t(e->gr_alert_interval);
    g->retries = (e->gr_retries < 1 || e->gr_retries > 10) ? 2u : uint32_t(e->gr_retries);
    g->timeout_us = e->gr_timeout < 100000 ? 800000u : uint32_t(e->gr_timeout);
    uint16_t port = uint16_t(e->gr_port);
    g->agent_port = port ? port : 10000;
    set_field(g->peer, e->gr_extra);
    // A cut address is another address, perhaps of another domain: an
    // address that does not fit is not used at all.
    if (e->gr_mailto && strlen(e->gr_mailto) >= sizeof g->mailto) {
        port_syslog(LOG_ALERT,
                    "Group %s: alert address \"%s\" is longer than %zu characters; no alert mail is sent.",
                    g->name, e->gr_mailto, sizeof g->mailto - 1);
        set_field(g->mailto, nullptr);
    } else {
        set_field(g->mailto, e->gr_mailto);
    }
    g->param1 = e->gr_param1 ? e->gr_param1 : 1;
    g->param2 = e->gr_param2;
}

// Fills the four slots from the member list; returns the node count.
uint32_t fill_slots(GroupRecord *g, char **mem, FILE *zone) {
    uint32_t count = 0;
    bool owner_written = false;
    size_t m = 0;
    for (int k = 0; k < kSlotsPerGroup; k++) {
        NodeRecord *s = &g->slot[k];
        for (;;) {
            const char *name = mem ? mem[m] : nullptr;
            if (!name) {
                clear_slot(s);
                clear_side(side_of(g, s));
                break;
            }
            m++;
            memset(&s->agent_stats, 0, sizeof s->agent_stats);
            // A name that does not fit the slot would leave it nameless and end
            // every slot walk there: leave it out like an unresolvable one.
            if (strlen(name) >= sizeof s->name) {
                port_syslog(LOG_ALERT, "Node name \"%s\" too long!", name);
                continue;
            }
            uint32_t addr;
            uint8_t addr6[16];
            if (!resolve(name, &addr, addr6)) {
                port_syslog(LOG_ALERT, "Group %s: Node \"%s\" cannot be resolved by DNS.", g->name,
                            name);
                if (g->mailto[0])
                    mail_unresolvable(g, name);
                continue;
            }
            s->addr = addr;
            SideRecord *side = side_of(g, s);
            if (memcmp(side->addr6, addr6, sizeof addr6) != 0) {
                clear_side(side);
                memcpy(side->addr6, addr6, sizeof addr6);
            }
            if (zone && addr) {
                // The group name owns the first record: write it with that line
                // only, so a group without addresses leaves no dangling name.
                if (!owner_written)
                    fprintf(zone, "%s", g->name);
                owner_written = true;
                struct in_addr ia;
                ia.s_addr = addr;
                fprintf(zone, "\t0\tIN\tA\t%s\n", inet_ntoa(ia));
            }
            if (s->name[0] && strcasecmp(s->name, name) != 0)
                s->name_changed = 0;
            set_field(s->name, name);
            read_node_file(s);
            count++;
            break;
        }
    }
    return count;
}

}  // namespace

uint32_t *open_control_map(void) {
    char path[1024];
    mkdirs(path_item(3));
    snprintf(path, sizeof path, "%s%c%s", path_item(3), '/', ".ctlmap");
    void *map = MapOpen(path, 4, 0, 3);
    if (!map)
        bail_out("CLCTLMAP cannot be created, bail out!");
    return static_cast<uint32_t *>(map);
}

int count_groups(void) {
    int n = 0;
    while (Qv5_GetGrEnt(path_item(7)))
        n++;
    Qv5_EndGrEnt();
    return n;
}

GroupRecord *open_data_map(const char *name, int count) {
    char dir[1024];
    dir_of(name, dir, sizeof dir);
    mkdirs(dir);
    void *map = count > 0 ? MapOpen(name, uint32_t(count) * kGroupRecordSize, 0, 3) : nullptr;
    if (!map)
        bail_out("Data map cannot be created, bail out!");
    auto *groups = static_cast<GroupRecord *>(map);
    link_groups(groups, count);
    open_side_map(name, count);
    std::string why;
    if (!notice_open(notice_path(name), why))
        port_syslog(LOG_WARNING, "Change notice cannot be made: %s; readers of the maps find changes by polling",
                    why.c_str());
    return groups;
}

// The group record whose slot this is.
const GroupRecord *find_group_of(const NodeRecord *slot) {
    size_t at = size_t(reinterpret_cast<const char *>(slot) - reinterpret_cast<const char *>(g_groups));
    return &g_groups[at / kGroupRecordSize];
}

bool has_addr6(const SideRecord *r) {
    static const uint8_t none[16] = {};
    return memcmp(r->addr6, none, sizeof none) != 0;
}

bool slot_has_address(const GroupRecord *g, const NodeRecord *slot) {
    return slot->addr != 0 || (g_side && has_addr6(side_of(g, slot)));
}

SideRecord *side_of(const GroupRecord *g, const NodeRecord *slot) {
    if (g_side && g_groups && g >= g_groups && g < g_groups + g_group_count) {
        size_t index = size_t(g - g_groups) * kSlotsPerGroup + size_t(slot - g->slot);
        return &g_side[index];
    }
    // A record outside the running data map (a test's own, a group not
    // mapped yet) has no side record: it reads as one without IPv6.
    thread_local SideRecord none;
    none = SideRecord{};
    return &none;
}

void link_groups(GroupRecord *groups, int count) {
    // Links are record and slot indexes: next group i + 1 (0 ends the list);
    // the slot ring runs 0..3 with kSlotListHead standing for the head.
    for (int i = 0; i < count; i++) {
        GroupRecord *g = &groups[i];
        g->next_group = i + 1 < count ? uint32_t(i + 1) : 0;
        g->first_slot = 0;
        g->last_slot = kSlotsPerGroup - 1;
        for (uint32_t k = 0; k < uint32_t(kSlotsPerGroup); k++) {
            g->slot[k].next_slot = k + 1 < uint32_t(kSlotsPerGroup) ? k + 1 : kSlotListHead;
            g->slot[k].prev_slot = k > 0 ? k - 1 : kSlotListHead;
        }
    }
}

void load_groups(GroupRecord *groups, int count) {
    if (clean_all_cndb() != 0)
        exit(1);
    for (int i = 0; i < count; i++) {
        GroupRecord *g = &groups[i];
        // No worker runs yet: thread words left by an earlier kord are stale.
        for (NodeRecord &s : g->slot) {
            s.thread_id = s.worker_tid = 0;
            s.worker_handle = s.worker_mutex = s.worker_stop = 0;
        }
        g->worker_count = 0;
        const grentry *e = Qv5_GetGrEnt(path_item(7));
        if (!e || !e->gr_name || !e->gr_name[0] || !e->gr_domain || !e->gr_domain[0]) {
            memset(g->name, 0, sizeof g->name);
            memset(g->domain, 0, sizeof g->domain);
            memset(g->passwd, 0, sizeof g->passwd);
            memset(g->peer, 0, sizeof g->peer);
            g->node_count = 0;
            g->interval_us = 0;
            continue;
        }
        set_field(g->name, e->gr_name);
        set_field(g->domain, e->gr_domain);
        set_field(g->passwd, e->gr_passwd);
        // The domain names the zone file: one that could name a file outside
        // the zone directory gets no zone text at all.
        bool zone = zone_name_ok(g->domain);
        if (!zone)
            port_syslog(LOG_ALERT,
                        "Group %s: domain \"%s\" holds \"/\" or \"..\"; its zone text is left out.",
                        g->name, g->domain);
        else if (cnode_init(g) != 0)
            exit(1);
        fill_record(g, e);
        g->node_count = fill_slots(g, e->gr_mem, zone ? cnode_file() : nullptr);
        if (g->peer[0])
            g->node_count = 0;  // mirrors take their state from the peer
        cnode_close();
    }
    Qv5_EndGrEnt();
    g_peer_of_groups = nullptr;   // peers are looked up again
    notice_change();
}

GroupRecord *find_group(const char *key) {
    if (!g_groups || !key)
        return nullptr;
    for (int i = 0; i < g_group_count; i++) {
        GroupRecord *g = &g_groups[i];
        char full[32 + 1 + 64 + 1];
        snprintf(full, sizeof full, "%.32s.%.64s", g->name, g->domain);
        if (strncmp(full, key, 96) == 0)
            return g;
    }
    return nullptr;
}

static void copy_peer_fields(GroupRecord *mirror, NodeRecord *s, const NodeRecord *p);

// What a reader's choice of addresses looks at: a change announces itself.
static uint64_t chosen_by(const GroupRecord *g, const NodeRecord *s) {
    const SideRecord *x = g_side ? side_of(g, s) : nullptr;
    return uint64_t(s->ping.state) | uint64_t(s->agent.state) << 4 | uint64_t(s->port_status.state) << 8 |
           uint64_t(x ? x->ping6.state : 0) << 12 | uint64_t(x ? x->port6.state : 0) << 16 |
           uint64_t((s->mem_status & kMemLowBit) != 0) << 20 | uint64_t((s->conn_status & kConnHighBit) != 0) << 21 |
           uint64_t((s->fs_summary & kFsAnyBit) != 0) << 22 | uint64_t(uint32_t(s->traffic_alloc)) << 32;
}

void copy_peer_node(GroupRecord *mirror, NodeRecord *s, const NodeRecord *p) {
    const uint64_t before = chosen_by(mirror, s);
    copy_peer_fields(mirror, s, p);
    if (chosen_by(mirror, s) != before) notice_change();
}

void copy_peer_fields(GroupRecord *mirror, NodeRecord *s, const NodeRecord *p) {
    memcpy(s->name, p->name, sizeof s->name);
    s->name[sizeof s->name - 1] = '\0';
    s->last_ping = p->last_ping;
    s->ping.state = p->ping.state;
    s->agent.state = p->agent.state;
    s->port_summary.state = p->port_summary.state;
    s->fourth.state = p->fourth.state;
    memcpy(&s->zero512, &p->zero512, offsetof(NodeRecord, unused612) - offsetof(NodeRecord, zero512));
    // The IPv6 states go with the node; the mirror keeps its own address.
    if (g_side) {
        const SideRecord *ps = side_of(find_group_of(p), p);
        SideRecord *ms = side_of(mirror, s);
        ms->ping6.state = ps->ping6.state;
        ms->port6.state = ps->port6.state;
        ms->last_ping6 = ps->last_ping6;
    }
    if (mirror->method & kMethodRtt)
        return;
    if (p->agent_stats.word[0] == 0)
        return;
    memcpy(s->ratio, p->ratio, sizeof s->ratio);
    s->mean_ratio = p->mean_ratio;
    s->agent_stats = p->agent_stats;
    memcpy(&s->min_fs, &p->min_fs, offsetof(NodeRecord, unused712) - offsetof(NodeRecord, min_fs));
    memcpy(&s->mem_status, &p->mem_status,
           offsetof(NodeRecord, peer_copies) - offsetof(NodeRecord, mem_status));
    memcpy(s->extra, p->extra, sizeof s->extra);
    s->peer_copies++;
}

void copy_peer_groups(void) {
    if (!g_groups)
        return;
    if (g_peer_of_groups != g_groups || g_peer_of_count != g_group_count) {
        g_peer_of.assign(size_t(g_group_count), -1);
        for (int i = 0; i < g_group_count; i++) {
            const GroupRecord *m = &g_groups[i];
            if (!m->peer[0])
                continue;
            char key[sizeof m->peer + 1];
            memcpy(key, m->peer, sizeof m->peer);
            key[sizeof m->peer] = '\0';
            if (GroupRecord *peer = find_group(key); peer && peer != m)
                g_peer_of[size_t(i)] = int(peer - g_groups);
        }
        g_peer_of_groups = g_groups;
        g_peer_of_count = g_group_count;
    }
    for (int i = 0; i < g_group_count; i++) {
        GroupRecord *m = &g_groups[i];
        if (g_peer_of[size_t(i)] < 0)
            continue;
        GroupRecord *peer = &g_groups[g_peer_of[size_t(i)]];
        int j = 0;
        for (int k = 0; k < kSlotsPerGroup && slot_has_address(m, &m->slot[k]); k++) {
            if (j < kSlotsPerGroup && slot_has_address(peer, &peer->slot[j])) {
                copy_peer_node(m, &m->slot[k], &peer->slot[j]);
                j++;
            }
        }
    }
}

}  // namespace kord
