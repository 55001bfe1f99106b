#!/usr/bin/python3
"""kqd's page in a real headless browser, against kqd on the simulated reader.

Starts Debian's chromium through chromedriver (python3-selenium), then kqd
with --simulated and a scenario of its own on a free port of 127.0.0.1, and
checks what a user at the page would see and do:
  - the scenario's tags are listed under the reader, the stream is live;
  - a tag that enters the field (the scenario's `enter`) shows up, highlighted,
    within a second of entering, and one that leaves greys out, then goes;
  - a second reader plugged in while the page is open gets its card, shows
    offline when pulled out and online (with its field) when plugged back;
  - a write through the page, then a read through the page, gives the text
    back (and kqd's API reads the same text: it reached the tag);
  - tag memory that looks like markup is shown as text, never run as markup;
  - a sensor measurement shows its value;
  - a request kqd refuses shows kqd's error message and marks the field;
  - kqd restarted: the page says so, reconnects by itself, shows the new field;
  - the browser logged no error (a script error, a blocked resource).
Saves a screenshot of the page (--screenshot).

Exit status 0: passed; 77: skipped (chromium is not installed); else failed.
Usage: page_test.py --kqd PATH [--screenshot FILE] [--enter-ms MS] [--keep]
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SKIP = 77
CHROMIUM_PATHS = ("/usr/bin/chromium", "/usr/bin/chromium-browser")
CHROMEDRIVER_PATHS = ("/usr/bin/chromedriver",)

READER = "KQSIM0001"
TAG_A = "E0040150A1B2C301"  # in the field from the start; leaves
TAG_B = "E0040150A1B2C302"  # in the field throughout: written and read
TAG_C = "E0040150A1B2C303"  # enters the field
SENSOR = "E0040150A1B2C3F0"  # sensor tag, in the field throughout
READER_B = "DESK-B"  # a second reader: plugged in, pulled out, plugged back
TAG_B1 = "E0040150A1B2C3B1"  # in DESK-B's field

ARRIVAL_LIMIT_S = 1.0  # the page shows an arrival within a second


def log(msg):
    print(f"page_test: {msg}", flush=True)


class Failure(Exception):
    pass


def check(cond, msg):
    if not cond:
        raise Failure(msg)


def find(paths):
    for p in paths:
        if os.access(p, os.X_OK):
            return p
    return None


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http(method, url, body=None, timeout=10):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(url, data=data, method=method)
    if data is not None:
        req.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


class Kqd:
    """kqd on the simulated reader, on a free port; stopped by stop()."""

    def __init__(self, binary, scenario, workdir):
        self.binary = binary
        self.scenario = scenario
        self.log_path = os.path.join(workdir, "kqd.log")
        self.proc = None
        self.base = None
        self.started_at = None

    def start(self, port=None):
        # A port found free can be taken before kqd binds it: try a few.
        for _ in range(5 if port is None else 1):
            port = port or free_port()
            self.base = f"http://127.0.0.1:{port}"
            self.logf = open(self.log_path, "ab")
            self.started_at = time.time()
            self.proc = subprocess.Popen(
                [self.binary, "--simulated", "--scenario", self.scenario,
                 "--listen", f"127.0.0.1:{port}"],
                stdin=subprocess.DEVNULL, stdout=self.logf, stderr=subprocess.STDOUT,
                env={k: v for k, v in os.environ.items() if k not in ("KQ_D2XX", "KQSIM_SCENARIO")})
            deadline = time.time() + 20
            while time.time() < deadline:
                if self.proc.poll() is not None:
                    break
                try:
                    status, _ = http("GET", self.base + "/healthz", timeout=2)
                    if status == 200:
                        log(f"kqd answers on {self.base} after {time.time() - self.started_at:.2f} s")
                        return
                except OSError:
                    pass
                time.sleep(0.05)
            if self.proc.poll() is None:
                self.stop()
                raise Failure("kqd did not answer /healthz within 20 s\n" + self.log_tail())
            log(f"kqd ended at once (status {self.proc.returncode}); trying another port")
            port = None
        raise Failure("kqd did not start\n" + self.log_tail())

    def port(self):
        return int(self.base.rsplit(":", 1)[1])

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure("kqd did not end within 15 s of SIGTERM\n" + self.log_tail())
        return self.proc.returncode

    def log_tail(self, lines=40):
        try:
            with open(self.log_path, "rb") as f:
                text = f.read().decode("utf-8", "replace")
        except OSError:
            return ""
        return "kqd's log (end):\n" + "\n".join(text.splitlines()[-lines:])


def scenario_text(enter_ms):
    return "\n".join([
        "# The browser test's readers. The default one: two tags and a sensor",
        "# tag from the start, a third that enters, the first one leaving.",
        f"tag {TAG_A} 4 64",
        f"tag {TAG_B} 4 64",
        f"tag {TAG_C} 4 64 out",
        f"sensor {SENSOR} 90 00A1B2C3",
        f"enter {enter_ms} {TAG_C}",
        f"leave {enter_ms + 2000} {TAG_A}",
        "# A second reader, plugged in while the page is open, then pulled out",
        "# and plugged back.",
        f"reader {READER_B}",
        f"plug {enter_ms}",
        f"tag {TAG_B1} 4 64",
        f"unplug {enter_ms + 5000}",
        f"replug {enter_ms + 8000}",
        "",
    ])


def start_browser(chromium, chromedriver, workdir):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    opts = webdriver.ChromeOptions()
    opts.binary_location = chromium
    for a in ("--headless=new", "--window-size=1280,1000", "--disable-gpu",
              "--disable-dev-shm-usage", "--no-first-run", "--no-default-browser-check",
              "--disable-background-networking", "--disable-component-update",
              "--disable-sync", "--disable-default-apps", "--disable-extensions",
              "--force-device-scale-factor=1", "--lang=en-US",
              f"--user-data-dir={os.path.join(workdir, 'chromium-profile')}"):
        opts.add_argument(a)
    if os.geteuid() == 0:
        opts.add_argument("--no-sandbox")  # chromium's sandbox refuses to run as root
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(executable_path=chromedriver,
                      log_path=os.path.join(workdir, "chromedriver.log"))
    return webdriver.Chrome(service=service, options=opts)


class Page:
    def __init__(self, driver):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait

        self.d = driver
        self.By = By
        self.Wait = WebDriverWait

    def wait(self, what, fn, timeout=15):
        try:
            return self.Wait(self.d, timeout, poll_frequency=0.05).until(lambda _: fn())
        except Exception as e:  # TimeoutException, with the page's state for the log
            raise Failure(f"timed out after {timeout} s waiting for {what}; the page says:\n"
                          + self.d.find_element(self.By.TAG_NAME, "body").text) from e

    def id(self, i):
        return self.d.find_element(self.By.ID, i)

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def rows(self, serial):
        return self.js(
            "const c = document.querySelector(`article.reader[data-serial='${arguments[0]}']`);"
            "return c ? [...c.querySelectorAll('tr.tag')].map(r => ({uid: r.dataset.uid,"
            " cls: r.className, text: r.innerText})) : null;", serial)

    def row(self, serial, uid):
        for r in self.rows(serial) or []:
            if r["uid"] == uid:
                return r
        return None

    def fill(self, i, value):
        e = self.id(i)
        e.clear()
        e.send_keys(value)

    def use_tag(self, serial, uid):
        self.d.find_element(
            self.By.CSS_SELECTOR,
            f"article.reader[data-serial='{serial}'] tr.tag[data-uid='{uid}'] button").click()
        check(self.id("op-uid").get_attribute("value") == uid, "“Use” did not fill in the UID")
        check(self.id("op-reader").get_attribute("value") == serial, "“Use” did not choose the reader")

    def run(self, button, timeout=30):
        """Clicks an operation's button and waits until the answer is shown."""
        self.id(button).click()
        self.wait(f"the answer to {button}", lambda: self.id(button).is_enabled()
                  and self.id("op-busy").text == "", timeout)
        err = self.id("op-error")
        if err.is_displayed():
            return None, err.text
        check(self.id("op-result").is_displayed(), f"{button}: neither a result nor an error shown")
        return self.id("op-result").text, None

    def read_text(self):
        return self.js("const t = document.getElementById('op-text'); return t ? t.textContent : null;")


def run(args, workdir):
    chromium = find(CHROMIUM_PATHS)
    if chromium is None:
        log("SKIPPED: chromium is not installed (scripts/deps.sh browser installs it)")
        return SKIP
    chromedriver = find(CHROMEDRIVER_PATHS)
    check(chromedriver is not None,
          "chromium is installed but chromedriver is not (scripts/deps.sh browser)")
    try:
        import selenium  # noqa: F401
    except ImportError:
        raise Failure(f"{sys.executable} has no selenium module (scripts/deps.sh browser "
                      "installs python3-selenium for /usr/bin/python3)")
    check(os.access(args.kqd, os.X_OK), f"no kqd at {args.kqd}")

    t_start = time.time()
    driver = start_browser(chromium, chromedriver, workdir)
    log(f"{chromium} up in {time.time() - t_start:.2f} s "
        f"(version {driver.capabilities.get('browserVersion', '?')})")
    kqd = None
    try:
        scenario = os.path.join(workdir, "field.scenario")
        with open(scenario, "w") as f:
            f.write(scenario_text(args.enter_ms))
        kqd = Kqd(args.kqd, scenario, workdir)
        kqd.start()
        page = Page(driver)
        # The simulated reader's clock starts when kqd loads it, after this.
        enter_at = kqd.started_at + args.enter_ms / 1000.0

        # 1. The scenario's tags, live.
        driver.get(kqd.base + "/")
        check(driver.title.startswith("kqd"), f"unexpected page title '{driver.title}'")
        page.wait("the stream to be live", lambda: page.id("conn").text == "Live")
        page.wait(f"reader {READER} with {TAG_A}, {TAG_B} and {SENSOR}",
                  lambda: {TAG_A, TAG_B, SENSOR} <= {r["uid"] for r in page.rows(READER) or []})
        shown = {r["uid"] for r in page.rows(READER)}
        check(TAG_C not in shown, f"{TAG_C} is shown before it entered the field")
        check("online" in page.id("readers").text, "the reader is not shown online")
        log(f"the page shows {sorted(shown)} {time.time() - kqd.started_at:.2f} s after kqd started")

        # 2. An arrival, timed in the page itself (a MutationObserver notes when the row appears).
        ready = time.time()
        check(ready < enter_at - 0.3,
              f"the page was ready only {ready - kqd.started_at:.2f} s after kqd started, too late "
              f"for the arrival at {args.enter_ms} ms: raise --enter-ms")
        page.js("""
            window.kqdSeen = {};
            const note = () => {
              for (const tr of document.querySelectorAll('tr.tag[data-uid]')) {
                if (!(tr.dataset.uid in window.kqdSeen))
                  window.kqdSeen[tr.dataset.uid] = {at: Date.now(), cls: tr.className};
              }
            };
            note();
            new MutationObserver(note).observe(document.getElementById('readers'),
                                               {subtree: true, childList: true});
        """)
        seen = page.wait(f"{TAG_C} to arrive on the page",
                         lambda: page.js("return window.kqdSeen[arguments[0]] || null;", TAG_C),
                         timeout=args.enter_ms / 1000.0 + 10)
        latency = seen["at"] / 1000.0 - enter_at
        log(f"arrival shown {latency * 1000:.0f} ms after the tag entered the field "
            f"(an upper bound: the reader's clock started after kqd did)")
        check("arrived" in seen["cls"].split(), f"the arrival is not highlighted (class '{seen['cls']}')")
        check(latency <= ARRIVAL_LIMIT_S,
              f"the arrival took {latency:.3f} s to show, more than {ARRIVAL_LIMIT_S} s")
        events = page.id("events").text
        check("arrived" in events and TAG_C in events, "the event list does not show the arrival")

        # 3. A departure: greyed out first, then gone.
        page.wait(f"{TAG_A} to grey out as it leaves",
                  lambda: "leaving" in (page.row(READER, TAG_A) or {}).get("cls", ""), timeout=15)
        page.wait(f"{TAG_A}'s row to go", lambda: page.row(READER, TAG_A) is None, timeout=10)
        check(page.row(READER, TAG_C) is not None and page.row(READER, TAG_B) is not None,
              "other tags went with the one that left")

        # 4. A reader plugged in while the page is open gets its card; pulled
        #    out, it shows offline; plugged back, online with its field again.
        def reader_state(serial):
            return page.js(
                "const c = document.querySelector(`article.reader[data-serial='${arguments[0]}']`);"
                "return c ? {state: c.querySelector('.state').textContent,"
                " offline: c.classList.contains('offline')} : null;", serial)

        page.wait(f"reader {READER_B} to appear with {TAG_B1}",
                  lambda: page.row(READER_B, TAG_B1) is not None, timeout=15)
        check(reader_state(READER_B) == {"state": "online", "offline": False},
              f"{READER_B} is not shown online: {reader_state(READER_B)}")
        check(READER_B in [o.get_attribute("value") for o in
                           page.id("op-reader").find_elements(page.By.TAG_NAME, "option")],
              f"{READER_B} cannot be chosen for operations")
        page.wait(f"{READER_B} to go offline",
                  lambda: reader_state(READER_B) == {"state": "offline", "offline": True}, timeout=15)
        page.wait(f"{READER_B} to come back online",
                  lambda: reader_state(READER_B) == {"state": "online", "offline": False}, timeout=15)
        page.wait(f"{TAG_B1} in {READER_B}'s field after its return",
                  lambda: page.row(READER_B, TAG_B1) is not None and "leaving" not in
                  page.row(READER_B, TAG_B1)["cls"], timeout=10)
        events = page.id("events").text
        check("offline" in events and "online" in events,
              "the event list does not show the reader going and coming back")
        log(f"{READER_B}: plugged in, out and back, shown live")

        # 5. A refused request: kqd's message, the field marked.
        page.use_tag(READER, TAG_B)
        page.fill("write-first", "0")
        page.fill("write-text", "caf\u00e9 au lait!!!")  # not ASCII: kqd refuses it
        result, error = page.run("write-btn")
        check(error is not None, f"a non-ASCII text was written: {result}")
        check("text" in error and "HTTP 400" in error, f"the error does not name the field: {error}")
        check(page.id("write-text").get_attribute("aria-invalid") == "true",
              "the text input is not marked invalid")
        log(f"refused write shown as: {error!r}")

        # 6. Markup in tag memory is text.
        markup = "<img src=x id=kqdpwn onerror=x>"
        markup += "-" * (-len(markup) % 8)
        page.fill("write-text", markup)
        result, error = page.run("write-btn")
        check(error is None, f"writing the markup text failed: {error}")
        page.fill("read-first", "0")
        page.fill("read-count", str(len(markup) // 4))
        result, error = page.run("read-btn")
        check(error is None, f"reading the markup text back failed: {error}")
        check(page.read_text() == markup, f"read back {page.read_text()!r}, wrote {markup!r}")
        check(page.js("return document.getElementById('kqdpwn') === null "
                      "&& document.querySelector('#op-result img') === null;"),
              "tag memory was inserted as markup")

        # 7. A sensor measurement.
        page.use_tag(READER, SENSOR)
        result, error = page.run("sensor-btn")
        check(error is None, f"the sensor measurement failed: {error}")
        check("value" in result, f"the sensor's value is not shown: {result}")
        log("sensor: " + " ".join(result.split()))

        # 8. Write, then read, through the page: the text comes back.
        text = "HELLO FROM THE KQD PAGE 42"
        text += "." * (-len(text) % 8)
        page.use_tag(READER, TAG_B)
        page.fill("write-first", "2")
        page.fill("write-text", text)
        result, error = page.run("write-btn")
        check(error is None, f"the write failed: {error}")
        check(page.id("write-text").get_attribute("aria-invalid") is None,
              "the text input is still marked invalid after a good write")
        page.fill("read-first", "2")
        page.fill("read-count", str(len(text) // 4))
        result, error = page.run("read-btn")
        check(error is None, f"the read failed: {error}")
        check(page.read_text() == text, f"the page read {page.read_text()!r}, wrote {text!r}")
        status, body = http("POST", f"{kqd.base}/v1/readers/{READER}/tags/{TAG_B}/read",
                            {"first": 2, "count": len(text) // 4}, timeout=30)
        check(status == 200, f"kqd's own read: HTTP {status} {body[:200]!r}")
        check(text in body.decode("utf-8", "replace"), f"the tag does not hold the text: {body[:300]!r}")
        log("write then read through the page round-trips")

        if args.screenshot:
            os.makedirs(os.path.dirname(os.path.abspath(args.screenshot)), exist_ok=True)
            driver.execute_script("window.scrollTo(0, 0); document.activeElement.blur();")
            # The whole page, not just the window's height.
            height = driver.execute_script("return document.documentElement.scrollHeight;")
            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": 1280, "height": int(height), "deviceScaleFactor": 1, "mobile": False})
            driver.save_screenshot(args.screenshot)
            driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
            log(f"screenshot: {args.screenshot}")

        # 9. kqd restarted: the page says it lost the stream, reconnects by
        #    itself and shows the new kqd's readers (its simulated reader
        #    starts afresh: the tag that left is back, the second reader is
        #    not plugged in yet).
        status = kqd.stop()
        check(status == 0, f"kqd ended with status {status} after SIGTERM\n" + kqd.log_tail())
        page.wait("the page to notice that kqd went", lambda: page.id("conn").text != "Live")
        log(f"kqd stopped; the page says: {page.id('conn').text!r}")
        kqd.start(port=kqd.port())
        page.wait("the page to be live again", lambda: page.id("conn").text == "Live", timeout=20)
        page.wait(f"{TAG_A} back in the field after the restart",
                  lambda: page.row(READER, TAG_A) is not None
                  and "leaving" not in page.row(READER, TAG_A)["cls"], timeout=10)
        page.wait(f"{READER_B}'s card to go with the reader", lambda: page.rows(READER_B) is None,
                  timeout=10)
        log("kqd restarted: the page reconnected and shows its field")

        # 10. Nothing went wrong inside the browser.
        severe = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
        # The refused write is an HTTP 400 by design; chromium logs failed fetches too.
        severe = [e for e in severe if "400 (Bad Request)" not in e.get("message", "")]
        # So is the stream's loss while kqd restarts.
        severe = [e for e in severe if "/v1/events" not in e.get("message", "")]
        check(not severe, "the browser logged errors:\n" + "\n".join(e["message"] for e in severe))

        status = kqd.stop()
        check(status == 0, f"kqd ended with status {status} after SIGTERM\n" + kqd.log_tail())
        return 0
    finally:
        try:
            driver.quit()
        finally:
            if kqd is not None:
                kqd.stop()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kqd", required=True, help="the kqd program to test")
    ap.add_argument("--screenshot", help="save a screenshot of the page here")
    ap.add_argument("--enter-ms", type=int, default=5000,
                    help="when the third tag enters the field, ms after kqd loads the reader")
    ap.add_argument("--keep", action="store_true", help="keep the scratch folder (logs, scenario)")
    args = ap.parse_args()
    workdir = tempfile.mkdtemp(prefix="kqd-page-test.")
    started = time.time()
    try:
        status = run(args, workdir)
        if status == 0:
            log(f"passed in {time.time() - started:.1f} s")
        return status
    except Failure as e:
        log(f"FAILED: {e}")
        for name in ("kqd.log",):
            p = os.path.join(workdir, name)
            if os.path.exists(p):
                with open(p, "rb") as f:
                    tail = f.read().decode("utf-8", "replace").splitlines()[-30:]
                log(f"{name} (end):\n" + "\n".join(tail))
        return 1
    finally:
        if args.keep:
            log(f"scratch folder kept: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
