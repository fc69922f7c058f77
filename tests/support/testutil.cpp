#include "testutil.h"

#include <fcntl.h>
#include <net/if.h>
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

int Proc::stop() {
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
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

}  // namespace testutil
