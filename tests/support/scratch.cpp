#include "scratch.h"

#include <sched.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "tests/support/testutil.h"

namespace fs = std::filesystem;

namespace testutil {

namespace {

bool private_mounts() {
    static int done = -1;
    if (done < 0)
        done = is_root() && unshare(CLONE_NEWNS) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return done == 1;
}

// `src` bound read-only at `dst` (made first: a directory, or a file).
bool bind_ro(const std::string &src, const std::string &dst) {
    std::error_code ec;
    fs::create_directories(fs::is_directory(src) ? fs::path(dst) : fs::path(dst).parent_path(), ec);
    if (!fs::is_directory(src)) write_file(dst, "");
    return mount(src.c_str(), dst.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
           mount(nullptr, dst.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

}  // namespace

std::string scratch_tmpfs(const std::string &options) {
    if (!private_mounts()) return "";
    char tmpl[] = "/tmp/tessaron-scratch.XXXXXX";
    if (!mkdtemp(tmpl)) return "";
    std::string dir = tmpl;
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        rmdir(dir.c_str());
        return "";
    }
    // The mount dies with the namespace; the directory beneath is ours.
    static std::vector<std::string> made;
    made.push_back(dir);
    if (made.size() == 1)
        std::atexit([] {
            for (const auto &d : made) {
                umount2(d.c_str(), MNT_DETACH);
                rmdir(d.c_str());
            }
        });
    return dir;
}

bool scratch_tmpdir() {
    std::string dir = scratch_tmpfs();
    if (dir.empty()) return false;
    setenv("TMPDIR", dir.c_str(), 1);
    return true;
}

bool enter_scratch_root() {
    // Mounted over /tmp, which exists anyway: after the chroot nothing
    // outside could be cleaned up.
    const std::string root = "/tmp";
    std::string build = fs::path(TESSARON_BIN_DIR).parent_path();
    // The build tree may itself live below /tmp: hold it open so it can
    // still be bound once the tmpfs hides it (opened inside the private
    // namespace, since a bind takes only that namespace's mounts).
    if (!des_key() || !private_mounts()) return false;
    int build_fd = open(build.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (build_fd < 0 || mount("tmpfs", "/tmp", "tmpfs", 0, "size=256m,mode=755") != 0) {
        if (build_fd >= 0) close(build_fd);
        return false;
    }
    std::string build_src = "/proc/self/fd/" + std::to_string(build_fd);
    std::error_code ec;
    fs::create_directories(root + "/usr/lib64", ec);
    fs::create_directories(root + "/tmp", ec);
    chmod((root + "/tmp").c_str(), 01777);
    fs::create_directory_symlink("usr/lib", root + "/lib", ec);
    fs::create_directory_symlink("usr/lib64", root + "/lib64", ec);
    fs::create_symlink("/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2", root + "/usr/lib64/ld-linux-x86-64.so.2", ec);
    if (!bind_ro("/usr/lib/x86_64-linux-gnu", root + "/usr/lib/x86_64-linux-gnu") ||
        !bind_ro("/etc/ld.so.cache", root + "/etc/ld.so.cache") || !bind_ro(build_src, root + build)) {
        close(build_fd);
        return false;
    }
    close(build_fd);
    return chroot(root.c_str()) == 0 && chdir("/") == 0;
}

}  // namespace testutil
