// Port files of any shape: the reader must never overrun the slot's fields
// and must leave the address field terminated.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "master/ports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!size || !f) {
        if (f) fclose(f);
        return 0;
    }
    static kord::NodeRecord slot;
    memset(&slot, 0x41, sizeof slot);
    kord::parse_port_file(f, &slot);
    fclose(f);
    if (memchr(slot.port_mail, 0, sizeof slot.port_mail) == nullptr)
        __builtin_trap();
    if (slot.unused590 != 0x4141 || slot.port_status.cycle != 0x41414141)
        __builtin_trap();  // wrote past the port block
    return 0;
}
