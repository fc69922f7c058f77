// Request server file handlers, fed real sealed messages over a socket
// pair, acting on real files.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "net/handlers.h"
#include "port/varro.h"
#include "sorvan.h"
#include "sys/secdesc.h"
#include "testutil.h"

namespace fs = std::filesystem;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

const std::string &log_path() { return testutil::log_file("test_handlers"); }

FileRecord record(const std::string &path, const std::string &path2 = "", uint32_t attrs = 0) {
    FileRecord r;
    std::memset(&r, 0, sizeof r);
    std::snprintf(r.path, sizeof r.path, "%s", path.c_str());
    std::snprintf(r.path2, sizeof r.path2, "%s", path2.c_str());
    r.attributes = attrs;
    return r;
}

// The descriptor of `like`, in transit form, with its mode replaced.
std::string descriptor(const std::string &like, int mode = -1) {
    uint32_t len = 0;
    auto *sd = static_cast<unsigned char *>(get_NT_SD(like.c_str(), &len));
    std::string out(reinterpret_cast<char *>(sd), len);
    std::free(sd);
    if (mode >= 0) {
        out[12] = char(mode & 0xFF);
        out[13] = char(mode >> 8);
    }
    sorvan::sd::control_to_transit(reinterpret_cast<unsigned char *>(out.data()));
    return out;
}

// The requester's end writes the messages and closes; the handler reads
// the other end.
struct Pair {
    int fd[2];
    Pair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
    ~Pair() { close(fd[0]); close(fd[1]); }
    int send(const FileRecord *rec, const std::string *sd = nullptr) {
        if (rec) xwrite(fd[0], rec, sizeof *rec);
        if (sd) xwrite(fd[0], sd->data(), uint32_t(sd->size()));
        shutdown(fd[0], SHUT_WR);
        return fd[1];
    }
};

mode_t mode_of(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

TEST(MkdirRequest, CreatesWithDescriptorAndLeavesExistingAlone) {
    TempDir t;
    std::string sd = descriptor(t.path(), 0750);
    {
        Pair p;
        auto rec = record(t / "a/b/c", "", 0x10);
        EXPECT_EQ(do_mkdir(p.send(&rec, &sd), nullptr, nullptr, 2), 0);
        EXPECT_TRUE(fs::is_directory(t / "a/b/c"));
        EXPECT_EQ(mode_of(t / "a/b/c"), 0750u);
    }
    {
        chmod((t / "a/b/c").c_str(), 0700);
        Pair p;
        auto rec = record(t / "a/b/c");
        EXPECT_EQ(do_mkdir(p.send(&rec, &sd), nullptr, nullptr, 2), 0);
        EXPECT_EQ(mode_of(t / "a/b/c"), 0700u);
    }
    {
        Pair p;   // a version-2 request without its descriptor creates nothing
        auto rec = record(t / "nodesc");
        EXPECT_EQ(do_mkdir(p.send(&rec), nullptr, nullptr, 2), -2);
        EXPECT_FALSE(fs::exists(t / "nodesc"));
    }
    {
        Pair p;   // an older peer sends none
        auto rec = record(t / "old/peer");
        EXPECT_EQ(do_mkdir(p.send(&rec), nullptr, nullptr, 1), 0);
        EXPECT_TRUE(fs::is_directory(t / "old/peer"));
    }
    {
        Pair p;
        EXPECT_EQ(do_mkdir(p.send(nullptr), nullptr, nullptr, 2), -1);
    }
    write_file(t / "file", "x");
    {
        Pair p;   // mkdirs cannot go through a file
        auto rec = record(t / "file/sub");
        EXPECT_EQ(do_mkdir(p.send(&rec, &sd), nullptr, nullptr, 2), -3);
    }
}

TEST(RemoveRequest, RemovesTreesAndRefusesSystemDirectories) {
    log_path();
    TempDir t;
    fs::create_directories(t / "tree/x/y");
    write_file(t / "tree/x/y/f", "1");
    {
        Pair p;
        auto rec = record(t / "tree");
        EXPECT_EQ(do_remove(p.send(&rec), nullptr, nullptr), 0);
        EXPECT_FALSE(fs::exists(t / "tree"));
    }
    {
        Pair p;
        auto rec = record("/us");   // part of /usr: refused, whatever exists
        EXPECT_EQ(do_remove(p.send(&rec), nullptr, nullptr), -2);
        EXPECT_NE(read_file(log_path()).find(
                      "Tessaron(tm) Slave Server: delete path '/us' contains windows directory, prohibited!"),
                  std::string::npos);
    }
    {
        Pair p;
        auto rec = record("");
        EXPECT_EQ(do_remove(p.send(&rec), nullptr, nullptr), 0);
    }
    EXPECT_TRUE(sorvan::handlers::prohibited("/"));
    EXPECT_TRUE(sorvan::handlers::prohibited("/lib"));
    EXPECT_FALSE(sorvan::handlers::prohibited((t / "anything").c_str()));
}

// A path that only resolves to a system directory is refused too. The
// directory is an empty tmpfs in this test's own mount namespace, so a
// failure could only ever empty that.
TEST(RemoveRequest, RefusesPathsThatResolveToSystemDirectories) {
    if (!testutil::is_root()) GTEST_SKIP() << "needs root for a private mount";
    log_path();
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(mount("tmpfs", "/var", "tmpfs", 0, "size=1m"), 0);
    write_file("/var/canary", "alive");
    TempDir t;
    fs::create_directories(t / "a");
    fs::create_directory_symlink("/var", t / "link");
    std::string dotted = t / "a/../../../../../../var";
    for (const std::string &path : {std::string(t / "link"), dotted}) {
        Pair p;
        auto rec = record(path);
        EXPECT_EQ(do_remove(p.send(&rec), nullptr, nullptr), -2) << path;
    }
    EXPECT_EQ(read_file("/var/canary"), "alive");
    umount("/var");
}

TEST(RenameRequest, ReplacesExistingAndAppliesDescriptor) {
    TempDir t;
    write_file(t / "old", "new content");
    write_file(t / "target", "previous");
    std::string sd = descriptor(t / "old", 0604);
    {
        Pair p;
        auto rec = record(t / "old", t / "target");
        EXPECT_EQ(do_rename(p.send(&rec, &sd), nullptr, nullptr), 0);
        EXPECT_EQ(read_file(t / "target"), "new content");
        EXPECT_FALSE(fs::exists(t / "old"));
        EXPECT_EQ(mode_of(t / "target"), 0604u);
    }
    {
        Pair p;
        auto rec = record(t / "old", t / "again");
        EXPECT_EQ(do_rename(p.send(&rec, &sd), nullptr, nullptr), -3);
    }
    {
        Pair p;   // no descriptor: still renamed
        auto rec = record(t / "target", t / "moved");
        EXPECT_EQ(do_rename(p.send(&rec), nullptr, nullptr), -2);
        EXPECT_TRUE(fs::exists(t / "moved"));
    }
}

TEST(ChangeModeRequest, VersionsDescriptorsAndAttributes) {
    log_path();
    TempDir t;
    write_file(t / "f", "x");
    chmod((t / "f").c_str(), 0644);
    std::string sd = descriptor(t / "f", 0640);
    {
        Pair p;
        auto rec = record(t / "f", "", 0x21);
        EXPECT_EQ(change_mode(p.send(&rec, &sd), nullptr, nullptr, 1), 0);
        EXPECT_EQ(mode_of(t / "f"), 0644u);
    }
    {
        Pair p;   // descriptor first, then the read-only attribute
        auto rec = record(t / "f", "", 0x21);
        EXPECT_EQ(change_mode(p.send(&rec, &sd), nullptr, nullptr, 2), 0);
        EXPECT_EQ(mode_of(t / "f"), 0440u);
    }
    {
        std::string bad = sd.substr(0, 10);
        Pair p;
        auto rec = record(t / "f", "", 0x20);
        EXPECT_EQ(change_mode(p.send(&rec, &bad), nullptr, nullptr, 2), -3);
        EXPECT_EQ(mode_of(t / "f"), 0640u);   // attributes applied all the same
        EXPECT_NE(read_file(log_path()).find("change_mode: set_NT_SD"), std::string::npos);
    }
}

// The dispatch of authenticate_and_process reaches the handlers.
TEST(Dispatch, KeyedRequestReachesItsHandler) {
    TempDir t;
    std::memset(key_phrase, 0, sizeof key_phrase);
    std::memcpy(key_phrase, "ABCDEFGH", 8);
    auto header = [](uint32_t kind, const char *key) {
        unsigned char h[20] = {0, 0, 0, 2, 0, 0, 0, uint8_t(kind)};
        std::memcpy(h + 12, key, 8);
        return std::string(reinterpret_cast<char *>(h), 20);
    };
    std::string sd = descriptor(t.path());
    {
        Pair p;
        std::string h = header(REQ_MKDIR, "ABCDEFGH");
        xwrite(p.fd[0], h.data(), 20);
        auto rec = record(t / "made");
        EXPECT_EQ(authenticate_and_process(p.send(&rec, &sd), nullptr, nullptr, nullptr), 0);
        EXPECT_TRUE(fs::is_directory(t / "made"));
    }
    {
        Pair p;
        std::string h = header(REQ_REMOVE, "ABCDEFGX");
        xwrite(p.fd[0], h.data(), 20);
        auto rec = record(t / "made");
        EXPECT_EQ(authenticate_and_process(p.send(&rec), nullptr, nullptr, nullptr), -3);
        EXPECT_TRUE(fs::is_directory(t / "made"));
    }
}
