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
using sorvan::transfer::Outcome;

namespace {

// The descriptor message that follows the record; null when none came.
unsigned char *read_descriptor(int sock, uint32_t *len) {
    *len = 0;
    return static_cast<unsigned char *>(sorvan::xread_len(sock, len));
}

Outcome failure(int32_t rc, int err, std::string why) {
    Outcome o;
    o.rc = rc;
    o.err = err;
    o.why = std::move(why);
    return o;
}

// Says what became of a descriptor that could not be applied. A path that
// is gone is the usual cause (removed since the change was queued): that
// is a warning, and it is named before the missing descriptor, which the
// requester could then not read either.
std::string descriptor_failed(const char *tag, const std::string &path, int rc, int err) {
    struct stat st;
    std::string why;
    if (lstat(path.c_str(), &st) != 0) {
        int e = errno;
        why = std::string("'") + path + "': " + std::strerror(e);
        port_syslog(e == ENOENT ? LOG_WARNING : LOG_ERR, "%s: descriptor not applied: %s", tag, why.c_str());
        return why;
    }
    if (rc == -1)
        why = "no descriptor came with the request for '" + path + "'";
    else if (rc == -2 || rc == -3)
        why = "the descriptor for '" + path + "' is not valid";
    else
        why = "'" + path + "': " + std::strerror(err);
    port_syslog(LOG_ERR, "%s: set_NT_SD failed: %s", tag, why.c_str());
    return why;
}

}  // namespace

namespace sorvan::handlers {

void refuse(int sock, const struct sockaddr_in *peer) {
    reset(sock, peer ? peer->sin_addr.s_addr : 0, "Refused path");
}

Outcome remove_path(const FileRecord &rec, bool *refused) {
    *refused = false;
    if (!rec.path[0]) return {};
    std::string target;
    if (!admit(Op::kRemove, rec.path, &target)) {
        *refused = true;
        return failure(-2, EACCES, std::string("the path '") + rec.path + "' may not be removed");
    }
    struct stat st;
    if (lstat(target.c_str(), &st) != 0) return {};   // already gone: as asked
    if (rm(target.c_str()) != 0 && lstat(target.c_str(), &st) == 0) {
        int e = errno;
        return failure(-3, e, "'" + target + "' not removed: " + std::strerror(e));
    }
    return {};
}

Outcome change_descriptor(const FileRecord &rec, unsigned char *sd, uint32_t len, bool *refused) {
    *refused = false;
    Outcome out;
    if (!sd) out = failure(-2, 0, "no descriptor came");
    if (!rec.path[0]) return out;
    std::string target;
    if (!admit(Op::kAttributes, rec.path, &target)) {
        *refused = true;
        return failure(-3, EACCES, std::string("the path '") + rec.path + "' is refused");
    }
    int r = sorvan::sd::set_sd(target.c_str(), sd, len);
    if (r != 0) {
        int e = errno;
        std::string why = descriptor_failed("change_mode", target, r, e);
        out = failure(-3, r == -4 || r == -1 ? e : EINVAL, why);
        if (access(target.c_str(), F_OK) != 0) out.err = ENOENT;
    }
    set_NT_file_attr(target.c_str(), rec.attributes);
    return out;
}

Outcome rename_path(const FileRecord &rec, unsigned char *sd, uint32_t len, bool *refused) {
    *refused = false;
    std::string from, to;
    if (!rec.path[0] || !rec.path2[0]) return failure(-3, EINVAL, "a rename needs two paths");
    if (!admit(Op::kRenameFrom, rec.path, &from) || !admit(Op::kRenameTo, rec.path2, &to)) {
        *refused = true;
        return failure(-3, EACCES, std::string("the rename of '") + rec.path + "' is refused");
    }
    if (sorvan::transfer::move_replace(from.c_str(), to.c_str()) != 0) {
        int e = errno;
        return failure(-3, e, "'" + from + "' not moved: " + std::strerror(e));
    }
    if (sd) sorvan::sd::set_sd(to.c_str(), sd, len);
    return sd ? Outcome{} : failure(-2, 0, "no descriptor came");
}

Outcome make_dir(const FileRecord &rec, unsigned char *sd, uint32_t len, bool *refused) {
    *refused = false;
    std::string target;
    if (!rec.path[0]) return {};
    if (!admit(Op::kMkdir, rec.path, &target)) {
        *refused = true;
        return failure(-3, EACCES, std::string("the path '") + rec.path + "' is refused");
    }
    if (access(target.c_str(), R_OK) == 0) return {};   // an existing directory is left as it is
    if (mkdirs(target.c_str()) != 0) {
        int e = errno;
        return failure(-3, e, "'" + target + "' not made: " + std::strerror(e));
    }
    set_NT_file_attr(target.c_str(), rec.attributes);
    if (sd) sorvan::sd::set_sd(target.c_str(), sd, len);
    return {};
}

}  // namespace sorvan::handlers

using sorvan::handlers::refuse;

extern "C" {

SORVAN_API int32_t do_remove(int sock, const struct sockaddr_in *peer, void *) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    bool refused;
    sorvan::handlers::remove_path(rec, &refused);   // a failure is not reported here
    if (refused) {
        refuse(sock, peer);
        return -2;
    }
    return 0;
}

SORVAN_API int32_t change_mode(int sock, const struct sockaddr_in *peer, void *, uint32_t version) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    if (version == 1) return 0;
    uint32_t len = 0;
    unsigned char *sd = read_descriptor(sock, &len);
    bool refused;
    Outcome out = sorvan::handlers::change_descriptor(rec, sd, len, &refused);
    if (refused) refuse(sock, peer);
    std::free(sd);
    return out.rc;
}

SORVAN_API int32_t do_rename(int sock, const struct sockaddr_in *peer, void *) {
    FileRecord rec;
    if (sorvan::read_file_record(sock, &rec) < 0) return -1;
    uint32_t len = 0;
    unsigned char *sd = read_descriptor(sock, &len);
    bool refused;
    Outcome out = sorvan::handlers::rename_path(rec, sd, len, &refused);
    if (refused) refuse(sock, peer);
    std::free(sd);
    return out.rc;
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
    bool refused;
    Outcome out = sorvan::handlers::make_dir(rec, sd, len, &refused);
    if (refused) refuse(sock, peer);
    std::free(sd);
    return out.rc;
}

}  // extern "C"
