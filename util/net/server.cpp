// Request server: authenticates one connection and runs its request.
#include "util/net/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "port/varro.h"
#include "util/net/handlers.h"
#include "util/net/request.h"
#include "util/net/session.h"

namespace {

std::atomic<uint32_t> g_resets{0};

// A request's header, record and descriptor arrive within this time of
// the start of its serving, however slowly the peer sends them.
constexpr int kRequestDeadlineMs = 5000;

}  // namespace

namespace sorvan {
uint32_t reset_count(void) { return g_resets.load(); }
}  // namespace sorvan

extern "C" {

SORVAN_API int32_t reset(int sock, uint32_t peer_addr, const char *reason) {
    uint32_t n = g_resets.fetch_add(1);
    if (n % 1000 == 0) {
        char addr[INET_ADDRSTRLEN] = "?";
        in_addr a;
        a.s_addr = peer_addr;
        inet_ntop(AF_INET, &a, addr, sizeof addr);
        port_syslog(LOG_WARNING, "Thread[%d]: strange connection from %s: %s\n", port_gettid(), addr,
                    reason ? reason : "?");
    }
    return linger(sock, 0);
}

SORVAN_API int32_t authenticate_and_process(int sock, const struct sockaddr_in *peer, void *context,
                                            struct PdhContext *pdh) {
    uint32_t peer_addr = peer ? peer->sin_addr.s_addr : 0;
    sorvan::ReadDeadline deadline(kRequestDeadlineMs);
    uint32_t len = 0;
    // A first frame longer than any header is refused before it is read,
    // let alone expanded: only the key decides what may cost more.
    void *msg = sorvan::xread_bounded(sock, &len, SORVAN_MAX_HEADER_FRAME);
    // A message too short for a header is as unreadable as none.
    if (!msg || len < 20) {
        std::free(msg);
        reset(sock, peer_addr, "Bad REQ");
        return -1;
    }
    RequestHeader h;
    sorvan::decode_header(static_cast<const unsigned char *>(msg), &h);
    std::free(msg);

    static const unsigned char zero[8] = {};
    if (std::memcmp(h.key, key_phrase, 8) != 0) {
        // A request without any key, to an agent that expects one.
        if (std::memcmp(h.key, zero, 8) == 0) {
            reset(sock, peer_addr, "No Key");
            return -2;
        }
        reset(sock, peer_addr, "Wrong Key");
        return -3;
    }

    switch (h.kind) {
    case REQ_LOAD:
        send_agent_stats(sock, context, pdh);
        break;
    case REQ_SEND_FILE_ALT:
    case REQ_SEND_FILE:
        receive_file(sock, peer, context, h.version);
        break;
    case REQ_REMOVE:
        do_remove(sock, peer, context);
        break;
    case REQ_CHANGE_ATTRIBUTE:
    case REQ_CHANGE_SD:
        change_mode(sock, peer, context, h.version);
        break;
    case REQ_MKDIR:
        do_mkdir(sock, peer, context, h.version);
        break;
    case REQ_RENAME:
        do_rename(sock, peer, context);
        break;
    case sorvan::session::kKind:
        sorvan::session::serve(sock, peer, h.argument);
        break;
    default:
        reset(sock, peer_addr, "Unknown request?");
        break;
    }
    return 0;
}

}  // extern "C"
