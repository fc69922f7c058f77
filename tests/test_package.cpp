// The Debian package installed with dpkg into a throwaway root on a scratch
// tmpfs: install, build a program against it, upgrade, remove, purge.
#include <gtest/gtest.h>

#include "tests/support/scratch.h"
#include "tests/support/testutil.h"

#include <filesystem>
#include <string>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testutil::contains;
using testutil::read_file;
using testutil::write_file;

namespace {

bool have(const char *program) {
    return testutil::run({"/bin/sh", "-c", std::string("command -v ") + program}).status == 0;
}

// A scratch tmpfs; the host's account files covered by copies, so that
// whatever the maintainer scripts do, the machine's users stay as they are.
struct Scratch {
    std::string dir = testutil::scratch_tmpfs("mode=0755");
    bool ok = !dir.empty();
    Scratch() {
        for (const char *f : {"passwd", "group", "shadow", "gshadow"}) {
            if (!ok) return;
            std::string copy = *this / (std::string("host-") + f);
            write_file(copy, read_file(std::string("/etc/") + f));
            ok = mount(copy.c_str(), (std::string("/etc/") + f).c_str(), nullptr, MS_BIND, nullptr) == 0;
        }
    }
    std::string operator/(const std::string &name) const { return dir + "/" + name; }
};

// Built only against the installed headers and libraries: the transaction
// log drained through the event library, a crypt_md5 block back to the pool.
const char *kClient = R"(#include <sorvan.h>
#include <varro.h>
#include <cstdio>
#include <cstring>
static int drained;
static void consume(evContext *, void *uap, const void *) {
    TlogDispatch *d = static_cast<TlogDispatch *>(uap);
    std::printf("%s\n", d->rec.file.path);
    tlog_delete_rec(d->log, &d->rec);
    memput(d, sizeof *d);
    drained++;
}
int main(int, char **argv) {
    TlogHandle h;
    tlog_init(&h, argv[1], consume);
    const char *paths[] = {"/srv/a", "/srv/b"};
    for (const char *p : paths) {
        TlogRecord r;
        std::memset(&r, 0, sizeof r);
        r.kind = REQ_MKDIR;
        std::strcpy(r.file.path, p);
        if (tlog_write_rec(&h, &r) != 0) return 2;
    }
    while (tlog_process(&h) == 0) {
        evDo(h.evctx, nullptr);
        evMainLoop(h.evctx);
    }
    char *c = crypt_md5("secret", "Q4");
    if (!c || std::strlen(c) != 22) return 3;
    memput(c, 120);
    tlog_shutdown(&h);
    return drained == 2 ? 0 : 4;
}
)";

TEST(Package, InstallBuildAgainstUpgradeRemovePurge) {
    if (!have("dpkg-deb") || !have("dpkg") || !have("g++")) GTEST_SKIP() << "dpkg-deb or g++ is missing";
    if (!testutil::is_root()) GTEST_SKIP() << "dpkg needs root";
    Scratch t;
    ASSERT_TRUE(t.ok) << "no private tmpfs";
    std::string build = fs::path(TESSARON_BIN_DIR).parent_path();
    auto made = testutil::run({"/bin/sh", TESSARON_SOURCE_DIR "/scripts/package.sh", build, t / "out"});
    ASSERT_EQ(made.status, 0) << made.err;
    std::string deb = made.out.substr(0, made.out.find_last_not_of('\n') + 1);
    deb = deb.substr(deb.find_last_of('\n') + 1);
    ASSERT_TRUE(fs::exists(deb)) << made.out;
    EXPECT_TRUE(contains(deb, "/tessaron_")) << deb;
    // The same files as a later version, for the upgrade.
    std::string next = t / "next", deb2 = t / "out/next.deb";
    ASSERT_EQ(testutil::run({"/usr/bin/dpkg-deb", "-R", deb, next}).status, 0);
    std::string control = read_file(next + "/DEBIAN/control");
    size_t v = control.find("\nVersion: ") + 10;
    control.insert(control.find('\n', v), "+1");
    write_file(next + "/DEBIAN/control", control);
    ASSERT_EQ(testutil::run({"/usr/bin/dpkg-deb", "-Znone", "-b", next, deb2}).status, 0);

    std::string inst = t / "root", admin = t / "admin", units = t / "units", reg = t / "registry";
    for (const std::string &d : {inst + "/etc", admin + "/info", admin + "/updates", units})
        fs::create_directories(d);
    write_file(admin + "/status", "");
    write_file(inst + "/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    write_file(inst + "/etc/group", "root:x:0:\n");
    write_file(inst + "/etc/shadow", "root:*:19000:0:99999:7:::\n");
    write_file(inst + "/etc/gshadow", "root:*::\n");
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
    for (const char *f : {"/bin/kord", "/bin/kord-setup", "/bin/kordstat", "/lib/libkord_setup.so",
                          "/lib/libsorvan.so.3", "/lib/libvarro.so", "/include/sorvan.h",
                          "/include/varro.h", "/share/man/man8/kord.8", "/share/man/man1/kordstat.1",
                          "/share/man/man5/tessaron-files.5"})
        EXPECT_TRUE(fs::exists(root + f)) << f;
    EXPECT_TRUE(fs::is_directory(root + "/nsdb/cn"));
    // The installer actions ran: package kept, units written, source recorded.
    std::string pkg = "Tessaron(tm) Master Server.msi";
    EXPECT_EQ(read_file(root + "/lib/setup/" + pkg),
              read_file(inst + "/usr/share/tessaron/package/" + pkg));
    std::string master = read_file(units + "/tessaron-master-server.service");
    EXPECT_TRUE(contains(master, "\nExecStart=/opt/tessaron/bin/kord\n")) << master;
    EXPECT_TRUE(contains(master, "\nReadWritePaths=-/opt/tessaron/data -/opt/tessaron/nsdb/cn\n"));
    std::string traffic = read_file(units + "/tessaron-traffic-controller.service");
    EXPECT_TRUE(contains(traffic, "\nExecStart=/opt/tessaron/bin/flowgate\n")) << traffic;
    std::string key = reg + "/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall/"
                            "{5C1D2E7A-93B4-4F60-A1D8-7E2B94C0F315}";
    EXPECT_EQ(read_file(key + "/InstallSource"), "\x01" + inst + "/var/cache/tessaron/source");
    EXPECT_TRUE(contains(r.err + r.out, "Congratulations!"));
    // The agent's unit is shipped, not enabled; its password file is root's alone.
    EXPECT_TRUE(contains(read_file(inst + "/lib/systemd/system/tessaron-agent.service"),
                         "\nExecStart=/opt/tessaron/bin/sorvan-agent -r /opt/tessaron\n"));
    struct stat st;
    ASSERT_EQ(stat((root + "/agent.env").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(contains(read_file(root + "/agent.env"), "\nTESSARON_AGENT_PASSWORD=\n"));
    EXPECT_EQ(read_file(root + "/gpfile"), read_file(root + "/share/examples/gpfile"));
    // The service user, and what kord writes is its own.
    std::string passwd = read_file(inst + "/etc/passwd");
    size_t u = passwd.find("\ntessaron:x:");
    ASSERT_NE(u, std::string::npos) << passwd;
    unsigned uid = std::stoul(passwd.substr(u + 12));
    EXPECT_TRUE(contains(passwd.substr(u), ":/nonexistent:/usr/sbin/nologin\n"));
    for (const char *d : {"/data", "/nsdb/cn"}) {
        ASSERT_EQ(stat((root + d).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, uid) << d;
    }
    EXPECT_FALSE(contains(read_file("/etc/passwd"), "\ntessaron:"));
    // The installed programs find the installed library, not the build tree.
    auto dyn = testutil::run({"/usr/bin/readelf", "-d", root + "/bin/kord"});
    EXPECT_TRUE(contains(dyn.out, "[$ORIGIN/../lib]")) << dyn.out;
    EXPECT_FALSE(contains(dyn.out, TESSARON_LIB_DIR)) << dyn.out;
    auto ver = testutil::run({root + "/bin/kord", "-v"});
    EXPECT_EQ(ver.status, 0) << ver.err;
    EXPECT_TRUE(contains(ver.out, " Tessaron(tm):\n")) << ver.out;

    // A program built against nothing but the installed headers and libraries.
    write_file(t / "client.cpp", kClient);
    auto cc = testutil::run({"/usr/bin/g++", "-std=c++17", "-Wall", "-Werror", "-I" + root + "/include",
                             t / "client.cpp", "-o", t / "client", "-L" + root + "/lib", "-lsorvan",
                             "-lvarro", "-Wl,-rpath," + root + "/lib"});
    ASSERT_EQ(cc.status, 0) << cc.err;
    auto run = testutil::run({t / "client", t / "client.log"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "/srv/a\n/srv/b\n");
    // The two headers alone, as C and as C++.
    write_file(t / "headers.c", "#include <sorvan.h>\n#include <varro.h>\nint main(void) { return 0; }\n");
    for (std::vector<std::string> c : {std::vector<std::string>{"/usr/bin/gcc", "-std=c11", "-x", "c"},
                                      {"/usr/bin/g++", "-std=c++17", "-x", "c++"}}) {
        c.insert(c.end(), {"-Wall", "-Wextra", "-Werror", "-fsyntax-only", "-I" + root + "/include",
                           t / "headers.c"});
        auto h = testutil::run(c);
        EXPECT_EQ(h.status, 0) << c[0] << h.err;
    }

    // The administrator's edits; a unit nobody changed, one changed locally.
    std::string node = root + "/nodes/127.0.0.1.cfg";
    write_file(node, "min_vm 4096\n");
    write_file(root + "/nodes/mine.cfg", "min_fs 7\n");
    write_file(root + "/gpfile", "g:ex.test:pw:1000000:rtt:60:2:800000:10000:::0:0:127.0.0.1\n");
    write_file(root + "/agent.env", "TESSARON_AGENT_PASSWORD=s3cret\n");
    write_file(units + "/tessaron-master-server.service", "# as an older version wrote it\n");
    write_file(root + "/lib/setup/tessaron-master-server.service", "# as an older version wrote it\n");
    write_file(units + "/tessaron-traffic-controller.service", traffic + "# mine\n");
    auto edited = [&](const char *when) {
        EXPECT_EQ(read_file(node), "min_vm 4096\n") << when;
        EXPECT_EQ(read_file(root + "/nodes/mine.cfg"), "min_fs 7\n") << when;
        EXPECT_TRUE(contains(read_file(root + "/gpfile"), "g:ex.test:")) << when;
        EXPECT_EQ(read_file(root + "/agent.env"), "TESSARON_AGENT_PASSWORD=s3cret\n") << when;
    };

    r = dpkg({"-i", deb2});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    edited("upgrade");
    EXPECT_EQ(read_file(units + "/tessaron-master-server.service"), master);
    EXPECT_EQ(read_file(units + "/tessaron-traffic-controller.service"), traffic + "# mine\n");
    EXPECT_EQ(read_file(units + "/tessaron-traffic-controller.service.dpkg-dist"), traffic);
    EXPECT_TRUE(contains(r.err, "tessaron-traffic-controller.service was changed locally")) << r.err;
    EXPECT_EQ(read_file(inst + "/etc/passwd"), passwd);   // the user once

    // What the master server leaves at run time.
    write_file(root + "/data/map.data", "map");
    write_file(root + "/data/kord.status", "pid 1\n");

    r = dpkg({"-r", "tessaron"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Tessaron(tm) Master Server removed.")) << r.out;
    EXPECT_FALSE(fs::exists(root + "/bin/kord"));
    EXPECT_FALSE(fs::exists(units + "/tessaron-master-server.service"));
    EXPECT_FALSE(fs::exists(inst + "/lib/systemd/system/tessaron-agent.service"));
    edited("remove");

    r = dpkg({"--purge", "tessaron"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(fs::exists(root)) << "left under the root";
    EXPECT_FALSE(fs::exists(units + "/tessaron-traffic-controller.service.dpkg-dist"));
    EXPECT_FALSE(fs::exists(inst + "/var/cache/tessaron"));
    EXPECT_FALSE(fs::exists(reg));
    EXPECT_EQ(read_file(inst + "/etc/passwd"), "root:x:0:0:root:/root:/bin/sh\n");
    EXPECT_EQ(read_file(inst + "/etc/group"), "root:x:0:\n");
    r = dpkg({"-s", "tessaron"});
    EXPECT_FALSE(contains(r.out, "install ok installed"));
}

}  // namespace
