#!/usr/bin/python3
"""Drives kordstat's status page in headless Chromium (selenium).

status_page.py URL [options]: opens URL once and checks it; prints what it
saw, one line per step, and exits 0 when every check held, 1 when one did
not, 77 when Chromium or its driver cannot be started here.

  --auth USER:PASS       basic authentication on every request of the page
  --spki HASH            trust the server's key with this SPKI hash (base64)
  --no-script            JavaScript off: the state must be there at load
  --expect NODE=STATE    the ping cell of NODE at load (repeatable)
  --static               the data does not change: the script's redraw must
                         show exactly the cells the server rendered
  --then NODE=STATE      after "ready" is printed, wait (without a reload)
  --within SECONDS       until the ping cell of NODE says STATE
  --screenshot FILE      a PNG of the page at the end
"""
import argparse
import base64
import os
import shutil
import sys
import tempfile
import time


def fail(msg):
    print("FAIL: " + msg, flush=True)
    sys.exit(1)


def browser(args, profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        print("SKIP: python3-selenium is not installed (%s)" % e, flush=True)
        sys.exit(77)
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not binary or not os.path.exists(driver):
        print("SKIP: chromium and chromium-driver are not installed", flush=True)
        sys.exit(77)
    o = webdriver.ChromeOptions()
    o.binary_location = binary
    for a in ("--headless=new", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
              "--disable-sync", "--no-first-run", "--disable-dev-shm-usage", "--window-size=1400,900",
              "--user-data-dir=" + profile):
        o.add_argument(a)
    if os.geteuid() == 0:
        o.add_argument("--no-sandbox")
    if args.spki:
        o.add_argument("--ignore-certificate-errors-spki-list=" + args.spki)
    if args.no_script:
        o.add_experimental_option("prefs", {"profile.managed_default_content_settings.javascript": 2})
    o.set_capability("goog:loggingOptions", {"browser": "ALL"})
    try:
        return webdriver.Chrome(service=Service(driver), options=o)
    except Exception as e:  # a browser that cannot start here
        print("SKIP: Chromium does not start: %s" % str(e).splitlines()[0], flush=True)
        sys.exit(77)


def cells(d):
    """Every group's rows: [[text, class] per cell], by group title."""
    return d.execute_script("""
        const out = {};
        for (const s of document.querySelectorAll('#groups section')) {
          out[s.querySelector('h2').textContent] = [...s.querySelectorAll('p')].map(p => [p.textContent, p.className])
            .concat([...s.querySelectorAll('tbody tr')].map(tr => [...tr.cells].map(c => [c.textContent, c.className])));
        }
        return out;""")


def ping_states(d):
    return d.execute_script("""
        const out = {};
        for (const tr of document.querySelectorAll('#groups tbody tr'))
          out[tr.cells[0].textContent] = tr.cells[2].textContent;
        return out;""")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("url")
    p.add_argument("--auth")
    p.add_argument("--spki")
    p.add_argument("--no-script", action="store_true")
    p.add_argument("--expect", action="append", default=[])
    p.add_argument("--static", action="store_true")
    p.add_argument("--then")
    p.add_argument("--within", type=float, default=30)
    p.add_argument("--screenshot")
    args = p.parse_args()

    profile = tempfile.mkdtemp(prefix="status-page-chromium.")
    d = browser(args, profile)
    try:
        if args.auth:
            d.execute_cdp_cmd("Network.enable", {})
            token = base64.b64encode(args.auth.encode()).decode()
            d.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": "Basic " + token}})
        d.get(args.url)
        if d.title != "Tessaron status":
            fail("title %r, page %r" % (d.title, d.page_source[:300]))
        d.execute_script("window.loadedOnce = 1;")
        at_load = cells(d)
        states = ping_states(d)
        print("at load: " + " ".join("%s=%s" % kv for kv in sorted(states.items())), flush=True)
        for e in args.expect:
            node, state = e.rsplit("=", 1)
            if states.get(node) != state:
                fail("node %r is %r at load, not %r" % (node, states.get(node), state))
        updated = lambda: d.find_element("id", "updated").text
        if args.no_script:
            time.sleep(3)
            if not updated().startswith("shown at ") or ping_states(d) != states:
                fail("without scripts the page changed: %r" % updated())
            print("no script: the state at load stays", flush=True)
        else:
            deadline = time.time() + 20
            while not updated().startswith("updated ") and time.time() < deadline:
                time.sleep(0.2)
            if not updated().startswith("updated "):
                fail("the page never refreshed itself: %r" % updated())
            print("refreshed: " + updated(), flush=True)
            if args.static and cells(d) != at_load:
                fail("the script's redraw differs from the server's page:\n%r\n%r" % (at_load, cells(d)))
        if args.then:
            node, state = args.then.rsplit("=", 1)
            print("ready", flush=True)
            t0 = time.time()
            while ping_states(d).get(node) != state and time.time() < t0 + args.within:
                time.sleep(0.1)
            seen = ping_states(d).get(node)
            if seen != state:
                fail("node %r still %r after %.1f s" % (node, seen, args.within))
            if d.execute_script("return window.loadedOnce") != 1:
                fail("the page was reloaded")
            print("%s turned %s after %.1f s without a reload" % (node, state, time.time() - t0), flush=True)
        if d.execute_script("return typeof window.pwned") != "undefined":
            fail("a name ran as a script")
        for entry in d.get_log("browser"):
            if "Content Security Policy" in entry["message"] or entry["level"] == "SEVERE" \
                    and "favicon" not in entry["message"]:
                fail("browser console: " + entry["message"])
        if args.screenshot:
            d.save_screenshot(args.screenshot)
        print("OK", flush=True)
    finally:
        d.quit()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    main()
