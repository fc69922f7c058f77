// Install paths, resolved once from the environment.
#include "port/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#ifndef TESSARON_CRYPTO_DIR
#define TESSARON_CRYPTO_DIR "/usr/lib/x86_64-linux-gnu"
#endif

namespace {

constexpr int kItems = 10;
std::string g_item[kItems];
std::once_flag g_once;

std::string trimmed(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

// kord changes into the root: a relative item is made absolute against the
// directory it was started from, before that change.
std::string absolute(std::string p) {
    if (p.empty() || p[0] == '/') return p;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return p;
    while (p.compare(0, 2, "./") == 0) p.erase(0, 2);
    std::string base = cwd;
    if (p == ".") return base;
    return base == "/" ? "/" + p : base + "/" + p;
}

std::string from_env(int n, const std::string &fallback) {
    std::string name = "TESSARON_PATH_" + std::to_string(n);
    const char *v = std::getenv(name.c_str());
    return absolute(trimmed(v && *v ? std::string(v) : fallback));
}

void resolve() {
    const char *root_env = std::getenv("TESSARON_ROOT");
    std::string root = from_env(2, root_env && *root_env ? root_env : "/opt/tessaron");
    g_item[2] = root;
    g_item[3] = from_env(3, root + "/data");
    g_item[6] = from_env(6, TESSARON_CRYPTO_DIR);
    g_item[7] = from_env(7, root + "/gpfile");
    g_item[8] = from_env(8, root + "/data/map.data");
    for (int n : {0, 1, 4, 5, 9}) {
        std::string name = "TESSARON_PATH_" + std::to_string(n);
        if (const char *v = std::getenv(name.c_str())) g_item[n] = absolute(trimmed(v));
    }
}

}  // namespace

int init_path(const char *name, const char *key) {
    (void)name;
    (void)key;
    std::call_once(g_once, resolve);
    return 0;
}

const char *path_item(int n) {
    std::call_once(g_once, resolve);
    if (n < 0 || n >= kItems) return "";
    return g_item[n].c_str();
}
