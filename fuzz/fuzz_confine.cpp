// Confinement of the agent's paths: whatever path a peer names, its
// canonical form is absolute and clean and canonical again is itself, and
// an admitted path lies below the served root, however ".." and links
// (up, absolute, looping) are mixed in. Only reads the file system.
//
// Input: one mode byte (the operation, bit 3: follow a final link), then the path.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "util/sorvan.h"
#include "util/sys/confine.h"

namespace {

const std::string &root() {
    static const std::string r = [] {
        std::string base = fuzz_scratch_dir("fuzz_confine");
        std::string root = base + "/root";
        mkdir(root.c_str(), 0755);
        mkdir((root + "/a").c_str(), 0755);
        mkdir((base + "/out").c_str(), 0755);
        if (symlink("..", (root + "/up").c_str()) || symlink((base + "/out").c_str(), (root + "/abs").c_str()) ||
            symlink("loop", (root + "/loop").c_str()) || symlink("../../out", (root + "/a/back").c_str()) ||
            symlink("a", (root + "/in").c_str()) || chdir(root.c_str()))
            std::abort();
        const char *roots[] = {root.c_str(), nullptr};
        if (confine_roots(roots) != 0) std::abort();
        return root;
    }();
    return r;
}

bool clean(const std::string &c) {
    if (c.empty() || c[0] != '/') return false;
    if (c.size() > 1 && c.back() == '/') return false;
    return c.find("//") == std::string::npos && c.find("/./") == std::string::npos &&
           c.find("/../") == std::string::npos && !c.ends_with("/.") && !c.ends_with("/..");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &r = root();
    if (size < 2 || size > 2048) return 0;
    std::string path(reinterpret_cast<const char *>(data + 1), size - 1);
    path.resize(std::strlen(path.c_str()));
    if (path.empty()) return 0;
    bool follow = data[0] & 8;
    std::string c, again;
    if (sorvan::confine::canonical(path.c_str(), follow, &c)) {
        if (!clean(c)) std::abort();
        if (!sorvan::confine::canonical(c.c_str(), follow, &again) || again != c) std::abort();
    }
    auto op = static_cast<sorvan::confine::Op>(data[0] % 6);
    if (sorvan::confine::admit(op, path.c_str(), &c) && c != r && c.compare(0, r.size() + 1, r + "/") != 0)
        std::abort();
    return 0;
}
