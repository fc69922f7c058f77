// kordstat's --listen-auth file and the page's escaping on input of any
// content. Checks: no crash; every accepted line has a user without ':' or
// blanks and a hash of a kind crypt() is asked for; the accepted lines,
// written out again, read back the same; escaped text holds no markup.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/status_page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<status_page::Credential> users;
    std::vector<std::string> errors;
    bool ok = status_page::parse_auth(text, "users", users, errors);
    if (ok != errors.empty() || (ok && users.empty())) __builtin_trap();
    std::string again;
    for (const auto &c : users) {
        if (c.user.empty() || c.user.find_first_of(": \t") != std::string::npos) __builtin_trap();
        if (!status_page::hash_kind_known(c.hash) || c.line < 1) __builtin_trap();
        again += c.user + ":" + c.hash + "\n";
    }
    if (!users.empty()) {
        std::vector<status_page::Credential> back;
        std::vector<std::string> e2;
        if (!status_page::parse_auth(again, "users", back, e2) || back.size() != users.size()) __builtin_trap();
        for (size_t i = 0; i < back.size(); i++)
            if (back[i].user != users[i].user || back[i].hash != users[i].hash) __builtin_trap();
    }
    std::string e = status_page::escape(text);
    for (size_t i = 0; i < e.size(); i++) {
        unsigned char c = static_cast<unsigned char>(e[i]);
        if (c == '<' || c == '>' || c == '"' || c == '\'' || c < 0x20 || c == 0x7f) __builtin_trap();
        if (c == '&' && e.compare(i, 5, "&amp;") && e.compare(i, 4, "&lt;") && e.compare(i, 4, "&gt;") &&
            e.compare(i, 6, "&quot;") && e.compare(i, 5, "&#39;"))
            __builtin_trap();
    }
    return 0;
}
