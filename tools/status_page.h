// The status page kordstat serves at /: one self-contained HTML document
// rendered from the document /status.json serves, with a small script that
// fetches that document again and redraws in place. The page's server-side
// rendering and the script's must agree cell for cell (the browser test
// compares them). Also the password file of --listen-auth.
//
// Every name on the page comes from files an administrator wrote; they are
// still treated as hostile: escaped here, set as text by the script.
#pragma once

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace status_page {

// Seconds between two fetches of status.json by the page.
inline constexpr int kRefreshSeconds = 2;

// Text for HTML content and quoted attributes. Control bytes go (they are
// not valid in HTML), everything else is kept.
inline std::string escape(std::string_view s) {
    std::string o;
    o.reserve(s.size());
    for (unsigned char c : s) {
        switch (c) {
        case '&': o += "&amp;"; break;
        case '<': o += "&lt;"; break;
        case '>': o += "&gt;"; break;
        case '"': o += "&quot;"; break;
        case '\'': o += "&#39;"; break;
        default:
            if (c >= 0x20 && c != 0x7f) o += char(c);
        }
    }
    return o;
}

inline std::string base64(const unsigned char *p, size_t n) {
    static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string o;
    for (size_t i = 0; i < n; i += 3) {
        unsigned v = unsigned(p[i]) << 16 | (i + 1 < n ? unsigned(p[i + 1]) << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
        o += t[v >> 18 & 63];
        o += t[v >> 12 & 63];
        o += i + 1 < n ? t[v >> 6 & 63] : '=';
        o += i + 2 < n ? t[v & 63] : '=';
    }
    return o;
}

// ---- what a cell shows: the same rules as cells() in the script below ----

struct Cell {
    std::string text, cls;
};

namespace detail {

using nlohmann::json;

inline std::string str(const json &j, const char *key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

inline long long num(const json &j, const char *key) {
    auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<long long>() : 0;
}

inline bool is_state(const std::string &s) { return s == "up" || s == "failing" || s == "down"; }
inline std::string word(const std::string &s, const char *none) { return is_state(s) ? s : none; }
inline std::string state_cls(const std::string &s) { return "st st-" + (is_state(s) ? s : std::string("none")); }

inline std::string iso_time(long long t) {
    time_t tt = time_t(t);
    struct tm tm;
    char b[32];
    if (!gmtime_r(&tt, &tm) || !strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &tm)) return "?";
    return b;
}

inline std::vector<Cell> cells(const json &n) {
    std::vector<Cell> c;
    std::string ping = str(n, "ping"), agent = str(n, "agent"), port_state = str(n, "port_state");
    bool agent_data = n.value("agent_data", false);
    c.push_back({str(n, "name"), "name"});
    c.push_back({str(n, "address"), ""});
    c.push_back({word(ping, "unknown"), state_cls(ping)});
    long long rtt = num(n, "last_ping_ms");
    c.push_back({is_state(ping) && rtt >= 0 ? std::to_string(rtt) + " ms" : "\u2014", "num"});
    long long port = num(n, "port");
    if (port) {
        std::string label = str(n, "port_label");
        c.push_back({std::to_string(port) + (label.empty() ? "" : " " + label) + " " + word(port_state, "unknown"),
                     state_cls(port_state)});
    } else {
        c.push_back({"\u2014", "st st-none"});
    }
    c.push_back({word(agent, "not asked"), state_cls(agent)});
    auto load = n.find("load_ratio");
    if (load != n.end() && load->is_number()) {
        char b[64];
        snprintf(b, sizeof b, "%.2f", load->get<double>());
        c.push_back({b, "num"});
    } else {
        c.push_back({"\u2014", "num"});
    }
    c.push_back({agent_data ? std::to_string(num(n, "free_kb") / 1024) + " MiB" : "\u2014", "num"});
    c.push_back({agent_data ? std::to_string(num(n, "connections")) : "\u2014", "num"});
    if (!agent_data) {
        c.push_back({"\u2014", ""});
    } else {
        std::string t;
        const json &th = n.contains("thresholds") ? n["thresholds"] : json::object();
        for (auto [key, words] : {std::pair{"memory_low", "memory low"}, std::pair{"disk_low", "disk low"},
                                  std::pair{"connections_high", "connections high"}})
            if (th.value(key, false)) t += (t.empty() ? "" : ", ") + std::string(words);
        c.push_back(t.empty() ? Cell{"ok", "th-ok"} : Cell{t, "th-crossed"});
    }
    c.push_back({std::to_string(num(n, "failures")), "num"});
    return c;
}

inline const char *source_words(const std::string &s) {
    if (s == "fit") return "the fit nodes";
    if (s == "fail-open") return "FAILING OPEN: every member, none is fit";
    if (s == "zone-file") return "the zone file's members (no node probed yet)";
    return "nothing";
}

inline std::vector<Cell> header(const json &doc) {
    std::vector<Cell> h;
    std::string kord = str(doc, "kord");
    std::string k = kord == "running" || kord == "stale" ? kord : "not-running";
    h.push_back({"kord " + (kord.empty() ? std::string("not running") : kord), "kord k-" + k});
    auto hb = doc.find("heartbeat");
    if (hb != doc.end() && hb->is_number()) {
        h.push_back({"heartbeat " + std::to_string(num(doc, "heartbeat_age_s")) + " s ago", ""});
        h.push_back({"started " + iso_time(num(doc, "started")), ""});
        h.push_back({"pid " + std::to_string(num(doc, "pid")), ""});
    } else {
        h.push_back({"no heartbeat", ""});
    }
    if (doc.contains("error")) h.push_back({"error: " + str(doc, "error"), "error"});
    return h;
}

inline std::string group_title(const json &g) { return str(g, "name") + "." + str(g, "domain"); }

inline std::string group_line(const json &g) {
    long long nodes = num(g, "node_count");
    std::string s = "method " + str(g, "method") + " \u00b7 " + std::to_string(nodes) +
                    (nodes == 1 ? " node" : " nodes") + " \u00b7 probed every " + std::to_string(num(g, "interval_us") / 1000) +
                    " ms \u00b7 alerts every " + std::to_string(num(g, "alert_interval_min")) + " min";
    std::string peer = str(g, "peer");
    if (!peer.empty()) s += " \u00b7 mirror of " + peer;
    return s;
}

inline Cell publishes(const json &g) {
    auto f = g.find("flowgate");
    if (f == g.end() || !f->is_object()) return {"flowgate: not known", "fg fg-none"};
    std::string src = str(*f, "source");
    std::string t = "flowgate would publish " + std::string(source_words(src));
    auto a = f->find("addresses");
    if (a != f->end() && a->is_array() && !a->empty()) {
        t += ":";
        for (const json &x : *a)
            if (x.is_string()) t += " " + x.get<std::string>();
    }
    bool known = src == "fit" || src == "fail-open" || src == "zone-file";
    return {t, "fg fg-" + (known ? src : std::string("none"))};
}

}  // namespace detail

inline const char *kColumns[] = {"node",  "address", "ping",        "round trip", "port",     "agent",
                                 "load",  "free memory", "connections", "thresholds", "failures"};

// The page's style and script; both carry the response's nonce.
inline const char kStyle[] = R"CSS(
body{font:14px/1.4 system-ui,sans-serif;margin:1em 2em;color:#111;background:#fafafa}
h1{font-size:1.3em;margin:0 0 .3em}h2{font-size:1.1em;margin:1.2em 0 .2em}
header p,section p{margin:.2em 0}header span{margin-right:1.2em}
table{border-collapse:collapse;background:#fff}th,td{border:1px solid #ccc;padding:.2em .6em;text-align:left}
th{background:#eee}td.num{text-align:right}
.st-up{background:#d4f5d4}.st-failing{background:#fff0b3}.st-down{background:#f8c8c8;font-weight:bold}
.st-none{color:#666}.th-crossed{background:#ffd9b3;font-weight:bold}.th-ok{color:#275f27}
.kord{font-weight:bold;padding:0 .4em}.k-running{background:#d4f5d4}.k-stale{background:#fff0b3}
.k-not-running{background:#f8c8c8}.error{color:#a00}
p.fg{display:inline-block;padding:0 .4em}.fg-fail-open{background:#f8c8c8;font-weight:bold}.fg-zone-file{background:#fff0b3}
#updated{color:#555;font-size:.9em}#updated.late{color:#a00;font-weight:bold}
)CSS";

inline const char kScript[] = R"JS(
'use strict';
(function () {
  const dash = '\u2014';
  const isState = s => s === 'up' || s === 'failing' || s === 'down';
  const word = (s, none) => isState(s) ? s : none;
  const stateCls = s => 'st st-' + (isState(s) ? s : 'none');
  const iso = t => new Date(t * 1000).toISOString().replace(/\.\d+Z$/, 'Z');
  const num = v => typeof v === 'number' ? v : 0;
  const str = v => typeof v === 'string' ? v : '';
  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    if (cls) e.className = cls;
    return e;
  }
  function cells(n) {
    const c = [], agentData = n.agent_data === true, ping = str(n.ping);
    c.push([str(n.name), 'name'], [str(n.address), '']);
    c.push([word(ping, 'unknown'), stateCls(ping)]);
    c.push([isState(ping) && num(n.last_ping_ms) >= 0 ? num(n.last_ping_ms) + ' ms' : dash, 'num']);
    if (num(n.port)) {
      const label = str(n.port_label);
      c.push([num(n.port) + (label ? ' ' + label : '') + ' ' + word(str(n.port_state), 'unknown'),
              stateCls(str(n.port_state))]);
    } else {
      c.push([dash, 'st st-none']);
    }
    c.push([word(str(n.agent), 'not asked'), stateCls(str(n.agent))]);
    c.push([typeof n.load_ratio === 'number' ? n.load_ratio.toFixed(2) : dash, 'num']);
    c.push([agentData ? Math.floor(num(n.free_kb) / 1024) + ' MiB' : dash, 'num']);
    c.push([agentData ? String(num(n.connections)) : dash, 'num']);
    if (!agentData) {
      c.push([dash, '']);
    } else {
      const th = n.thresholds || {}, t = [];
      if (th.memory_low === true) t.push('memory low');
      if (th.disk_low === true) t.push('disk low');
      if (th.connections_high === true) t.push('connections high');
      c.push(t.length ? [t.join(', '), 'th-crossed'] : ['ok', 'th-ok']);
    }
    c.push([String(num(n.failures)), 'num']);
    return c;
  }
  const sources = {'fit': 'the fit nodes', 'fail-open': 'FAILING OPEN: every member, none is fit',
                   'zone-file': "the zone file's members (no node probed yet)"};
  function publishes(g) {
    const f = g.flowgate;
    if (!f || typeof f !== 'object') return ['flowgate: not known', 'fg fg-none'];
    const src = str(f.source);
    let t = 'flowgate would publish ' + (sources[src] || 'nothing');
    const a = Array.isArray(f.addresses) ? f.addresses.filter(x => typeof x === 'string') : [];
    if (a.length) t += ': ' + a.join(' ');
    return [t, 'fg fg-' + (sources[src] ? src : 'none')];
  }
  function header(doc) {
    const h = [], kord = str(doc.kord);
    const k = kord === 'running' || kord === 'stale' ? kord : 'not-running';
    h.push(['kord ' + (kord || 'not running'), 'kord k-' + k]);
    if (typeof doc.heartbeat === 'number') {
      h.push(['heartbeat ' + num(doc.heartbeat_age_s) + ' s ago', ''], ['started ' + iso(num(doc.started)), ''],
             ['pid ' + num(doc.pid), '']);
    } else {
      h.push(['no heartbeat', '']);
    }
    if ('error' in doc) h.push(['error: ' + str(doc.error), 'error']);
    return h;
  }
  const columns = JSON.parse(document.getElementById('columns').textContent);
  function section(g) {
    const s = el('section');
    s.append(el('h2', str(g.name) + '.' + str(g.domain)));
    let line = 'method ' + str(g.method) + ' \u00b7 ' + num(g.node_count) +
               (num(g.node_count) === 1 ? ' node' : ' nodes') + ' \u00b7 probed every ' +
               Math.floor(num(g.interval_us) / 1000) + ' ms \u00b7 alerts every ' + num(g.alert_interval_min) + ' min';
    if (str(g.peer)) line += ' \u00b7 mirror of ' + str(g.peer);
    s.append(el('p', line));
    const [ft, fc] = publishes(g);
    s.append(el('p', ft, fc));
    const table = el('table'), head = el('tr'), body = el('tbody');
    for (const c of columns) head.append(el('th', c));
    table.append(el('thead'), body);
    table.tHead.append(head);
    for (const n of Array.isArray(g.nodes) ? g.nodes : []) {
      const tr = el('tr', undefined, str(n.ping) === 'down' ? 'row-down' : '');
      for (const [text, cls] of cells(n)) tr.append(el('td', text, cls));
      body.append(tr);
    }
    s.append(table);
    return s;
  }
  function draw(doc) {
    const live = el('p');
    live.id = 'live';
    for (const [text, cls] of header(doc)) live.append(el('span', text, cls));
    const main = el('main');
    main.id = 'groups';
    for (const g of Array.isArray(doc.groups) ? doc.groups : []) main.append(section(g));
    document.getElementById('live').replaceWith(live);
    document.getElementById('groups').replaceWith(main);
  }
  const updated = document.getElementById('updated');
  let last = new Date();
  async function tick() {
    try {
      const r = await fetch('status.json', {cache: 'no-store', credentials: 'same-origin'});
      if (!r.ok) throw new Error('HTTP ' + r.status);
      draw(await r.json());
      last = new Date();
      updated.textContent = 'updated ' + last.toISOString().replace(/\.\d+Z$/, 'Z');
      updated.className = '';
    } catch (e) {
      updated.textContent = 'not updated since ' + last.toISOString().replace(/\.\d+Z$/, 'Z') + ': ' + e.message;
      updated.className = 'late';
    }
    setTimeout(tick, REFRESH_MS);
  }
  setTimeout(tick, REFRESH_MS);
})();
)JS";

// The whole page for a status document; nonce allows the page's own style
// and script under the Content-Security-Policy the server sends with it.
inline std::string render(const nlohmann::json &doc, const std::string &nonce, time_t now) {
    using namespace detail;
    std::string o =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width\"><title>Tessaron status</title>"
        "<style nonce=\"" + nonce + "\">" + kStyle + "</style></head>\n<body>\n<header><h1>Tessaron status</h1>\n"
        "<p id=\"live\">";
    for (const Cell &c : header(doc))
        o += "<span" + (c.cls.empty() ? "" : " class=\"" + c.cls + "\"") + ">" + escape(c.text) + "</span>";
    o += "</p>\n<p id=\"updated\">shown at " + iso_time(now) + "</p></header>\n<main id=\"groups\">";
    const nlohmann::json &groups = doc.contains("groups") ? doc["groups"] : nlohmann::json::array();
    for (const nlohmann::json &g : groups) {
        o += "<section><h2>" + escape(group_title(g)) + "</h2><p>" + escape(group_line(g)) + "</p>";
        Cell p = publishes(g);
        o += "<p class=\"" + p.cls + "\">" + escape(p.text) + "</p>\n<table><thead><tr>";
        for (const char *col : kColumns) o += std::string("<th>") + col + "</th>";
        o += "</tr></thead><tbody>";
        const nlohmann::json &nodes = g.contains("nodes") ? g["nodes"] : nlohmann::json::array();
        for (const nlohmann::json &n : nodes) {
            o += str(n, "ping") == "down" ? "\n<tr class=\"row-down\">" : "\n<tr>";
            for (const Cell &c : cells(n))
                o += (c.cls.empty() ? "<td>" : "<td class=\"" + c.cls + "\">") + escape(c.text) + "</td>";
            o += "</tr>";
        }
        o += "</tbody></table></section>\n";
    }
    o += "</main>\n<script type=\"application/json\" id=\"columns\">[";
    for (const char *col : kColumns) o += std::string(col == kColumns[0] ? "" : ",") + "\"" + col + "\"";
    std::string script = kScript;
    std::string ms = std::to_string(kRefreshSeconds * 1000);
    for (size_t at; (at = script.find("REFRESH_MS")) != std::string::npos;) script.replace(at, 10, ms);
    o += "]</script>\n<script nonce=\"" + nonce + "\">" + script + "</script>\n</body></html>\n";
    return o;
}

// The Content-Security-Policy for a page rendered with nonce: nothing from
// anywhere but the page's own style, script and fetches of this server.
inline std::string policy(const std::string &nonce) {
    return "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
           "'; connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

// ---- the password file of --listen-auth: lines "user:hash" ----

struct Credential {
    std::string user, hash;
    int line = 0;
};

// Bcrypt ($2a$, $2b$, $2y$) or SHA-512 crypt ($6$), as crypt(3) takes them.
inline bool hash_kind_known(std::string_view h) {
    return h.starts_with("$2a$") || h.starts_with("$2b$") || h.starts_with("$2y$") || h.starts_with("$6$");
}

// Empty lines and lines starting with # are skipped. Every problem becomes
// "FILE:LINE: problem" in errors; true when there was none.
inline bool parse_auth(std::string_view text, const std::string &file, std::vector<Credential> &out,
                       std::vector<std::string> &errors) {
    size_t before = errors.size();
    int lineno = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        lineno++;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == '#') continue;
        std::string where = file + ":" + std::to_string(lineno) + ": ";
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            errors.push_back(where + "want user:hash, not \"" + escape(line.substr(0, 40)) + "\"");
            continue;
        }
        std::string user(line.substr(0, colon)), hash(line.substr(colon + 1));
        bool printable = true;
        for (unsigned char c : line) printable = printable && c > 0x20 && c < 0x7f;
        if (!printable) {
            errors.push_back(where + "user " + escape(user) + ": spaces or control characters in the line");
        } else if (!hash_kind_known(hash)) {
            errors.push_back(where + "user " + user + ": the hash is neither bcrypt ($2b$) nor SHA-512 crypt ($6$)");
        } else {
            bool dup = false;
            for (const Credential &c : out) dup = dup || c.user == user;
            if (dup)
                errors.push_back(where + "user " + user + " given twice");
            else
                out.push_back({user, hash, lineno});
        }
    }
    if (out.empty() && errors.size() == before) errors.push_back(file + ": no user:hash line");
    return errors.size() == before;
}

}  // namespace status_page
