// flowgate.conf and kord's zone files of any content: the readers must
// neither crash nor accept what they report as wrong.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "flowgate/config.h"
#include "flowgate/state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    flowgate::Config c;
    std::vector<std::string> errors;
    bool ok = flowgate::parse_config(text, "flowgate.conf", c, errors);
    if (ok != errors.empty()) __builtin_trap();
    if (ok) {
        if (c.ttl > flowgate::kMaxTtl || c.answers < 0 || c.port == 0) __builtin_trap();
        for (const auto &[domain, zone] : c.zones)
            if (c.zone_for(domain) != zone) __builtin_trap();
        (void)c.ttl_for("web", "demo.test");
        (void)c.answers_for("web", "demo.test");
    }
    flowgate::ZoneMembers z;
    flowgate::parse_zone_file(text, "demo.test", z);
    for (const auto &[owner, addrs] : z)
        if (addrs.empty() || addrs.size() > 64) __builtin_trap();
    return 0;
}
