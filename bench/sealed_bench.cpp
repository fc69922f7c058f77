// Sealed-message round trips (xwrite + xread of a 2096-byte record over
// loopback TCP) against the bound: compress2 + DES and back, same bytes.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "util/sorvan.h"

namespace {

void keyed() {
    if (!C) req_cipher_init(nullptr);
}

FileRecord sample_record() {
    FileRecord r{};
    std::strcpy(r.path, "/srv/www/htdocs/images/catalogue/2026/winter/product-0042.jpg");
    std::strcpy(r.path2, "/srv/www/htdocs/images/catalogue/2026/winter/product-0042.jpg");
    r.attributes = 0x20;
    r.size = 482113;
    return r;
}

void BM_sealed_roundtrip_loopback(benchmark::State &st) {
    keyed();
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t al = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr *>(&a), &al);
    listen(l, 1);
    int c = socket(AF_INET, SOCK_STREAM, 0);
    connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int s = accept(l, nullptr, nullptr);
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    FileRecord r = sample_record();
    for (auto _ : st) {
        if (xwrite(c, &r, sizeof r) < 0) {
            st.SkipWithError("xwrite failed");
            break;
        }
        void *m = xread(s);
        if (!m) {
            st.SkipWithError("xread failed");
            break;
        }
        std::free(m);
    }
    st.SetItemsProcessed(st.iterations());
    close(c);
    close(s);
    close(l);
}
BENCHMARK(BM_sealed_roundtrip_loopback);

void BM_bound_compress2_des(benchmark::State &st) {
    keyed();
    FileRecord r = sample_record();
    std::vector<unsigned char> z(compressBound(sizeof r)), back(sizeof r);
    for (auto _ : st) {
        uLongf zl = z.size();
        compress2(z.data(), &zl, reinterpret_cast<const Bytef *>(&r), sizeof r, 9);
        xencrypt(z.data(), uint32_t(zl));
        xdecrypt(z.data(), uint32_t(zl));
        uLongf bl = back.size();
        uncompress(back.data(), &bl, z.data(), zl);
        benchmark::DoNotOptimize(back.data());
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_bound_compress2_des);

// The same work without the socket: the library's own compression (window
// sized to the message) and cipher, in memory.
void BM_bound_in_memory(benchmark::State &st) {
    keyed();
    FileRecord r = sample_record();
    for (auto _ : st) {
        uint32_t zl = 0, bl = 0;
        int32_t status = 0;
        void *z = compress_data(&r, sizeof r, &zl, &status, 1);
        xencrypt(z, zl);
        xdecrypt(z, zl);
        void *back = compress_data(z, zl, &bl, &status, 0);
        benchmark::DoNotOptimize(back);
        std::free(z);
        std::free(back);
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_bound_in_memory);

}  // namespace

BENCHMARK_MAIN();
