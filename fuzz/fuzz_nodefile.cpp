// Node files of any content: the reader must neither crash nor overrun.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "master/nodefile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int fd = memfd_create("nodefile", 0);
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    lseek(fd, 0, SEEK_SET);
    kord::NodeFileValues v;
    kord::parse_node_file(fd, &v);
    for (auto &value : v.value)
        if (std::strlen(value) > 16) __builtin_trap();
    return 0;
}
