// Building and checking dynamic updates with ldns.
#include "flowgate/update.h"

#include "flowgate/cluster_role.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include <ldns/ldns.h>

namespace flowgate {

namespace {

constexpr uint16_t kFudge = 300;   // seconds of clock skew a server accepts

template <class T, void (*F)(T *)> struct Free {
    void operator()(T *p) const { if (p) F(p); }
};
using PktPtr = std::unique_ptr<ldns_pkt, Free<ldns_pkt, ldns_pkt_free>>;
using RdfPtr = std::unique_ptr<ldns_rdf, Free<ldns_rdf, ldns_rdf_deep_free>>;
using ListPtr = std::unique_ptr<ldns_rr_list, Free<ldns_rr_list, ldns_rr_list_deep_free>>;

std::string fqdn(const std::string &name) { return name.empty() || name.back() != '.' ? name + "." : name; }

const char *tsig_error_name(unsigned e) {
    switch (e) {
    case 16: return "BADSIG";
    case 17: return "BADKEY";
    case 18: return "BADTIME";
    case 19: return "BADMODE";
    case 20: return "BADNAME";
    case 21: return "BADALG";
    case 22: return "BADTRUNC";
    default: return nullptr;
    }
}

std::string rcode_name(unsigned rcode) {
    if (const ldns_lookup_table *t = ldns_lookup_by_id(ldns_rcodes, int(rcode))) return t->name;
    return "RCODE " + std::to_string(rcode);
}

bool sign(ldns_pkt *p, const TsigKey &key, std::string &why) {
    ldns_status s = ldns_pkt_tsig_sign(p, fqdn(key.name).c_str(), key.secret.c_str(), kFudge,
                                       fqdn(key.algorithm).c_str(), nullptr);
    if (s != LDNS_STATUS_OK) {
        why = std::string("TSIG signing failed: ") + ldns_get_errorstr_by_id(s);
        return false;
    }
    return true;
}

}  // namespace

bool build_update(const std::string &zone, const std::string &owner, const std::vector<uint32_t> &addrs,
                  uint32_t ttl, const TsigKey &key, uint16_t id, Update &out, std::string &why) {
    return build_update(zone, owner, &addrs, nullptr, ttl, key, id, out, why);
}

namespace {

// Delete the RRset: class ANY, the type, TTL 0, no data (RFC 2136 2.5.2).
void push_delete(ldns_rr_list *changes, const ldns_rdf *owner, ldns_rr_type type) {
    ldns_rr *del = ldns_rr_new();
    ldns_rr_set_owner(del, ldns_rdf_clone(owner));
    ldns_rr_set_type(del, type);
    ldns_rr_set_class(del, LDNS_RR_CLASS_ANY);
    ldns_rr_set_ttl(del, 0);
    ldns_rr_list_push_rr(changes, del);
}

void push_addr(ldns_rr_list *changes, const ldns_rdf *owner, ldns_rr_type type, ldns_rdf_type rdf_type,
               const void *data, size_t len, uint32_t ttl) {
    ldns_rr *rr = ldns_rr_new_frm_type(type);
    ldns_rr_set_owner(rr, ldns_rdf_clone(owner));
    ldns_rr_set_class(rr, LDNS_RR_CLASS_IN);
    ldns_rr_set_ttl(rr, ttl);
    ldns_rr_set_rdf(rr, ldns_rdf_new_frm_data(rdf_type, len, data), 0);
    ldns_rr_list_push_rr(changes, rr);
}

}  // namespace

namespace {

// One owner's deletes and adds, appended to changes; false with why when
// the owner is not a name inside zone.
bool push_owner(ldns_rr_list *changes, const ldns_rdf *zone_rdf, const std::string &zone, const OwnerChange &c,
                std::string &why) {
    RdfPtr owner_rdf(ldns_dname_new_frm_str(fqdn(c.owner).c_str()));
    if (!owner_rdf) {
        why = "\"" + c.owner + "\" or zone \"" + zone + "\" is not a domain name";
        return false;
    }
    if (!ldns_dname_is_subdomain(owner_rdf.get(), zone_rdf) && ldns_dname_compare(owner_rdf.get(), zone_rdf) != 0) {
        why = "\"" + c.owner + "\" is not inside zone \"" + zone + "\"";
        return false;
    }
    if (c.a) {
        push_delete(changes, owner_rdf.get(), LDNS_RR_TYPE_A);
        for (uint32_t a : *c.a) push_addr(changes, owner_rdf.get(), LDNS_RR_TYPE_A, LDNS_RDF_TYPE_A, &a, 4, c.ttl);
    }
    if (c.aaaa) {
        push_delete(changes, owner_rdf.get(), LDNS_RR_TYPE_AAAA);
        for (const auto &a : *c.aaaa)
            push_addr(changes, owner_rdf.get(), LDNS_RR_TYPE_AAAA, LDNS_RDF_TYPE_AAAA, a.data(), 16, c.ttl);
    }
    return true;
}

// The signed message for zone carrying changes [0, n).
bool encode(const std::string &zone, const std::vector<OwnerChange> &list, size_t n, const TsigKey &key,
            uint16_t id, Update &out, std::string &why, const Fence *fence) {
    ldns_rdf *zone_rdf = ldns_dname_new_frm_str(fqdn(zone).c_str());
    if (!zone_rdf) {
        why = "\"" + (list.empty() ? zone : list[0].owner) + "\" or zone \"" + zone + "\" is not a domain name";
        return false;
    }
    ListPtr changes(ldns_rr_list_new());
    for (size_t i = 0; i < n; i++)
        if (!push_owner(changes.get(), zone_rdf, zone, list[i], why)) {
            ldns_rdf_deep_free(zone_rdf);
            return false;
        }
    ListPtr pre(fence ? fence_prerequisite(*fence) : nullptr);
    PktPtr p(ldns_update_pkt_new(zone_rdf, LDNS_RR_CLASS_IN, pre.get(), changes.get(), nullptr));
    if (!p) {
        why = "ldns could not build the update";
        return false;
    }
    ldns_pkt_set_rd(p.get(), false);
    ldns_pkt_set_id(p.get(), id);
    if (!key.empty() && !sign(p.get(), key, why)) return false;
    uint8_t *wire = nullptr;
    size_t size = 0;
    if (ldns_pkt2wire(&wire, p.get(), &size) != LDNS_STATUS_OK || !wire) {
        why = "ldns could not encode the update";
        return false;
    }
    out.id = id;
    out.wire.assign(wire, wire + size);
    LDNS_FREE(wire);
    out.request_mac.clear();
    if (ldns_rr *t = ldns_pkt_tsig(p.get()); t && ldns_rr_rd_count(t) > 3) {
        const ldns_rdf *mac = ldns_rr_rdf(t, 3);
        out.request_mac.assign(ldns_rdf_data(mac), ldns_rdf_data(mac) + ldns_rdf_size(mac));
        out.mac_type = int(ldns_rdf_get_type(mac));
    }
    return true;
}

}  // namespace

bool build_update(const std::string &zone, const std::string &owner, const std::vector<uint32_t> *addrs,
                  const std::vector<std::array<uint8_t, 16>> *addrs6, uint32_t ttl, const TsigKey &key, uint16_t id,
                  Update &out, std::string &why, const Fence *fence) {
    OwnerChange c;
    c.owner = owner;
    c.a = addrs;
    c.aaaa = addrs6;
    c.ttl = ttl;
    return encode(zone, {c}, 1, key, id, out, why, fence);
}

bool build_zone_update(const std::string &zone, const std::vector<OwnerChange> &changes, size_t max_size,
                       const TsigKey &key, uint16_t id, Update &out, size_t &taken, std::string &why,
                       const Fence *fence) {
    taken = 0;
    if (changes.empty()) {
        why = "nothing to send";
        return false;
    }
    if (!encode(zone, changes, 1, key, id, out, why, fence)) return false;
    taken = 1;
    // One more owner at a time while the message stays within the size;
    // each owner adds about the same, so the first estimate is close.
    Update next;
    std::string ignored;
    while (taken < changes.size()) {
        if (!encode(zone, changes, taken + 1, key, id, next, ignored, fence) || next.wire.size() > max_size) break;
        out = std::move(next);
        taken++;
    }
    return true;
}

Reply check_reply(const Update &u, const uint8_t *wire, size_t n, const TsigKey &key, std::string &why) {
    ldns_pkt *raw = nullptr;
    if (n < 12 || ldns_wire2pkt(&raw, wire, n) != LDNS_STATUS_OK || !raw) return Reply::NotOurs;
    PktPtr p(raw);
    if (ldns_pkt_id(p.get()) != u.id || !ldns_pkt_qr(p.get()) || ldns_pkt_get_opcode(p.get()) != LDNS_PACKET_UPDATE)
        return Reply::NotOurs;
    unsigned rcode = ldns_pkt_get_rcode(p.get());
    unsigned tsig_error = 0;
    ldns_rr *t = ldns_pkt_tsig(p.get());
    if (t && ldns_rr_rd_count(t) > 5 && ldns_rdf_size(ldns_rr_rdf(t, 5)) == 2)
        tsig_error = ldns_rdf2native_int16(ldns_rr_rdf(t, 5));
    if (rcode != LDNS_RCODE_NOERROR || tsig_error) {
        why = rcode_name(rcode);
        if (const char *e = tsig_error_name(tsig_error)) why += std::string(", TSIG error ") + e;
        else if (tsig_error) why += ", TSIG error " + std::to_string(tsig_error);
        return Reply::Refused;
    }
    if (!key.empty()) {
        // A success must be signed by our key; anything else is not trusted.
        RdfPtr mac(ldns_rdf_new_frm_data(ldns_rdf_type(u.mac_type), u.request_mac.size(), u.request_mac.data()));
        bool ok = t && mac && ldns_pkt_tsig_verify(p.get(), wire, n, fqdn(key.name).c_str(), key.secret.c_str(), mac.get());
        // ldns takes the TSIG record out while it verifies and leaves it out
        // when it cannot compute the MAC: put it back for ldns_pkt_free.
        if (t && !ldns_pkt_tsig(p.get())) ldns_pkt_set_tsig(p.get(), t);
        if (!ok) {
            why = "NOERROR, but the reply's TSIG signature does not verify";
            return Reply::Refused;
        }
    }
    return Reply::Accepted;
}

bool build_query(const std::string &name, QueryType type, const TsigKey &key, uint16_t id, Update &out,
                 std::string &why) {
    RdfPtr qname(ldns_dname_new_frm_str(fqdn(name).c_str()));
    if (!qname) {
        why = "\"" + name + "\" is not a domain name";
        return false;
    }
    ldns_rr_type t = type == QueryType::Soa ? LDNS_RR_TYPE_SOA : type == QueryType::A ? LDNS_RR_TYPE_A
                                                                                        : LDNS_RR_TYPE_AAAA;
    PktPtr p(ldns_pkt_query_new(qname.release(), t, LDNS_RR_CLASS_IN, 0));
    if (!p) {
        why = "ldns could not build the query";
        return false;
    }
    ldns_pkt_set_id(p.get(), id);
    if (!key.empty() && !sign(p.get(), key, why)) return false;
    uint8_t *wire = nullptr;
    size_t size = 0;
    if (ldns_pkt2wire(&wire, p.get(), &size) != LDNS_STATUS_OK || !wire) {
        why = "ldns could not encode the query";
        return false;
    }
    out.id = id;
    out.wire.assign(wire, wire + size);
    LDNS_FREE(wire);
    out.request_mac.clear();
    if (ldns_rr *r = ldns_pkt_tsig(p.get()); r && ldns_rr_rd_count(r) > 3) {
        const ldns_rdf *mac = ldns_rr_rdf(r, 3);
        out.request_mac.assign(ldns_rdf_data(mac), ldns_rdf_data(mac) + ldns_rdf_size(mac));
        out.mac_type = int(ldns_rdf_get_type(mac));
    }
    return true;
}

Answer check_answer(const Update &q, const uint8_t *wire, size_t n, const TsigKey &key) {
    Answer a;
    ldns_pkt *raw = nullptr;
    if (n < 12 || ldns_wire2pkt(&raw, wire, n) != LDNS_STATUS_OK || !raw) return a;
    PktPtr p(raw);
    if (ldns_pkt_id(p.get()) != q.id || !ldns_pkt_qr(p.get()) || ldns_pkt_get_opcode(p.get()) != LDNS_PACKET_QUERY)
        return a;
    a.ours = true;
    a.rcode = ldns_pkt_get_rcode(p.get());
    ldns_rr *t = ldns_pkt_tsig(p.get());
    if (t && ldns_rr_rd_count(t) > 5 && ldns_rdf_size(ldns_rr_rdf(t, 5)) == 2)
        a.tsig_error = ldns_rdf2native_int16(ldns_rr_rdf(t, 5));
    if (a.rcode != LDNS_RCODE_NOERROR || a.tsig_error) {
        a.error = rcode_name(a.rcode);
        if (const char *e = tsig_error_name(a.tsig_error)) a.error += std::string(", TSIG error ") + e;
        else if (a.tsig_error) a.error += ", TSIG error " + std::to_string(a.tsig_error);
    }
    if (!key.empty() && !a.tsig_error && (a.rcode == LDNS_RCODE_NOERROR || a.rcode == LDNS_RCODE_NXDOMAIN)) {
        RdfPtr mac(ldns_rdf_new_frm_data(ldns_rdf_type(q.mac_type), q.request_mac.size(), q.request_mac.data()));
        a.signature_ok =
            t && mac && ldns_pkt_tsig_verify(p.get(), wire, n, fqdn(key.name).c_str(), key.secret.c_str(), mac.get());
        if (t && !ldns_pkt_tsig(p.get())) ldns_pkt_set_tsig(p.get(), t);
        if (!a.signature_ok) {
            a.error = "NOERROR, but the reply's TSIG signature does not verify";
            return a;
        }
    }
    ldns_rr_list *ans = ldns_pkt_answer(p.get());
    for (size_t i = 0; ans && i < ldns_rr_list_rr_count(ans); i++) {
        ldns_rr *rr = ldns_rr_list_rr(ans, i);
        if (ldns_rr_rd_count(rr) < 1) continue;
        const ldns_rdf *d = ldns_rr_rdf(rr, 0);
        switch (ldns_rr_get_type(rr)) {
        case LDNS_RR_TYPE_SOA:
            if (ldns_rr_rd_count(rr) > 2 && ldns_rdf_size(ldns_rr_rdf(rr, 2)) == 4) {
                a.have_soa = true;
                a.serial = ldns_rdf2native_int32(ldns_rr_rdf(rr, 2));
            }
            break;
        case LDNS_RR_TYPE_A:
            if (ldns_rdf_size(d) == 4) {
                uint32_t v;
                std::memcpy(&v, ldns_rdf_data(d), 4);
                if (a.a.empty() && a.aaaa.empty()) a.ttl = ldns_rr_ttl(rr);
                a.a.push_back(v);
            }
            break;
        case LDNS_RR_TYPE_AAAA:
            if (ldns_rdf_size(d) == 16) {
                std::array<uint8_t, 16> v;
                std::memcpy(v.data(), ldns_rdf_data(d), 16);
                if (a.a.empty() && a.aaaa.empty()) a.ttl = ldns_rr_ttl(rr);
                a.aaaa.push_back(v);
            }
            break;
        default: break;
        }
    }
    std::sort(a.a.begin(), a.a.end());
    std::sort(a.aaaa.begin(), a.aaaa.end());
    return a;
}

bool key_usable(const TsigKey &key, std::string &why) {
    if (key.empty()) return true;
    Update u;
    return build_update("example.invalid", "check.example.invalid", {htonl(0x7f000001)}, 5, key, 1, u, why);
}

}  // namespace flowgate
