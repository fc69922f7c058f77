// Fuzzes the MX walk with arbitrary DNS answers. Checks: at most 99
// exchangers, every name inside the name buffer and terminated there,
// preferences in order, no two neighbours with the same name.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include "util/net/mail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy, so that a read past the answer is caught.
    std::vector<uint8_t> answer(data, data + size);
    std::vector<char> names(sorvan::kMxNameBuffer);
    char *hosts[100] = {};
    uint16_t prefs[100] = {};
    int n = sorvan::mx_from_answer(answer.data(), answer.size(), hosts, prefs, names.data(),
                                   names.size(), false);
    if (n < 0 || n > sorvan::kMaxMx) abort();
    const char *lo = names.data(), *hi = names.data() + names.size() - 1;
    for (int i = 0; i < n; ++i) {
        if (hosts[i] < lo || hosts[i] >= hi) abort();
        if (!memchr(hosts[i], '\0', static_cast<size_t>(hi - hosts[i]) + 1)) abort();
        if (i > 0 && prefs[i - 1] > prefs[i]) abort();
        if (i > 0 && strcasecmp(hosts[i - 1], hosts[i]) == 0) abort();
    }
    return 0;
}
