/* libsorvan: the shared library of the Tessaron servers.
 *
 * C ABI. Texts are char *, integers 32-bit, IPv4 addresses uint32_t in
 * network byte order. Records are fixed-layout C structs.
 */
#ifndef SORVAN_H
#define SORVAN_H

#include <stddef.h>
#include <stdint.h>
#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#if defined(SORVAN_BUILD)
#define SORVAN_API __attribute__((visibility("default")))
#else
#define SORVAN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Load report (agent side builds it, kord stores it) ---- */

/* 24-byte drive entry; host order in DriveInfo, big-endian on the wire. */
typedef struct DriveInfo {
    char name[16];
    uint32_t total_mb;
    uint32_t free_mb;
} DriveInfo;

/* 252 bytes, 63 words: words 0..14, then eight drive entries. */
typedef struct AgentStats {
    uint32_t word[15];
    DriveInfo drive[8];
} AgentStats;

/* ==== Shared maps ==== */
/* A read/write view of a file shared by every process that maps the same
 * file. path: the backing file, or null for a temporary file (its name
 * holds ".tmp"). size: bytes to map; a shorter file is extended with zeros,
 * 0 maps the file at its length. reserved: ignored. flags: bit 0 read,
 * bit 1 write (either opens the file read/write). Null on failure, errno
 * holds the reason. */
SORVAN_API void *MapOpen(const char *path, uint32_t size, int32_t reserved, int32_t flags);
/* Unmaps a view of MapOpen; a backing file whose name contains ".tmp" is
 * deleted then. Non-zero when such a file was deleted, else 0. */
SORVAN_API int32_t MapClose(void *base);

/* ==== Cluster-group file ==== */
/* One group line: 13 fields, each ended by ':', then the members separated
 * by ','. Texts may be empty and never hold ':' or a newline. */
struct grentry {
    char *gr_name;
    char *gr_domain;
    char *gr_passwd;
    int32_t gr_interval;        /* microseconds */
    char *gr_method;
    int32_t gr_alert_interval;  /* minutes */
    int32_t gr_retries;
    int32_t gr_timeout;         /* microseconds */
    int32_t gr_port;
    char *gr_extra;             /* peer "group.domain" of a mirror group */
    char *gr_mailto;
    int32_t gr_param1;
    int32_t gr_param2;
    char **gr_mem;              /* member names, ended by a null entry */
};
/* Next group of the file; the calling thread's own record, valid until its
 * next reader call. Null at the end or when the file cannot be read. */
SORVAN_API struct grentry *Qv5_GetGrEnt(const char *path);
/* First group named exactly `name` (the thread's scan is ended). */
SORVAN_API struct grentry *Qv5_GetGrNam(const char *path, const char *name);
/* Ends the calling thread's scan. */
SORVAN_API void Qv5_EndGrEnt(void);
/* Writes the line of `gr` (pos 0), or only its member list behind the first
 * pos characters of buf; returns the length with the newline. buf must hold
 * the whole line (8192 bytes hold any line the editors write). */
SORVAN_API int32_t fmtgrentry(char *buf, const struct grentry *gr, int32_t pos);
/* Line editors: 1 when the file was rewritten, 0 when it was not (errno
 * EINVAL for an empty name or a field that cannot be written; the file is
 * then untouched), -1 when the file cannot be opened, -2 when the copy
 * "<path>.new" cannot be created. errno ENOENT (change/delete found no
 * line) or EEXIST (add found the name) with a result of 1: file unchanged. */
SORVAN_API int32_t addgrent(const char *path, const struct grentry *gr);
SORVAN_API int32_t chggrent(const char *path, const char *name, const struct grentry *gr);
SORVAN_API int32_t delgrent(const char *path, const char *name);
/* Adds or removes one member across groups and rewrites every group line in
 * canonical form. mode 0 (no list): remove it everywhere; mode 1: remove it
 * from the listed groups; mode 2: append it to the listed groups lacking it.
 * 1 rewritten, 0 not (file untouched), -1 file or copy cannot be opened. */
SORVAN_API int32_t editgroups(const char *path, char **groups, const char *member, int32_t mode);

/* ==== ICMP ping ==== */

/* ==== SMTP mail ==== */

/* ==== Compression ==== */
/* zlib streams (RFC 1950). compress_data mode: 0 expand, 1 compress a
 * message (level 1 below 512 bytes), other compress at level 9. Result is a
 * malloc'd buffer (caller frees) or null; *status is the zlib code. */
SORVAN_API void *compress_data(const void *src, uint32_t len, uint32_t *out_len,
                               int32_t *status, int32_t mode);
/* Compress a block onto a socket in 32768-byte pieces (each enciphered with
 * xencrypt when `encipher`); total compressed bytes, -10 no memory, or the
 * zlib status. */
SORVAN_API int64_t deflate_buf(const void *src, uint64_t len, int sock, int32_t encipher);
/* Read such a stream into `path` (replaced); compressed bytes consumed,
 * 0 when the connection ended first, -100 file not created, -101 no memory,
 * -102 read error, or the zlib status. *written gets the file size. */
SORVAN_API int64_t inflate_buf(int sock, const char *path, uint64_t *written, int32_t decipher);
/* Clears the z_stream and runs inflateInit_; the zlib status. */
SORVAN_API int32_t zlib_inflate_init(void *z_stream_record);

/* ==== Password hashing ==== */
typedef struct MD5_CTX_S {
    uint32_t state[4];
    uint32_t count[2];          /* bits hashed, low word first */
    unsigned char buffer[64];
} MD5_CTX_S;
SORVAN_API void md5_init(MD5_CTX_S *ctx);
SORVAN_API void md5_update(MD5_CTX_S *ctx, const void *data, uint32_t len);
/* Writes the 16-byte digest and clears the context. */
SORVAN_API void md5_final(unsigned char digest[16], MD5_CTX_S *ctx);
/* MD5-crypt without magic: 22 characters in a 120-byte memget block (give it
 * back with memput(p, 120)); null when the pool is empty. The salt is cut at
 * '$', its end or 8 characters. */
SORVAN_API char *crypt_md5(const char *pw, const char *salt);
/* The same under the classic name. It replaces the C library's crypt() in
 * any process that links libsorvan: project code calls crypt_md5. */
#ifdef __cplusplus
SORVAN_API char *crypt(const char *pw, const char *salt) noexcept;
#else
SORVAN_API char *crypt(const char *pw, const char *salt);
#endif

/* ==== Small utilities ==== */
/* Path's last component after '/', or the whole text. */
SORVAN_API const char *appname(const char *path);
/* RFC 822 date of a ctime-style text (null: now); heap text, caller frees. */
SORVAN_API char *arpadate(const char *ctime_text);
/* POSIX basename(1) in place: last component, `suffix` (or null) cut off.
 * This export shadows the C library's basename() in every process that links
 * libsorvan; project code calls sorvan_basename, never the glibc one. */
SORVAN_API char *sorvan_basename(char *path, const char *suffix);
#if defined(basename)
#undef basename   /* libgen.h's macro: the name is ours here */
#endif
#ifdef __cplusplus
SORVAN_API char *basename(char *path, const char *suffix) noexcept;
#else
SORVAN_API char *basename(char *path, const char *suffix);
#endif
/* Sealed message: 4-byte big-endian length, then the compressed and
 * enciphered payload. xwrite: bytes written, -1 short write, -100 not
 * compressed. xread: malloc'd message or null. */
SORVAN_API int32_t xwrite(int sock, const void *data, uint32_t len);
SORVAN_API int32_t _xwrite(int sock, const void *payload, uint32_t len);
SORVAN_API void *xread(int sock);
/* Frames longer than this are refused as unreadable (-2). */
#define SORVAN_MAX_FRAME (16u * 1024u * 1024u)
/* 0; -1 length not read whole; -2 no memory or over-long frame; -3 payload
 * not read whole. *payload is malloc'd. */
SORVAN_API int32_t _xread(int sock, void **payload, uint32_t *len);
SORVAN_API void *MemoryAllocate(size_t size);   /* zero-filled */
SORVAN_API void MemoryFree(void *p);
SORVAN_API size_t MemorySize(void *p);          /* 0: not such a block */
SORVAN_API void *MemoryResize(void *p, size_t size);
SORVAN_API void *xmalloc(size_t size);          /* zero-filled */
SORVAN_API void *xfree(void *p);                /* null on success */
/* 8..15 random characters; per-thread buffer valid until the next call. */
SORVAN_API char *pw_random(void);
/* Last two labels of a host name, trailing dots removed (in place). */
SORVAN_API char *trim_domain(char *name);

/* ==== Request protocol ==== */
#define REQ_VERSION 2
enum {
    REQ_LOAD = 1, REQ_SEND_FILE_ALT = 2, REQ_SEND_FILE = 3, REQ_REMOVE = 4,
    REQ_CHANGE_ATTRIBUTE = 5, REQ_CHANGE_SD = 6, REQ_MKDIR = 7, REQ_RENAME = 8
};
/* 20 bytes; the three words big-endian on the wire. */
typedef struct RequestHeader {
    uint32_t version;
    uint32_t kind;
    uint32_t argument;
    unsigned char key[8];       /* first 8 characters of crypt_md5(password, "Q4") */
} RequestHeader;
/* 2096 bytes, sent as its memory image: integers little-endian. */
typedef struct FileRecord {
    char path[1024];
    char path2[1024];
    uint32_t attributes;
    uint32_t reserved1;
    uint64_t size;
    unsigned char reserved2[32];
} FileRecord;

/* The library's one DES state (opaque). */
typedef struct des_cipher des_cipher;
SORVAN_API extern des_cipher *C;
/* The serving side's expected key: the first 8 bytes are compared. */
SORVAN_API extern char key_phrase[28];
/* Binds DES from a dlopen handle of libcrypto; the context (also stored in
 * C) or null. */
SORVAN_API des_cipher *des_init(void *crypto_handle);
/* Keys the context with 8 bytes (`len` must be at least 8); 0 accepted,
 * -1 short key; 0 when there is no context. */
SORVAN_API int32_t des_setkey_ecb(const void *key, int32_t len);
SORVAN_API void des_encrypt_ecb(const void *in, void *out);
SORVAN_API void des_decrypt_ecb(const void *in, void *out);
/* Every whole 8-byte block in place; 0, or -1 without a context. */
SORVAN_API int32_t xencrypt(void *buf, uint32_t len);
SORVAN_API int32_t xdecrypt(void *buf, uint32_t len);

/* Connected socket, or -1 address 0, -4 not connected, -5 header, -6 record,
 * -7 descriptor not written. With `retry` it returns only once delivered. */
SORVAN_API int req_send(uint32_t addr, int port, int32_t timeout_us, const char *password,
                        const char *salt, FileRecord *rec, uint32_t kind, uint32_t argument,
                        int32_t descriptor, int32_t retry);
SORVAN_API int32_t req_send_file(uint32_t addr, int port, int32_t timeout_us,
                                 const char *password, FileRecord *rec);
SORVAN_API int32_t req_mkdir(uint32_t addr, int port, int32_t timeout_us,
                             const char *password, FileRecord *rec);
SORVAN_API int32_t req_remove(uint32_t addr, int port, int32_t timeout_us,
                              const char *password, FileRecord *rec);
SORVAN_API int32_t req_rename(uint32_t addr, int port, int32_t timeout_us,
                              const char *password, FileRecord *rec);
SORVAN_API int32_t req_change_sd(uint32_t addr, int port, int32_t timeout_us,
                                 const char *password, FileRecord *rec);
SORVAN_API int32_t req_change_attribute(uint32_t addr, int port, int32_t timeout_us,
                                        const char *password, FileRecord *rec);
/* Status reply: bytes written or -2; req_reply_ok 1 when status 0 arrived. */
SORVAN_API int32_t req_reply(int sock, int32_t status);
SORVAN_API int32_t req_reply_ok(int sock);

/* ==== Request server ==== */
struct PdhContext;
struct sockaddr_in;
/* Serves one accepted connection: 0 dispatched (or unknown kind rejected),
 * -1 header unreadable, -3 wrong key. The caller closes the socket. */
SORVAN_API int32_t authenticate_and_process(int sock, const struct sockaddr_in *peer,
                                            void *context, struct PdhContext *pdh);
/* Counts and (one in a thousand) logs a rejection; arms an abortive close. */
SORVAN_API int32_t reset(int sock, uint32_t peer_addr, const char *reason);

/* ==== Load probes ==== */
#define PDH_COUNTERS 13
/* Counter query of an agent; zero it before pdh_init. */
typedef struct PdhContext {
    void *query;
    uintptr_t *counters;        /* PDH_COUNTERS handles, 0 = not added */
    int32_t added;
} PdhContext;
SORVAN_API int32_t pdh_init(PdhContext *ctx);
SORVAN_API void pdh_close(PdhContext *ctx);
/* Two samples 500 ms apart; 0, or -1 when no counter was added. */
SORVAN_API int32_t pdh_collect(PdhContext *ctx);
/* Advances this thread's 1-, 5- and 15-minute averages (scale 4096). */
SORVAN_API double *loadavg(double x);
/* Physical memory in bytes. */
SORVAN_API uint64_t total_memory(void);
SORVAN_API int32_t drvinfo(DriveInfo *drives, int32_t max);
/* Fills a zeroed AgentStats (wire order); -1 when the counters failed. */
SORVAN_API int32_t build_agent_stats(AgentStats *rec, void *context, PdhContext *ctx);
/* 252 sent whole, 0 would block, -1 error, else the bytes sent. */
SORVAN_API int32_t send_agent_stats(int sock, void *context, PdhContext *ctx);

/* ==== Directory watcher ==== */
struct ev_context; /* the porting layer's event context */
typedef void (*dwatch_callback)(struct ev_context *ctx, void *uap, const void *tag);

/* One queued change: full path (savestr), action 1 added, 2 removed,
 * 3 modified, 4 old name of a rename, 5 new name. */
typedef struct DirChange {
    char *path;
    int32_t action;
    struct DirChange *next;
} DirChange;

struct WatchedDir;

/* Shared with the owner, who drains the queue under `lock` and runs the
 * callback from its own event loop on `ev`. */
typedef struct DirWatcher {
    struct WatchedDir *first_dir;
    struct WatchedDir **dir_tail;
    DirChange *first_change;      /* null when the queue is empty */
    DirChange **change_tail;      /* &first_change when empty */
    uintptr_t thread;             /* the watch thread */
    int32_t notify_fd;            /* one inotify descriptor for every tree */
    int32_t dir_count;
    struct ev_context *ev;
    pthread_mutex_t lock;         /* guards first_change and change_tail */
    int32_t batch_event;          /* eventfd, signalled after every batch */
    dwatch_callback callback;
    void *user_data;
    uint32_t flags;               /* bit 0: user_data is freed with the watcher */
    char *old_name;               /* owner's: old name of a rename */
    char *new_name;               /* owner's: new name of a rename */
} DirWatcher;

/* Watches every directory below each path of the null-ended list. Returns
 * the watcher, or null (and a logged message) when a directory cannot be
 * watched; then none is. */
SORVAN_API DirWatcher *dwatch(const char *const *paths, dwatch_callback callback,
                              void *user_data);
/* Stops the watch thread and frees the watcher with every undelivered change. */
SORVAN_API void dwatch_stop(DirWatcher *w);


/* ==== File transfer ==== */

/* ==== Transaction log ==== */

/* ==== File-tree operations ==== */

/* ==== Security descriptors and attributes ==== */
/* By-handle file information, Windows layout (52 bytes, host order):
 * times are 100 ns intervals since 1601, the index is the inode. */
typedef struct ByHandleFileInformation {
    uint32_t dwFileAttributes;
    uint32_t ftCreationTime[2];     /* low, high */
    uint32_t ftLastAccessTime[2];
    uint32_t ftLastWriteTime[2];
    uint32_t dwVolumeSerialNumber;
    uint32_t nFileSizeHigh;
    uint32_t nFileSizeLow;
    uint32_t nNumberOfLinks;
    uint32_t nFileIndexHigh;
    uint32_t nFileIndexLow;
} ByHandleFileInformation;

/* Enables CAP_CHOWN/CAP_FOWNER; 0, or -1 when they cannot be had. */
SORVAN_API int super_user_init(void);
SORVAN_API int super_user_finish(void);
/* 1 when the process owner was recorded and the privileges enabled. */
SORVAN_API int GetProcessSid(void);
/* The path's descriptor (owner, group, mode, POSIX ACLs) in a heap block
 * the caller frees with free(), or null; *len its length or 0. */
SORVAN_API void *get_NT_SD(const char *path, uint32_t *len);
/* Applies a descriptor whose control word is big-endian (transit form):
 * 0; -1 null argument; -2 control word unreadable; -3 invalid; -4 failed. */
SORVAN_API int set_NT_SD(const char *path, void *sd);
SORVAN_API int8_t NT_compress_NTFS_file(const char *path);
SORVAN_API int8_t NT_uncompress_NTFS_file(const char *path);
/* Applies the attribute word (read-only, compressed; stored whole in the
 * user.tessaron.attributes extended attribute): 0, or -1. */
SORVAN_API int set_NT_file_attr(const char *path, uint32_t attributes);
SORVAN_API int stat_file(const char *path, ByHandleFileInformation *info);

/* ==== Packets and sockets ==== */

/* ==== Wake-on-LAN and UDP ==== */

/* ==== Timers and watchdog ==== */

/* ==== Registry items ==== */

/* ==== Hosts file ==== */

#ifdef __cplusplus
}
#endif

#endif /* SORVAN_H */
