// The Debian package, installed for real with dpkg into a throwaway root,
// then purged.
#include <gtest/gtest.h>

#include "testutil.h"

#include <filesystem>
#include <string>

#include <unistd.h>

namespace fs = std::filesystem;
using testutil::TempDir;
using testutil::read_file;
using testutil::write_file;

namespace {

using testutil::contains;
bool have(const char *program) {
    return testutil::run({"/bin/sh", "-c", std::string("command -v ") + program}).status == 0;
}

TEST(Package, InstallsRegistersAndPurgesCleanly) {
    if (!have("dpkg-deb") || !have("dpkg")) GTEST_SKIP() << "dpkg-deb is missing";
    if (!testutil::is_root()) GTEST_SKIP() << "dpkg needs root";
    TempDir t;
    std::string build = fs::path(TESSARON_BIN_DIR).parent_path();
    auto made = testutil::run({"/bin/sh", TESSARON_SOURCE_DIR "/scripts/package.sh", build, t / "out"});
    ASSERT_EQ(made.status, 0) << made.err;
    std::string deb = made.out.substr(0, made.out.find_last_not_of('\n') + 1);
    deb = deb.substr(deb.find_last_of('\n') + 1);
    ASSERT_TRUE(fs::exists(deb)) << made.out;
    EXPECT_TRUE(contains(deb, "/tessaron_")) << deb;
    EXPECT_TRUE(contains(deb, "_amd64.deb"));

    std::string inst = t / "root", admin = t / "admin", units = t / "units", reg = t / "registry";
    for (const std::string &d : {inst, admin + "/info", admin + "/updates", units})
        fs::create_directories(d);
    write_file(admin + "/status", "");
    std::vector<std::string> env = {"TESSARON_UNIT_DIR=" + units, "TESSARON_REGISTRY=" + reg};
    auto dpkg = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = {"/usr/bin/dpkg", "--instdir=" + inst, "--admindir=" + admin,
                                         "--log=" + (t / "dpkg.log"),
                                         "--force-script-chrootless", "--force-depends"};
        argv.insert(argv.end(), args.begin(), args.end());
        return testutil::run(argv, env);
    };

    auto r = dpkg({"-i", deb});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string root = inst + "/opt/tessaron";
    for (const char *f : {"/bin/kord", "/bin/kord-setup", "/lib/libkord_setup.so",
                          "/lib/libsorvan.so.3", "/include/sorvan.h"})
        EXPECT_TRUE(fs::exists(root + f)) << f;
    EXPECT_TRUE(fs::is_directory(root + "/nsdb/cn"));
    EXPECT_TRUE(fs::is_directory(root + "/nodes"));
    // The installer actions ran: package kept, units written, source recorded.
    std::string pkg = "Tessaron(tm) Master Server.msi";
    EXPECT_EQ(read_file(root + "/lib/setup/" + pkg),
              read_file(inst + "/usr/share/tessaron/package/" + pkg));
    std::string master = read_file(units + "/tessaron-master-server.service");
    EXPECT_TRUE(contains(master, "ExecStart=/opt/tessaron/bin/kord\n")) << master;
    EXPECT_TRUE(contains(master, "Type=notify\n"));
    std::string traffic = read_file(units + "/tessaron-traffic-controller.service");
    EXPECT_TRUE(contains(traffic, "ExecStart=/opt/tessaron/bin/Flowgate\n")) << traffic;
    std::string key = reg + "/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall/"
                            "{5C1D2E7A-93B4-4F60-A1D8-7E2B94C0F315}";
    EXPECT_EQ(read_file(key + "/InstallSource"), "\x01" + inst + "/var/cache/tessaron/source");
    EXPECT_TRUE(contains(r.err + r.out, "Congratulations!"));
    // The installed programs find the installed library, not the build tree.
    auto dyn = testutil::run({"/usr/bin/readelf", "-d", root + "/bin/kord"});
    EXPECT_TRUE(contains(dyn.out, "[$ORIGIN/../lib]")) << dyn.out;
    EXPECT_FALSE(contains(dyn.out, TESSARON_LIB_DIR)) << dyn.out;
    auto ver = testutil::run({root + "/bin/kord", "-v"});
    EXPECT_EQ(ver.status, 0) << ver.err;
    EXPECT_TRUE(contains(ver.out, " Tessaron(tm):\n")) << ver.out;
    r = dpkg({"-s", "tessaron"});
    EXPECT_TRUE(contains(r.out, "Status: install ok installed")) << r.out << r.err;

    // What the master server leaves at run time.
    write_file(root + "/data/map.data", "map");

    r = dpkg({"--purge", "tessaron"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Tessaron(tm) Master Server removed.")) << r.out;
    EXPECT_FALSE(fs::exists(units + "/tessaron-master-server.service"));
    EXPECT_FALSE(fs::exists(units + "/tessaron-traffic-controller.service"));
    EXPECT_FALSE(fs::exists(root)) << "left under the root";
    EXPECT_FALSE(fs::exists(inst + "/var/cache/tessaron"));
    EXPECT_FALSE(fs::exists(reg));
    r = dpkg({"-s", "tessaron"});
    EXPECT_FALSE(contains(r.out, "install ok installed"));
}

}  // namespace
