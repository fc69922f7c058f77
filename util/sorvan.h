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
/* One ICMP echo round trip to addr (network order), waiting at most
 * timeout_us microseconds in all. Round-trip milliseconds (>= 0), or:
 * -1 no ICMP socket (needs CAP_NET_RAW, or a group that
 * net.ipv4.ping_group_range allows), -4 send failed (local failures);
 * -10 send timed out, -11 no reply in time (ICMP errors about the echo are
 * skipped, so a rejecting host ends here too), -12 oversize replies (the
 * node did not answer). -2, -3, -5 and -6 are no longer returned. All
 * calls of a process share one ICMP socket, opened on the first call and
 * kept for the life of the process, and one receiver thread that hands
 * each reply to its caller. Any number of threads may call at once. */
SORVAN_API int ping(uint32_t addr_network_order, int32_t timeout_us);
/* ping over IPv6: addr is 16 bytes in network order; the same results,
 * on a second shared socket (ICMPv6, raw or the unprivileged kind). */
SORVAN_API int ping6(const uint8_t addr[16], int32_t timeout_us);
/* An echo sent now and collected later, for callers that probe on a
 * schedule: no thread sleeps for the reply, and the receiver wakes nobody
 * when it comes. ping_echo_open makes a record (null without memory);
 * ping_echo_send / ping_echo_send6 send an echo on it (0, else ping()'s
 * local failures, -1 or -4, or -10), withdrawing any earlier echo not yet
 * collected; ping_echo_collect takes the result of the last send, as
 * ping() would have returned it (a reply later than the time-out is -11),
 * waiting until the time-out at most when called early; -11 when nothing
 * is outstanding. ping_echo_close withdraws what is outstanding and frees
 * the record. One thread at a time per record. */
typedef struct ping_echo ping_echo;
SORVAN_API ping_echo *ping_echo_open(void);
SORVAN_API int ping_echo_send(ping_echo *echo, uint32_t addr_network_order, int32_t timeout_us);
SORVAN_API int ping_echo_send6(ping_echo *echo, const uint8_t addr[16], int32_t timeout_us);
SORVAN_API int ping_echo_collect(ping_echo *echo);
SORVAN_API void ping_echo_close(ping_echo *echo);

/* ==== SMTP mail ==== */
/* The argument of mail(). Texts are NUL-terminated; subject and body may be
 * null. html: 1 adds the text/html content type. */
typedef struct MailRequest {
    const char *to;                /* local@domain */
    const char *from;              /* envelope and header sender */
    const char *subject;           /* null: no subject line */
    const char *body;              /* null: empty body */
    int32_t report_bad_recipient;  /* nonzero: notify the vendor of a refused recipient */
    int32_t html;                  /* 1: Content-Type text/html */
} MailRequest;

/* Mail exchangers of domain, lowest preference first, neighbouring
 * duplicates removed. mxhosts needs room for 100 pointers; the names stay
 * valid until this thread's next getmxrr(). prefs may be null. *rcode: 0,
 * 68 no such domain, 75 temporary failure, 71 other failure. Returns the
 * count (0 or more), or -1 when the lookup failed. */
SORVAN_API int getmxrr(const char *domain, char **mxhosts, uint16_t *prefs, int *rcode);
/* Sends one message straight to the recipient domain's exchangers, or
 * through the relay $TESSARON_SMTP_RELAY (host[:port]) when that is set.
 * 0 sent or not deliverable now, 1 recipient refused (5xx), -1 bad
 * recipient address or no mail exchanger. An exchanger gets 1.5 s to
 * accept the connection and 10 s for each reply. HELO names this host. */
SORVAN_API int mail(const MailRequest *req);
/* mail() for a caller that logs what happened: at most max_exchangers
 * exchangers tried (0: all) within deadline_ms for the whole call (0: no
 * limit; name lookups are bounded by the resolver's own time-outs). One
 * line saying to whom it went and whether it was accepted, or why not, is
 * written into report (report_size bytes, always terminated). Same results
 * as mail(). */
SORVAN_API int mail_report(const MailRequest *req, int32_t deadline_ms, int32_t max_exchangers,
                           char *report, uint32_t report_size);

/* ==== Compression ==== */
/* zlib streams (RFC 1950). compress_data mode: 0 expand, 1 compress a
 * message (level 1 below 512 bytes), other compress at level 9. Result is a
 * malloc'd buffer (caller frees) or null; *status is the zlib code. */
SORVAN_API void *compress_data(const void *src, uint32_t len, uint32_t *out_len,
                               int32_t *status, int32_t mode);
/* Compress a block onto a socket in 32768-byte pieces (each enciphered with
 * xencrypt when `encipher`); total compressed bytes, -10 no memory, or the
 * zlib status (Z_ERRNO, -1, when a piece could not be written whole). */
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
/* The request protocol's cipher as kord and every peer set it up: binds DES
 * from libcrypto.so.3 in `dir` (null: the loader's search) and keys it with
 * the protocol's key. The context, or null when libcrypto cannot be loaded;
 * requests then travel unenciphered, and both ends must go without. */
SORVAN_API des_cipher *req_cipher_init(const char *dir);
/* Makes key_phrase the key of requests made with `password`; 0, or -1 for
 * a null password. */
SORVAN_API int32_t req_serve_password(const char *password);
SORVAN_API void des_encrypt_ecb(const void *in, void *out);
SORVAN_API void des_decrypt_ecb(const void *in, void *out);
/* Every whole 8-byte block in place; 0, or -1 without a context. */
SORVAN_API int32_t xencrypt(void *buf, uint32_t len);
SORVAN_API int32_t xdecrypt(void *buf, uint32_t len);

/* Connected socket, or -1 address 0, -4 not connected, -5 header, -6 record,
 * -7 descriptor not written. With `retry` what can heal is tried again
 * (pauses from 0.5 s doubling to 30 s): then only -1, or -5 for a key the
 * agent rejects. */
SORVAN_API int req_send(uint32_t addr, int port, int32_t timeout_us, const char *password,
                        const char *salt, FileRecord *rec, uint32_t kind, uint32_t argument,
                        int32_t descriptor, int32_t retry);
/* req_send to a node over IPv6 (addr: 16 bytes, network order), for a node
 * that has no IPv4 address: header, and record when not null, on a new
 * connection; no descriptor, no retry. The socket, or -1 address all zero,
 * -4 not connected (errno says why), -5 header, -6 record not written. */
SORVAN_API int req_send6(const uint8_t addr[16], int port, int32_t timeout_us, const char *password,
                         const char *salt, FileRecord *rec, uint32_t kind, uint32_t argument);
/* File operations: each returns once the agent has ended the request (0),
 * trying again what can heal as req_send does; what never can is logged
 * and answered at once: -1 address 0, -5 key rejected, -6 the agent keeps
 * resetting the request. */
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
/* A request's first frame, its sealed 20-byte header (at most 31 bytes
 * deflated), is refused unread when it announces more payload than this. */
#define SORVAN_MAX_HEADER_FRAME 64u
/* Serves one accepted connection: 0 dispatched (or unknown kind rejected),
 * -1 header unreadable, -2 no key, -3 wrong key. Header, record and
 * descriptor must arrive within 5 s. The caller closes the socket. */
SORVAN_API int32_t authenticate_and_process(int sock, const struct sockaddr_in *peer,
                                            void *context, struct PdhContext *pdh);
/* Counts and (one in a thousand) logs a rejection; arms an abortive close. */
SORVAN_API int32_t reset(int sock, uint32_t peer_addr, const char *reason);
/* The file handlers: each reads the rest of its request from the
 * connection and answers nothing. */
/* Confines the handlers' file operations (writes, directories, both ends
 * of a rename, removes, descriptors, attributes) to the trees of the
 * null-ended list, compared after ".." and symbolic links are resolved; a
 * null or empty list lifts the confinement. Whatever the roots, no remove
 * or rename takes "/", a directory directly below it, a mount point, or a
 * system directory or anything above one. A refused operation is logged
 * with its path and its connection reset. 0, or -1 (errno set, roots
 * unchanged) when a root is not an existing directory. */
SORVAN_API int32_t confine_roots(const char *const *roots);
/* Removes below the roots the temporary files of transfers whose agent
 * died mid-transfer (running transfers hold theirs locked); the number
 * removed, 0 when not confined. */
SORVAN_API int32_t confine_sweep(void);
/* Kind 4: 0; -1 no record; -2 prohibited or refused path. */
SORVAN_API int32_t do_remove(int sock, const struct sockaddr_in *peer, void *context);
/* Kinds 5 and 6: 0; -1 no record; -2 no descriptor; -3 descriptor not applied. */
SORVAN_API int32_t change_mode(int sock, const struct sockaddr_in *peer, void *context,
                               uint32_t version);
/* Kind 8: 0; -1 no record; -2 no descriptor; -3 rename failed. */
SORVAN_API int32_t do_rename(int sock, const struct sockaddr_in *peer, void *context);
/* Kind 7: 0; -1 no record; -2 no descriptor; -3 directory not created. */
SORVAN_API int32_t do_mkdir(int sock, const struct sockaddr_in *peer, void *context,
                            uint32_t version);

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
/* Sends `rec->path` to the agent as `rec->path2` (empty: the same path):
 * the request's socket (the caller closes it), req_send's negative result,
 * or -100 when the content did not go out whole. With `cr`, carriage
 * returns travel as spaces. */
SORVAN_API int send_file(uint32_t addr, int port, int32_t timeout_us, const char *password,
                         const char *salt, FileRecord *rec, int32_t cr);
/* The content step: >= 0 sent (or nothing to send); -1 length unknown or
 * the file cannot be opened; -2 not sent whole; -3 shorter than announced
 * or not mapped. */
SORVAN_API int send_file_content(int sock, const FileRecord *rec, int32_t cr);
/* send_file with the salt "Q4", tried again as req_mkdir is until the agent
 * has ended the request: 0; -100 given up (logged): the source is gone, not
 * a regular file or shorter than announced, or the agent rejects the key. */
SORVAN_API int32_t req_send_file(uint32_t addr, int port, int32_t timeout_us,
                                 const char *password, FileRecord *rec);
/* Agent side of kinds 2 and 3: 0; -1 no record; -2 no descriptor; -4
 * content not received (destination untouched); -5 not moved into place. */
SORVAN_API int32_t receive_file(int sock, const struct sockaddr_in *peer, void *context,
                                uint32_t version);

/* ==== Transaction log ==== */
/* One queued operation: 2176 bytes, host byte order except addr. */
typedef struct TlogRecord {
    uint32_t addr;          /* peer agent, network byte order */
    uint32_t kind;          /* REQ_SEND_FILE_ALT .. REQ_RENAME */
    FileRecord file;
    uint16_t port;
    uint16_t reserved;
    int32_t timeout;        /* connect time-out, microseconds */
    char passwd[64];
} TlogRecord;

typedef void (*tlog_callback)(struct ev_context *ctx, void *uap, const void *tag);

/* Filled by tlog_init. The mutex is re-entrant for its owning thread. */
typedef struct TlogHandle {
    int32_t fd;             /* used briefly while resizing; 0 when none */
    char path[1024];
    struct ev_context *evctx;
    tlog_callback callback;
    pthread_mutex_t mutex;
    int32_t mutex_ready;
    struct tlog_index *index;   /* the library's: where each queued record lies */
} TlogHandle;

/* What tlog_process hands the callback: a 2184-byte memget block the
 * consumer gives back with memput(block, 2184). */
typedef struct TlogDispatch {
    TlogHandle *log;
    TlogRecord rec;
} TlogDispatch;

SORVAN_API int tlog_init(TlogHandle *h, const char *path, tlog_callback callback);
SORVAN_API void tlog_shutdown(TlogHandle *h);
/* 0 appended; 1 already queued (not counting the oldest); -2 no room
 * (nothing queued before is touched); -3 not written (shrunk back). */
SORVAN_API int tlog_write_rec(TlogHandle *h, const TlogRecord *rec);
/* Hands a copy of the oldest record to the callback, to run when the
 * program signals the null tag: 0; -1 no file; -2 empty; -3 not mapped;
 * -4 no memory; -5 not registered. */
SORVAN_API int tlog_process(TlogHandle *h);
/* Index of the first equal record, 0 when none; -1, -2, -3. */
SORVAN_API int tlog_search(TlogHandle *h, const TlogRecord *rec);
/* Removes the first equal record: 0; -1..-3; -4 not reopened; -5 not
 * removed. */
SORVAN_API int tlog_delete_rec(TlogHandle *h, const TlogRecord *rec);
SORVAN_API int tlog_rec_last(const TlogRecord *rec, const void *end);
/* tlog_write_rec for n records at once (one lock, one extension of the
 * file): how many were appended, or -2 / -3 as tlog_write_rec (then none). */
SORVAN_API int tlog_write_recs(TlogHandle *h, const TlogRecord *recs, int32_t n);
/* tlog_delete_rec for n records at once: 0, or -1..-5 as tlog_delete_rec
 * (the records before the failing one are removed). */
SORVAN_API int tlog_delete_recs(TlogHandle *h, const TlogRecord *recs, int32_t n);
/* How many records are queued; copies the one at `index` (0 the oldest)
 * into `rec` when there is one. -1 no file; -3 not readable. */
SORVAN_API int tlog_read_rec(TlogHandle *h, int32_t index, TlogRecord *rec);
/* tlog_read_rec for up to n records from `index` on, read together: they
 * go into recs and their number into *got. */
SORVAN_API int tlog_read_recs(TlogHandle *h, int32_t index, int32_t n, TlogRecord *recs, int32_t *got);
/* Carries the operation out against its agent, retrying what can heal:
 * 0 delivered; -100 unknown kind, or an operation that cannot succeed
 * (logged). */
SORVAN_API int tlog_do_op(struct ev_context *ctx, TlogRecord *rec);

/* ==== Replication sessions: many operations on one connection ==== */
/* tlog_do_op over this thread's session with the record's agent (one
 * authenticated connection carrying one operation after another, each
 * answered with its outcome), where the agent offers sessions; otherwise,
 * or when the session breaks, exactly as tlog_do_op. 0 done; -100 given up
 * (logged); -200 the agent could not carry it out, for example its disk is
 * full (logged): keep the record queued. */
SORVAN_API int32_t tlog_do_op_session(TlogRecord *rec);
/* tlog_do_op_session for n records at once, none touching another's path:
 * an agent that takes it gets them one after another without waiting for
 * each outcome. Each record's result as tlog_do_op_session's in rcs[i]. A
 * file is sent as it is now: its record takes the length and attribute
 * word that went. */
SORVAN_API void tlog_do_ops_session(TlogRecord *recs, int32_t n, int32_t *rcs);
/* Ends this thread's sessions (also done when the thread ends). */
SORVAN_API void tlog_session_end(void);
/* Compression of file content in sessions: 1..9 a fixed zlib level (which
 * then holds for the content of a request of its own too), 0 (the
 * default) chosen by the link: stepped down while compressing, not
 * sending, is what takes the time; a request of its own then keeps 9. */
SORVAN_API void req_session_level(int32_t level);
/* Agent side: sessions served at once (default 8; beyond it a session is
 * answered busy and the requester goes on one request per operation); 0
 * refuses every session as an agent without them does. */
SORVAN_API void req_session_limit(int32_t n);

/* ==== File-tree operations ==== */
/* Copies a file (replacing the destination), or a directory one level
 * deep: 0; -1 source missing or copy failed; -2/-3 directory step failed. */
SORVAN_API int cp(const char *src, const char *dst);
/* Creates dst and the first-level subdirectories of src below it. */
SORVAN_API int createdirs(const char *src, const char *dst);
/* Copies the files directly inside src into dst. */
SORVAN_API int cpfiles(const char *src, const char *dst);
/* Removes a file or a whole tree (symbolic links are removed, never
 * followed): 0; -1 missing; -2 file not deleted; else rm_all's result. */
SORVAN_API int rm(const char *path);
/* Empties dir (and removes it when `self`); ends when a pass fails on
 * nothing, or removes nothing more: that pass's failure count; -9 when
 * dir itself stays. */
SORVAN_API int rm_all(const char *dir, int self);
SORVAN_API int rm_pass(const char *dir);
SORVAN_API int clear_readonly(const char *path);
SORVAN_API int rmdirs(const char *dir);
SORVAN_API int rmfiles(const char *dir);

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
/* IPv4 only. Addresses and ports given as arguments are in host byte
 * order; socket addresses (struct sockaddr_in) are in network order.
 * Time-outs are milliseconds. */
struct sockaddr_in;
/* SO_RCVTIMEO then SO_SNDTIMEO: 0; -1 receive time-out not set (send
 * time-out untouched); -2 send time-out not set. */
SORVAN_API int32_t SocketSetTimeOut(int sock, int32_t timeout_ms);
/* An unbound, unconnected TCP (stream != 0) or UDP socket with both
 * time-outs set, broadcasting on for UDP to 0xFFFFFFFF; *addr receives
 * addr:port. The socket, a negative result of socket(), or -3. */
SORVAN_API int CreateClientSocket(uint32_t addr, int32_t port, int32_t stream, int32_t timeout_ms,
                                  struct sockaddr_in *out);
/* A socket bound to INADDR_ANY:port with SO_REUSEADDR, not listening.
 * -1 socket, -2 SO_REUSEADDR, -3 SO_BROADCAST, -4 bind failed. */
SORVAN_API int Qv5_CreateServerSocket(int32_t port, int32_t stream, int32_t broadcast);
/* One datagram; to 255.255.255.255 resent up to `repeat` more times while
 * refused or unreachable. Bytes sent or -1. */
SORVAN_API int32_t Qv5_SendPacket(int sock, const void *data, int32_t len,
                                  const struct sockaddr_in *to, int32_t repeat);
/* One datagram (retried up to `repeat` more times while refused or
 * unreachable); *from receives the sender. Bytes, or -1 (errno EMSGSIZE
 * when the datagram was larger than the buffer). */
SORVAN_API int32_t Qv5_ReceivePacket(int sock, void *buf, int32_t size, struct sockaddr_in *from,
                                     int32_t repeat);
/* Sends the request, then reads until the peer closes or the buffer is
 * full. Reply bytes; 0 when the request did not go out whole; -1 when a
 * read failed. */
SORVAN_API int32_t Qv5_SendRecv(int sock, const void *request, int32_t len, void *reply,
                                int32_t size);
/* Closes with a reset instead of an orderly shutdown; close()'s result. */
SORVAN_API int Qv5_CloseAndSendRst(int sock);

/* ==== Wake-on-LAN and UDP ==== */
/* Broadcasts the 102-byte magic packet for the 6-byte hardware address to
 * 255.255.255.255 port 9. 102 sent, -1 send failed, 0 no socket. */
SORVAN_API int32_t WakeUpOnLan(const unsigned char *mac);
/* How long UDPSendRecvfrom waits for each answer datagram. */
#define UDP_ANSWER_WAIT_MS 3000
/* Sends the request to addr:port (host order) and waits at most
 * UDP_ANSWER_WAIT_MS for one answer into `answer`; *from receives its
 * sender, and is left zeroed (sin_family 0) when no answer came. 0; -1
 * when no socket could be made. */
SORVAN_API int32_t UDPSendRecvfrom(uint32_t addr, int32_t port, const void *request, int32_t len,
                                   void *answer, int32_t size, struct sockaddr_in *from,
                                   int32_t repeat);

/* ==== Timers and watchdog ==== */
/* The calling thread's one-shot deadline: the first call arms it for
 * `seconds`; 1 once more than that has passed (the timer is then
 * disarmed), else 0. */
SORVAN_API int32_t timer(int32_t seconds);
typedef void (*watch_dog_fn)(int32_t arg);
/* Calls fn(arg) when the file's modification time moves past *last_seen
 * (0: nothing seen yet, only recorded). 0 nothing new, 1 changed and fn
 * called, 2 the file cannot be examined (*last_seen unchanged). */
SORVAN_API int32_t watch_dog(const char *path, int32_t *last_seen, watch_dog_fn fn, int32_t arg);
/* Worker threads to start: 4 x processors + 16. */
SORVAN_API int32_t thread2fork(void);

/* ==== Registry items ==== */
/* Items below the registry root: a file tree under $TESSARON_REGISTRY
 * (default /var/lib/tessaron/registry). Key paths separate names with
 * backslashes (slashes work too); "." and ".." names are refused and a
 * leading separator is relative to the root, so nothing leaves the tree.
 * Setters: 0; -1 the key cannot be opened or created; -2 not written. */
SORVAN_API int SetRegItemString(const char *key, const char *name, const char *text);
SORVAN_API int SetRegItemNumber(const char *key, const char *name, int32_t value);
/* The value's bytes in the calling thread's own 1024-byte buffer (valid
 * until the same thread's next call); empty text when the value is missing,
 * unreadable or longer than 1023 bytes; null when the key does not exist. */
SORVAN_API char *GetRegItemString(const char *key, const char *name);
/* The 32-bit value; 0 when the key or the value is missing or unreadable. */
SORVAN_API int32_t GetRegItemNumber(const char *key, const char *name);
/* Deletes subkey of key with its values: 0; -1 key cannot be opened; -2 the
 * subkey is missing, still has subkeys or cannot be deleted. */
SORVAN_API int CleanRegistry(const char *key, const char *subkey);
/* seconds != 0: sleeps that long, 1. Else counts per thread: 1 for the
 * first limit calls, then 0 once (and the count starts again). */
SORVAN_API int retry(int limit, int seconds);

/* ==== Hosts file ==== */
/* The caller names the file: a null or empty path, like a null or empty
 * key or a key or value holding a line end, is refused with each call's
 * failure value (errno EINVAL). Lines match when they begin with the key
 * (a prefix match). */
/* 1 an entry line begins with key; 0 none does; -1 cannot open (or bad input). */
SORVAN_API int HostsFileFindEntry(const char *path, const char *key);
/* Appends "key\t\tvalue\n": 0 added; 1 present already, file missing or
 * bad input (also a key starting with '#'); -2 the append failed (the
 * file is left as it was). */
SORVAN_API int HostsFileAddEntry(const char *path, const char *key, const char *value);
/* Drops every line beginning with key (comments too) through "<path>.new"
 * renamed over the file: 1 done; 0 the rename failed; -1 cannot open (or
 * bad input); -2 the copy cannot be created; -3 the copy could not be
 * written. On 0, -2 and -3 the file is unchanged. */
SORVAN_API int HostsFileRemoveEntry(const char *path, const char *key);
/* count hexadecimal digits, the first the least significant; -1 when one
 * is not a digit (the end of the text included). */
SORVAN_API int hexstr2dec(const char *text, int count);

#ifdef __cplusplus
}
#endif

#endif /* SORVAN_H */
