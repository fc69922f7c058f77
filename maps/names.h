// Balancing methods and probe states as kord, flowgate and kordstat name
// them: the method bits of a group record and the state word of a probe.
#pragma once

#include <cstdint>
#include <strings.h>

namespace kord {

inline constexpr uint32_t kMethodLoad = 1, kMethodWload = 2, kMethodCpu = 4,
    kMethodRtt = 8, kMethodNusers = 16, kMethodMem = 32, kMethodFailsafe = 64,
    kMethodTrafficAlloc = 128;
// Methods that order nodes by what the agent reports.
inline constexpr uint32_t kAgentMethods =
    kMethodLoad | kMethodWload | kMethodCpu | kMethodNusers | kMethodMem;

struct MethodName {
    uint32_t bit;
    const char *name;
};
// In the order the group file documents them.
inline constexpr MethodName kMethodNames[] = {
    {kMethodLoad, "load"},     {kMethodWload, "wload"},         {kMethodRtt, "rtt"},
    {kMethodCpu, "cpu"},       {kMethodNusers, "nusers"},       {kMethodMem, "mem"},
    {kMethodFailsafe, "failsafe"}, {kMethodTrafficAlloc, "traffic_alloc"},
};

// The keyword of a method word holding exactly one method, else null.
inline const char *method_name(uint32_t bits) {
    for (const auto &m : kMethodNames)
        if (bits == m.bit) return m.name;
    return nullptr;
}

// The bit of a method keyword (any case), 0 when it names none.
inline uint32_t method_bit(const char *keyword) {
    if (keyword)
        for (const auto &m : kMethodNames)
            if (strcasecmp(keyword, m.name) == 0) return m.bit;
    return 0;
}

// Probe states.
inline constexpr uint32_t kStateUp = 1;
inline constexpr uint32_t kStateFailing = 2;
inline constexpr uint32_t kStateDown = 3;

// "up", "failing" or "down"; null for 0 (not probed yet) and anything else.
inline const char *state_name(uint32_t state) {
    switch (state) {
    case kStateUp: return "up";
    case kStateFailing: return "failing";
    case kStateDown: return "down";
    default: return nullptr;
    }
}

}  // namespace kord
