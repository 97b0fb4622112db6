#!/usr/bin/python3
"""The line page in headless Chromium. First at 1920x1080: starts orvaload-line
on an SQLite file, posts the states of four stations of eight slots as
stations do, and checks that the page shows them without scrolling, that two
stations' slots update live and that the records search finds a tag. Then
the supervisor's view, on a line of its own: three stations of two slots,
one of them failing, and rows of the last hours put in; at 1280x800 the
figures on the page are those the rows make (counted here from the rows
themselves), a failed slot shows its whole text and stands out by colour and
word, each station shows its age and sync, the records filter by station and
result, and nothing scrolls sideways; then the same page at 1920x1080 and at
390 px wide (stacked). The browser console stays clean throughout.

usage: line_browser_test.py --line ORVALOAD_LINE --screenshot PATH
(the supervisor's screenshots go beside PATH: line-supervisor-1280.png,
-1920.png and -390.png, the last of the whole page)
Exits 0 on success, 1 with a one-line reason on failure."""

import argparse
import datetime
import math
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from headless_browser import Failure, check_console, full_page_png, start_browser, wait_for  # noqa: E402

STATIONS = ["st-1", "st-2", "st-3", "st-4"]
SLOTS = 8
TAG = "SN-LINE-0042"


def post(base, path, body):
    req = urllib.request.Request(base + path, data=json.dumps(body).encode(), method="POST",
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=10) as res:
        return json.loads(res.read())


def state(station, running_slot, permille):
    slots = []
    for n in range(1, SLOTS + 1):
        running = n == running_slot
        slots.append({"slot": n, "port": "/dev/ttyUSB%d" % (n - 1),
                      "state": "running" if running else "idle",
                      "permille": permille if running else 0,
                      "tag": "SN-%s-%d" % (station, n) if running else None,
                      "last_text": "programming" if running else None})
    return {"page": "http://127.0.0.1:9/" + station, "slots": slots, "unsynced": 0,
            "unsynced_oldest_s": None}


def row(station, seq, tag):
    return {"run_id": "%s-%d" % (station, seq), "station_seq": seq, "station": station, "slot": 1,
            "port": "/dev/ttyUSB0", "usb_location": None, "usb_serial": None, "tag": tag,
            "image_sha256": "a" * 64, "image_size": 180036, "load_address": 536870912,
            "image_source": "built-in", "program_version": "2.00",
            "started_at": "2026-12-09T14:06:41.123Z", "ended_at": "2026-12-09T14:06:44.456Z",
            "result": "ok", "step": None, "last_text": "done", "frames": 700, "retransmissions": 0}


def card(driver, station, slot):
    return driver.execute_script(
        "const b = document.querySelector('[data-name=\"' + arguments[0] + '\"]');"
        "const c = b && b.querySelector('[data-slot=\"' + arguments[1] + '\"]');"
        "return c ? {state: c.dataset.state, width: c.querySelector('.fill').style.width} : null;",
        station, slot)


def run(driver, base, opts):
    for name in STATIONS:
        post(base, "/api/stations/%s/state" % name, state(name, 1, 100))
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1920, "height": 1080, "deviceScaleFactor": 1, "mobile": False})
    driver.get(base + "/")
    wait_for("four station blocks", 20,
             lambda: driver.execute_script("return document.querySelectorAll('.station').length") == 4)
    wait_for("the page live", 20, lambda: driver.find_element(By.ID, "conn").text == "Live")
    print("1. page open: 4 stations of %d slots" % SLOTS)

    # Two stations move on; their cards follow through the event stream.
    start = time.monotonic()
    post(base, "/api/stations/st-1/state", state("st-1", 3, 640))
    post(base, "/api/stations/st-2/state", state("st-2", 5, 250))
    wait_for("st-1 slot 3 at 64%", 5, lambda: card(driver, "st-1", 3) == {"state": "running", "width": "64%"})
    wait_for("st-2 slot 5 at 25%", 5, lambda: card(driver, "st-2", 5) == {"state": "running", "width": "25%"})
    if card(driver, "st-1", 1)["state"] != "idle":
        raise Failure("st-1 slot 1 did not go back to idle")
    print("2. two stations updated live in %.0f ms" % ((time.monotonic() - start) * 1000))

    post(base, "/api/stations/st-3/records", {"rows": [row("st-3", 1, "SN-OTHER"), row("st-3", 2, TAG)]})
    box = driver.find_element(By.ID, "records-tag")
    box.send_keys(TAG, Keys.ENTER)
    found = wait_for("the tag in the records", 10, lambda: [
        r for r in driver.execute_script(
            "return Array.from(document.querySelectorAll('#records tbody tr')).map(r => r.innerText)")
        if TAG in r] and driver.execute_script(
            "return document.querySelectorAll('#records tbody tr').length") == 1)
    href = driver.find_element(By.ID, "records-csv").get_attribute("href")
    if not href.endswith("?tag=" + TAG):
        raise Failure("the CSV link is " + href)
    print("3. search found %s; CSV link %s" % (TAG, href))

    height = driver.execute_script("return document.documentElement.scrollHeight")
    width = driver.execute_script("return document.documentElement.scrollWidth")
    with open(opts.screenshot, "wb") as out:
        out.write(driver.get_screenshot_as_png())
    print("4. page %dx%d at 1920x1080; screenshot %s" % (width, height, opts.screenshot))
    if height > 1080 or width > 1920:
        raise Failure("the page needs scrolling at 1920x1080: %dx%d" % (width, height))

    check_console(driver, "5")


# The supervisor's line: three stations of two slots; st-c fails.
PORT = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port%d"
FAILED_TEXT = ("ORVA had an internal error(3)!\n"
               "erase of block 0x00004000 failed: the controller reported a flash error\n"
               "run again; when it fails again, the controller's flash is worn out")
FAILING = ("failed", "not-opened", "interrupted")


def utc(t):
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (t.microsecond // 1000)


def parsed(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")


def timed_row(station, seq, tag, result, minutes_ago, seconds, text):
    start = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=minutes_ago)
    r = row(station, seq, tag)
    r.update({"run_id": "sup-%s-%d" % (station, seq), "started_at": utc(start),
              "ended_at": utc(start + datetime.timedelta(seconds=seconds)), "result": result,
              "last_text": text})
    return r


# Units run twice (SN-3 failed at st-a and passed at st-b; SN-6 failed twice),
# a run without a tag, a port that would not open, all within the last 8 hours.
def supervisor_rows():
    ok = "Program success, starting application..."
    return {
        "st-a": [timed_row("st-a", 1, "SN-1", "ok", 300, 20.0, ok),
                 timed_row("st-a", 2, "SN-2", "ok", 280, 22.0, ok),
                 timed_row("st-a", 3, "SN-3", "failed", 260, 5.0, FAILED_TEXT),
                 timed_row("st-a", 4, None, "ok", 240, 18.0, ok)],
        "st-b": [timed_row("st-b", 1, "SN-3", "ok", 200, 21.0, ok),
                 timed_row("st-b", 2, "SN-4", "ok", 180, 24.0, ok),
                 timed_row("st-b", 3, "SN-5", "not-opened", 160, 0.0,
                           "serial port open failed!\nthe port is held by ModemManager")],
        "st-c": [timed_row("st-c", 1, "SN-6", "failed", 120, 4.0, FAILED_TEXT),
                 timed_row("st-c", 2, "SN-7", "failed", 100, 30.0,
                           "serial port timeout during transmission, error!"),
                 timed_row("st-c", 3, "SN-6", "failed", 60, 4.0, FAILED_TEXT)],
    }


def counted(rows):
    """The figures of `rows` as the page should show them, counted here: a
    unit is its tag (a run without one its own), its first run decides the
    first-pass yield, an upgraded unit counts once."""
    seen, upgraded = set(), set()
    whole = {"runs": 0, "units": 0, "first": 0, "passed": 0, "failures": 0}
    stations, reasons, ok_seconds = {}, {}, []
    for r in sorted(rows, key=lambda r: (r["started_at"], r["station"], r["station_seq"])):
        unit = r["tag"] or "run " + r["run_id"]
        fig = stations.setdefault(r["station"], dict.fromkeys(whole, 0))
        for f in (whole, fig):
            f["runs"] += 1
            f["first"] += unit not in seen
            f["passed"] += unit not in seen and r["result"] == "ok"
            f["units"] += r["result"] == "ok" and unit not in upgraded
            f["failures"] += r["result"] in FAILING
        seen.add(unit)
        if r["result"] == "ok":
            upgraded.add(unit)
            ok_seconds.append((parsed(r["ended_at"]) - parsed(r["started_at"])).total_seconds())
        if r["result"] in FAILING:
            reason = r["last_text"].split("\n")[0]
            reasons[reason] = reasons.get(reason, 0) + 1
    ok_seconds.sort()
    middle = (ok_seconds[(len(ok_seconds) - 1) // 2] + ok_seconds[len(ok_seconds) // 2]) / 2
    top = sorted(reasons.items(), key=lambda kv: (-kv[1], kv[0]))[:5]
    share = lambda f: "%.1f %%" % (100.0 * f["passed"] / f["first"]) if f["first"] else "–"
    return {
        "v-units": str(whole["units"]),
        "v-rate": "%.1f" % (math.floor(whole["units"] * 10 / 8 + 0.5) / 10),
        "v-yield": share(whole),
        "v-median": "%.1f s" % middle,
        "v-failures": str(whole["failures"]),
        "reasons": [[text, str(n)] for text, n in top],
        "stations": {name: [share(f), str(f["units"])] for name, f in stations.items()},
    }


def supervisor_state(station, slots, unsynced, oldest_s):
    return {"page": "http://127.0.0.1:9/" + station, "unsynced": unsynced, "unsynced_oldest_s": oldest_s,
            "slots": [dict({"slot": n, "port": PORT % (n - 1), "permille": 0, "tag": None, "last_text": None}, **s)
                      for n, s in enumerate(slots, 1)]}


SHOWN_JS = """
const text = (sel) => Array.from(document.querySelectorAll(sel)).map(e => e.innerText.trim());
const figs = {};
for (const id of ['v-units', 'v-rate', 'v-yield', 'v-median', 'v-failures']) figs[id] = text('#' + id)[0];
figs.reasons = Array.from(document.querySelectorAll('#reasons li')).map(
    li => [li.querySelector('.text').innerText, li.querySelector('.count').innerText]);
figs.stations = {};
for (const b of document.querySelectorAll('.station')) {
  figs.stations[b.dataset.name] = [b.querySelector('.st-yield').innerText, b.querySelector('.st-units').innerText];
}
return figs;
"""

# The failed slot of st-c: its word, colour and whole text, and whether any
# of it is cut off or off the screen.
FAILED_JS = """
const c = document.querySelector('[data-name="st-c"] [data-slot="1"]');
const t = c.querySelector('.txt'), p = c.querySelector('.port');
const cut = (e) => e.scrollHeight > e.clientHeight + 1 || e.scrollWidth > e.clientWidth + 1 ||
                   e.getBoundingClientRect().right > document.documentElement.clientWidth;
return {state: c.dataset.state, word: c.querySelector('.st').innerText, text: t.innerText, port: p.innerText,
        cut: cut(t) || cut(p), background: getComputedStyle(c).backgroundColor};
"""

STATIONS_JS = """
return Array.from(document.querySelectorAll('.station')).map(b => ({
  name: b.dataset.name, heard: b.querySelector('.heard').innerText, sync: b.querySelector('.sync').innerText,
  kind: b.querySelector('.sync').dataset.sync, left: b.getBoundingClientRect().left,
  right: b.getBoundingClientRect().right}));
"""

SIDEWAYS_JS = """
const wrap = document.querySelector('.records-wrap');
return {page: document.documentElement.scrollWidth, window: document.documentElement.clientWidth,
        records: wrap.scrollWidth - wrap.clientWidth};
"""


def size(driver, width, height, mobile):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})


def check_failed_slot(driver, width):
    failed = driver.execute_script(FAILED_JS)
    red = [int(v) for v in re.findall(r"\d+", failed["background"])[:3]]
    if failed["word"].upper() != "FAILED" or failed["state"] != "failed":
        raise Failure("at %d px the failed slot says %r" % (width, failed["word"]))
    if failed["text"] != FAILED_TEXT or failed["port"] != PORT % 0 or failed["cut"]:
        raise Failure("at %d px the failed slot's text or port is not whole: %r" % (width, failed))
    if not red[0] > red[1] + 20:
        raise Failure("at %d px the failed slot is not red: %s" % (width, failed["background"]))


def check_sideways(driver, width):
    shown = driver.execute_script(SIDEWAYS_JS)
    if shown["page"] > shown["window"] or shown["records"] > 0:
        raise Failure("at %d px the page scrolls sideways: %r" % (width, shown))


def supervise(driver, base, shots):
    rows = supervisor_rows()
    for name, batch in rows.items():
        post(base, "/api/stations/%s/records" % name, {"rows": batch})
    post(base, "/api/stations/st-a/state", supervisor_state("st-a", [
        {"state": "upgraded", "permille": 1000, "tag": "SN-2", "last_text": "Program success, starting application..."},
        {"state": "running", "permille": 640, "tag": "SN-8", "last_text": "programming"}], 0, None))
    post(base, "/api/stations/st-b/state", supervisor_state("st-b", [
        {"state": "idle"},
        {"state": "upgraded", "permille": 1000, "tag": "SN-4", "last_text": "Program success, starting application..."}],
        2, 5))
    post(base, "/api/stations/st-c/state", supervisor_state("st-c", [
        {"state": "failed", "permille": 120, "tag": "SN-6", "last_text": FAILED_TEXT},
        {"state": "failed", "permille": 30, "tag": "SN-7", "last_text": "serial port timeout during transmission, error!"}],
        3, 400))
    want = counted([r for batch in rows.values() for r in batch])

    size(driver, 1280, 800, False)
    driver.get(base + "/")
    wait_for("the page live", 20, lambda: driver.find_element(By.ID, "conn").text == "Live")
    last = {}

    def figures():
        last["shown"] = driver.execute_script(SHOWN_JS)
        return last["shown"] if last["shown"] == want else None
    try:
        shown = wait_for("the figures of the rows put in", 10, figures)
    except Failure:
        raise Failure("the page shows %r, the rows make %r" % (last.get("shown"), want))
    print("6. figures at 1280x800 as the rows make them: %s units, %s an hour, yield %s, median %s, %s failures"
          % (shown["v-units"], shown["v-rate"], shown["v-yield"], shown["v-median"], shown["v-failures"]))
    print("   reasons %s; stations (yield, units) %s" % (shown["reasons"], shown["stations"]))

    check_failed_slot(driver, 1280)
    listed = {s["name"]: s for s in driver.execute_script(STATIONS_JS)}
    if [listed[n]["kind"] for n in ("st-a", "st-b", "st-c")] != ["ok", "wait", "error"] or \
            listed["st-b"]["sync"] != "2 rows waiting" or not listed["st-c"]["sync"].startswith("3 rows not sent for"):
        raise Failure("the stations' sync: %r" % listed)
    if not all(re.fullmatch(r"\d+ s ago", s["heard"]) for s in listed.values()):
        raise Failure("the stations' ages: %r" % [s["heard"] for s in listed.values()])
    print("7. failed slot whole and red with its word; sync %s; heard %s" % (
        [listed[n]["sync"] for n in sorted(listed)], [listed[n]["heard"] for n in sorted(listed)]))

    Select(driver.find_element(By.ID, "records-station")).select_by_value("st-c")
    Select(driver.find_element(By.ID, "records-result")).select_by_value("failed")
    found = wait_for("st-c's failed runs in the records", 10, lambda: (lambda r: r if len(r) == 3 and all(
        "st-c" in x and "failed" in x for x in r) else None)(driver.execute_script(
            "return Array.from(document.querySelectorAll('#records tbody tr')).map(r => r.innerText)")))
    headers = driver.execute_script("return Array.from(document.querySelectorAll('#records th')).map(t => t.innerText)")
    if "Operator" not in headers:
        raise Failure("no Operator column: %r" % headers)
    link = driver.execute_script("const a = document.querySelector('#people a'); return a ? a.getAttribute('href') : null")
    if link != "people":
        raise Failure("the header does not lead to the people, releases and audit page: %r" % link)
    check_sideways(driver, 1280)
    driver.execute_script("window.scrollTo(0, 0)")
    with open(os.path.join(shots, "line-supervisor-1280.png"), "wb") as out:
        out.write(driver.get_screenshot_as_png())
    print("8. records of st-c that failed: %d rows; no sideways scroll at 1280 px" % len(found))

    size(driver, 1920, 1080, False)
    wait_for("the wide layout", 5, lambda: driver.execute_script("return window.innerWidth") == 1920)
    check_sideways(driver, 1920)
    check_failed_slot(driver, 1920)
    driver.execute_script("window.scrollTo(0, 0)")
    with open(os.path.join(shots, "line-supervisor-1920.png"), "wb") as out:
        out.write(driver.get_screenshot_as_png())
    print("9. 1920x1080: no sideways scroll, the failed slot whole")

    size(driver, 390, 844, True)
    wait_for("the phone layout", 5, lambda: driver.execute_script("return window.innerWidth") == 390)
    check_sideways(driver, 390)
    check_failed_slot(driver, 390)
    blocks = driver.execute_script(STATIONS_JS)
    if len({round(b["left"]) for b in blocks}) != 1 or max(b["right"] for b in blocks) > 390:
        raise Failure("at 390 px the stations are not stacked: %r" % blocks)
    with open(os.path.join(shots, "line-supervisor-390.png"), "wb") as out:
        out.write(full_page_png(driver))
    print("10. 390 px: stations stacked, no sideways scroll, the failed slot whole; page %d px high" %
          driver.execute_script("return document.documentElement.scrollHeight"))
    check_console(driver, "11")


def start_line(program, work, name):
    line = subprocess.Popen([program, "--serve", "127.0.0.1:0", "--db", "sqlite:%s/%s.db" % (work, name)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    first = line.stdout.readline()
    found = re.search(r"http://127\.0\.0\.1:\d+", first)
    return line, found.group(0) if found else None, first


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--line", required=True)
    ap.add_argument("--screenshot", required=True)
    opts = ap.parse_args()
    work = tempfile.mkdtemp(prefix="line-browser-")
    lines, driver = [], None
    try:
        shots = os.path.dirname(os.path.abspath(opts.screenshot))
        os.makedirs(shots, exist_ok=True)
        driver = start_browser(work + "/profile", 1920, 1080)
        for name, scenario in (("line", lambda base: run(driver, base, opts)),
                               ("supervisor", lambda base: supervise(driver, base, shots))):
            line, base, first = start_line(opts.line, work, name)
            lines.append(line)
            if not base:
                raise Failure("the line did not start: " + first.strip())
            scenario(base)
    except Failure as e:
        print("FAIL: %s" % e)
        return 1
    except Exception as e:  # the browser, the driver or the line broke
        print("FAIL: %s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else ""))
        return 1
    finally:
        if driver is not None:
            driver.quit()
        for line in lines:
            line.terminate()
            line.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
