// cluster.conf of any content: the reader must neither crash nor accept
// values the masters cannot use.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    cluster::Config c;
    std::vector<std::string> errors;
    bool ok = cluster::parse_config(text, "cluster.conf", c, errors);
    if (ok != errors.empty()) __builtin_trap();
    if (ok) {
        if (c.lease < cluster::kMinLease || c.lease > cluster::kMaxLease) __builtin_trap();
        if (c.cluster.empty() || c.cluster.size() > 50 || c.name.empty()) __builtin_trap();
        for (const auto &e : c.endpoints)
            if (e.rfind("http://", 0) != 0 && e.rfind("https://", 0) != 0) __builtin_trap();
        if (c.cert.empty() != c.key.empty()) __builtin_trap();
    }
    return 0;
}
