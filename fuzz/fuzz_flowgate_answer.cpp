// Answers to flowgate's signed queries (the probe, the serial and owner
// checks, --check), of any content: never a crash, never a changed answer
// taken as signed by the key, never an address out of its family's size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <ldns/ldns.h>

#include "flowgate/update.h"

namespace {

const flowgate::TsigKey kKey{"hmac-sha256", "flowgate", "QDjRLb0ePGdHlK3PV/SCXclLxGyrByCCWllx3uNofDs="};

struct Fixture {
    flowgate::Update query;
    std::vector<uint8_t> good;   // an answer with two A records, signed with the key
    Fixture() {
        std::string why;
        if (!flowgate::build_query("web.demo.test", flowgate::QueryType::A, kKey, 777, query, why)) __builtin_trap();
        ldns_pkt *p = nullptr;
        if (ldns_wire2pkt(&p, query.wire.data(), query.wire.size()) != LDNS_STATUS_OK) __builtin_trap();
        ldns_pkt_set_qr(p, true);
        ldns_rr_free(ldns_pkt_tsig(p));
        ldns_pkt_set_tsig(p, nullptr);
        ldns_pkt_set_arcount(p, 0);
        for (const char *rr : {"web.demo.test. 5 IN A 127.0.0.1", "web.demo.test. 5 IN A 127.0.0.2"}) {
            ldns_rr *r = nullptr;
            if (ldns_rr_new_frm_str(&r, rr, 0, nullptr, nullptr) != LDNS_STATUS_OK) __builtin_trap();
            ldns_pkt_push_rr(p, LDNS_SECTION_ANSWER, r);
        }
        ldns_rdf *mac = ldns_rdf_new_frm_data(ldns_rdf_type(query.mac_type), query.request_mac.size(),
                                              query.request_mac.data());
        ldns_pkt_tsig_sign(p, "flowgate.", kKey.secret.c_str(), 300, "hmac-sha256.", mac);
        uint8_t *w = nullptr;
        size_t n = 0;
        ldns_pkt2wire(&w, p, &n);
        good.assign(w, w + n);
        LDNS_FREE(w);
        ldns_rdf_deep_free(mac);
        ldns_pkt_free(p);
        flowgate::Answer a = flowgate::check_answer(query, good.data(), good.size(), kKey);
        if (!a.ours || !a.error.empty() || a.a.size() != 2 || a.ttl != 5) __builtin_trap();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Fixture f;
    if (size == 0) return 0;
    std::vector<uint8_t> wire;
    bool overlaid = data[0] & 1;
    if (overlaid) {
        wire = f.good;
        size_t at = size > 1 ? data[1] % wire.size() : 0;
        for (size_t i = 2; i < size && at < wire.size(); i++, at++) wire[at] ^= data[i];
    } else {
        wire.assign(data + 1, data + size);
    }
    flowgate::Answer a = flowgate::check_answer(f.query, wire.data(), wire.size(), kKey);
    // A good signature on a changed answer section means the check was skipped.
    if (a.ours && a.error.empty() && overlaid && wire != f.good && a.a.size() == 2 && wire.size() == f.good.size() &&
        a.signature_ok) {
        // Bytes outside what the MAC covers (none here but the TSIG's own
        // original id) may differ; a changed record may not.
        if (a.a != flowgate::check_answer(f.query, f.good.data(), f.good.size(), kKey).a) __builtin_trap();
    }
    if (a.ours && !a.error.empty() && a.rcode == 0 && a.tsig_error == 0 && a.signature_ok) __builtin_trap();
    return 0;
}
