// The Debian packages, built with dpkg-buildpackage from this build's
// programs, checked with lintian, and installed with dpkg into throwaway
// roots on a scratch tmpfs: the node agent alone; the master server with
// the libraries and the -dev package, a program built against them, an
// upgrade, removal and purge.
#include <gtest/gtest.h>

#include "tests/support/scratch.h"
#include "tests/support/testutil.h"

#include <filesystem>
#include <map>
#include <sstream>
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

// A scratch tmpfs; the host's account files and unit directory covered by
// copies, so that whatever the maintainer scripts do, the machine stays as
// it is (and the test sees it if something reached it).
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
        if (ok && fs::is_directory("/etc/systemd/system"))
            ok = mount("tmpfs", "/etc/systemd/system", "tmpfs", 0, "mode=0755") == 0;
    }
    std::string operator/(const std::string &name) const { return dir + "/" + name; }
};

// Every package the source builds, by name, from the programs of this
// build (scripts/package.sh with TESSARON_PREBUILT): one lintian-checked
// set for every test.
std::map<std::string, std::string> build_packages(const Scratch &t, std::string &log) {
    std::string build = fs::path(TESSARON_BIN_DIR).parent_path();
    auto made = testutil::run({"/bin/sh", TESSARON_SOURCE_DIR "/scripts/package.sh", t / "out"},
                              {"TESSARON_PREBUILT=" + build, "DEB_BUILD_OPTIONS=nocheck noautodbgsym"});
    log = made.out + made.err;
    std::map<std::string, std::string> debs;
    if (made.status != 0) return debs;
    std::istringstream lines(made.out);
    for (std::string deb; std::getline(lines, deb);) {
        std::string name = fs::path(deb).filename();
        debs[name.substr(0, name.find('_'))] = deb;
    }
    return debs;
}

std::string field(const std::string &deb, const char *name) {
    return testutil::run({"/usr/bin/dpkg-deb", "-f", deb, name}).out;
}

// A throwaway root for chrootless dpkg, with account files of its own.
struct Root {
    std::string inst, admin, log;
    explicit Root(const std::string &dir) : inst(dir + "/root"), admin(dir + "/admin"), log(dir + "/dpkg.log") {
        for (const std::string &d : {inst + "/etc", admin + "/info", admin + "/updates"})
            fs::create_directories(d);
        write_file(admin + "/status", "");
        write_file(inst + "/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
        write_file(inst + "/etc/group", "root:x:0:\n");
        write_file(inst + "/etc/shadow", "root:*:19000:0:99999:7:::\n");
        write_file(inst + "/etc/gshadow", "root:*::\n");
    }
    // The libraries of the system are not in this root's database.
    testutil::RunResult dpkg(std::vector<std::string> args, std::vector<std::string> env = {}) const {
        std::vector<std::string> argv = {"/usr/bin/dpkg", "--instdir=" + inst, "--admindir=" + admin,
                                         "--log=" + log, "--force-script-chrootless", "--force-depends"};
        argv.insert(argv.end(), args.begin(), args.end());
        return testutil::run(argv, env);
    }
    std::string operator/(const std::string &path) const { return inst + path; }
    bool installed(const std::string &pkg) const {
        return contains(dpkg({"-s", pkg}).out, "Status: install ok installed");
    }
};

// Every file and directory below dir, relative to it, sorted ("" for none).
std::string tree(const std::string &dir) {
    std::vector<std::string> paths;
    if (!fs::is_directory(dir)) return "";
    for (auto &e : fs::recursive_directory_iterator(dir)) paths.push_back(fs::relative(e.path(), dir));
    std::sort(paths.begin(), paths.end());
    std::string out;
    for (auto &p : paths) out += p + "\n";
    return out;
}

// The unit's ExecCondition= of its drop-in, run with the root's paths:
// whether systemd would start the unit.
int condition(const Root &r, const std::string &unit) {
    std::string conf = read_file(r / ("/lib/systemd/system/" + unit + ".d/example.conf"));
    size_t at = conf.find("\nExecCondition=/bin/sh -c '");
    if (at == std::string::npos) return -1;
    at += 27;
    std::string script = conf.substr(at, conf.find("'\n", at) - at);
    for (size_t p = 0; (p = script.find("/opt/tessaron", p)) != std::string::npos; p += r.inst.size() + 13)
        script.insert(p, r.inst);
    return testutil::run({"/bin/sh", "-c", script}).status;
}

bool usable() {
    return have("dpkg-buildpackage") && have("dh") && have("lintian") && have("g++") && testutil::is_root();
}

TEST(Package, LintianCleanAndTheAgentAloneBringsNoMaster) {
    if (!usable()) {
        GTEST_SKIP() << "needs root, dpkg-buildpackage, debhelper, lintian and g++";
    }
    Scratch t;
    ASSERT_TRUE(t.ok) << "no private tmpfs";
    std::string log;
    auto debs = build_packages(t, log);
    for (const char *p : {"tessaron-master-server", "tessaron-agent", "libsorvan3", "libvarro3", "libsorvan-dev",
                          "tessaron"})
        ASSERT_TRUE(debs.count(p)) << p << "\n" << log;
    EXPECT_EQ(debs.size(), 6u) << log;
    // The one package of earlier versions only pulls in both roles now.
    EXPECT_TRUE(contains(field(debs["tessaron"], "Depends"), "tessaron-master-server (>= "));

    // No error and no warning left; the only overrides are the
    // installation root's and the changelog's (packaging/README.md).
    // Overridden errors still count for the exit status: 2, or 0.
    std::vector<std::string> lint = {"/usr/bin/lintian", "--show-overrides", "--tag-display-limit", "0"};
    for (auto &[name, deb] : debs) lint.push_back(deb);
    auto l = testutil::run(lint);
    EXPECT_TRUE(l.status == 0 || l.status == 2) << l.status << l.out << l.err;
    std::istringstream lines(l.out);
    int overrides = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_FALSE(line.rfind("E: ", 0) == 0 || line.rfind("W: ", 0) == 0) << line;
        if (line.rfind("O: ", 0) != 0) continue;
        overrides++;
        EXPECT_TRUE(contains(line, ": dir-or-file-in-opt ") || contains(line, ": initial-upload-closes-no-bugs "))
            << line;
    }
    EXPECT_GT(overrides, 0) << "lintian said nothing: " << l.err;

    // The dependencies come from the libraries linked; by role.
    std::string master = field(debs["tessaron-master-server"], "Depends");
    std::string agent = field(debs["tessaron-agent"], "Depends");
    for (const char *lib : {"libsorvan3 (>= ", "libvarro3 (>= ", "libc6 (>= ", "libldns3", "libmicrohttpd12", "libssl3"})
        EXPECT_TRUE(contains(master, lib)) << lib << " " << master;
    EXPECT_FALSE(contains(master, "tessaron-agent")) << master;
    for (const char *lib : {"libsorvan3 (>= ", "libvarro3 (>= ", "libssl3"})
        EXPECT_TRUE(contains(agent, lib)) << lib << " " << agent;
    for (const char *not_here : {"tessaron-master", "libldns", "libmicrohttpd"})
        EXPECT_FALSE(contains(agent, not_here)) << agent;
    EXPECT_TRUE(contains(field(debs["libsorvan3"], "Depends"), "libvarro3 (>= "));

    // A node: the agent and its libraries, nothing of the master.
    Root node(t / "node");
    auto r = node.dpkg({"-i", debs["libvarro3"], debs["libsorvan3"], debs["tessaron-agent"]});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char *f : {"/opt/tessaron/bin/sorvan-agent", "/opt/tessaron/bin/sorvan-sync",
                          "/opt/tessaron/lib/libsorvan.so.3", "/opt/tessaron/lib/libvarro.so.3",
                          "/lib/systemd/system/tessaron-agent.service", "/usr/share/man/man8/sorvan-agent.8.gz"})
        EXPECT_TRUE(fs::exists(node / f)) << f;
    for (const char *f : {"/opt/tessaron/bin/kord", "/opt/tessaron/bin/flowgate", "/opt/tessaron/bin/kordstat",
                          "/opt/tessaron/gpfile", "/opt/tessaron/data", "/lib/systemd/system/tessaron-master-server.service",
                          "/opt/tessaron/lib/libsorvan.so", "/opt/tessaron/include"})
        EXPECT_FALSE(fs::exists(node / f)) << f;
    EXPECT_FALSE(contains(read_file(node / "/etc/passwd"), "tessaron")) << "a user for the agent";
    // Its environment root's alone; its unit installed, not enabled.
    struct stat st;
    ASSERT_EQ(stat((node / "/opt/tessaron/agent.env").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(contains(read_file(node / "/opt/tessaron/agent.env"), "\nTESSARON_AGENT_PASSWORD=\n"));
    EXPECT_FALSE(fs::exists(node / "/etc/systemd/system/multi-user.target.wants/tessaron-agent.service"));
    auto ver = testutil::run({node / "/opt/tessaron/bin/sorvan-agent", "--version"});
    EXPECT_EQ(ver.status, 0) << ver.err;

    // Purged, the node keeps only what was not the package's.
    write_file(node / "/opt/tessaron/notes", "mine\n");
    write_file(node / "/opt/tessaron/agent.env", "TESSARON_AGENT_PASSWORD=s3cret\n");
    r = node.dpkg({"-r", "tessaron-agent"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(node / "/opt/tessaron/agent.env"), "TESSARON_AGENT_PASSWORD=s3cret\n");
    r = node.dpkg({"--purge", "tessaron-agent", "libsorvan3", "libvarro3"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(tree(node / "/opt"), "tessaron\ntessaron/notes\n");
    EXPECT_EQ(tree(node / "/etc/systemd"), "");
    EXPECT_EQ(tree("/etc/systemd/system"), "") << "the host's units";
}

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

TEST(Package, MasterInstallBuildAgainstUpgradeRemovePurge) {
    if (!usable()) {
        GTEST_SKIP() << "needs root, dpkg-buildpackage, debhelper, lintian and g++";
    }
    Scratch t;
    ASSERT_TRUE(t.ok) << "no private tmpfs";
    std::string log;
    auto debs = build_packages(t, log);
    ASSERT_TRUE(debs.count("tessaron-master-server") && debs.count("libsorvan-dev")) << log;
    // The same master package as a later version whose examples changed.
    std::string next = t / "next", deb2 = t / "out/next.deb";
    ASSERT_EQ(testutil::run({"/usr/bin/dpkg-deb", "-R", debs["tessaron-master-server"], next}).status, 0);
    std::string control = read_file(next + "/DEBIAN/control");
    size_t v = control.find("\nVersion: ") + 10;
    control.insert(control.find('\n', v), "+1");
    write_file(next + "/DEBIAN/control", control);
    std::string ex = next + "/opt/tessaron/share/examples";
    write_file(ex + "/nodes/127.0.0.1.cfg", "min_vm 1\n");
    write_file(ex + "/gpfile", read_file(ex + "/gpfile") + "# a changed example\n");
    write_file(ex + "/nodes/added.cfg", "min_fs 1\n");
    ASSERT_EQ(testutil::run({"/usr/bin/dpkg-deb", "-Znone", "-b", next, deb2}).status, 0);

    Root m(t / "master");
    std::string reg = t / "registry";
    std::vector<std::string> env = {"TESSARON_REGISTRY=" + reg};
    // What the hand-built package of 3.6.7 left: both units in /etc with
    // the copies it kept, one of them changed since.
    std::string etc_units = m / "/etc/systemd/system", setup = m / "/opt/tessaron/lib/setup";
    fs::create_directories(etc_units + "/multi-user.target.wants");
    fs::create_directories(setup);
    for (const char *u : {"tessaron-master-server.service", "tessaron-traffic-controller.service"}) {
        write_file(etc_units + "/" + u, std::string("# ") + u + " as 3.6.7 wrote it\n");
        write_file(setup + "/" + u, std::string("# ") + u + " as 3.6.7 wrote it\n");
        fs::create_symlink(std::string("/etc/systemd/system/") + u, etc_units + "/multi-user.target.wants/" + u);
    }
    write_file(etc_units + "/tessaron-traffic-controller.service", "# changed\n");
    auto r = m.dpkg({"-i", debs["libvarro3"], debs["libsorvan3"], debs["libsorvan-dev"],
                     debs["tessaron-master-server"], debs["tessaron-agent"]}, env);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string root = m / "/opt/tessaron";
    for (const char *f : {"/bin/kord", "/bin/kord-setup", "/bin/kordstat", "/bin/flowgate", "/lib/libkord_setup.so",
                          "/lib/libsorvan.so.3", "/lib/libvarro.so", "/include/sorvan.h", "/include/varro.h"})
        EXPECT_TRUE(fs::exists(root + f)) << f;
    for (const char *f : {"/usr/share/man/man8/kord.8.gz", "/usr/share/man/man1/kordstat.1.gz",
                          "/usr/share/man/man5/tessaron-files.5.gz", "/usr/share/man/man5/flowgate.conf.5.gz",
                          "/usr/share/doc/tessaron-master-server/copyright"})
        EXPECT_TRUE(fs::exists(m / f)) << f;
    struct stat st;
    ASSERT_EQ(stat((root + "/lib/libsorvan.so.3.6.7").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // The service user (systemd-sysusers), and the two directories kord
    // writes are its own (systemd-tmpfiles).
    std::string passwd = read_file(m / "/etc/passwd");
    size_t u = passwd.find("\ntessaron:x:");
    ASSERT_NE(u, std::string::npos) << passwd;
    unsigned uid = std::stoul(passwd.substr(u + 12));
    EXPECT_TRUE(contains(passwd.substr(u), ":/nonexistent:/usr/sbin/nologin\n"));
    for (const char *d : {"/data", "/nsdb/cn"}) {
        ASSERT_EQ(stat((root + d).c_str(), &st), 0) << d;
        EXPECT_EQ(st.st_uid, uid) << d;
    }
    ASSERT_EQ(stat((root + "/nodes").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);

    // The units: as kord-setup writes them, enabled through deb-systemd-helper
    // into the root, never started while the configuration is the example.
    std::string written = t / "written";
    fs::create_directories(written);
    testutil::run({testutil::bin_path("kord-setup"), "register_nt_service", "-", "-", "/opt/tessaron"},
                  {"TESSARON_UNIT_DIR=" + written});
    for (const char *unit : {"tessaron-master-server.service", "tessaron-traffic-controller.service"}) {
        EXPECT_EQ(read_file(m / (std::string("/lib/systemd/system/") + unit)), read_file(written + "/" + unit)) << unit;
        EXPECT_TRUE(fs::is_symlink(m / (std::string("/etc/systemd/system/multi-user.target.wants/") + unit))) << unit;
        EXPECT_NE(condition(m, unit), 0) << unit << " would start on the example";
    }
    EXPECT_FALSE(fs::exists(m / "/etc/systemd/system/multi-user.target.wants/tessaron-agent.service"));
    // The unchanged old unit went; the changed one hides the packaged one, said so.
    EXPECT_FALSE(fs::exists(etc_units + "/tessaron-master-server.service"));
    EXPECT_EQ(fs::read_symlink(etc_units + "/multi-user.target.wants/tessaron-master-server.service"),
              "/lib/systemd/system/tessaron-master-server.service");
    EXPECT_EQ(read_file(etc_units + "/tessaron-traffic-controller.service"), "# changed\n");
    EXPECT_TRUE(contains(r.err, "tessaron-traffic-controller.service was changed locally")) << r.err;
    EXPECT_FALSE(fs::exists(setup + "/tessaron-master-server.service"));
    fs::remove(etc_units + "/tessaron-traffic-controller.service");
    EXPECT_EQ(tree("/etc/systemd/system"), "") << "the host's units";
    // The examples: a group file and flowgate.conf that monitor nothing.
    std::string gpfile = read_file(root + "/gpfile");
    EXPECT_EQ(gpfile, read_file(root + "/share/examples/gpfile"));
    EXPECT_TRUE(contains(gpfile, "\n#web:demo.test:"));
    auto check = testutil::run({root + "/bin/kord", "--check"}, {"TESSARON_ROOT=" + root});
    EXPECT_NE(check.status, 0);
    EXPECT_TRUE(contains(check.out + check.err, "No Cluster Groups found!")) << check.out << check.err;
    ASSERT_EQ(stat((root + "/flowgate.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(stat((root + "/data").c_str(), &st), 0);
    gid_t service_gid = st.st_gid;
    ASSERT_EQ(stat((root + "/flowgate.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, service_gid);
    EXPECT_EQ(read_file(root + "/nodes/127.0.0.1.cfg"), read_file(root + "/share/examples/nodes/127.0.0.1.cfg"));
    // Written, the configuration lets the units start.
    write_file(root + "/flowgate.conf", read_file(root + "/flowgate.conf") + "server 127.0.0.1:53\n");
    EXPECT_EQ(condition(m, "tessaron-traffic-controller.service"), 0);

    // The installer actions ran: package kept, source recorded.
    std::string pkg = "Tessaron(tm) Master Server.msi";
    std::string kept = read_file(root + "/lib/setup/" + pkg);
    EXPECT_EQ(kept, read_file(m / ("/usr/share/tessaron/package/" + pkg)));
    EXPECT_TRUE(contains(kept, "  opt/tessaron/bin/kord\n")) << kept;
    std::string key = reg + "/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall/"
                            "{5C1D2E7A-93B4-4F60-A1D8-7E2B94C0F315}";
    EXPECT_EQ(read_file(key + "/InstallSource"), "\x01" + m.inst + "/var/cache/tessaron/source");

    // The installed programs find the installed library, not the build tree.
    auto dyn = testutil::run({"/usr/bin/readelf", "-d", root + "/bin/kord"});
    EXPECT_TRUE(contains(dyn.out, "[$ORIGIN/../lib]")) << dyn.out;
    EXPECT_FALSE(contains(dyn.out, TESSARON_LIB_DIR)) << dyn.out;
    auto ver = testutil::run({root + "/bin/kord", "-v"});
    EXPECT_EQ(ver.status, 0) << ver.err;
    EXPECT_TRUE(contains(ver.out, " Tessaron(tm):\n")) << ver.out;

    // A program built against nothing but the -dev package's headers and links.
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

    // The administrator's edits, a file deleted, a file of their own.
    std::string node = root + "/nodes/127.0.0.1.cfg";
    write_file(node, "min_vm 4096\n");
    write_file(root + "/nodes/mine.cfg", "min_fs 7\n");
    fs::remove(root + "/ports/closed.demo.test.cfg");
    write_file(root + "/agent.env", "TESSARON_AGENT_PASSWORD=s3cret\n");
    write_file(root + "/README.local", "mine\n");
    auto edited = [&](const char *when) {
        EXPECT_EQ(read_file(node), "min_vm 4096\n") << when;
        EXPECT_EQ(read_file(root + "/nodes/mine.cfg"), "min_fs 7\n") << when;
        EXPECT_EQ(read_file(root + "/gpfile"), gpfile) << when;
        EXPECT_TRUE(contains(read_file(root + "/flowgate.conf"), "\nserver 127.0.0.1:53\n")) << when;
        EXPECT_EQ(read_file(root + "/agent.env"), "TESSARON_AGENT_PASSWORD=s3cret\n") << when;
        EXPECT_FALSE(fs::exists(root + "/ports/closed.demo.test.cfg")) << when;
    };

    r = m.dpkg({"-i", deb2}, env);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    edited("upgrade");
    EXPECT_EQ(read_file(root + "/share/examples/nodes/127.0.0.1.cfg"), "min_vm 1\n");
    EXPECT_FALSE(fs::exists(root + "/nodes/added.cfg")) << "an example copied on an upgrade";
    EXPECT_EQ(read_file(m / "/etc/passwd"), passwd);   // the user once

    // What the master server leaves at run time.
    write_file(root + "/data/map.data", "map");
    write_file(root + "/data/kord.status", "pid 1\n");

    r = m.dpkg({"-r", "tessaron-master-server"}, env);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char *f : {"/opt/tessaron/bin/kord", "/opt/tessaron/bin/flowgate", "/opt/tessaron/data/map.data",
                          "/lib/systemd/system/tessaron-master-server.service", "/var/cache/tessaron/source"})
        EXPECT_FALSE(fs::exists(m / f)) << f;
    EXPECT_FALSE(fs::exists(key));
    EXPECT_TRUE(fs::exists(root + "/bin/sorvan-agent"));
    EXPECT_TRUE(fs::exists(root + "/data/kord.status"));
    edited("remove");

    r = m.dpkg({"--purge", "tessaron-master-server"}, env);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(m.installed("tessaron-master-server"));
    for (const char *f : {"/gpfile", "/flowgate.conf", "/nodes", "/ports", "/data", "/nsdb", "/lib/setup"})
        EXPECT_FALSE(fs::exists(root + f)) << f;
    EXPECT_FALSE(fs::exists(m / "/var/cache/tessaron"));
    EXPECT_FALSE(fs::exists(reg));
    EXPECT_FALSE(fs::exists(m / "/etc/systemd/system/multi-user.target.wants/tessaron-master-server.service"));
    EXPECT_EQ(read_file(m / "/etc/passwd"), "root:x:0:0:root:/root:/bin/sh\n");
    EXPECT_EQ(read_file(m / "/etc/group"), "root:x:0:\n");
    // Only that: the agent, the libraries and the administrator's own file stay.
    EXPECT_TRUE(m.installed("tessaron-agent") && m.installed("libsorvan3"));
    EXPECT_EQ(read_file(root + "/agent.env"), "TESSARON_AGENT_PASSWORD=s3cret\n");
    EXPECT_EQ(read_file(root + "/README.local"), "mine\n");
    EXPECT_TRUE(fs::exists(root + "/lib/libsorvan.so"));

    r = m.dpkg({"--purge", "tessaron-agent", "libsorvan-dev", "libsorvan3", "libvarro3"}, env);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(tree(m / "/opt"), "tessaron\ntessaron/README.local\n");
    EXPECT_FALSE(contains(read_file("/etc/passwd"), "\ntessaron:"));
    EXPECT_EQ(tree("/etc/systemd/system"), "") << "the host's units";
}

}  // namespace
