// Request server: file operations asked for by a replicating peer.
#include "net/handlers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/request.h"
#include "net/transfer.h"
#include "port/varro.h"
#include "sys/secdesc.h"

namespace {

// What takes the place of the Windows directory: deleting any of these,
// or anything above them, would wreck the node.
constexpr const char *kSystemDirs[] = {"/bin", "/boot", "/dev",  "/etc", "/lib", "/lib64",
                                       "/proc", "/root", "/sbin", "/sys", "/usr", "/var"};

bool part_of_system_dir(const char *path) {
    for (const char *dir : kSystemDirs)
        if (std::strstr(dir, path)) return true;
    return false;
}

// The descriptor message that follows the record; null when none came.
unsigned char *read_descriptor(int sock, uint32_t *len) {
    *len = 0;
    return static_cast<unsigned char *>(sorvan::xread_len(sock, len));
}

}  // namespace

namespace sorvan::handlers {

bool prohibited(const char *path) {
    if (part_of_system_dir(path)) return true;
    char resolved[PATH_MAX];
    if (realpath(path, resolved) && part_of_system_dir(resolved)) return true;
    return false;
}

}  // namespace sorvan::handlers

extern "C" {

SORVAN_API int32_t do_remove(int sock, const struct sockaddr_in *, void *) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    if (!rec.path[0]) return 0;
    if (sorvan::handlers::prohibited(rec.path)) {
        port_syslog(LOG_ALERT,
                    "Tessaron(tm) Slave Server: delete path '%s' contains windows directory, prohibited!",
                    rec.path);
        return -2;
    }
    rm(rec.path);
    return 0;
}

SORVAN_API int32_t change_mode(int sock, const struct sockaddr_in *, void *, uint32_t version) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    if (version == 1) return 0;
    int32_t rc = 0;
    uint32_t len = 0;
    unsigned char *sd = read_descriptor(sock, &len);
    if (!sd) rc = -2;
    if (rec.path[0]) {
        if (sorvan::sd::set_sd(rec.path, sd, len) != 0) {
            lerror("change_mode", "set_NT_SD", 2, 0);
            rc = -3;
        }
        set_NT_file_attr(rec.path, rec.attributes);
    }
    std::free(sd);
    return rc;
}

SORVAN_API int32_t do_rename(int sock, const struct sockaddr_in *, void *) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    int32_t rc = 0;
    uint32_t len = 0;
    unsigned char *sd = read_descriptor(sock, &len);
    if (!sd) rc = -2;
    if (!rec.path[0] || !rec.path2[0] || sorvan::transfer::move_replace(rec.path, rec.path2) != 0)
        rc = -3;
    else if (sd)
        sorvan::sd::set_sd(rec.path2, sd, len);
    std::free(sd);
    return rc;
}

SORVAN_API int32_t do_mkdir(int sock, const struct sockaddr_in *, void *, uint32_t version) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    unsigned char *sd = nullptr;
    uint32_t len = 0;
    if (version == REQ_VERSION) {
        sd = read_descriptor(sock, &len);
        if (!sd) return -2;
    }
    // Older peers may separate with '/': that is already our separator.
    int32_t rc = 0;
    if (rec.path[0] && access(rec.path, R_OK) != 0) {
        if (mkdirs(rec.path) != 0) {
            rc = -3;
        } else {
            set_NT_file_attr(rec.path, rec.attributes);
            if (sd) sorvan::sd::set_sd(rec.path, sd, len);
        }
    }
    std::free(sd);
    return rc;
}

}  // extern "C"
