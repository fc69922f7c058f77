/* dlopen_probe LIBSORVAN PORT PASSWORD SOURCE DESTINATION
 *
 * Loads libsorvan the way a plugin host or Python's ctypes does: dlopen
 * only, no link-time dependency, so libc comes first in the lookup order
 * (libc has its own xencrypt, crypt and basename). Then drives the calls
 * that go through those names inside the library: a sealed message round
 * trip, an enciphered stream, and a file sent to the agent on PORT.
 * Exit 0 when everything arrived intact. */
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

typedef struct FileRecord {
    char path[1024];
    char path2[1024];
    uint32_t attributes;
    uint32_t reserved1;
    uint64_t size;
    unsigned char reserved2[32];
} FileRecord;

static void *lib;

static void *sym(const char *name) {
    void *p = dlsym(lib, name);
    if (!p) {
        fprintf(stderr, "dlopen_probe: %s missing: %s\n", name, dlerror());
        exit(1);
    }
    return p;
}

#define FAIL(...) do { fprintf(stderr, "dlopen_probe: " __VA_ARGS__); fputc('\n', stderr); exit(1); } while (0)

struct deflate_job {
    int64_t (*deflate_buf)(const void *, uint64_t, int, int32_t);
    const unsigned char *data;
    uint64_t len;
    int sock;
    int64_t result;
};

static void *deflate_thread(void *arg) {
    struct deflate_job *j = arg;
    j->result = j->deflate_buf(j->data, j->len, j->sock, 1);
    shutdown(j->sock, SHUT_WR);
    return NULL;
}

static unsigned char *slurp(const char *path, size_t *len) {
    FILE *f = fopen(path, "rb");
    if (!f) return NULL;
    unsigned char *buf = malloc(1 << 20);
    *len = fread(buf, 1, 1 << 20, f);
    fclose(f);
    return buf;
}

int main(int argc, char **argv) {
    if (argc != 6) FAIL("usage: dlopen_probe LIBSORVAN PORT PASSWORD SOURCE DESTINATION");
    alarm(60);   /* a retrying sender must not hang the test */
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) FAIL("%s", dlerror());
    void *crypto = dlopen("libcrypto.so.3", RTLD_NOW);
    if (!crypto) FAIL("%s", dlerror());

    void *(*des_init)(void *) = sym("des_init");
    int32_t (*des_setkey_ecb)(const void *, int32_t) = sym("des_setkey_ecb");
    int32_t (*xwrite)(int, const void *, uint32_t) = sym("xwrite");
    void *(*xread)(int) = sym("xread");
    int64_t (*deflate_buf)(const void *, uint64_t, int, int32_t) = sym("deflate_buf");
    int64_t (*inflate_buf)(int, const char *, uint64_t *, int32_t) = sym("inflate_buf");
    int32_t (*req_send_file)(uint32_t, int, int32_t, const char *, FileRecord *) = sym("req_send_file");

    static const unsigned char key[8] = {0x5A, 0xC3, 0x19, 0x7E, 0x02, 0xB4, 0xD8, 0x61};
    if (!des_init(crypto) || des_setkey_ecb(key, 8) != 0) FAIL("no cipher context");

    /* A sealed message over a socket pair. */
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) FAIL("socketpair");
    const char msg[] = "a sealed message that travels compressed and enciphered";
    if (xwrite(sv[0], msg, sizeof msg) <= 0) FAIL("xwrite failed");
    char *got = xread(sv[1]);
    if (!got || memcmp(got, msg, sizeof msg) != 0) FAIL("xread gave another message");
    free(got);
    close(sv[0]);
    close(sv[1]);

    /* An enciphered stream into a file, next to the destination. */
    size_t n = 200000;
    unsigned char *data = malloc(n);
    for (size_t i = 0; i < n; i++) data[i] = (unsigned char)((i * 7) ^ (i >> 9));
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) FAIL("socketpair");
    struct deflate_job job = {deflate_buf, data, n, sv[0], 0};
    pthread_t t;
    pthread_create(&t, NULL, deflate_thread, &job);
    char stream_path[1100];
    snprintf(stream_path, sizeof stream_path, "%s.stream", argv[5]);
    uint64_t written = 0;
    int64_t in = inflate_buf(sv[1], stream_path, &written, 1);
    pthread_join(t, NULL);
    if (job.result <= 0 || in <= 0 || written != n) FAIL("stream: deflate %lld inflate %lld written %llu",
                                                         (long long)job.result, (long long)in,
                                                         (unsigned long long)written);
    size_t back_len = 0;
    unsigned char *back = slurp(stream_path, &back_len);
    if (!back || back_len != n || memcmp(back, data, n) != 0) FAIL("stream arrived changed");
    free(back);
    close(sv[0]);
    close(sv[1]);

    /* A file to the running agent. */
    FileRecord rec;
    memset(&rec, 0, sizeof rec);
    snprintf(rec.path, sizeof rec.path, "%s", argv[4]);
    snprintf(rec.path2, sizeof rec.path2, "%s", argv[5]);
    if (req_send_file(htonl(INADDR_LOOPBACK), atoi(argv[2]), 2000000, argv[3], &rec) != 0)
        FAIL("req_send_file failed");
    size_t src_len = 0, dst_len = 0;
    unsigned char *src = slurp(argv[4], &src_len);
    unsigned char *dst = NULL;
    for (int i = 0; i < 100 && !(dst = slurp(argv[5], &dst_len)); i++) usleep(50000);
    if (!src || !dst || src_len != dst_len || memcmp(src, dst, src_len) != 0)
        FAIL("the file did not arrive intact");
    puts("dlopen_probe: ok");
    return 0;
}
