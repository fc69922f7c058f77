// Small helpers shared by the test programs.
#pragma once

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <sys/types.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR, removed with everything below it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
inline bool contains(const std::string &hay, const std::string &needle) {
    return hay.find(needle) != std::string::npos;
}
void write_file(const std::string &path, const std::string &content);

struct RunResult {
    int status = -1;      // exit status, or 128 + signal
    std::string out;      // standard output
    std::string err;      // standard error
};
// Runs argv with extra "NAME=value" environment entries; waits for it.
RunResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});

// Polls cond every 20 ms until it holds or the time runs out.
bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds limit);

bool is_root();
// True when only the loopback interface exists (a private network namespace).
bool in_private_netns();

std::string bin_path(const std::string &program);   // built program

// A child process with its output (stdout and stderr) in a file; stop()
// ends it with SIGTERM and gives its exit status, the destructor kills it.
struct Proc {
    pid_t pid = -1;
    std::string out;
    Proc(const std::vector<std::string> &argv, const std::vector<std::string> &env, std::string outfile);
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;
    int stop(int sig = 15);   // SIGTERM
    ~Proc();
};

// ---- fixtures shared by several test programs

// Loads libcrypto's DES once and sets the key (by default the one the
// wire-format tests use: 5A C3 19 7E 02 B4 D8 61).
bool des_key(const unsigned char *key = nullptr);

// A socket on 127.0.0.1 at a port of the kernel's choosing, its port in
// *port; a TCP socket listens unless `listening` is false (then it refuses).
int loopback_socket(uint16_t *port, int type = SOCK_STREAM, bool listening = true);

// Everything read from fd until its end.
std::string drain(int fd);

// A directory of this process's own holding `subdirs`, named in
// TESSARON_ROOT (install paths resolve once per process), removed at exit.
const std::string &process_root(std::vector<std::string> subdirs = {});

// Points TESSARON_LOG at /tmp/<name>.<pid>.log, removed at exit, and gives
// that path. Call before anything logs (the mirror is opened once).
const std::string &log_file(const std::string &name);

// A network namespace of this process's own (and a private mount namespace
// with `mounts`), loopback up. Root only.
bool own_network(bool mounts = false);
bool nft(std::vector<std::string> args);   // runs /usr/sbin/nft args...
// In a namespace from own_network(true): fd00::1 ... fd00::4 on lo, and
// hosts_text (written to dir) bind-mounted over /etc/hosts, so that the
// system resolver gives the test's names. False when any step fails.
bool test_names(const std::string &dir, const std::string &hosts_text);

// The SMTP sink of tests/support on addr:25, storing N.eml into dir;
// null when it did not come up.
std::unique_ptr<Proc> smtp_sink(const std::string &addr, const std::string &dir);
// The mails (*.eml) in dir, and how many hold both a and b.
std::vector<std::string> mails(const std::string &dir);
int count_with(const std::vector<std::string> &m, const std::string &a, const std::string &b);

// In a mount namespace of the caller's own, /etc/resolv.conf names a dnsmasq
// on 127.0.0.1 that gives demo.test the exchanger 127.0.0.1, where the SMTP
// sink stores into dir / "mail". ok when both are up. dns_records: more
// dnsmasq options (--mx-host=..., --host-record=...).
struct MailWorld {
    TempDir dir;
    std::unique_ptr<Proc> dns, smtp;
    bool ok = false;
    explicit MailWorld(const std::vector<std::string> &dns_records = {});
    std::vector<std::string> mails() const { return testutil::mails(dir / "mail"); }
};

// Record i (of type T) of a file, read afresh.
template <class T> bool read_record(const std::string &path, int i, T &rec) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool ok = pread(fd, &rec, sizeof rec, off_t(i) * off_t(sizeof rec)) == ssize_t(sizeof rec);
    close(fd);
    return ok;
}
}  // namespace testutil
