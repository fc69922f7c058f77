// Porting layer: what glibc does not already give kord and libsorvan.
// Linked (hidden) into both; nothing here is exported from libsorvan.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <syslog.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- sockets and descriptors ----
int nonblock(int s);                       // returns the previous mode (file flags)
int block(int s, int mode);                // restores what nonblock returned
int linger(int s, int seconds);            // SO_LINGER on; 0 makes close() reset
int nread(int fd, void *buf, int n);       // until n bytes or end; <1 at end/error
int nwrite(int fd, const void *buf, int n); // all n bytes; n, or -1
// Connected TCP socket to addr:port within timeout_us, or negative.
int connect_nb(uint32_t addr_net, int port_host, int32_t timeout_us);
int mkdirs(const char *path);              // mkdir -p; negative on failure

// ---- signals: handlers run in the raising thread ----
typedef void (*port_sighandler_t)(int);
int set_signal_handler(int sig, port_sighandler_t handler);
int sigraise(int sig);

// ---- error texts ----
// "tag: call: text of errno" in a per-thread buffer.
const char *GetLastErrorString(const char *tag, const char *call, int flag);
void lerror(const char *tag, const char *call, int priority, int flag);
void NTperror(const char *tag);
const char *NTstrerror(int err);

// ---- logging: syslog, mirrored to $TESSARON_LOG (a file, or - for stderr) ----
void port_openlog(const char *ident, int option, int facility);
void port_syslog(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void port_closelog(void);
// A message box: one line on stderr and one LOG_ALERT line, caption first.
void port_message_box(const char *caption, const char *text);

// ---- memory pool ----
void *memget(size_t size);
void memput(void *block, size_t size);
char *savestr(const char *text, int needpanic);
void freestr(char *text);

// ---- event library ----
typedef struct ev_context evContext;
typedef void (*evWaitFunc)(evContext *ctx, void *uap, const void *tag);
evContext *evCreate(void);
void evDestroy(evContext *ctx);
int evWaitFor(evContext *ctx, const void *tag, evWaitFunc func, void *uap);  // <0 on failure
int evDo(evContext *ctx, const void *tag);      // releases every wait on tag
int evMainLoop(evContext *ctx);                 // runs released waits, returns when none ready

// ---- time ----
uint32_t tick_count_ms(void);   // CLOCK_MONOTONIC in ms, 32 bits
int32_t port_gettid(void);

#ifdef __cplusplus
}
#endif
