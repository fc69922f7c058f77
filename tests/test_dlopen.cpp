// libsorvan loaded with dlopen alone, as a plugin host or Python's ctypes
// loads it: libc then comes first in the lookup order, and libc has its own
// xencrypt, xdecrypt, crypt and basename. The library's calls must still
// reach its own functions (a C program and a ctypes script drive them).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include "port/varro.h"
#include "tests/support/testutil.h"

using namespace std::chrono_literals;
using testutil::contains;

namespace {

bool port_open(int port) {
    int s = connect_nb(htonl(INADDR_LOOPBACK), port, 200000);
    return s >= 0 && close(s) == 0;
}

TEST(Dlopen, LibraryCallsItsOwnFunctions) {
    if (!testutil::own_network(true)) GTEST_SKIP() << "needs root for a network and mount namespace";
    testutil::TempDir t;
    // The agent writes what it is sent: only into a tmpfs of this namespace.
    std::string scratch = t / "scratch";
    ASSERT_EQ(mkdir(scratch.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", scratch.c_str(), "tmpfs", 0, "size=16m"), 0);
    std::string content;
    for (int i = 0; i < 5000; i++) content += "line " + std::to_string(i) + " of the replicated file\n";
    testutil::write_file(scratch + "/source.txt", content);

    const int port = 7301;
    testutil::Proc agent({testutil::bin_path("sorvan-agent"), "-p", std::to_string(port), "-l", "127.0.0.1",
                          "-k", "dl-secret"},
                         {}, t / "agent.out");
    ASSERT_TRUE(testutil::wait_until([&] { return port_open(port); }, 5s)) << testutil::read_file(t / "agent.out");

    std::string lib = std::string(TESSARON_LIB_DIR) + "/libsorvan.so";
    std::vector<std::string> args = {lib, std::to_string(port), "dl-secret", scratch + "/source.txt",
                                     scratch + "/copy.txt"};
    std::vector<std::string> c_argv = {testutil::bin_path("dlopen_probe")};
    c_argv.insert(c_argv.end(), args.begin(), args.end());
    auto r = testutil::run(c_argv);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "ok"));

    std::vector<std::string> py_argv = {"/usr/bin/python3", std::string(TESSARON_SOURCE_DIR) + "/tests/support/dlopen_probe.py"};
    py_argv.insert(py_argv.end(), args.begin(), args.end());
    r = testutil::run(py_argv);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(testutil::read_file(scratch + "/copy.txt.py"), content);
    agent.stop();
    umount2(scratch.c_str(), MNT_DETACH);
}

}  // namespace
