// Installer actions, through kord-setup and libkord_setup.so, against a
// throwaway installation root, unit directory and registry tree.
#include <gtest/gtest.h>

#include "util/sorvan.h"
#include "tests/support/testutil.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <dlfcn.h>

namespace fs = std::filesystem;
using testutil::TempDir;
using testutil::read_file;
using testutil::write_file;

namespace {

const std::string kPkg = "Tessaron(tm) Master Server.msi";
const std::string kMasterUnit = "tessaron-master-server.service";
const std::string kTrafficUnit = "tessaron-traffic-controller.service";
const char *kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5C1D2E7A-93B4-4F60-A1D8-7E2B94C0F315}";

using testutil::contains;
class Setup : public ::testing::Test {
protected:
    void SetUp() override {
        root = tmp / "opt/tessaron";
        units = tmp / "units";
        reg = tmp / "registry";
        pkgdir = tmp / "package";
        fs::create_directories(root);
        fs::create_directories(units);
        fs::create_directories(pkgdir);
        write_file(pkgdir + "/" + kPkg, "package bytes\n");
        setenv("TESSARON_REGISTRY", reg.c_str(), 1);
    }
    void TearDown() override { unsetenv("TESSARON_REGISTRY"); }
    testutil::RunResult setup(const std::string &action, const std::string &a2,
                              const std::string &a3, const std::string &a4) {
        return testutil::run({testutil::bin_path("kord-setup"), action, a2, a3, a4},
                             {"TESSARON_UNIT_DIR=" + units, "TESSARON_REGISTRY=" + reg});
    }
    void record_source(const std::string &dir) {
        ASSERT_EQ(SetRegItemString(kUninstallKey, "InstallSource", dir.c_str()), 0);
    }
    TempDir tmp;
    std::string root, units, reg, pkgdir;
};

TEST_F(Setup, CopyToInstallDirKeepsThePackage) {
    auto r = setup("msi_copy2installdir", pkgdir, tmp / "syslibs", root);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(root + "/lib/setup/" + kPkg), "package bytes\n");
    EXPECT_EQ(r.err, "");  // no system libraries on this system
    // Replaces an older copy.
    write_file(pkgdir + "/" + kPkg, "newer\n");
    EXPECT_EQ(setup("msi_copy2installdir", pkgdir, "-", root).status, 0);
    EXPECT_EQ(read_file(root + "/lib/setup/" + kPkg), "newer\n");

    fs::remove(pkgdir + "/" + kPkg);
    r = setup("msi_copy2installdir", pkgdir, "-", root);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");  // failure without a message
    EXPECT_EQ(read_file(root + "/lib/setup/" + kPkg), "newer\n");
}

TEST_F(Setup, RegisterAndDeregisterTheUnits) {
    auto r = setup("register_nt_service", "-", "-", root);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Tessaron(tm) Traffic Controller installed.\n"
                     "Tessaron(tm) Master Server installed.\n");
    EXPECT_TRUE(contains(r.err, "Tessaron(tm): Congratulations! The Tessaron(tm) Master Server")) << r.err;
    std::string master = read_file(units + "/" + kMasterUnit);
    for (const std::string &line : std::vector<std::string>{
             "Description=Tessaron(tm) Master Server", "Type=notify", "ExecStart=" + root + "/bin/kord",
             "Environment=TESSARON_ROOT=" + root, "ExecReload=/bin/kill -HUP $MAINPID",
             "User=tessaron", "AmbientCapabilities=CAP_NET_RAW", "CapabilityBoundingSet=CAP_NET_RAW",
             "ReadWritePaths=-" + root + "/data -" + root + "/nsdb/cn", "ProtectSystem=strict",
             "WantedBy=multi-user.target"})
        EXPECT_TRUE(contains(master, "\n" + line + "\n")) << line;
    std::string traffic = read_file(units + "/" + kTrafficUnit);
    for (const std::string &line : std::vector<std::string>{
             "Description=Tessaron(tm) Traffic Controller", "ExecStart=" + root + "/bin/flowgate",
             "Type=notify", "User=tessaron", "CapabilityBoundingSet=", "ProtectSystem=strict"})
        EXPECT_TRUE(contains(traffic, "\n" + line + "\n")) << line;
    EXPECT_FALSE(contains(traffic, "ReadWritePaths"));

    // kord -install writes the same unit for the same root.
    std::string units2 = tmp / "units2";
    fs::create_directories(units2);
    auto k = testutil::run({"/usr/bin/env", "-u", "TESSARON_PATH_2", "-u", "TESSARON_PATH_3", "-u",
                            "TESSARON_PATH_8", "TESSARON_ROOT=" + root, "TESSARON_UNIT_DIR=" + units2,
                            testutil::bin_path("kord"), "-install"});
    EXPECT_EQ(k.status, 0) << k.out << k.err;
    std::string own = read_file(units2 + "/" + kMasterUnit);
    std::string kord_path = fs::canonical(testutil::bin_path("kord")).string();
    own.replace(own.find(kord_path), kord_path.size(), root + "/bin/kord");
    EXPECT_EQ(own, master);

    // Existing services: two failures, still the congratulation, still 1.
    r = setup("register_nt_service", "-", "-", root);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "CreateService failed - File exists (0x11)\n"
                     "CreateService failed - File exists (0x11)\n");
    EXPECT_TRUE(contains(r.err, "Congratulations!"));
    EXPECT_EQ(read_file(units + "/" + kMasterUnit), master);

    // The kept package is gone already: the user sees why, removal goes on.
    r = setup("deregister_nt_service", "-", "-", root);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Tessaron(tm) Master Server removed.\n"
                     "Tessaron(tm) Traffic Controller removed.\n");
    EXPECT_TRUE(contains(r.err, "Tessaron(TM): No such file or directory\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "Tessaron(TM): Tessaron Master Server was Stopped."));
    EXPECT_FALSE(fs::exists(units + "/" + kMasterUnit));
    EXPECT_FALSE(fs::exists(units + "/" + kTrafficUnit));

    r = setup("deregister_nt_service", "-", "-", root);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OpenService failed - No such file or directory (0x2)\n"
                     "OpenService failed - No such file or directory (0x2)\n");

    // No unit directory at all: still success (the actions always give 1).
    fs::remove(units);
    for (const char *action : {"register_nt_service", "deregister_nt_service"}) {
        r = setup(action, "-", "-", root);
        EXPECT_EQ(r.status, 0) << action;
        EXPECT_EQ(r.out, "OpenSCManager failed - No such file or directory (0x2)\n"
                         "OpenSCManager failed - No such file or directory (0x2)\n") << action;
    }
}

TEST_F(Setup, PathsAreQuotedInUnits) {
    std::string spaced = tmp / "my root%1$x";
    fs::create_directories(spaced);
    ASSERT_EQ(setup("register_nt_service", "-", "-", spaced).status, 0);
    std::string master = read_file(units + "/" + kMasterUnit);
    std::string at = tmp.path() + "/my root%%1";
    EXPECT_TRUE(contains(master, "\nExecStart=\"" + at + "$$x/bin/kord\"\n")) << master;
    EXPECT_TRUE(contains(master, "\nEnvironment=\"TESSARON_ROOT=" + at + "$x\"\n"));
    EXPECT_TRUE(contains(master, "\nReadWritePaths=\"-" + at + "$x/data\" \"-" + at + "$x/nsdb/cn\"\n"));

    // A line end in the root would smuggle settings into the unit.
    fs::remove(units + "/" + kMasterUnit);
    fs::remove(units + "/" + kTrafficUnit);
    std::string evil = tmp / "r\nUser=root";
    fs::create_directories(evil);
    auto r = setup("register_nt_service", "-", "-", evil);
    EXPECT_EQ(r.out, "CreateService failed - Invalid argument (0x16)\n"
                     "CreateService failed - Invalid argument (0x16)\n");
    EXPECT_FALSE(fs::exists(units + "/" + kMasterUnit));
}

// The exposure systemd-analyze gives the three units, and that systemd
// reads every line of them.
TEST_F(Setup, UnitsAreHardened) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze is missing";
    fs::create_directories(root + "/bin");
    fs::create_symlink(testutil::bin_path("kord"), root + "/bin/kord");
    for (const char *p : {"/bin/flowgate", "/bin/sorvan-agent"}) fs::create_symlink("/bin/true", root + p);
    ASSERT_EQ(setup("register_nt_service", "-", "-", root).status, 0);
    std::string agent = read_file(TESSARON_SOURCE_DIR "/packaging/tessaron-agent.service");
    for (size_t at = 0; (at = agent.find("/opt/tessaron", at)) != std::string::npos; at += root.size())
        agent.replace(at, 13, root);
    write_file(units + "/tessaron-agent.service", agent);
    for (auto [unit, most] : {std::pair<std::string, double>{kMasterUnit, 1.6}, {kTrafficUnit, 1.4},
                              {"tessaron-agent.service", 2.5}}) {
        std::string file = units + "/" + unit;
        auto v = testutil::run({"/usr/bin/systemd-analyze", "verify", "--man=no", file});
        EXPECT_EQ(v.status, 0) << unit;
        EXPECT_EQ(v.out + v.err, "") << unit;
        auto s = testutil::run({"/usr/bin/systemd-analyze", "security", "--offline=true", file});
        size_t at = s.out.find("Overall exposure level for " + unit + ": ");
        ASSERT_NE(at, std::string::npos) << s.out << s.err;
        double exposure = std::stod(s.out.substr(s.out.find(": ", at) + 2));
        EXPECT_LE(exposure, most) << unit << "\n" << s.out;
    }
}

TEST_F(Setup, CopyBackToTheInstallSource) {
    std::string src = tmp / "source";
    // No recorded install source.
    EXPECT_EQ(setup("msi_copy2srcdir", "-", root, root).status, 1);

    ASSERT_EQ(setup("msi_copy2installdir", pkgdir, "-", root).status, 0);
    record_source(src);
    auto r = setup("msi_copy2srcdir", "-", root, root);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(src + "/" + kPkg), "package bytes\n");
    EXPECT_EQ(fs::status(src).permissions(), fs::status(root).permissions());

    // The directory exists already.
    r = setup("msi_copy2srcdir", "-", root, root);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Tessaron(tm) Error!: You may need to manually find this "
                                "software's .msi file!\n"));
}

TEST_F(Setup, DelSrcDirRemovesWhatIsLeft) {
    for (const char *d : {"data", "bin", "lib/setup", "sbin"}) fs::create_directories(root + "/" + d);
    write_file(root + "/data/map.data", "map");
    write_file(root + "/bin/leftover", "x");
    std::string src = tmp / "source";
    fs::create_directories(src);
    write_file(src + "/" + kPkg, "p");
    record_source(src);

    auto r = setup("msi_delsrcdir", "-", "-", root);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(root + "/data"));
    EXPECT_TRUE(fs::exists(root + "/bin/leftover"));  // not empty: stays
    EXPECT_FALSE(fs::exists(root + "/lib"));           // still removed after bin
    EXPECT_FALSE(fs::exists(root + "/sbin"));
    EXPECT_FALSE(fs::exists(src));

    // Install source gone already: 0, but the root is still cleaned.
    fs::create_directories(root + "/sbin");
    EXPECT_EQ(setup("msi_delsrcdir", "-", "-", root).status, 1);
    EXPECT_FALSE(fs::exists(root + "/sbin"));
    // A source directory holding other files stays, and the action fails.
    fs::create_directories(src);
    write_file(src + "/" + kPkg, "p");
    write_file(src + "/other", "o");
    EXPECT_EQ(setup("msi_delsrcdir", "-", "-", root).status, 1);
    EXPECT_TRUE(fs::exists(src + "/other"));
    EXPECT_FALSE(fs::exists(src + "/" + kPkg));
}

TEST_F(Setup, InstallSourceCommandsOfKordSetup) {
    std::string src = tmp / "source dir";
    EXPECT_EQ(setup("set_install_source", src, "-", root).status, 0);
    EXPECT_STREQ(GetRegItemString(kUninstallKey, "InstallSource"), src.c_str());
    EXPECT_EQ(setup("clean_install_source", "-", "-", root).status, 0);
    EXPECT_EQ(GetRegItemString(kUninstallKey, "InstallSource"), nullptr);
    EXPECT_EQ(setup("clean_install_source", "-", "-", root).status, 0);  // already gone
    auto r = setup("no_such_action", "-", "-", root);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "usage: kord-setup"));
    const std::string bin = testutil::bin_path("kord-setup");
    EXPECT_EQ(testutil::run({bin}).status, 2);
    EXPECT_EQ(testutil::run({bin, "--help"}).status, 0);
    EXPECT_EQ(testutil::run({bin, "--version"}).status, 0);
}

TEST(SetupLibrary, ExportsTheActionsAndCopiesSystemFilesOnlyWhereMissing) {
    void *handle = dlopen(TESSARON_LIB_DIR "/libkord_setup.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    for (const char *name : {"msi_copy2installdir", "msi_copy2srcdir", "msi_delsrcdir",
                             "register_nt_service", "deregister_nt_service"})
        EXPECT_NE(dlsym(handle, name), nullptr) << name;
    EXPECT_EQ(dlsym(handle, "read_install_source"), nullptr);  // internal steps stay hidden
    EXPECT_EQ(dlsym(handle, "SetRegItemString"), nullptr);     // no libsorvan inside

    using CopyFn = void (*)(void *, const char *, const char *);
    auto copy = reinterpret_cast<CopyFn>(dlsym(handle, "setup_copy_system_files"));
    ASSERT_NE(copy, nullptr);
    TempDir t;
    std::string from = t / "from", sys = t / "system";
    fs::create_directories(from);
    fs::create_directories(sys);
    write_file(from + "/psapi.dll", "psapi");
    write_file(from + "/pdh.dll", "new pdh");
    write_file(sys + "/pdh.dll", "old pdh");
    testing::internal::CaptureStderr();
    copy(nullptr, from.c_str(), sys.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file(sys + "/psapi.dll"), "psapi");
    EXPECT_EQ(read_file(sys + "/pdh.dll"), "old pdh");

    // A missing source is shown, and the other library is still handled.
    fs::remove(sys + "/psapi.dll");
    fs::remove(sys + "/pdh.dll");
    fs::remove(from + "/psapi.dll");
    testing::internal::CaptureStderr();
    copy(nullptr, from.c_str(), sys.c_str());
    err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "Fatal: file '" + from + "/psapi.dll' not found!")) << err;
    EXPECT_TRUE(contains(err, "Fatal: Copy file '" + from + "/psapi.dll' to " + sys +
                                  "/psapi.dll failed!"));
    EXPECT_EQ(read_file(sys + "/pdh.dll"), "new pdh");
    dlclose(handle);
}

}  // namespace
