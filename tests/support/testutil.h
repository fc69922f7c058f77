// Small helpers shared by the test programs.
#pragma once

#include <chrono>
#include <functional>
#include <sys/types.h>
#include <string>
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
    int stop();
    ~Proc();
};
}  // namespace testutil
