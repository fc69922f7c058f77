// SMTP mail and MX lookup: internals shared with the tests and the fuzzer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sorvan {

constexpr int kMaxMx = 99;                 // exchangers taken from one answer
constexpr size_t kMxAnswerSize = 8192;     // DNS answer bytes looked at
constexpr size_t kMxNameBuffer = 12800;    // per-thread room for the names

// The MX walk over a raw DNS answer (header included): fills hosts/prefs
// with up to kMaxMx exchangers, names expanded into `names` (names_size
// bytes, the last one never used), sorted by preference and with
// neighbouring duplicates (any letter case) removed. Returns the count.
// debug: report records of other types on standard output.
int mx_from_answer(const uint8_t *answer, size_t len, char **hosts, uint16_t *prefs,
                   char *names, size_t names_size, bool debug);

// Sort by preference, lowest first; then drop a name equal (ignoring case)
// to its neighbour before it. Returns the new count.
int mx_sort_unique(char **hosts, uint16_t *prefs, int n);

// The body as it goes on the wire after DATA: every line end CRLF (bare LF
// and bare CR too), a leading dot doubled, and a final line end when the
// body does not end with one (an empty body stays empty).
std::string smtp_body(std::string_view body);

// The name we greet with: this host's fully qualified name (the host name
// itself when it has a dot or no canonical name can be found), found once.
const std::string &helo_name();

// Time allowed for one whole server reply, and for one write, in ms.
extern std::atomic<int> mail_reply_timeout_ms;
// Time allowed for the TCP connection to an exchanger, in microseconds.
constexpr int32_t kSmtpConnectTimeoutUs = 1500000;

}  // namespace sorvan
