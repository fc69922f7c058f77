// The configuration check on files of any content. Checks: it never
// crashes; it counts exactly the group lines the group reader returns, and
// predicts exactly the values the node-file reader takes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "master/kord.h"
#include "master/nodefile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = fuzz_scratch_dir("fuzz_check");
    static const std::string path = dir + "/file.cfg";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    kord::CheckResult r;
    int predicted = kord::check_group_file(path.c_str(), false, r);
    int read = 0;
    while (Qv5_GetGrEnt(path.c_str())) ++read;
    Qv5_EndGrEnt();
    if (predicted != read) __builtin_trap();

    kord::NodeFileValues checked{}, taken{};
    kord::check_node_file(path.c_str(), r, &checked);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    kord::parse_node_file(fd, &taken);
    if (fd >= 0) close(fd);
    for (int k = 0; k < kord::kNodeKeyCount; ++k)
        if (std::strcmp(checked.value[k], taken.value[k]) != 0) __builtin_trap();

    kord::check_port_file(path.c_str(), r);
    for (const kord::CheckFinding &finding : r.findings) (void)kord::format_finding(finding);
    return 0;
}
