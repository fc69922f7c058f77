// What kord publishes, as flowgate reads it: the control map and the data
// map (mapped read-only, never written), the zone files, and the rules that
// turn a group's node states into the addresses it publishes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <array>
#include <vector>

#include "maps/records.h"

namespace flowgate {

// The fields of a node slot the selection looks at, copied out of the map.
struct NodeView {
    uint32_t addr;            // network order
    uint32_t ping, agent, port_state;
    uint16_t port;            // 0: no port probe
    int32_t last_ping;
    float mean_ratio, ratio1; // agent words 7 and 8 over word 6
    uint32_t agent_word0;     // non-zero: agent data present
    uint32_t idle_pct, free_kb, users;
    uint32_t mem_status, conn_status, fs_summary;
    int32_t traffic_alloc;
    // IPv6, from the side map; has6 false: no IPv6 address
    bool has6;
    std::array<uint8_t, 16> addr6;
    uint32_t ping6, port6_state;
    int32_t last_ping6;
};

struct GroupView {
    char name[33];
    char domain[65];
    bool mirror;
    uint32_t method;
    int nodes;                // slots in use, from slot 0
    NodeView node[kord::kSlotsPerGroup];
};

// Copies a group record's fields; slots are walked as kord walks them. The
// side map (side of side_len bytes, may be null) gives the IPv6 half of
// group number index.
void view_group(const kord::GroupRecord &g, GroupView &v, const void *side = nullptr, size_t side_len = 0,
                uint32_t index = 0);

// The two maps, mapped read-only and mapped again when kord restarts or
// reloads with another group count, size or file.
class Maps {
public:
    Maps(std::string ctl_path, std::string data_path);
    ~Maps();
    Maps(const Maps &) = delete;
    Maps &operator=(const Maps &) = delete;

    // Checks the files; maps (again) when needed. False while they cannot
    // be read (why says why). remapped is set when a new mapping was made.
    bool refresh(std::string &why, bool &remapped);
    // Copies every group out of the mapping. False when the file shrank
    // under the mapping (it is then unmapped; refresh maps it again).
    bool snapshot(std::vector<GroupView> &out);
    int count() const { return count_; }
    size_t size() const { return file_size_; }
    const std::string &data_path() const { return data_path_; }

private:
    void unmap();
    void map_side();
    std::string ctl_path_, data_path_, side_path_;
    const unsigned char *side_ = nullptr;
    size_t side_len_ = 0;
    dev_t side_dev_ = 0;
    ino_t side_ino_ = 0;
    const unsigned char *base_ = nullptr;
    size_t mapped_ = 0, file_size_ = 0;
    int count_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// Zone-file members: lower-case "name.domain" -> addresses (network order).
using ZoneMembers = std::map<std::string, std::vector<uint32_t>>;
// One zone file as kord writes it ("name<TAB>0<TAB>IN<TAB>A<TAB>addr", then
// lines starting with a tab for the same owner), for the given domain.
void parse_zone_file(std::string_view text, const std::string &domain, ZoneMembers &out);
// Every <domain>.cndb of the directory; false when it cannot be read.
bool read_zone_files(const std::string &dir, ZoneMembers &out);

enum class Source { None, Fit, FailOpen, ZoneFile };
const char *source_name(Source s);
const char *method_name(uint32_t bits);

using Addr6 = std::array<uint8_t, 16>;

struct Selection {
    std::vector<uint32_t> addrs;   // in order of preference
    Source source = Source::None;
    std::vector<Addr6> addrs6;     // the AAAA set, chosen the same way over IPv6
    Source source6 = Source::None; // None: no member has an IPv6 address
    // Shares rotating through fewer answers than fit nodes: the wall-clock
    // second (since the epoch) at which the choice may change next. 0: the
    // choice holds until the maps change.
    int64_t rotates_at = 0;
};

// The addresses a group publishes, each family on its own: its fit nodes,
// best first by its method, at most `answers` of them (0: all); every
// member when none is fit; the zone file's members (for IPv6 the resolved
// addresses) while kord has not probed any node over that family yet.
// A traffic_alloc group with more fit nodes than answers publishes, in
// each slice of `ttl` seconds (at least 1) of the wall clock `now`, a
// choice of them made so that over many slices each node is published for
// a share of the time proportional to its traffic_alloc.
Selection select(const GroupView &g, int answers, const ZoneMembers &zone, uint32_t ttl, int64_t now);
// The same at this moment, for the default TTL.
Selection select(const GroupView &g, int answers, const ZoneMembers &zone);

// The rotation itself: which `answers` of the nodes of these weights (all
// above 0, largest first) slice number `slice` publishes, as indices in
// ascending order. Each node is published in a fraction answers * weight /
// total of the slices (a node whose fraction would pass 1 is published in
// every slice and the others share the rest), and every run of slices
// holds close to that fraction: the choice is made by systematic sampling
// with a golden-ratio sequence of offsets.
std::vector<size_t> rotate_shares(const std::vector<double> &weights, int answers, uint64_t slice);

// Milliseconds from now until the wall-clock second `at` (0 when it has
// passed; -1 for at 0, no rotation).
long long ms_until(int64_t at);

std::string addr_text(uint32_t addr);
std::string addr6_text(const Addr6 &addr);

}  // namespace flowgate
