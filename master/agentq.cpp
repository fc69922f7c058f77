// Agent load query: ask a node's agent for its load report and store it in
// the node's slot.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "master/kord.h"

namespace kord {

namespace {

uint32_t be_word(const unsigned char *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return ntohl(v);
}

float ratio(uint32_t a, uint32_t b) {
    // A zero scale gives IEEE infinities (NaN for 0/0) in the map, as readers
    // of the map expect; nothing here traps on them.
    return static_cast<float>(static_cast<double>(a) / static_cast<double>(b));
}

}  // namespace

void decode_agent_reply(const unsigned char *reply, NodeRecord *slot) {
    AgentStats &a = slot->agent_stats;
    for (int w = 0; w <= 13; ++w) a.word[w] = be_word(reply + 4 * w);
    for (int k = 0; k < 8; ++k) {
        const unsigned char *e = reply + 60 + 24 * k;
        uint32_t total = be_word(e + 16);
        if (total == 0) continue;   // absent: the slot keeps what it had
        std::memcpy(a.drive[k].name, e, sizeof a.drive[k].name);
        a.drive[k].total_mb = total;
        a.drive[k].free_mb = be_word(e + 20);
    }
    slot->mean_ratio = ratio(a.word[7], a.word[6]);
    for (int i = 0; i < 3; ++i) slot->ratio[i] = ratio(a.word[8 + i], a.word[6]);
}

int query_agent(GroupRecord *g, NodeRecord *slot) {
    char why[128];
    return query_agent_why(g, slot, why, sizeof why);
}

int query_agent_why(GroupRecord *g, NodeRecord *slot, char *why, size_t size) {
    char password[sizeof g->passwd + 1];
    std::memcpy(password, g->passwd, sizeof g->passwd);
    password[sizeof g->passwd] = '\0';

    // One agent per node: asked over IPv4 where the node has it, else over
    // IPv6; its report stands for both families.
    errno = 0;
    const SideRecord *x = slot->addr == 0 ? side_of(g, slot) : nullptr;
    int s = x && has_addr6(x)
                ? req_send6(x->addr6, g->agent_port, static_cast<int32_t>(g->timeout_us), password, "Q4", nullptr,
                            REQ_LOAD, 0)
                : req_send(slot->addr, g->agent_port, static_cast<int32_t>(g->timeout_us), password, "Q4", nullptr,
                           REQ_LOAD, 0, 0, 0);
    slot->conn_fd = s;
    if (s < 0) {
        int e = errno;
        std::snprintf(why, size, "port %u: %s %s", unsigned(g->agent_port),
                      s == -4 ? "connection" : "request", e ? connect_error_text(e) : "failed");
        return -1;
    }

    // The agent samples for 500 ms before it answers; an agent that accepts
    // and then says nothing must not hold the worker for ever.
    uint64_t wait_us = (g->timeout_us < 1000000 ? 1000000 : uint64_t(g->timeout_us)) + 1000000;
    timeval tv{static_cast<time_t>(wait_us / 1000000), static_cast<suseconds_t>(wait_us % 1000000)};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    unsigned char reply[sizeof(AgentStats)] = {};
    int n = nread(s, reply, sizeof reply);
    if (n < 1) {
        int e = errno;
        // An agent resets a request whose key it does not share.
        if (n == 0)
            std::snprintf(why, size, "port %u: closed without a reply", unsigned(g->agent_port));
        else if (e == ECONNRESET)
            std::snprintf(why, size, "port %u: reset by the agent (wrong key?)", unsigned(g->agent_port));
        else if (e == EAGAIN || e == EWOULDBLOCK)
            std::snprintf(why, size, "port %u: no reply in time", unsigned(g->agent_port));
        else
            std::snprintf(why, size, "port %u: %s", unsigned(g->agent_port), std::strerror(e));
        close(s);
        return -3;
    }
    decode_agent_reply(reply, slot);
    check_thresholds(g, slot);
    close(s);
    why[0] = '\0';
    return 0;
}

}  // namespace kord
