// Port files of any shape: the reader must never overrun the slot's fields
// and must leave the address field terminated; the check lines after the
// port line give a check kord can run or a reason, never both.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <string>

#include "master/ports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!size || !f) {
        if (f) fclose(f);
        return 0;
    }
    static kord::NodeRecord slot;
    memset(&slot, 0x41, sizeof slot);
    kord::PortCheck check;
    std::string problem;
    kord::parse_port_file(f, &slot, &check, &problem);
    fclose(f);
    if (!problem.empty() && check.kind != kord::kCheckTcp)
        __builtin_trap();   // a refused file still checks over HTTP
    if (check.kind != kord::kCheckTcp && (check.path.empty() || check.path[0] != '/'))
        __builtin_trap();
    if (check.headers.size() > kord::kHttpHeadersMax || check.match.size() > 1024 || check.path.size() > 1024)
        __builtin_trap();
    for (const std::string &h : check.headers)
        for (unsigned char c : h)
            if (c < 0x20 || c == 0x7f) __builtin_trap();   // a header that could split the request
    (void)kord::describe_check(slot.port, check);
    if (memchr(slot.port_mail, 0, sizeof slot.port_mail) == nullptr)
        __builtin_trap();
    if (slot.unused590 != 0x4141 || slot.port_status.cycle != 0x41414141)
        __builtin_trap();  // wrote past the port block
    return 0;
}
