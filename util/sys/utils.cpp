// Small utilities: basename, memory blocks, random passwords, domain
// trimming.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "port/varro.h"
#include "util/sorvan.h"

namespace {

struct BlockHead {
    uint64_t magic;
    uint64_t size;
};
constexpr uint64_t kBlockMagic = 0x4b4c424d53524f53ull;   // "SORSMBLK"

BlockHead *head_of(void *p) {
    if (!p) return nullptr;
    auto *h = reinterpret_cast<BlockHead *>(static_cast<char *>(p) - sizeof(BlockHead));
    return h->magic == kBlockMagic ? h : nullptr;
}

const char kPwAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.<>?$#@:-=+()[]{}";
static_assert(sizeof kPwAlphabet - 1 == 79);

}  // namespace

extern "C" {

SORVAN_API char *sorvan_basename(char *path, const char *suffix) {
    if (!path || !*path) return path;
    size_t n = std::strlen(path);
    size_t end = n;
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) {
        path[0] = '/';
        path[1] = '\0';
        return path;
    }
    path[end] = '\0';
    size_t start = end;
    while (start > 0 && path[start - 1] != '/') --start;
    char *r = path + start;
    if (suffix) {
        size_t rl = end - start, sl = std::strlen(suffix);
        if (sl < rl && std::memcmp(r + rl - sl, suffix, sl) == 0) r[rl - sl] = '\0';
    }
    return r;
}

SORVAN_API char *basename(char *path, const char *suffix) noexcept {
    return sorvan_basename(path, suffix);
}

SORVAN_API void *MemoryAllocate(size_t size) {
    if (size > SIZE_MAX - sizeof(BlockHead)) return nullptr;
    auto *h = static_cast<BlockHead *>(std::calloc(1, sizeof(BlockHead) + size));
    if (!h) return nullptr;
    h->magic = kBlockMagic;
    h->size = size;
    return h + 1;
}

SORVAN_API void MemoryFree(void *p) {
    BlockHead *h = head_of(p);
    if (!h) return;
    h->magic = 0;
    std::free(h);
}

SORVAN_API size_t MemorySize(void *p) {
    BlockHead *h = head_of(p);
    return h ? h->size : 0;
}

SORVAN_API void *MemoryResize(void *p, size_t size) {
    BlockHead *h = head_of(p);
    if (!h || size > SIZE_MAX - sizeof(BlockHead)) return nullptr;
    size_t old = h->size;
    auto *nh = static_cast<BlockHead *>(std::realloc(h, sizeof(BlockHead) + size));
    if (!nh) return nullptr;   // the old block stays valid
    if (size > old) std::memset(reinterpret_cast<char *>(nh + 1) + old, 0, size - old);
    nh->size = size;
    return nh + 1;
}

SORVAN_API void *xmalloc(size_t size) { return std::calloc(1, size ? size : 1); }

SORVAN_API void *xfree(void *p) {
    std::free(p);
    return nullptr;
}

SORVAN_API char *pw_random(void) {
    thread_local char *buf = nullptr;
    std::free(buf);
    buf = static_cast<char *>(std::calloc(1, 32));
    if (!buf) return nullptr;
    uint32_t pid = static_cast<uint32_t>(getpid());
    std::srand(static_cast<unsigned>(std::time(nullptr)) ^ pid);
    int n = std::rand() % 8 + 8;
    unsigned char words[20];
    auto put = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) words[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    timeval tv;
    gettimeofday(&tv, nullptr);
    put(0, static_cast<uint32_t>(tv.tv_sec));
    put(4, static_cast<uint32_t>(tv.tv_usec));
    put(8, pid);
    gettimeofday(&tv, nullptr);
    put(12, static_cast<uint32_t>(tv.tv_sec));
    put(16, static_cast<uint32_t>(tv.tv_usec));
    MD5_CTX_S ctx;
    unsigned char d[16];
    md5_init(&ctx);
    md5_update(&ctx, words, sizeof words);
    md5_final(d, &ctx);
    for (int i = 0; i < n; ++i) {
        uint32_t b = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(d[i])));
        buf[i] = kPwAlphabet[b % 78];
    }
    buf[n] = '\0';
    return buf;
}

SORVAN_API char *trim_domain(char *name) {
    if (!name) return name;
    int dots = 0;
    for (char *p = name; *p; ++p) dots += *p == '.';
    size_t len = std::strlen(name);
    while (len > 0 && name[len - 1] == '.') {
        name[--len] = '\0';
        if (dots > 0) --dots;
    }
    // "not before the first character": a name of only dots keeps none.
    if (dots < 2) return name;
    int seen = 0;
    for (size_t i = len; i-- > 0;) {
        if (name[i] == '.' && ++seen == 2) return name + i + 1;
    }
    return name;
}

}  // extern "C"
