// etcd's grpc-gateway: every call is a POST of a JSON object to /v3/...;
// 64-bit numbers travel as strings, bytes as base64.
#include "cluster/etcd.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>

namespace cluster {

using json = nlohmann::json;

namespace {

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int64_t num(const json &j, const char *field) {
    auto it = j.find(field);
    if (it == j.end()) return 0;
    if (it->is_number_integer()) return it->get<int64_t>();
    if (it->is_string()) {
        try {
            return std::stoll(it->get<std::string>());
        } catch (...) {
            return 0;
        }
    }
    return 0;
}

std::string bytes(const json &j, const char *field) {
    std::string out;
    auto it = j.find(field);
    if (it != j.end() && it->is_string()) base64_decode(it->get<std::string>(), out);
    return out;
}

size_t collect(char *p, size_t size, size_t n, void *ud) {
    static_cast<std::string *>(ud)->append(p, size * n);
    return size * n;
}

int progress(void *ud, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::atomic<bool> *>(ud)->load() ? 1 : 0;
}

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

std::string base64_encode(const std::string &s) {
    std::string o;
    size_t i = 0;
    for (; i + 2 < s.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(s[i])) << 16 | uint32_t(uint8_t(s[i + 1])) << 8 | uint8_t(s[i + 2]);
        for (int k = 18; k >= 0; k -= 6) o += kB64[(v >> k) & 63];
    }
    if (i < s.size()) {
        uint32_t v = uint32_t(uint8_t(s[i])) << 16;
        if (i + 1 < s.size()) v |= uint32_t(uint8_t(s[i + 1])) << 8;
        o += kB64[(v >> 18) & 63];
        o += kB64[(v >> 12) & 63];
        o += i + 1 < s.size() ? kB64[(v >> 6) & 63] : '=';
        o += '=';
    }
    return o;
}

bool base64_decode(const std::string &s, std::string &out) {
    out.clear();
    uint32_t acc = 0;
    int bits = 0;
    size_t pad = 0;
    for (char c : s) {
        if (c == '=') {
            pad++;
            continue;
        }
        if (pad) return false;
        const char *p = c ? strchr(kB64, c) : nullptr;
        if (!p) return false;
        acc = acc << 6 | uint32_t(p - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xff);
        }
    }
    return pad <= 2 && (s.size() % 4 == 0 || pad == 0);
}

struct Etcd::Impl {
    Config cfg;
    CURL *curl = nullptr;
    size_t current = 0;   // the endpoint that answered last
    std::string token;    // etcd's auth token, when a user is configured

    // One POST; reply holds the parsed body of a 200 answer. Tries every
    // endpoint in turn when one cannot be reached.
    bool post(const std::string &path, const json &body, json &reply, long timeout_ms, std::atomic<bool> &abort,
              std::string &why, bool authenticating = false) {
        if (!cfg.user.empty() && token.empty() && !authenticating && !authenticate(timeout_ms, abort, why))
            return false;
        std::string text = body.dump();
        std::string errors;
        for (size_t tried = 0; tried < cfg.endpoints.size(); tried++) {
            if (abort) {
                why = "stopped";
                return false;
            }
            const std::string &ep = cfg.endpoints[current];
            std::string url = ep + path, out;
            curl_easy_reset(curl);
            curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, text.c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(text.size()));
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
            curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
            curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeout_ms, 1000L));
            curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
            curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
            curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &abort);
            curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(curl, CURLOPT_PROXY, "");
            if (!cfg.ca.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, cfg.ca.c_str());
            if (!cfg.cert.empty()) curl_easy_setopt(curl, CURLOPT_SSLCERT, cfg.cert.c_str());
            if (!cfg.key.empty()) curl_easy_setopt(curl, CURLOPT_SSLKEY, cfg.key.c_str());
            curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
            std::string auth = "Authorization: " + token;
            if (!token.empty() && !authenticating) headers = curl_slist_append(headers, auth.c_str());
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
            CURLcode rc = curl_easy_perform(curl);
            long status = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
            curl_slist_free_all(headers);
            if (rc != CURLE_OK) {
                if (abort) {
                    why = "stopped";
                    return false;
                }
                if (rc == CURLE_OPERATION_TIMEDOUT && path == "/v3/election/campaign") {
                    why = ep + ": not elected yet";
                    return false;
                }
                errors += (errors.empty() ? "" : "; ") + ep + ": " + curl_easy_strerror(rc);
                current = (current + 1) % cfg.endpoints.size();
                continue;
            }
            json j = json::parse(out, nullptr, false);
            if (j.is_discarded() || !j.is_object()) {
                why = ep + ": HTTP " + std::to_string(status) + ", not a JSON object";
                return false;
            }
            if (status != 200 || j.contains("error")) {
                std::string msg = j.value("message", j.value("error", std::string("HTTP ") + std::to_string(status)));
                if (!authenticating && !cfg.user.empty() && msg.find("auth") != std::string::npos && !token.empty()) {
                    token.clear();   // expired: once more with a fresh token
                    if (!authenticate(timeout_ms, abort, why)) return false;
                    return post(path, body, reply, timeout_ms, abort, why, false);
                }
                why = ep + ": " + msg;
                return false;
            }
            reply = std::move(j);
            return true;
        }
        why = errors;
        return false;
    }

    bool authenticate(long timeout_ms, std::atomic<bool> &abort, std::string &why) {
        json r;
        if (!post("/v3/auth/authenticate", {{"name", cfg.user}, {"password", cfg.password}}, r, timeout_ms, abort,
                  why, true))
            return false;
        token = r.value("token", "");
        if (token.empty()) {
            why = "etcd gave no auth token for user " + cfg.user;
            return false;
        }
        return true;
    }
};

Etcd::Etcd(const Config &cfg) : impl_(std::make_unique<Impl>()) {
    global_init();
    impl_->cfg = cfg;
    impl_->curl = curl_easy_init();
}

Etcd::~Etcd() {
    if (impl_->curl) curl_easy_cleanup(impl_->curl);
}

bool Etcd::grant(int ttl, int64_t &id, std::string &why) {
    json r;
    if (!impl_->post("/v3/lease/grant", {{"TTL", ttl}}, r, timeout_ms_, aborted_, why)) return false;
    id = num(r, "ID");
    if (!id) {
        why = "etcd granted no lease: " + r.value("error", std::string("no ID"));
        return false;
    }
    return true;
}

bool Etcd::keepalive(int64_t id, int64_t &ttl, std::string &why) {
    json r;
    if (!impl_->post("/v3/lease/keepalive", {{"ID", std::to_string(id)}}, r, timeout_ms_, aborted_, why))
        return false;
    // A stream of one answer: {"result": {...}}; a lost lease has no TTL.
    const json &res = r.contains("result") && r["result"].is_object() ? r["result"] : r;
    ttl = num(res, "TTL");
    return true;
}

bool Etcd::revoke(int64_t id, std::string &why) {
    json r;
    return impl_->post("/v3/lease/revoke", {{"ID", std::to_string(id)}}, r, timeout_ms_, aborted_, why);
}

namespace {

bool leader_of(const json &l, LeaderKey &out) {
    if (!l.is_object()) return false;
    out.name = bytes(l, "name");
    out.key = bytes(l, "key");
    out.rev = num(l, "rev");
    out.lease = num(l, "lease");
    return out.rev > 0 && !out.key.empty();
}

}  // namespace

bool Etcd::campaign(const std::string &election, const std::string &value, int64_t lease, long wait_ms,
                    LeaderKey &out, std::string &why) {
    json r;
    json body = {{"name", base64_encode(election)}, {"lease", std::to_string(lease)}, {"value", base64_encode(value)}};
    if (!impl_->post("/v3/election/campaign", body, r, wait_ms, aborted_, why)) return false;
    if (!r.contains("leader") || !leader_of(r["leader"], out)) {
        why = "etcd's campaign answer names no leader key";
        return false;
    }
    out.value = value;
    return true;
}

bool Etcd::leader(const std::string &election, LeaderKey &out, bool &found, std::string &why) {
    json r;
    found = false;
    if (!impl_->post("/v3/election/leader", {{"name", base64_encode(election)}}, r, timeout_ms_, aborted_, why)) {
        if (why.find("no leader") != std::string::npos) {
            why.clear();
            return true;
        }
        return false;
    }
    if (!r.contains("kv") || !r["kv"].is_object()) return true;
    const json &kv = r["kv"];
    out.name = election;
    out.key = bytes(kv, "key");
    out.rev = num(kv, "create_revision");
    out.lease = num(kv, "lease");
    out.value = bytes(kv, "value");
    found = !out.key.empty();
    return true;
}

bool Etcd::resign(const LeaderKey &k, std::string &why) {
    json r;
    json leader = {{"name", base64_encode(k.name)},
                   {"key", base64_encode(k.key)},
                   {"rev", std::to_string(k.rev)},
                   {"lease", std::to_string(k.lease)}};
    return impl_->post("/v3/election/resign", {{"leader", leader}}, r, timeout_ms_, aborted_, why);
}

bool Etcd::create_if_absent(const std::string &key, const std::string &value, int64_t lease, bool &created,
                            std::string &holder, std::string &why) {
    std::string k = base64_encode(key);
    json put = {{"key", k}, {"value", base64_encode(value)}};
    if (lease) put["lease"] = std::to_string(lease);
    json body = {{"compare", json::array({{{"target", "CREATE"}, {"result", "EQUAL"}, {"key", k},
                                           {"create_revision", "0"}}})},
                 {"success", json::array({{{"request_put", put}}})},
                 {"failure", json::array({{{"request_range", {{"key", k}}}}})}};
    json r;
    if (!impl_->post("/v3/kv/txn", body, r, timeout_ms_, aborted_, why)) return false;
    created = r.value("succeeded", false);
    holder.clear();
    if (!created) {
        try {
            const json &kvs = r.at("responses").at(0).at("response_range").at("kvs");
            if (kvs.is_array() && !kvs.empty()) holder = bytes(kvs.at(0), "value");
        } catch (const json::exception &) {
        }
    }
    return true;
}

}  // namespace cluster
