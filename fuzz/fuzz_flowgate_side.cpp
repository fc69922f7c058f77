// The side map as its readers take it: the header check and the record
// lookup, and flowgate's view and choice of a group whose IPv6 half comes
// from it.
//
// Input: one byte, the group number to read; the rest is the side map file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flowgate/state.h"
#include "maps/side.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint32_t group = data[0];
    // A copy of exactly the file's length: a read past it is a fault.
    std::vector<uint8_t> map(data + 1, data + size);
    const void *base = map.empty() ? nullptr : map.data();
    for (uint32_t k = 0; k <= uint32_t(kord::kSlotsPerGroup); k++) {
        const kord::SideRecord *r = kord::side_record(base, map.size(), group, k);
        if (!r) continue;
        if (k >= uint32_t(kord::kSlotsPerGroup)) std::abort();
        volatile uint8_t sink = r->addr6[15] ^ uint8_t(r->last_ping6) ^ r->unused76[51];
        (void)sink;
    }
    static kord::GroupRecord g = [] {
        kord::GroupRecord r{};
        std::strcpy(r.name, "web");
        std::strcpy(r.domain, "demo.test");
        r.method = kord::kMethodRtt;
        for (int k = 0; k < 3; k++) std::snprintf(r.slot[k].name, sizeof r.slot[k].name, "n%d", k);
        r.slot[0].addr = 0x0100007f;
        r.slot[0].ping.state = kord::kStateUp;
        return r;
    }();
    flowgate::GroupView v{};
    flowgate::view_group(g, v, base, map.size(), group);
    if (v.nodes < 0 || v.nodes > kord::kSlotsPerGroup) std::abort();
    flowgate::ZoneMembers zone;
    flowgate::Selection sel = flowgate::select(v, 2, zone);
    if (sel.addrs6.size() > size_t(v.nodes) || sel.addrs.size() > size_t(v.nodes)) std::abort();
    return 0;
}
