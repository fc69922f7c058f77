#include "tests/support/testutil.h"

#include "util/sorvan.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace testutil {

TempDir::TempDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessaron-test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

static std::string slurp_fd(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

RunResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    RunResult r;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return r;
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e) envs.emplace_back(*e);
    for (const auto &e : env) envs.push_back(e);
    std::vector<char *> av, ev;
    for (const auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    for (const auto &e : envs) ev.push_back(const_cast<char *>(e.c_str()));
    ev.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    pid_t pid;
    int rc = posix_spawn(&pid, av[0], &fa, nullptr, av.data(), ev.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        return r;
    }
    std::string errtext;
    std::thread t([&] { errtext = slurp_fd(err[0]); });
    r.out = slurp_fd(out[0]);
    t.join();
    r.err = errtext;
    close(out[0]);
    close(err[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

bool is_root() { return geteuid() == 0; }

bool in_private_netns() {
    struct if_nameindex *ifs = if_nameindex();
    if (!ifs) return false;
    bool only_lo = true;
    for (auto *i = ifs; i->if_index != 0; ++i)
        if (std::strcmp(i->if_name, "lo") != 0) only_lo = false;
    if_freenameindex(ifs);
    return only_lo;
}

std::string bin_path(const std::string &program) {
    return std::string(TESSARON_BIN_DIR) + "/" + program;
}

Proc::Proc(const std::vector<std::string> &argv, const std::vector<std::string> &env, std::string outfile)
    : out(std::move(outfile)) {
    pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        for (const auto &e : env) putenv(strdup(e.c_str()));
        std::vector<char *> a;
        for (const auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
    }
}

int Proc::stop(int sig) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    int st = 0;
    waitpid(pid, &st, 0);
    pid = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

Proc::~Proc() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

bool des_key(const unsigned char *key) {
    if (!req_cipher_init(nullptr)) return false;
    return !key || des_setkey_ecb(key, 8) == 0;
}

int loopback_socket(uint16_t *port, int type, bool listening) {
    int fd = socket(AF_INET, type, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(*port);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listening && listen(fd, 16) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        *port = 0;
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

std::string drain(int fd) { return slurp_fd(fd); }

const std::string &log_file(const std::string &name) {
    static std::string path;
    if (path.empty()) {
        path = "/tmp/" + name + "." + std::to_string(getpid()) + ".log";
        setenv("TESSARON_LOG", path.c_str(), 1);
        std::atexit([] { unlink(path.c_str()); });
    }
    return path;
}

const std::string &process_root(std::vector<std::string> subdirs) {
    static std::string path;
    if (path.empty()) {
        path = TempDir().path();   // the name only: made again below
        std::filesystem::create_directories(path);
        setenv("TESSARON_ROOT", path.c_str(), 1);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        });
    }
    for (const auto &d : subdirs) std::filesystem::create_directories(path + "/" + d);
    return path;
}

bool own_network(bool mounts) {
    if (!is_root() || unshare(CLONE_NEWNET | (mounts ? CLONE_NEWNS : 0)) != 0) return false;
    if (mounts && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return up;
}

bool nft(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/sbin/nft");
    return run(args).status == 0;
}

bool test_names(const std::string &dir, const std::string &hosts_text) {
    for (int i = 1; i <= 4; i++)
        if (run({"/usr/sbin/ip", "-6", "addr", "add", "fd00::" + std::to_string(i) + "/128", "dev", "lo", "nodad"}).status != 0)
            return false;
    write_file(dir + "/hosts", "127.0.0.1 localhost\n::1 localhost\n" + hosts_text);
    return mount((dir + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
}

std::unique_ptr<Proc> smtp_sink(const std::string &addr, const std::string &dir) {
    // Debian's own python3 carries aiosmtpd; another one on PATH may not.
    const char *py = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    auto p = std::make_unique<Proc>(
        std::vector<std::string>{py, std::string(TESSARON_SOURCE_DIR) + "/tests/support/smtp_sink.py",
                                 "--host", addr, "--port", "25", "--dir", dir},
        std::vector<std::string>{}, dir + "/sink.out");
    bool up = wait_until([&] { return read_file(dir + "/sink.out").find("ready") != std::string::npos; },
                         std::chrono::seconds(10));
    return up ? std::move(p) : nullptr;
}

std::vector<std::string> mails(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strstr(e->d_name, ".eml")) out.push_back(read_file(dir + "/" + e->d_name));
        closedir(d);
    }
    return out;
}

int count_with(const std::vector<std::string> &m, const std::string &a, const std::string &b) {
    int n = 0;
    for (const auto &s : m) n += s.find(a) != std::string::npos && s.find(b) != std::string::npos;
    return n;
}

MailWorld::MailWorld(const std::vector<std::string> &dns_records) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    write_file(dir / "resolv.conf", "nameserver 127.0.0.1\n");
    if (mount((dir / "resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) return;
    std::vector<std::string> argv{"dnsmasq", "-k", "-C", "/dev/null", "--no-resolv", "--no-hosts", "--user=root",
                                  "--listen-address=127.0.0.1", "--bind-interfaces", "--pid-file=",
                                  "--mx-host=demo.test,mx.demo.test,10", "--host-record=mx.demo.test,127.0.0.1"};
    argv.insert(argv.end(), dns_records.begin(), dns_records.end());
    dns = std::make_unique<Proc>(argv, std::vector<std::string>{}, dir / "dnsmasq.out");
    mkdir((dir / "mail").c_str(), 0755);
    smtp = smtp_sink("127.0.0.1", dir / "mail");
    ok = smtp != nullptr;
}

}  // namespace testutil
