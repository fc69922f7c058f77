// Service shell on systemd: install and remove the unit, run the service in
// the foreground (this thread dispatches the controls, a service thread runs
// server_main), report states on $NOTIFY_SOCKET, stop on SIGTERM/SIGINT.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "master/kord.h"
#include "port/paths.h"
#include "setup/units.h"

extern char **environ;

namespace kord {

namespace {

constexpr const char *kUnitName = tessaron_units::kMasterUnit;

constexpr int kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4;

std::atomic<int> g_last_state{kStopped};
std::atomic<int> g_check_point{1};
std::atomic<bool> g_status_handle{false};   // set once service_main registered
std::atomic<bool> g_stop_done{false};
int g_pid_fd = -1;                          // held for the life of the process
std::string g_lock_failure;                 // why the lock could not be had

const char *state_name(int state) {
    switch (state) {
    case kStopped: return "stopped";
    case kStartPending: return "start pending";
    case kStopPending: return "stop pending";
    case kRunning: return "running";
    default: return "unknown";
    }
}

// One datagram to systemd's notify socket; no socket: nothing to do.
bool notify(const std::string &msg) {
    const char *name = std::getenv("NOTIFY_SOCKET");
    if (!name || !*name) return true;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    size_t n = std::strlen(name);
    if (n >= sizeof sa.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(sa.sun_path, name, n);
    if (sa.sun_path[0] == '@') sa.sun_path[0] = '\0';   // abstract namespace
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t sent = sendto(fd, msg.data(), msg.size(), MSG_NOSIGNAL,
                          reinterpret_cast<sockaddr *>(&sa), len);
    int saved = errno;
    close(fd);
    errno = saved;
    return sent == static_cast<ssize_t>(msg.size());
}

bool send_status(int state, int wait_hint_ms) {
    std::string msg;
    if (state == kRunning) msg += "READY=1\n";
    if (state == kStopPending) msg += "STOPPING=1\n";
    if ((state == kStartPending || state == kStopPending) && wait_hint_ms > 0)
        msg += "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<long long>(wait_hint_ms) * 1000) +
               "\n";
    msg += "STATUS=";
    msg += state_name(state);
    return notify(msg);
}

std::string unit_dir(bool *from_env) {
    const char *d = std::getenv("TESSARON_UNIT_DIR");
    *from_env = d && *d;
    return *from_env ? d : "/etc/systemd/system";
}

bool have_systemctl() {
    for (const char *p : {"/usr/bin/systemctl", "/bin/systemctl", "/usr/sbin/systemctl"})
        if (access(p, X_OK) == 0) return true;
    return false;
}

// Runs systemctl with the given words; its exit status, or -1.
int systemctl(std::vector<std::string> words, bool quiet = true) {
    std::vector<char *> argv;
    std::string prog = "systemctl";
    argv.push_back(prog.data());
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (quiet) {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid;
    int rc = posix_spawnp(&pid, "systemctl", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The unit directory plays the service manager: it must be a writable directory.
bool usable_dir(const std::string &dir, bool writable) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return !writable || access(dir.c_str(), W_OK) == 0;
}

void print_error(const char *fmt, const char *arg_first) {
    char buf[256];
    if (arg_first)
        std::printf(fmt, arg_first, last_error_text(buf, sizeof buf));
    else
        std::printf(fmt, last_error_text(buf, sizeof buf));
}

}  // namespace

char *last_error_text(char *buf, size_t size) {
    int err = errno;
    if (!buf || size == 0) return buf;
    buf[0] = '\0';
    if (err == 0) return buf;
    char tmp[256];
    const char *msg = strerror_r(err, tmp, sizeof tmp);
    size_t len = std::strlen(msg);
    if (size <= len + 13) return buf;
    std::snprintf(buf, size, "%s (0x%x)", msg, static_cast<unsigned>(err));
    return buf;
}

void log_event(const char **strings, int count, int type, int id) {
    std::string text;
    for (int i = 0; strings && i < count; ++i) {
        if (!strings[i]) continue;
        if (!text.empty()) text += ' ';
        text += strings[i];
    }
    int prio = type == 1 ? LOG_ERR : type == 2 ? LOG_WARNING : LOG_INFO;
    (void)id;
    port_syslog(prio, "%s", text.c_str());
}

int set_status(int state, int exit_code, int wait_hint_ms) {
    (void)exit_code;
    if (state != kRunning && state != kStopped) ++g_check_point;
    bool ok = send_status(state, wait_hint_ms);
    if (!ok) {
        const char *s = "SetServiceStatus() failed";
        log_event(&s, 1, 4, 0);
    }
    return ok ? 1 : 0;
}

int report_status(int state) {
    if (!g_status_handle) return 0;
    if (state == 0)
        state = g_last_state;
    else
        g_last_state = state;
    int hint = state == kStopPending ? 10000 : 1000;
    if (send_status(state, hint)) return 1;
    send_status(kStopped, hint);
    return 0;
}

void report_reload(bool begin) {
    if (!g_status_handle) return;
    if (begin) {
        notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(mono_us()) + "\nSTATUS=reloading");
    } else {
        g_last_state = kRunning;
        notify("READY=1\nSTATUS=running");
    }
}

void report_text(const std::string &status) {
    if (g_status_handle) notify("STATUS=" + status);
}

const char *lock_failure(void) { return g_lock_failure.c_str(); }

void on_stop(int) {
    // A second stop request finds everything closed already.
    static std::atomic<bool> once{false};
    if (once.exchange(true)) return;
    signal(SIGINT, SIG_IGN);
    {
        // Not while a reload swaps the groups; none starts afterwards.
        std::lock_guard<std::mutex> lk(g_groups_lock);
        g_stopping = true;
        stop_workers();
    }
    mailer_stop();
    stop_watcher();
    port_syslog(LOG_INFO, "Stop %s ...", kDisplayName);
    port_closelog();
}

void service_ctrl(int code) {
    switch (code) {
    case 1:
        report_status(kStopPending);
        sigraise(kStopSignal);
        report_status(kStopped);
        g_stop_done = true;
        break;
    case 4:
        port_syslog(LOG_INFO, "Interrogated");
        report_status(0);
        break;
    default:
        break;   // shutdown is accepted, nothing more
    }
}

void service_main(int argc, char **argv) {
    g_status_handle = true;
    if (set_status(kStartPending, 0, 3000)) server_main(argc, argv);
    set_status(kStopped, 0, 0);
}

int service_running(const char *, const char *) {
    if (g_pid_fd >= 0) return 0;   // this process holds it
    std::string dir = path_item(3);
    auto fail = [](const std::string &what, int err) {
        g_lock_failure = what + ": " + std::strerror(err);
        return -1;
    };
    // The data directory of a fresh root is made; a missing parent is a
    // mistake in the paths (a misspelt root), not something to create.
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(dir.c_str(), 0755) != 0) return fail("Data directory " + dir, errno);
    } else if (!S_ISDIR(st.st_mode)) {
        return fail("Data directory " + dir, ENOTDIR);
    }
    if (access(dir.c_str(), W_OK) != 0) return fail("Data directory " + dir, errno);
    std::string path = dir + "/kord.pid";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fail(path, errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        return err == EWOULDBLOCK ? 1 : fail(path, err);
    }
    char pid[24];
    int n = std::snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) == 0) (void)nwrite(fd, pid, n);
    g_pid_fd = fd;
    return 0;
}

namespace {

std::string absolute(const std::string &p) {
    if (p.empty() || p[0] == '/') return p;
    char cwd[4096];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + p : p;
}

std::string parent_dir(const std::string &p) {
    size_t slash = p.find_last_of('/');
    return slash == 0 ? "/" : slash == std::string::npos ? "." : p.substr(0, slash);
}

// The unit for the paths this process resolves: its root and path items
// go into the environment, the directories kord writes become writable.
std::string unit_text(const char *display_name, const std::string &self) {
    std::vector<std::string> env = {"TESSARON_ROOT=" + absolute(path_item(2))};
    for (int n = 0; n < 10; n++) {
        std::string name = "TESSARON_PATH_" + std::to_string(n);
        const char *v = std::getenv(name.c_str());
        if (v && *v) env.push_back(name + "=" + absolute(v));
    }
    std::vector<std::string> writable;
    for (std::string d : {absolute(path_item(3)), parent_dir(absolute(path_item(8))),
                          absolute(path_item(2)) + "/nsdb/cn"}) {
        bool seen = false;
        for (const auto &w : writable) seen = seen || w == d;
        if (!seen) writable.push_back(d);
    }
    return tessaron_units::master_unit(display_name, self, env, writable);
}

}  // namespace

int install_service(const char *display_name, const char *service_name) {
    (void)service_name;
    char self[512];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof self - 1)) {
        if (n > 0) errno = ENAMETOOLONG;
        print_error("Unable to install %s - %s\n", display_name);
        return -1;
    }
    self[n] = '\0';
    bool from_env;
    std::string dir = unit_dir(&from_env);
    if (!usable_dir(dir, true)) {
        print_error("OpenSCManager failed - %s\n", nullptr);
        return -1;
    }
    std::string unit = dir + "/" + kUnitName;
    std::string text = unit_text(display_name, self);
    if (text.empty()) {   // a path with a line end or another control character
        errno = EINVAL;
        print_error("CreateService failed - %s\n", nullptr);
        return -1;
    }
    // An existing unit is left alone, as a second registration would be.
    int fd = open(unit.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        print_error("CreateService failed - %s\n", nullptr);
        return -1;
    }
    if (nwrite(fd, text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size()) ||
        close(fd) != 0) {
        int saved = errno;
        unlink(unit.c_str());
        errno = saved;
        print_error("CreateService failed - %s\n", nullptr);
        return -1;
    }
    if (!from_env && have_systemctl()) {
        systemctl({"daemon-reload"});
        systemctl({"enable", kUnitName});
    }
    std::printf("%s installed.\n", display_name);
    if (!getpwnam(tessaron_units::kServiceUser))
        std::fprintf(stderr,
                     "kord: the unit runs kord as user %s, which does not exist yet: create it "
                     "(useradd --system --no-create-home --shell /usr/sbin/nologin %s) and give "
                     "it the data and zone directories\n",
                     tessaron_units::kServiceUser, tessaron_units::kServiceUser);
    return 0;
}

int remove_service(const char *service_name) {
    (void)service_name;
    bool from_env;
    std::string dir = unit_dir(&from_env);
    if (!usable_dir(dir, true)) {
        print_error("OpenSCManager failed - %s\n", nullptr);
        return -1;
    }
    std::string unit = dir + "/" + kUnitName;
    if (access(unit.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "kord: %s: not installed\n", unit.c_str());
        return -1;
    }
    bool managed = !from_env && have_systemctl();
    if (managed && systemctl({"is-active", "--quiet", kUnitName}) == 0) {
        std::printf("Stopping %s.", kDisplayName);
        std::fflush(stdout);
        // systemctl stop waits itself; --no-block lets us show progress.
        systemctl({"stop", "--no-block", kUnitName});
        usleep(500000);
        while (systemctl({"is-active", "--quiet", kUnitName}) == 0) {
            std::printf(".");
            std::fflush(stdout);
            usleep(500000);
        }
        if (systemctl({"is-failed", "--quiet", kUnitName}) == 0)
            std::printf("\n%s failed to stop.\n", kDisplayName);
        else
            std::printf("\n%s stopped.\n", kDisplayName);
    }
    if (managed) systemctl({"disable", kUnitName});
    if (unlink(unit.c_str()) != 0) {
        print_error("DeleteService failed - %s\n", nullptr);
        return -1;
    }
    if (managed) systemctl({"daemon-reload"});
    std::printf("%s removed.\n", kDisplayName);
    return 0;
}

namespace {

// The foreground dispatcher: controls arrive as signals, taken here with
// sigtimedwait so they never interrupt the service thread or the workers.
int run_dispatcher(int argc, char **argv) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
    std::atomic<bool> service_done{false};
    std::thread service;
    try {
        service = std::thread([&] {
            service_main(argc, argv);
            service_done = true;
        });
    } catch (...) {
        return -1;
    }
    const timespec tick{0, 200 * 1000 * 1000};
    while (!service_done) {
        int sig = sigtimedwait(&set, nullptr, &tick);
        if (sig == SIGTERM || (sig == SIGINT && !g_stop_done)) {
            service_ctrl(1);
            break;
        }
        if (sig == SIGUSR1) service_ctrl(4);
        if (sig == SIGHUP) request_reload();
    }
    if (service_done) {
        service.join();
        return 0;
    }
    // Stopped, logged and reported: the service thread and the workers end
    // with the process, not before it.
    service.detach();
    std::fflush(nullptr);
    _exit(0);
}

}  // namespace

int service_entry(int argc, char **argv) {
    if (argc > 1 && argv[1] && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const char *word = argv[1] + 1;
        if (strcasecmp(word, "install") == 0) {
            std::exit(install_service(kDisplayName, kServiceName) == 0 ? 0 : 1);
        }
        if (strcasecmp(word, "remove") == 0) {
            std::exit(remove_service(kServiceName) == 0 ? 0 : 1);
        }
    }
    if (parse_options(argc, argv) == Command::check) {
        std::fflush(nullptr);
        return run_check();
    }
    if (run_dispatcher(argc, argv) != 0) {
        const char *s = "StartServiceCtrlDispatcher() failed";
        log_event(&s, 1, 1, 0);
    }
    return g_exit_status;
}

}  // namespace kord
