// Installer custom actions: keep the package, put it back, clean up, and
// create or delete the two services as systemd units.
//
// Stands alone: no libsorvan, no porting layer. It reads the registry tree
// itself (same layout: one directory per key name, one file per value whose
// first byte is the type).
#include "setup/kord_setup.h"
#include "setup/units.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr size_t kBufSize = 1024;
constexpr size_t kErrSize = 256;

constexpr const char *kDisplayName = "Tessaron(tm) Master Server";
constexpr const char *kMasterService = "Tessaron Master Server";
constexpr const char *kMasterDisplay = "Tessaron(tm) Master Server";
constexpr const char *kMasterExe = "kord";
constexpr const char *kTrafficService = "Tessaron Traffic Controller";
constexpr const char *kTrafficDisplay = "Tessaron(tm) Traffic Controller";
constexpr const char *kTrafficExe = "flowgate";
constexpr const char *kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5C1D2E7A-93B4-4F60-A1D8-7E2B94C0F315}";
constexpr const char *kInstallSource = "InstallSource";
constexpr const char *kSystemLibs[] = {"psapi.dll", "pdh.dll"};
constexpr const char *kBugAddress = "bugs@tessaron.invalid";
constexpr const char *kRemovedDirs[] = {"/data", "/bin", "/lib/setup", "/lib", "/sbin"};

enum Icon { kIconError, kIconInformation };

// Formats into a 1024-byte buffer; false when the text does not fit.
bool format(char (&buf)[kBufSize], const char *fmt, ...) __attribute__((format(printf, 2, 3)));
bool format(char (&buf)[kBufSize], const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return n >= 0 && static_cast<size_t>(n) < sizeof buf;
}

// A message box: one line on standard error and one alert in syslog.
void message_box(void *window, const char *text, const char *caption, Icon icon) {
    (void)window;
    (void)icon;
    std::string line;
    for (const char *p = text; *p; p++) {
        if (*p == '\n') {
            if (!line.empty() && line.back() != ' ') line.push_back(' ');
        } else {
            line.push_back(*p);
        }
    }
    std::fprintf(stderr, "%s: %s\n", caption, line.c_str());
    std::fflush(stderr);
    openlog("kord_setup", LOG_PID, LOG_USER);
    syslog(LOG_ALERT, "%s: %s", caption, line.c_str());
    closelog();
}

// The text of errno and its code, "%s (0x%x)"; empty when there is no
// error or the text does not fit.
const char *last_error_text(char (&buf)[kErrSize], int err) {
    buf[0] = '\0';
    if (err == 0) return buf;
    const char *msg = std::strerror(err);
    if (std::strlen(msg) + 13 >= sizeof buf) return buf;
    std::snprintf(buf, sizeof buf, "%s (0x%x)", msg, static_cast<unsigned>(err));
    return buf;
}

bool exists(const char *path) { return ::access(path, F_OK) == 0; }

// Copies src onto dst, replacing it, through a temporary file beside dst.
bool copy_file(const char *src, const char *dst) {
    int in = ::open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat st;
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        if (errno == 0) errno = EINVAL;
        return false;
    }
    std::string tmp = std::string(dst) + ".tmp~";
    int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        int e = errno;
        ::close(in);
        errno = e;
        return false;
    }
    bool ok = true;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) { ok = false; break; }
        if (n == 0) break;
        for (ssize_t off = 0; off < n;) {
            ssize_t w = ::write(out, buf + off, static_cast<size_t>(n - off));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) { ok = false; break; }
            off += w;
        }
        if (!ok) break;
    }
    int e = errno;
    ::close(in);
    if (::close(out) != 0) ok = false, e = errno;
    if (ok && ::rename(tmp.c_str(), dst) == 0) return true;
    if (ok) e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    return false;
}

bool make_dirs(const std::string &path, mode_t mode) {
    for (size_t pos = 1; pos <= path.size(); pos++) {
        if (pos == path.size() || path[pos] == '/') {
            std::string part = path.substr(0, pos);
            if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

bool is_nt40() { return false; }

const char *system_directory() { return "/usr/lib"; }

void copy_system_files(void *window, const char *dir) {
    setup_copy_system_files(window, dir, system_directory());
}

// The "InstallSource" of the uninstall key, in a new 1024-byte heap buffer
// the caller frees; null when it is missing, empty or unreadable.
char *read_install_source() {
    const char *env = std::getenv("TESSARON_REGISTRY");
    std::string path = (env && *env) ? env : "/var/lib/tessaron/registry";
    path += '/';
    for (const char *p = kUninstallKey; *p; p++) path += (*p == '\\') ? '/' : *p;
    path += '/';
    path += kInstallSource;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    char raw[kBufSize + 1];
    ssize_t got = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 2 &&
        st.st_size <= static_cast<off_t>(kBufSize)) {
        while (got < static_cast<ssize_t>(sizeof raw)) {
            ssize_t n = ::read(fd, raw + got, sizeof raw - static_cast<size_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += n;
        }
    }
    ::close(fd);
    // Type byte, then at most 1023 bytes of text.
    if (got < 2 || got > static_cast<ssize_t>(kBufSize)) return nullptr;
    if (std::memchr(raw + 1, '\0', static_cast<size_t>(got - 1))) return nullptr;
    char *buf = static_cast<char *>(std::calloc(kBufSize, 1));
    if (!buf) return nullptr;
    std::memcpy(buf, raw + 1, static_cast<size_t>(got - 1));
    return buf;
}

// ---- systemd ----

std::string unit_dir() {
    const char *env = std::getenv("TESSARON_UNIT_DIR");
    return (env && *env) ? env : "/etc/systemd/system";
}

const char *systemctl_path() {
    static const char *const candidates[] = {"/usr/bin/systemctl", "/bin/systemctl"};
    for (const char *c : candidates)
        if (::access(c, X_OK) == 0) return c;
    return nullptr;
}

// systemctl only manages the real unit directory, never a test's own.
bool use_systemctl() {
    const char *env = std::getenv("TESSARON_UNIT_DIR");
    return !(env && *env) && systemctl_path() != nullptr;
}

bool systemd_running() {
    struct stat st;
    return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs systemctl with its output discarded; its exit status, or -1.
int systemctl(std::initializer_list<const char *> args) {
    const char *prog = systemctl_path();
    if (!prog) return -1;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(prog));
    for (const char *a : args) argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, prog, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The unit's ActiveState ("active", "deactivating", "inactive", ...).
std::string active_state(const std::string &unit) {
    if (!systemd_running()) return "inactive";
    std::string cmd = std::string(systemctl_path()) + " show -p ActiveState --value '" + unit +
                      "' 2>/dev/null";
    FILE *p = ::popen(cmd.c_str(), "r");
    if (!p) return "";
    char line[128] = "";
    if (!std::fgets(line, sizeof line, p)) line[0] = '\0';
    ::pclose(p);
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

// "Tessaron Master Server" -> "tessaron-master-server.service".
std::string unit_name(const char *service) {
    std::string u;
    for (const char *p = service; *p; p++) {
        char c = *p;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        u.push_back(c == ' ' ? '-' : c);
    }
    return u + ".service";
}

// Under a chrootless dpkg --root the paths the unit names are the ones the
// installed system will see, without the staging prefix.
std::string installed_path(const std::string &path) {
    const char *stage = std::getenv("DPKG_ROOT");
    if (stage && *stage && path.compare(0, std::strlen(stage), stage) == 0 &&
        path.size() > std::strlen(stage) && path[std::strlen(stage)] == '/')
        return path.substr(std::strlen(stage));
    return path;
}

bool write_fd(int fd, const std::string &text) {
    size_t off = 0;
    while (off < text.size()) {
        ssize_t w = ::write(fd, text.data() + off, text.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

// Writes a new unit (an existing one is left alone) and enables it.
void setup_create_service(const char *service, const char *display, const std::string &text) {
    char err[kErrSize];
    std::string dir = unit_dir();
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        std::printf("OpenSCManager failed - %s\n", last_error_text(err, errno));
        std::fflush(stdout);
        return;
    }
    std::string unit = unit_name(service);
    if (text.empty()) {  // a path the unit cannot hold
        ::close(dfd);
        std::printf("CreateService failed - %s\n", last_error_text(err, EINVAL));
        std::fflush(stdout);
        return;
    }
    int fd = ::openat(dfd, unit.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    int e = errno;
    if (ok) {
        ok = write_fd(fd, text);
        e = errno;
        if (::close(fd) != 0 && ok) ok = false, e = errno;
        if (!ok) ::unlinkat(dfd, unit.c_str(), 0);
    }
    ::close(dfd);
    if (!ok) {
        std::printf("CreateService failed - %s\n", last_error_text(err, e));
        std::fflush(stdout);
        return;
    }
    if (use_systemctl()) {
        if (systemd_running()) systemctl({"daemon-reload"});
        systemctl({"enable", unit.c_str()});  // automatic start
    }
    std::printf("%s installed.\n", display);
    std::fflush(stdout);
}

void setup_remove_service(const char *service, const char *display) {
    char err[kErrSize];
    std::string dir = unit_dir();
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        std::printf("OpenSCManager failed - %s\n", last_error_text(err, errno));
        std::fflush(stdout);
        return;
    }
    std::string unit = unit_name(service);
    struct stat st;
    if (::fstatat(dfd, unit.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        std::printf("OpenService failed - %s\n", last_error_text(err, errno));
        std::fflush(stdout);
        ::close(dfd);
        return;
    }
    if (use_systemctl() && systemd_running() && active_state(unit) == "active") {
        std::printf("Stopping %s.", display);
        std::fflush(stdout);
        systemctl({"stop", "--no-block", unit.c_str()});
        std::string state;
        // Bounded: a unit that hangs in stopping is reported, not waited on forever.
        for (int i = 0; i < 1200; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            state = active_state(unit);
            if (state != "deactivating" && state != "active") break;
            std::printf(".");
            std::fflush(stdout);
        }
        if (state == "inactive" || state == "failed")
            std::printf("\n%s stopped.\n", display);
        else
            std::printf("\n%s failed to stop.\n", display);
    }
    if (use_systemctl()) systemctl({"disable", unit.c_str()});
    if (::unlinkat(dfd, unit.c_str(), 0) == 0)
        std::printf("%s removed.\n", display);
    else
        std::printf("DeleteService failed - %s\n", last_error_text(err, errno));
    std::fflush(stdout);
    ::close(dfd);
    if (use_systemctl() && systemd_running()) systemctl({"daemon-reload"});
}

bool root_ok(void *window, const char *root) {
    if (root && *root) return true;
    message_box(window, "No installation root was given.", "Tessaron(tm) Error!", kIconError);
    return false;
}

}  // namespace

extern "C" {

KORD_SETUP_API void setup_copy_system_files(void *window, const char *dir,
                                            const char *system_dir) {
    char src[kBufSize], dst[kBufSize], msg[kBufSize];
    if (!dir || !system_dir) return;
    for (const char *lib : kSystemLibs) {
        if (!format(src, "%s/%s", dir, lib) || !format(dst, "%s/%s", system_dir, lib)) continue;
        if (!exists(src)) {
            format(msg, "file '%s' not found!\nPlease report this to %s.", src, kBugAddress);
            message_box(window, msg, "Fatal", kIconError);
        }
        if (!exists(dst) && !copy_file(src, dst)) {
            format(msg, "Copy file '%s' to %s failed!", src, dst);
            message_box(window, msg, "Fatal", kIconError);
        }
    }
}

KORD_SETUP_API int32_t msi_copy2installdir(void *window, const char *package_dir,
                                           const char *system_dir, const char *root,
                                           const char *unused) {
    (void)unused;
    char src[kBufSize], dst[kBufSize];
    if (!package_dir || !root_ok(window, root)) return 0;
    if (!format(src, "%s/%s.msi", package_dir, kDisplayName) ||
        !format(dst, "%s/lib/setup/%s.msi", root, kDisplayName))
        return 0;
    std::string setup_dir = std::string(root) + "/lib/setup";
    if (!make_dirs(setup_dir, 0755) || !copy_file(src, dst)) return 0;
    if (is_nt40()) copy_system_files(window, system_dir);
    return 1;
}

KORD_SETUP_API int32_t msi_copy2srcdir(void *window, const char *package_dir,
                                       const char *template_dir, const char *root,
                                       const char *unused) {
    (void)package_dir;
    (void)unused;
    if (!root_ok(window, root)) return 0;
    char *source = read_install_source();
    if (!source) return 0;
    // The new directory takes the template's mode, as it would its attributes.
    struct stat st;
    bool made = template_dir && ::stat(template_dir, &st) == 0 && S_ISDIR(st.st_mode) &&
                ::mkdir(source, st.st_mode & 07777) == 0;
    if (!made) {
        message_box(window, "You may need to manually find this software's .msi file!",
                    "Tessaron(tm) Error!", kIconError);
        std::free(source);
        return 0;
    }
    char src[kBufSize], dst[kBufSize];
    bool ok = format(src, "%s/lib/setup/%s.msi", root, kDisplayName) &&
              format(dst, "%s/%s.msi", source, kDisplayName) && copy_file(src, dst);
    std::free(source);
    return ok ? 1 : 0;
}

KORD_SETUP_API int32_t msi_delsrcdir(void *window, const char *package_dir,
                                     const char *second_dir, const char *root,
                                     const char *unused) {
    (void)package_dir;
    (void)second_dir;
    (void)unused;
    char path[kBufSize];
    if (!root_ok(window, root)) return 0;
    if (format(path, "%s/data/map.data", root)) std::remove(path);
    for (const char *d : kRemovedDirs)
        if (format(path, "%s%s", root, d)) ::rmdir(path);  // only empty ones go

    char *source = read_install_source();
    if (!source) return 0;
    bool ok = format(path, "%s/%s.msi", source, kDisplayName) && std::remove(path) == 0 &&
              ::rmdir(source) == 0;
    std::free(source);
    return ok ? 1 : 0;
}

KORD_SETUP_API int32_t register_nt_service(void *window, const char *package_dir,
                                           const char *second_dir, const char *root,
                                           const char *unused) {
    (void)package_dir;
    (void)second_dir;
    (void)unused;
    char path[kBufSize], msg[kBufSize];
    if (!root_ok(window, root)) return 1;
    std::string at = installed_path(root);
    std::vector<std::string> env = {"TESSARON_ROOT=" + at};
    if (format(path, "%s/bin/%s", root, kTrafficExe))
        setup_create_service(kTrafficService, kTrafficDisplay,
                             tessaron_units::traffic_unit(kTrafficDisplay, installed_path(path), env));
    if (format(path, "%s/bin/%s", root, kMasterExe))
        setup_create_service(kMasterService, kMasterDisplay,
                             tessaron_units::master_unit(kMasterDisplay, installed_path(path), env,
                                                         {at + "/data", at + "/nsdb/cn"}));
    format(msg,
           "Congratulations! The %s is installed successfully.\n\nPlease use the 'Tessaron "
           "Control Panel' application to start/stop your cluster service.",
           kMasterDisplay);
    message_box(window, msg, "Tessaron(tm)", kIconInformation);
    return 1;
}

KORD_SETUP_API int32_t deregister_nt_service(void *window, const char *package_dir,
                                             const char *second_dir, const char *root,
                                             const char *unused) {
    (void)package_dir;
    (void)second_dir;
    (void)unused;
    char path[kBufSize], msg[kBufSize];
    if (!root_ok(window, root)) return 1;
    if (format(path, "%s/lib/setup/%s.msi", root, kDisplayName) && std::remove(path) != 0)
        message_box(window, std::strerror(errno), "Tessaron(TM)", kIconInformation);
    setup_remove_service(kMasterService, kMasterDisplay);
    setup_remove_service(kTrafficService, kTrafficDisplay);
    format(msg, "%s was Stopped.\nUninstallation will continue to remove %s files.",
           kMasterService, kMasterService);
    message_box(window, msg, "Tessaron(TM)", kIconInformation);
    return 1;
}

}  // extern "C"
