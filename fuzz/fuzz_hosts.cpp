// Hosts files of any content through find, add and remove.
// Input: one byte n, then a key of n % 32 bytes, then the file's content.
#include "util/sorvan.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz_support.h"

#include <unistd.h>

static std::string work_dir() {
    static std::string dir = fuzz_scratch_dir("fuzz_hosts");
    return dir;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    size_t keylen = data[0] % 32;
    if (size < 1 + keylen) return 0;
    std::string key(reinterpret_cast<const char *>(data + 1), keylen);
    key = key.c_str();  // up to the first zero byte
    std::string path = work_dir() + "/hosts";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data + 1 + keylen, 1, size - 1 - keylen, f);
    std::fclose(f);

    int found = HostsFileFindEntry(path.c_str(), key.c_str());
    int added = HostsFileAddEntry(path.c_str(), key.c_str(), "fuzz.example");
    if (found == 0 && added == 0 && HostsFileFindEntry(path.c_str(), key.c_str()) != 1) abort();
    int removed = HostsFileRemoveEntry(path.c_str(), key.c_str());
    if (removed == 1 && !key.empty() && HostsFileFindEntry(path.c_str(), key.c_str()) != 0)
        abort();
    hexstr2dec(key.c_str(), static_cast<int>(key.size()));
    return 0;
}
