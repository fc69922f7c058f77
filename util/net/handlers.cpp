// Request server: file operations asked for by a replicating peer. Every
// path is admitted first (served roots, paths no remove may take) and the
// operation is carried out on the canonical path that was admitted.
#include "util/net/handlers.h"

#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/net/request.h"
#include "util/net/transfer.h"
#include "port/varro.h"
#include "util/sys/confine.h"
#include "util/sys/secdesc.h"

using sorvan::confine::admit;
using sorvan::confine::Op;

namespace {

// The descriptor message that follows the record; null when none came.
unsigned char *read_descriptor(int sock, uint32_t *len) {
    *len = 0;
    return static_cast<unsigned char *>(sorvan::xread_len(sock, len));
}

// Says what became of a descriptor that could not be applied.
void descriptor_failed(const char *tag, const std::string &path, int rc) {
    if (rc == -1)
        port_syslog(LOG_CRIT, "%s: set_NT_SD failed: no descriptor came with the request for '%s'", tag,
                    path.c_str());
    else if (rc == -2 || rc == -3)
        port_syslog(LOG_CRIT, "%s: set_NT_SD failed: the descriptor for '%s' is not valid", tag, path.c_str());
    else
        port_syslog(LOG_CRIT, "%s: set_NT_SD failed on '%s': %s (%d)", tag, path.c_str(), std::strerror(errno),
                    errno);
}

}  // namespace

namespace sorvan::handlers {

void refuse(int sock, const struct sockaddr_in *peer) {
    reset(sock, peer ? peer->sin_addr.s_addr : 0, "Refused path");
}

}  // namespace sorvan::handlers

using sorvan::handlers::refuse;

extern "C" {

SORVAN_API int32_t do_remove(int sock, const struct sockaddr_in *peer, void *) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    if (!rec.path[0]) return 0;
    std::string target;
    if (!admit(Op::kRemove, rec.path, &target)) {
        refuse(sock, peer);
        return -2;
    }
    rm(target.c_str());
    return 0;
}

SORVAN_API int32_t change_mode(int sock, const struct sockaddr_in *peer, void *, uint32_t version) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    if (version == 1) return 0;
    int32_t rc = 0;
    uint32_t len = 0;
    unsigned char *sd = read_descriptor(sock, &len);
    if (!sd) rc = -2;
    if (rec.path[0]) {
        std::string target;
        if (!admit(Op::kAttributes, rec.path, &target)) {
            refuse(sock, peer);
            std::free(sd);
            return -3;
        }
        int r = sorvan::sd::set_sd(target.c_str(), sd, len);
        if (r != 0) {
            descriptor_failed("change_mode", target, r);
            rc = -3;
        }
        set_NT_file_attr(target.c_str(), rec.attributes);
    }
    std::free(sd);
    return rc;
}

SORVAN_API int32_t do_rename(int sock, const struct sockaddr_in *peer, void *) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    int32_t rc = 0;
    uint32_t len = 0;
    unsigned char *sd = read_descriptor(sock, &len);
    if (!sd) rc = -2;
    std::string from, to;
    if (!rec.path[0] || !rec.path2[0]) {
        rc = -3;
    } else if (!admit(Op::kRenameFrom, rec.path, &from) || !admit(Op::kRenameTo, rec.path2, &to)) {
        refuse(sock, peer);
        rc = -3;
    } else if (sorvan::transfer::move_replace(from.c_str(), to.c_str()) != 0) {
        rc = -3;
    } else if (sd) {
        sorvan::sd::set_sd(to.c_str(), sd, len);
    }
    std::free(sd);
    return rc;
}

SORVAN_API int32_t do_mkdir(int sock, const struct sockaddr_in *peer, void *, uint32_t version) {
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
    std::string target;
    if (!rec.path[0]) {
        // nothing asked
    } else if (!admit(Op::kMkdir, rec.path, &target)) {
        refuse(sock, peer);
        rc = -3;
    } else if (access(target.c_str(), R_OK) != 0) {
        if (mkdirs(target.c_str()) != 0) {
            rc = -3;
        } else {
            set_NT_file_attr(target.c_str(), rec.attributes);
            if (sd) sorvan::sd::set_sd(target.c_str(), sd, len);
        }
    }
    std::free(sd);
    return rc;
}

}  // extern "C"
