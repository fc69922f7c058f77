/* libvarro, the porting layer: what glibc does not already give kord,
 * libsorvan and the tools. One shared library, so a process holds one event
 * library, one memory pool and one log mirror. C ABI. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <syslog.h>

#if defined(__GNUC__)
#define VARRO_API __attribute__((visibility("default")))
#else
#define VARRO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---- sockets and descriptors ----
VARRO_API int nonblock(int s);                       // returns the previous mode (file flags)
VARRO_API int block(int s, int mode);                // restores what nonblock returned
VARRO_API int linger(int s, int seconds);            // SO_LINGER on; 0 makes close() reset
VARRO_API int nread(int fd, void *buf, int n);       // until n bytes or end; <1 at end/error
VARRO_API int nwrite(int fd, const void *buf, int n); // all n bytes; n, or -1
// Connected TCP socket to addr:port within timeout_us, or negative.
VARRO_API int connect_nb(uint32_t addr_net, int port_host, int32_t timeout_us);
VARRO_API int mkdirs(const char *path);              // mkdir -p; negative on failure

// ---- signals: handlers run in the raising thread ----
typedef void (*port_sighandler_t)(int);
VARRO_API int set_signal_handler(int sig, port_sighandler_t handler);
VARRO_API int sigraise(int sig);

// ---- error texts ----
// "tag: call: text of errno" in a per-thread buffer.
VARRO_API const char *GetLastErrorString(const char *tag, const char *call, int flag);
VARRO_API void lerror(const char *tag, const char *call, int priority, int flag);
VARRO_API void NTperror(const char *tag);
VARRO_API const char *NTstrerror(int err);

// ---- logging: syslog, mirrored to $TESSARON_LOG (a file, or - for stderr) ----
VARRO_API void port_openlog(const char *ident, int option, int facility);
VARRO_API void port_syslog(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
VARRO_API void port_closelog(void);
// A message box: one line on stderr and one LOG_ALERT line, caption first.
VARRO_API void port_message_box(const char *caption, const char *text);

// ---- memory pool ----
VARRO_API void *memget(size_t size);
VARRO_API void memput(void *block, size_t size);
VARRO_API char *savestr(const char *text, int needpanic);
VARRO_API void freestr(char *text);

// ---- event library ----
typedef struct ev_context evContext;
typedef void (*evWaitFunc)(evContext *ctx, void *uap, const void *tag);
VARRO_API evContext *evCreate(void);
VARRO_API void evDestroy(evContext *ctx);
VARRO_API int evWaitFor(evContext *ctx, const void *tag, evWaitFunc func, void *uap);  // <0 on failure
VARRO_API int evDo(evContext *ctx, const void *tag);      // releases every wait on tag
VARRO_API int evMainLoop(evContext *ctx);                 // runs released waits, returns when none ready

// ---- time ----
VARRO_API uint32_t tick_count_ms(void);   // CLOCK_MONOTONIC in ms, 32 bits
VARRO_API int64_t mono_us(void);          // CLOCK_MONOTONIC in µs

// ---- text ----
// in with every byte that is neither printable ASCII nor part of a
// well-formed UTF-8 character written as \xNN; cut to fit room (which
// holds the terminator). The length written.
VARRO_API size_t port_escape(const char *in, char *out, size_t room);
VARRO_API int32_t port_gettid(void);

#ifdef __cplusplus
}
#endif
