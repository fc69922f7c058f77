// Replies to a signed update, of any content: the check must never crash
// and never take a reply that is not signed with the key as accepted.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <ldns/ldns.h>

#include "flowgate/update.h"

namespace {

const flowgate::TsigKey kKey{"hmac-sha256", "flowgate", "QDjRLb0ePGdHlK3PV/SCXclLxGyrByCCWllx3uNofDs="};

struct Fixture {
    flowgate::Update update;
    std::vector<uint8_t> good;   // a NOERROR reply signed with the key
    Fixture() {
        std::string why;
        if (!flowgate::build_update("demo.test", "web.demo.test", {htonl(0x7f000001)}, 5, kKey, 4242, update, why))
            __builtin_trap();
        ldns_pkt *p = nullptr;
        if (ldns_wire2pkt(&p, update.wire.data(), update.wire.size()) != LDNS_STATUS_OK) __builtin_trap();
        ldns_pkt_set_qr(p, true);
        ldns_rr_list_deep_free(ldns_pkt_authority(p));
        ldns_pkt_set_authority(p, ldns_rr_list_new());
        ldns_pkt_set_nscount(p, 0);
        ldns_rr_free(ldns_pkt_tsig(p));
        ldns_pkt_set_tsig(p, nullptr);
        ldns_rdf *mac = ldns_rdf_new_frm_data(ldns_rdf_type(update.mac_type), update.request_mac.size(),
                                              update.request_mac.data());
        ldns_pkt_tsig_sign(p, "flowgate.", kKey.secret.c_str(), 300, "hmac-sha256.", mac);
        uint8_t *w = nullptr;
        size_t n = 0;
        ldns_pkt2wire(&w, p, &n);
        good.assign(w, w + n);
        LDNS_FREE(w);
        ldns_rdf_deep_free(mac);
        ldns_pkt_free(p);
        if (flowgate::check_reply(update, good.data(), good.size(), kKey, why) != flowgate::Reply::Accepted)
            __builtin_trap();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Fixture f;
    std::string why;
    if (size == 0) return 0;
    std::vector<uint8_t> wire;
    if (data[0] & 1) {
        // The good reply with the input laid over it from some offset.
        wire = f.good;
        size_t at = size > 1 ? data[1] % wire.size() : 0;
        for (size_t i = 2; i < size && at < wire.size(); i++, at++) wire[at] ^= data[i];
    } else {
        wire.assign(data + 1, data + size);
    }
    auto r = flowgate::check_reply(f.update, wire.data(), wire.size(), kKey, why);
    // Unchanged bytes aside, an accepted reply must verify as ours: a
    // changed id, header or signature never passes.
    if (r == flowgate::Reply::Accepted && wire.size() >= 2 && (wire[0] != f.good[0] || wire[1] != f.good[1]))
        __builtin_trap();
    if (r == flowgate::Reply::Refused && why.empty()) __builtin_trap();
    return 0;
}
