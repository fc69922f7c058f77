// Shared by the benchmarks that replicate to a local agent.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

// Starts build/bin/sorvan-agent on 127.0.0.1:port with the password and
// gives it half a second to listen; the caller kills the returned process.
inline pid_t start_agent(int port, const char *password) {
    pid_t agent = fork();
    if (agent == 0) {
        std::string bin = std::string(TESSARON_BIN_DIR) + "/sorvan-agent";
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(bin.c_str(), bin.c_str(), "-p", std::to_string(port).c_str(), "-l", "127.0.0.1", "-k",
              password, nullptr);
        _exit(127);
    }
    usleep(500000);
    return agent;
}
