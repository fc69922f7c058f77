// MD5-crypt against the C library's "$1$" crypt (same 1000 MD5 rounds), and
// kord's CPU per agent query with the request key derived once per thread.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "master/kord.h"
#include "util/net/bitdes.h"
#include "util/net/request.h"

namespace {

using crypt_fn = char *(*)(const char *, const char *);

void BM_crypt_md5(benchmark::State &st) {
    for (auto _ : st) {
        char *p = crypt_md5("agent password", "Q4");
        benchmark::DoNotOptimize(p);
        memput(p, 120);
    }
}
BENCHMARK(BM_crypt_md5);

void BM_libc_crypt_dollar1(benchmark::State &st) {
    // Our library exports crypt() too: reach libcrypt's by handle.
    void *h = dlopen("libcrypt.so.1", RTLD_NOW | RTLD_LOCAL);
    auto fn = h ? reinterpret_cast<crypt_fn>(dlsym(h, "crypt")) : nullptr;
    if (!fn) {
        st.SkipWithError("libcrypt.so.1 not available");
        return;
    }
    for (auto _ : st) benchmark::DoNotOptimize(fn("agent password", "$1$Q4$"));
}
BENCHMARK(BM_libc_crypt_dollar1);

void BM_request_key_cached(benchmark::State &st) {
    unsigned char k[8];
    for (auto _ : st) {
        sorvan::derive_key("agent password", "Q4", k);
        benchmark::DoNotOptimize(k);
    }
}
BENCHMARK(BM_request_key_cached);

// A loopback agent that answers every request at once (no 500 ms sampling),
// so the measured CPU is kord's side of the query.
struct QuickAgent {
    int listener = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
    QuickAgent() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t l = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &l);
        port = ntohs(a.sin_port);
        listen(listener, 64);
        thread = std::thread([this] {
            for (;;) {
                int c = accept(listener, nullptr, nullptr);
                if (c < 0 || stop) {
                    if (c >= 0) close(c);
                    return;
                }
                free(xread(c));
                AgentStats s{};
                s.word[0] = htonl(100);
                s.word[6] = htonl(4096);
                send(c, &s, sizeof s, MSG_NOSIGNAL);
                close(c);
            }
        });
    }
    ~QuickAgent() {
        stop = true;
        shutdown(listener, SHUT_RDWR);
        close(listener);
        thread.join();
    }
};

void BM_kord_agent_query(benchmark::State &st) {
    req_cipher_init(nullptr);
    QuickAgent agent;
    static kord::GroupRecord g{};
    std::strcpy(g.name, "bench");
    std::strcpy(g.passwd, "agent password");
    g.agent_port = uint16_t(agent.port);
    g.timeout_us = 800000;
    kord::NodeRecord &s = g.slot[0];
    s.addr = htonl(INADDR_LOOPBACK);
    s.max_connections = 1 << 30;
    for (auto _ : st) {
        if (kord::query_agent(&g, &s) != 0) {
            st.SkipWithError("query failed");
            break;
        }
    }
}
BENCHMARK(BM_kord_agent_query)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_kord_agent_query);

// A 32 KiB piece of file content, as the sender enciphers and the agent
// deciphers it: the bulk path against libcrypto block by block.
void BM_des_piece_bulk(benchmark::State &st) {
    sorvan::BitDesKey k;
    const unsigned char key[8] = {0x5A, 0xC3, 0x19, 0x7E, 0x02, 0xB4, 0xD8, 0x61};
    sorvan::bitdes_set_key(k, key);
    std::vector<unsigned char> buf(32768, 0x3C);
    for (auto _ : st) {
        sorvan::bitdes_ecb(k, buf.data(), buf.data(), buf.size() / 8, false);
        benchmark::DoNotOptimize(buf.data());
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}
BENCHMARK(BM_des_piece_bulk);

void BM_des_piece_libcrypto(benchmark::State &st) {
    void *h = dlopen("libcrypto.so.3", RTLD_NOW);
    using set_key_fn = void (*)(const unsigned char (*)[8], void *);
    using ecb_fn = void (*)(const unsigned char (*)[8], unsigned char (*)[8], void *, int);
    auto set_key = h ? reinterpret_cast<set_key_fn>(dlsym(h, "DES_set_key_unchecked")) : nullptr;
    auto ecb = h ? reinterpret_cast<ecb_fn>(dlsym(h, "DES_ecb_encrypt")) : nullptr;
    if (!set_key || !ecb) {
        st.SkipWithError("libcrypto.so.3 not available");
        return;
    }
    alignas(16) unsigned char schedule[128];
    unsigned char key[8] = {0x5A, 0xC3, 0x19, 0x7E, 0x02, 0xB4, 0xD8, 0x61};
    set_key(&key, schedule);
    std::vector<unsigned char> buf(32768, 0x3C);
    for (auto _ : st) {
        for (size_t off = 0; off < buf.size(); off += 8) {
            unsigned char in[8], out[8];
            std::memcpy(in, &buf[off], 8);
            ecb(&in, &out, schedule, 0);
            std::memcpy(&buf[off], out, 8);
        }
        benchmark::DoNotOptimize(buf.data());
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}
BENCHMARK(BM_des_piece_libcrypto);

}  // namespace

BENCHMARK_MAIN();
