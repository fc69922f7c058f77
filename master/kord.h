// kord's process-wide state and the operations its modules share.
// Each block names the file that defines it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "maps/records.h"
#include "maps/side.h"
#include "port/varro.h"
#include "util/sorvan.h"

namespace kord {

inline constexpr const char *kServiceName = "Tessaron Master Server";
inline constexpr const char *kDisplayName = "Tessaron(tm) Master Server";
inline constexpr const char *kVersion = "v" TESSARON_VERSION;
inline constexpr int kStopSignal = 8;

// ---- server.cpp: start-up, options, process state ----
extern char g_host_name[128];
extern char *g_admin_mail;      // -m address, null when unset
extern int g_debug;
extern uint32_t *g_ctlmap;      // control map: the group count
extern GroupRecord *g_groups;   // data map
extern SideRecord *g_side;      // side map: one record per data-map slot
extern int g_group_count;
extern DirWatcher *g_watcher;   // null until the watch starts / after stop
extern int g_exit_status;       // the process's exit status once the service ends
extern time_t g_started;        // when server_main began, seconds since the epoch
// Held while the groups are swapped by a reload, and by the stop path.
extern std::mutex g_groups_lock;
extern bool g_stopping;         // set by the stop path under g_groups_lock
enum class Command { run, check };
// Parses the options (-d, -m, -v, -t/--check, --help, --version); prints
// the version or help and exits 0, the usage and exits 1 as needed.
Command parse_options(int argc, char **argv);
int server_main(int argc, char **argv);
// SIGHUP: checks the configuration and, without errors, restarts the
// monitoring from the group file in this process. 0, or -1 when refused.
int reload_groups(void);

// ---- mainloop.cpp: the one-second main loop ----
int dispatch_change(DirWatcher *w);
void main_loop_pass(void);
void request_reload(void);      // from the dispatcher; the main loop reloads
// The heartbeat: kord.status in item 3, rewritten through kord.status.new.
// Also the STATUS= text for systemd ("groups 3, nodes 9: 7 up, ...").
int write_heartbeat(time_t now, std::string *status_text);
[[noreturn]] void main_loop(void);
// What dispatch_change hands to the watcher's callback through the event
// library; the callback frees path (freestr) and the record (memput).
struct DispatchRecord {
    DirWatcher *watcher;
    char *path;
    int32_t action;
};
// Stop path: stops and frees g_watcher once the main loop is out of it;
// the main loop never touches the watcher afterwards.
void stop_watcher(void);

// ---- groups.cpp: cluster groups and control maps ----
uint32_t *open_control_map(void);
int count_groups(void);
GroupRecord *open_data_map(const char *name, int count);
void link_groups(GroupRecord *groups, int count);   // next-group and slot links
// The side record of a slot of the data map.
SideRecord *side_of(const GroupRecord *g, const NodeRecord *slot);
const GroupRecord *find_group_of(const NodeRecord *slot);   // within g_groups
bool has_addr6(const SideRecord *r);
// The slot has an address of either family.
bool slot_has_address(const GroupRecord *g, const NodeRecord *slot);
void load_groups(GroupRecord *groups, int count);
void copy_peer_groups(void);
GroupRecord *find_group(const char *key);
void copy_peer_node(GroupRecord *mirror, NodeRecord *slot, const NodeRecord *peer);

// ---- zone.cpp: zone files ----
int clean_all_cndb(void);
int cnode_init(const GroupRecord *g);
FILE *cnode_file(void);         // this thread's open zone file, or null
int cnode_close(void);          // -1 when none is open
// Whether the domain can name a zone file: no "/" and no "..".
bool zone_name_ok(const char *domain);

// ---- nodefile.cpp: node files and balancing method ----
uint32_t parse_method(const char *keyword);
int read_node_file(NodeRecord *slot);
void node_file_defaults(NodeRecord *slot);
void on_node_file_change(struct ev_context *ctx, void *uap, const void *tag);

// ---- workers.cpp: node monitor workers and alerts ----
typedef int (*alert_sender)(void *record);
// A threshold alert: who sends it, about which node, and the text.
struct ThresholdAlert {
    alert_sender sender;       // threshold_mail
    GroupRecord *group;
    NodeRecord *slot;
    GroupRecord *group2;       // the group again
    char text[1024];           // at most 1023 characters
};
int threshold_mail(void *record);
void *node_worker(void *slot);
void start_workers(void);
uint32_t CreateChild(int g, int i);
void stop_workers(void);
void status_step(ProbeStatus *s, uint32_t retries);
void status_ok(ProbeStatus *s);
void status_fail(ProbeStatus *s, uint32_t retries);
int alert_raise(ProbeStatus *s, alert_sender sender, void *record);
void alert_expire(ProbeStatus *s, uint32_t minutes);
void latch_alert(AlertLatch *l, uint32_t minutes, ThresholdAlert *record);
void check_thresholds(GroupRecord *g, NodeRecord *slot);
// Worker stacks: room for a pass's deepest call (logging, the agent query)
// on top of the threads' static TLS, which glibc takes from the stack.
inline constexpr size_t kWorkerStack = 64 * 1024;
size_t worker_stack_size(void);
// One log line about a node: "<group>/<node> (<address>): <text>".
void node_log(int priority, const GroupRecord *g, const NodeRecord *s, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Logs "<probe> <old> -> <new> (<detail>)" when before and after differ.
void log_state_change(const GroupRecord *g, const NodeRecord *s, const char *probe, uint32_t before,
                      uint32_t after, const char *detail);
// The same naming the node's IPv6 address.
void node_log6(int priority, const GroupRecord *g, const NodeRecord *s, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void log_state_change6(const GroupRecord *g, const NodeRecord *s, const char *probe, uint32_t before,
                       uint32_t after, const char *detail);
// A state as the log writes it: its name, or "unknown".
const char *state_text(uint32_t state);
// Why a connection failed, as the log says it: "refused", "timed out" ...
const char *connect_error_text(int err);

// ---- ports.cpp: port probes and port files ----
FILE *open_port_file(const GroupRecord *g, const NodeRecord *slot);
int read_port_file(const GroupRecord *g, NodeRecord *slot);
int probe_port(uint32_t addr, GroupRecord *g, NodeRecord *slot);
// The same probe over IPv6, into the side record; read_file: look at the
// port file first (an IPv6-only node has no IPv4 probe that did).
int probe_port6(GroupRecord *g, NodeRecord *slot, SideRecord *side, bool read_file);
// read_port_file for the probing path: the chosen file is parsed again only
// when its identity, size or modification time changed (or it changed too
// recently to tell); otherwise the fields of its last reading are used.
int read_port_file_cached(const GroupRecord *g, NodeRecord *slot);

// ---- agentq.cpp: agent load query ----
int query_agent(GroupRecord *g, NodeRecord *slot);
// query_agent that also says why a query failed ("connection refused",
// "no reply in time", "reset by the agent (wrong key?)" ...).
int query_agent_why(GroupRecord *g, NodeRecord *slot, char *why, size_t size);
void decode_agent_reply(const unsigned char *reply, NodeRecord *slot);

// ---- mailer.cpp: alert mail off the probing paths ----
inline constexpr size_t kMailQueueMax = 256;        // when full, the oldest mail is dropped
inline constexpr int32_t kMailDeadlineMs = 60000;   // one mail, every exchanger together
inline constexpr int32_t kMailMaxExchangers = 5;
// Copies the request and queues it for the mailer thread; never blocks.
void post_mail(const MailRequest *req);
// An alert: in a cluster, the mailer first claims it in etcd for the group's
// alert interval, and a host that loses the claim sends nothing.
void post_alert_mail(const MailRequest *req, uint32_t alert_minutes);
struct AlertMail {
    MailRequest req;
    uint32_t minutes;   // the group's alert interval
};
int send_alert_mail(void *record);   // an alert_sender of an AlertMail
// cluster_alerts.cpp: true when this host mails the alert of that subject;
// false with sent_by ("sent by NAME of cluster C") when another host does.
bool cluster_alert_claim(const std::string &subject, uint32_t minutes, std::string &sent_by);
// Stop path: logs every mail still waiting, and one being sent, as not sent.
void mailer_stop(void);

// ---- check.cpp: the configuration check (kord --check, start, reload) ----
inline constexpr int kCheckNote = 0, kCheckWarning = 1, kCheckError = 2;
// One problem: where, which field, what is wrong, what kord makes of it.
struct CheckFinding {
    std::string file;
    int line;            // 0: the file as a whole
    std::string field;
    std::string problem;
    std::string uses;    // "kord uses ..."
    int severity;        // kCheckNote, kCheckWarning, kCheckError
};
struct CheckResult {
    std::vector<CheckFinding> findings;
    int errors = 0, warnings = 0, notes = 0;
    int groups = 0;      // group lines kord reads
    int node_files = 0, port_files = 0;
    std::string group_file;
};
struct NodeFileValues;
// The group file, every nodes/*.cfg and ports/*.cfg, the zone directory.
// resolve: look member names up (a name that does not resolve is a note).
CheckResult check_config(bool resolve);
// One file each, for tests and the fuzzer; the group check returns the
// number of group lines kord reads, the node check what kord takes.
int check_group_file(const char *path, bool resolve, CheckResult &r);
void check_node_file(const char *path, CheckResult &r, NodeFileValues *values);
void check_port_file(const char *path, CheckResult &r);
// "file:line: field: severity: problem; kord uses VALUE"
std::string format_finding(const CheckFinding &f);
void log_findings(const CheckResult &r);     // each at LOG_WARNING
int run_check(void);                         // kord --check: 0 clean, 1 warnings, 2 errors

// ---- service.cpp: service shell (systemd) ----
int service_entry(int argc, char **argv);   // the process entry
void on_stop(int sig);
int report_status(int state);
// RELOADING=1 (begin) or READY=1 to systemd; STATUS= any text.
void report_reload(bool begin);
void report_text(const std::string &status);
// What made service_running fail (-1): "path: error text".
const char *lock_failure(void);
// 1 another kord holds the pid-file lock, 0 this process holds it now,
// -1 the lock file cannot be opened.
int service_running(const char *machine, const char *service);
void service_main(int argc, char **argv);
void service_ctrl(int code);                // 1 stop, 4 interrogate, 5 shutdown
int set_status(int state, int exit_code, int wait_hint_ms);  // non-zero on success
int install_service(const char *display_name, const char *service_name);  // 0 on success
int remove_service(const char *service_name);                             // 0 on success
char *last_error_text(char *buf, size_t size);
void log_event(const char **strings, int count, int type, int id);  // type 1 error, 2 warning, 4 information

}  // namespace kord
