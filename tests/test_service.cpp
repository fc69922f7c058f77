// The service shell: state reports on a real notify socket, and kord's
// -install/-remove against a unit directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "master/kord.h"
#include "port/paths.h"
#include "tests/support/testutil.h"

using testutil::TempDir;

namespace {

// Paths and the log mirror are resolved once per process: set them first.
const std::string g_base = testutil::process_root({"data"});
const std::string g_log = testutil::log_file("test_service");

// A datagram socket standing in for systemd's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &name) : name_(name) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::memcpy(sa.sun_path, name.c_str(), name.size());
        if (sa.sun_path[0] == '@') sa.sun_path[0] = '\0';
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&sa), len), 0) << strerror(errno);
        timeval tv{0, 300000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
    }
    ~NotifySocket() {
        close(fd_);
        if (name_[0] != '@') unlink(name_.c_str());
        unsetenv("NOTIFY_SOCKET");
    }
    std::string next() {
        char buf[512];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

private:
    std::string name_;
    int fd_;
};

std::string kord_bin() { return testutil::bin_path("kord"); }

}  // namespace

TEST(Service, StatesGoOutAsOneDatagramEach) {
    {
        NotifySocket sock(g_base + "/notify");
        EXPECT_NE(kord::set_status(2, 0, 3000), 0);
        EXPECT_EQ(sock.next(), "EXTEND_TIMEOUT_USEC=3000000\nSTATUS=start pending");
        // Before the service entry registered, report_status sends nothing.
        EXPECT_EQ(kord::report_status(4), 0);
        EXPECT_EQ(sock.next(), "");
    }
    {
        NotifySocket sock("@tessaron-test-" + std::to_string(getpid()));
        EXPECT_NE(kord::set_status(3, 0, 10000), 0);
        EXPECT_EQ(sock.next(), "STOPPING=1\nEXTEND_TIMEOUT_USEC=10000000\nSTATUS=stop pending");
    }
    EXPECT_NE(kord::set_status(1, 0, 0), 0);   // no notify socket: a no-op
    setenv("NOTIFY_SOCKET", (g_base + "/nobody").c_str(), 1);
    EXPECT_EQ(kord::set_status(1, 0, 0), 0);
    unsetenv("NOTIFY_SOCKET");
    EXPECT_NE(testutil::read_file(g_log).find("SetServiceStatus() failed"), std::string::npos);
}

TEST(Service, InstallWritesTheUnitAndRemoveDeletesIt) {
    TempDir units, units2;
    std::string unit = units / "tessaron-master-server.service";
    auto r = testutil::run({kord_bin(), "-install"}, {"TESSARON_UNIT_DIR=" + units.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Tessaron(tm) Master Server installed.\n");
    std::string text = testutil::read_file(unit);
    std::string self = std::filesystem::canonical(kord_bin()).string();
    for (const std::string &line :
         {std::string("Type=notify"), std::string("AmbientCapabilities=CAP_NET_RAW"), "ExecStart=" + self})
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\n" << text;

    // A slash and capitals install exactly the same way.
    testutil::run({kord_bin(), "/INSTALL"}, {"TESSARON_UNIT_DIR=" + units2.path()});
    EXPECT_EQ(testutil::read_file(units2 / "tessaron-master-server.service"), text);

    if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
        auto v = testutil::run({"/usr/bin/systemd-analyze", "verify", unit});
        EXPECT_EQ(v.status, 0) << v.out << v.err;
    }

    // An installed unit is not overwritten.
    testutil::write_file(unit, text + "# local\n");
    r = testutil::run({kord_bin(), "-install"}, {"TESSARON_UNIT_DIR=" + units.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "CreateService failed - File exists (0x11)\n");
    EXPECT_EQ(testutil::read_file(unit), text + "# local\n");

    r = testutil::run({kord_bin(), "-ReMoVe"}, {"TESSARON_UNIT_DIR=" + units.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Tessaron(tm) Master Server removed.\n");
    EXPECT_NE(access(unit.c_str(), F_OK), 0);
    r = testutil::run({kord_bin(), "-remove"}, {"TESSARON_UNIT_DIR=" + units.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kord: " + unit + ": not installed\n");
    r = testutil::run({kord_bin(), "-install"}, {"TESSARON_UNIT_DIR=" + (units / "absent")});
    EXPECT_EQ(r.out, "OpenSCManager failed - No such file or directory (0x2)\n");
}

// "remove" without a dash starts the service, which takes it for a stray
// argument, and leaves the unit alone.
TEST(Service, WordsWithoutDash) {
    TempDir t;
    testutil::write_file(t / "tessaron-master-server.service", "x");
    auto r = testutil::run({"/usr/bin/env", "-u", "TESSARON_PATH_3", "TESSARON_UNIT_DIR=" + t.path(),
                            "TESSARON_ROOT=" + (t / "root"), kord_bin(), "remove"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Usage: kord [options]", 0), 0u) << r.err;
    EXPECT_EQ(testutil::read_file(t / "tessaron-master-server.service"), "x");
}
