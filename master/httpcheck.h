// HTTP and HTTPS health checks: the optional lines of a port file that turn
// the port probe into a request, and the checker that runs the requests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <utility>
#include <vector>

#include "maps/side.h"

namespace kord {

inline constexpr size_t kHttpBodyMax = 64 * 1024;   // the body read stops here
inline constexpr size_t kHttpHeadersMax = 8;

// What a port file asks of its port beyond the connect.
struct PortCheck {
    uint8_t kind = kCheckTcp;   // kCheckTcp, kCheckHttp, kCheckHttps
    bool head = false;          // method HEAD (else GET)
    bool verify = true;
    std::string path;           // starts with "/"
    std::string host;           // empty: the node's name
    std::string ca;             // empty: the system's store
    std::string match;          // empty: any body
    std::vector<std::string> headers;                       // "Name: value"
    std::vector<std::pair<uint16_t, uint16_t>> expect;      // empty: 200-399
    bool expects(long status) const;
};

// One "key value" line after the port line, blanks around it removed.
// False with the key (or "line") and the problem when kord cannot use it;
// the check is then left as it was.
bool parse_check_line(std::string_view line, PortCheck &c, std::string *field, std::string *problem);
// "http", "https" or "tcp".
const char *check_kind_name(uint8_t kind);

// The outcome of one request.
struct HttpOutcome {
    bool up = false;
    uint16_t status = 0;     // 0: no answer
    uint32_t us = 0;         // from submission to the end
    std::string why;         // "HTTP 503", "timed out after 800 ms", "TLS: certificate has expired" ...
};

// Runs one check against addr (a sockaddr_in or sockaddr_in6 with the
// port set), naming the host `host` unless the check names its own, within
// timeout_us. Blocks the caller until the checker thread has the answer.
HttpOutcome run_http_check(const PortCheck &c, const struct sockaddr *addr, const std::string &host,
                           uint32_t timeout_us);

}  // namespace kord
