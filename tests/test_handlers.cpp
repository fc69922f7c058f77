// Request server file handlers, fed real sealed messages over a socket
// pair, acting on real files in a scratch tmpfs ($TMPDIR points there);
// and the confinement they use.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "port/varro.h"
#include "tests/support/scratch.h"
#include "util/sorvan.h"
#include "util/sys/confine.h"
#include "util/sys/secdesc.h"
#include "tests/support/testutil.h"

namespace fs = std::filesystem;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

const std::string &log_path() { return testutil::log_file("test_handlers"); }

// Every temporary directory of this program lies on a tmpfs of its own.
const bool g_scratch = testutil::scratch_tmpdir();
#define NEED_SCRATCH() \
    if (!g_scratch) GTEST_SKIP() << "needs root for a scratch tmpfs"

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
    int send(const FileRecord *rec, const std::string *sd = nullptr, const std::string &head = "") {
        if (!head.empty()) xwrite(fd[0], head.data(), uint32_t(head.size()));
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

// A handler's result for the record (and descriptor) a requester sends.
template <class H>
int feed(H handler, const FileRecord &rec, const std::string *sd = nullptr, const std::string &head = "") {
    Pair p;
    return handler(p.send(&rec, sd, head));
}
auto mkdir_v(int version) {
    return [version](int fd) { return do_mkdir(fd, nullptr, nullptr, version); };
}
auto mode_v(int version) {
    return [version](int fd) { return change_mode(fd, nullptr, nullptr, version); };
}
int remove_h(int fd) { return do_remove(fd, nullptr, nullptr); }
int rename_h(int fd) { return do_rename(fd, nullptr, nullptr); }

}  // namespace

TEST(MkdirRequest, CreatesWithDescriptorAndLeavesExistingAlone) {
    NEED_SCRATCH();
    TempDir t;
    std::string sd = descriptor(t.path(), 0750);
    EXPECT_EQ(feed(mkdir_v(2), record(t / "a/b/c", "", 0x10), &sd), 0);
    EXPECT_EQ(mode_of(t / "a/b/c"), 0750u);
    chmod((t / "a/b/c").c_str(), 0700);
    EXPECT_EQ(feed(mkdir_v(2), record(t / "a/b/c"), &sd), 0);
    EXPECT_EQ(mode_of(t / "a/b/c"), 0700u);
    // A version-2 request without its descriptor creates nothing; an older
    // peer sends none.
    EXPECT_EQ(feed(mkdir_v(2), record(t / "nodesc")), -2);
    EXPECT_FALSE(fs::exists(t / "nodesc"));
    EXPECT_EQ(feed(mkdir_v(1), record(t / "old/peer")), 0);
    EXPECT_TRUE(fs::is_directory(t / "old/peer"));
    {
        Pair p;
        EXPECT_EQ(do_mkdir(p.send(nullptr), nullptr, nullptr, 2), -1);
    }
    write_file(t / "file", "x");   // mkdirs cannot go through a file
    EXPECT_EQ(feed(mkdir_v(2), record(t / "file/sub"), &sd), -3);
}

TEST(RemoveRequest, RemovesTreesAndRefusesSystemDirectories) {
    NEED_SCRATCH();
    log_path();
    TempDir t;
    fs::create_directories(t / "tree/x/y");
    write_file(t / "tree/x/y/f", "1");
    EXPECT_EQ(feed(remove_h, record(t / "tree")), 0);
    EXPECT_FALSE(fs::exists(t / "tree"));
    EXPECT_EQ(feed(remove_h, record("/us")), -2);   // part of /usr: refused, whatever exists
    EXPECT_TRUE(testutil::contains(
        read_file(log_path()), "Tessaron(tm) Slave Server: delete path '/us' contains windows directory, prohibited!"));
    EXPECT_EQ(feed(remove_h, record("")), 0);

    using sorvan::confine::prohibited;
    fs::create_directories(t / "x");
    for (const std::string &p : std::vector<std::string>{"/", "/lib", "/lib/", "/usr/lib", "/srv", t / "x/../../../../../../.."})
        EXPECT_TRUE(prohibited(p.c_str())) << p;
    EXPECT_FALSE(prohibited((t / "anything").c_str()));
    EXPECT_TRUE(prohibited(std::getenv("TMPDIR")));   // the scratch tmpfs is a mount point
}

TEST(RenameRequest, ReplacesExistingAndAppliesDescriptor) {
    NEED_SCRATCH();
    TempDir t;
    write_file(t / "old", "new content");
    write_file(t / "target", "previous");
    std::string sd = descriptor(t / "old", 0604);
    EXPECT_EQ(feed(rename_h, record(t / "old", t / "target"), &sd), 0);
    EXPECT_EQ(read_file(t / "target"), "new content");
    EXPECT_FALSE(fs::exists(t / "old"));
    EXPECT_EQ(mode_of(t / "target"), 0604u);
    EXPECT_EQ(feed(rename_h, record(t / "old", t / "again"), &sd), -3);
    EXPECT_EQ(feed(rename_h, record(t / "target", t / "moved")), -2);   // no descriptor: still renamed
    EXPECT_TRUE(fs::exists(t / "moved"));
}

TEST(ChangeModeRequest, VersionsDescriptorsAndAttributes) {
    NEED_SCRATCH();
    log_path();
    TempDir t;
    write_file(t / "f", "x");
    chmod((t / "f").c_str(), 0644);
    std::string sd = descriptor(t / "f", 0640), bad = sd.substr(0, 10);
    EXPECT_EQ(feed(mode_v(1), record(t / "f", "", 0x21), &sd), 0);
    EXPECT_EQ(mode_of(t / "f"), 0644u);
    // Descriptor first, then the read-only attribute.
    EXPECT_EQ(feed(mode_v(2), record(t / "f", "", 0x21), &sd), 0);
    EXPECT_EQ(mode_of(t / "f"), 0440u);
    EXPECT_EQ(feed(mode_v(2), record(t / "f", "", 0x20), &bad), -3);
    EXPECT_EQ(mode_of(t / "f"), 0640u);   // attributes applied all the same
    EXPECT_TRUE(testutil::contains(read_file(log_path()), "change_mode: set_NT_SD failed: the descriptor for"));
    // No descriptor at all: said so, not "Success".
    EXPECT_EQ(feed(mode_v(2), record(t / "f", "", 0x20)), -3);
    EXPECT_TRUE(testutil::contains(read_file(log_path()),
                                   "change_mode: set_NT_SD failed: no descriptor came with the request"));
    EXPECT_FALSE(testutil::contains(read_file(log_path()), "Success"));
}

// The dispatch of authenticate_and_process reaches the handlers.
TEST(Dispatch, KeyedRequestReachesItsHandler) {
    NEED_SCRATCH();
    TempDir t;
    std::memset(key_phrase, 0, sizeof key_phrase);
    std::memcpy(key_phrase, "ABCDEFGH", 8);
    auto header = [](uint32_t kind, const char *key) {
        unsigned char h[20] = {0, 0, 0, 2, 0, 0, 0, uint8_t(kind)};
        std::memcpy(h + 12, key, 8);
        return std::string(reinterpret_cast<char *>(h), 20);
    };
    std::string sd = descriptor(t.path());
    auto dispatch = [](int fd) { return authenticate_and_process(fd, nullptr, nullptr, nullptr); };
    EXPECT_EQ(feed(dispatch, record(t / "made"), &sd, header(REQ_MKDIR, "ABCDEFGH")), 0);
    EXPECT_TRUE(fs::is_directory(t / "made"));
    EXPECT_EQ(feed(dispatch, record(t / "made"), nullptr, header(REQ_REMOVE, "ABCDEFGX")), -3);   // wrong key
    EXPECT_TRUE(fs::is_directory(t / "made"));
}

// Paths in canonical form: links and ".." resolved, missing components
// taken as written, a final link kept where the operation acts on it.
TEST(Confine, CanonicalPathsAndRoots) {
    NEED_SCRATCH();
    TempDir t;
    fs::create_directories(t / "real");
    fs::create_directory_symlink(t / "real", t / "link");
    fs::create_symlink("loop", t / "loop");
    using sorvan::confine::canonical;
    std::string c;
    ASSERT_TRUE(canonical((t / "link/missing/../y").c_str(), true, &c));
    EXPECT_EQ(c, t / "real/y");
    ASSERT_TRUE(canonical((t / "link/").c_str(), false, &c));
    EXPECT_EQ(c, t / "link");
    ASSERT_TRUE(canonical((t / "link/.").c_str(), false, &c));
    EXPECT_EQ(c, t / "link");
    EXPECT_FALSE(canonical((t / "loop/x").c_str(), true, &c));
    EXPECT_EQ(errno, ELOOP);
    ASSERT_EQ(chdir(t.path().c_str()), 0);
    ASSERT_TRUE(canonical("link/../b", true, &c));
    EXPECT_EQ(c, t / "b");

    const std::string nothing = t / "nothing", file = t / "file", link = t / "link";
    write_file(file, "");
    const char *bad[] = {nothing.c_str(), nullptr}, *not_dir[] = {file.c_str(), nullptr}, *good[] = {link.c_str(), nullptr};
    EXPECT_EQ(confine_roots(bad), -1);
    EXPECT_EQ(confine_roots(not_dir), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_TRUE(sorvan::confine::roots().empty());
    ASSERT_EQ(confine_roots(good), 0);
    EXPECT_EQ(sorvan::confine::roots(), std::vector<std::string>{t / "real"});
    EXPECT_TRUE(sorvan::confine::admit(sorvan::confine::Op::kWrite, (t / "link/f").c_str(), &c));
    EXPECT_EQ(c, t / "real/f");
    EXPECT_FALSE(sorvan::confine::admit(sorvan::confine::Op::kRemove, (t / "link").c_str(), &c));
    EXPECT_TRUE(sorvan::confine::admit(sorvan::confine::Op::kAttributes, (t / "real").c_str(), &c));
    EXPECT_EQ(confine_roots(nullptr), 0);
    EXPECT_TRUE(sorvan::confine::roots().empty());

    EXPECT_TRUE(sorvan::confine::is_temp_name(sorvan::confine::temp_template("a.txt").c_str()));
    EXPECT_TRUE(sorvan::confine::is_temp_name("a.txt.sorvan~x1Y2z3"));
    EXPECT_FALSE(sorvan::confine::is_temp_name(".sorvan~x1Y2z3"));
    EXPECT_FALSE(sorvan::confine::is_temp_name("a.sorvan~x1Y2z"));
}

// inflate_buf writes a regular file only, never through a link nor into a
// FIFO, and gives it the hidden attribute.
TEST(Reception, InflateBufWritesHiddenRegularFilesOnly) {
    NEED_SCRATCH();
    TempDir t;
    write_file(t / "target", "keep");
    fs::create_symlink(t / "target", t / "link");
    ASSERT_EQ(mkfifo((t / "fifo").c_str(), 0644), 0);
    auto stream = [](Pair &p, const std::string &text) {
        int32_t st = 0;
        uint32_t n = 0;
        void *z = compress_data(text.data(), uint32_t(text.size()), &n, &st, 2);
        (void)!write(p.fd[0], z, n);
        std::free(z);
        shutdown(p.fd[0], SHUT_WR);
        return p.fd[1];
    };
    for (const char *name : {"link", "fifo"}) {
        Pair p;
        EXPECT_EQ(inflate_buf(stream(p, "content"), (t / name).c_str(), nullptr, 0), -100) << name;
    }
    EXPECT_EQ(read_file(t / "target"), "keep");
    Pair p;
    uint64_t written = 0;
    EXPECT_GT(inflate_buf(stream(p, "content"), (t / "out").c_str(), &written, 0), 0);
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(sorvan::sd::attr_word((t / "out").c_str()) & 0x2, 0x2u);
}
