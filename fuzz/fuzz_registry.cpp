// Registry values and key paths of any content.
// Input: a key path up to the first zero byte, a value name up to the next,
// then the bytes of a value file planted under that name.
#include "util/sorvan.h"
#include "util/store/registry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"

static std::string base_dir() {
    static std::string dir = [] {
        std::string d = fuzz_scratch_dir("fuzz_registry");
        std::string reg = d + "/reg";
        setenv("TESSARON_REGISTRY", reg.c_str(), 1);
        return d;
    }();
    return dir;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    namespace fs = std::filesystem;
    std::string base = base_dir();
    const char *p = reinterpret_cast<const char *>(data);
    const char *end = p + size;
    const char *z1 = static_cast<const char *>(std::memchr(p, 0, size));
    if (!z1) return 0;
    const char *z2 = static_cast<const char *>(std::memchr(z1 + 1, 0, end - z1 - 1));
    if (!z2) return 0;
    std::string key(p, z1), name(z1 + 1, z2);
    std::string value(z2 + 1, end);

    std::vector<std::string> names;
    bool ok = sorvan::registry::split_key(key.c_str(), names);
    if (ok && sorvan::registry::valid_value_name(name.c_str())) {
        // Plant the raw value where the tree keeps it, then read it back.
        std::string dir = base + "/reg";
        for (const auto &n : names) dir += "/" + n;
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (FILE *f = std::fopen((dir + "/" + name).c_str(), "wb")) {
            std::fwrite(value.data(), 1, value.size(), f);
            std::fclose(f);
        }
    }
    const char *s = GetRegItemString(key.c_str(), name.c_str());
    if (s && std::strlen(s) >= 1024) abort();
    GetRegItemNumber(key.c_str(), name.c_str());
    SetRegItemString(key.c_str(), name.c_str(), value.c_str());
    int32_t n = 0;
    if (value.size() >= 4) std::memcpy(&n, value.data(), 4);
    if (SetRegItemNumber(key.c_str(), name.c_str(), n) == 0 &&
        GetRegItemNumber(key.c_str(), name.c_str()) != n)
        abort();
    CleanRegistry(key.c_str(), name.c_str());
    // Nothing may appear beside the tree.
    for (const auto &e : fs::directory_iterator(base))
        if (e.path().filename() != "reg") abort();
    std::error_code ec;
    fs::remove_all(base + "/reg", ec);
    return 0;
}
