#!/usr/bin/python3
"""Drives the station page in headless Chromium: signs an operator in as a badge
reader would (the name and Enter, the secret and Enter), types a unit tag into slot 2,
starts all idle slots, waits until every card has ended (one slot's controller
reports a device error), checks the records table, its search by tag and its
CSV download, the event latency measured in the page and the browser console.

usage: station_browser_test.py --url URL --screenshot PATH --expect-failed-slot N
       --sign-in NAME:SECRET [--timeout S]
Exits 0 on success, 1 with a one-line reason on failure."""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from headless_browser import Failure, check_console, full_page_png, start_browser, wait_for  # noqa: E402

TAG = "SN-TEST-0002"
TAG_SLOT = 2
MAX_P99_MS = 200
ENDED = ("upgraded", "failed", "cancelled")

# Each card as {slot, run, state, text}; text is what the last-text box holds.
CARDS_JS = """
return Array.from(document.querySelectorAll('[data-slot]')).map(c => ({
  slot: Number(c.dataset.slot), run: c.dataset.run,
  state: c.querySelector('[data-role="state"]').textContent.trim(),
  text: c.querySelector('[data-role="text"]').textContent.trim()}));
"""


def run(driver, opts):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1280, "height": 720, "deviceScaleFactor": 1, "mobile": False})
    driver.get(opts.url)
    cards = wait_for("the slot cards", 20, lambda: [
        c for c in driver.execute_script(CARDS_JS) if c["state"]] or None)
    slots = [c["slot"] for c in cards]
    print("1. page open: %d cards (slots %s), states %s" % (
        len(cards), ", ".join(map(str, slots)), ", ".join(c["state"] for c in cards)))
    if TAG_SLOT not in slots or opts.expect_failed_slot not in slots:
        raise Failure("expected slots %d and %d, the page shows %s"
                      % (TAG_SLOT, opts.expect_failed_slot, slots))
    wait_for("the start-all button to be enabled", 10,
             lambda: driver.find_element(By.ID, "start-all").is_enabled())
    widths = driver.execute_script(
        "const e = document.documentElement; return [e.scrollWidth, e.clientWidth]")
    if widths[0] > widths[1]:
        raise Failure("the page scrolls horizontally at 1280x720 (%d px wide in %d)" % tuple(widths))

    # A badge reader types the name and Enter; the secret and Enter sign in.
    person, secret = opts.sign_in.split(":", 1)
    wait_for("the sign-in form", 10, lambda: driver.find_element(By.ID, "sign-in").is_displayed())
    driver.find_element(By.ID, "sign-in-name").send_keys(person + Keys.ENTER)
    focused = driver.execute_script("return document.activeElement.id")
    if focused != "sign-in-secret":
        raise Failure("Enter after the name leaves the focus on %r, not the secret" % focused)
    driver.switch_to.active_element.send_keys(secret + Keys.ENTER)
    who = wait_for("the person signed in", 10, lambda: (
        driver.find_element(By.ID, "who").text if driver.find_element(By.ID, "who").is_displayed()
        else None))
    if not who.startswith(person) or driver.find_element(By.ID, "sign-in").is_displayed():
        raise Failure("after signing in the page shows %r and the form %s" % (
            who, "still" if driver.find_element(By.ID, "sign-in").is_displayed() else "hidden"))
    print("1a. signed in as %s" % who)

    runs_before = {c["slot"]: c["run"] for c in cards}
    driver.find_element(By.CSS_SELECTOR, '[data-slot="%d"] [data-role="tag"]' % TAG_SLOT).send_keys(TAG)
    clicked_ms = time.time() * 1000
    driver.find_element(By.ID, "start-all").click()
    print("2. typed %s into slot %d and clicked Start all idle slots" % (TAG, TAG_SLOT))

    def all_ended():  # every card has ended a run it did not show before the click
        now = driver.execute_script(CARDS_JS)
        done = all(c["state"] in ENDED and c["run"] != runs_before.get(c["slot"]) for c in now)
        return now if done else None
    try:
        ended = wait_for("every card to end", opts.timeout, all_ended)
    except Failure as e:
        states = ", ".join("%d=%s" % (c["slot"], c["state"]) for c in driver.execute_script(CARDS_JS))
        raise Failure("%s (states: %s)" % (e, states))
    expected = {c["slot"]: "failed" if c["slot"] == opts.expect_failed_slot else "upgraded" for c in ended}
    wrong = [c for c in ended if c["state"] != expected[c["slot"]]]
    if wrong:
        raise Failure("unexpected end states: " + ", ".join("%d=%s" % (c["slot"], c["state"]) for c in wrong))
    failed = next(c for c in ended if c["slot"] == opts.expect_failed_slot)
    text_box = driver.find_element(By.CSS_SELECTOR, '[data-slot="%d"] [data-role="text"]' % failed["slot"])
    if not failed["text"] or not text_box.is_displayed():
        raise Failure("slot %d failed but its card shows no failure text" % failed["slot"])
    print("3. all cards ended: %s; slot %d says %r" % (
        ", ".join("%d=%s" % (c["slot"], c["state"]) for c in ended), failed["slot"], failed["text"]))

    # the time cell's title holds the record's ISO time; older records of the same tag do not count
    row = wait_for("a new record tagged " + TAG, 15, lambda: driver.execute_script(
        "const r = Array.from(document.querySelectorAll('#records tbody tr')).find(tr =>"
        "  Date.parse(tr.cells[0].title) >= arguments[1] - 2000 &&"
        "  Array.from(tr.cells).some(td => td.textContent.trim() === arguments[0]));"
        "return r ? Array.from(r.cells).map(td => td.textContent.trim()).join(' | ') : null;", TAG, clicked_ms))
    print("4. records table: " + row.replace("\n", " / "))
    if person not in [cell.strip() for cell in row.split("|")]:
        raise Failure("the record does not name its operator %s: %s" % (person, row))

    # the search finds the unit by its tag, and the CSV link gives its rows
    box = driver.find_element(By.ID, "records-tag")
    box.send_keys(TAG)
    driver.find_element(By.CSS_SELECTOR, "#records-search button[type=submit]").click()
    rows = wait_for("the records of " + TAG + " alone", 15, lambda: driver.execute_script(
        "const rows = Array.from(document.querySelectorAll('#records tbody tr'));"
        "return rows.length && rows.every(tr => Array.from(tr.cells).some("
        "  td => td.textContent.trim() === arguments[0])) ? rows.length : 0;", TAG))
    csv = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "fetch(document.getElementById('records-csv').href).then(r => r.text()).then(done, e => done('ERR ' + e));")
    lines = [l for l in csv.split("\r\n") if l]
    if not lines or not lines[0].startswith("run_id,station_seq,") or len(lines) < 2 or \
            not all(TAG in l for l in lines[1:]):
        raise Failure("the CSV download does not hold the searched unit's rows: %r" % csv[:200])
    print("4a. search: %d row(s) for %s; the CSV link gives %d row(s) of it" % (rows, TAG, len(lines) - 1))
    box.clear()
    driver.find_element(By.CSS_SELECTOR, "#records-search button[type=submit]").click()

    with open(opts.screenshot, "wb") as f:
        f.write(full_page_png(driver))
    lat = driver.execute_script("return window.stationLatencies || []")
    if not lat:
        raise Failure("the page recorded no event latencies")
    lat = sorted(lat)
    p99 = lat[min(len(lat) - 1, int(len(lat) * 0.99))]
    print("5. screenshot %s; event latency: %d events, median %.0f ms, p99 %.0f ms, max %.0f ms" % (
        opts.screenshot, len(lat), statistics.median(lat), p99, lat[-1]))
    if p99 > MAX_P99_MS:
        raise Failure("event latency p99 %.0f ms exceeds %d ms" % (p99, MAX_P99_MS))

    check_console(driver, "6")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--url", required=True)
    ap.add_argument("--screenshot", required=True)
    ap.add_argument("--expect-failed-slot", type=int, required=True)
    ap.add_argument("--timeout", type=float, default=120)
    ap.add_argument("--sign-in", required=True, metavar="NAME:SECRET")
    opts = ap.parse_args()
    driver = None
    profile = tempfile.mkdtemp(prefix="station-chromium-")
    try:
        driver = start_browser(profile, 1280, 720)
        run(driver, opts)
    except Failure as e:
        print("FAIL: %s" % e)
        return 1
    except Exception as e:  # the browser or driver broke
        print("FAIL: %s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else ""))
        return 1
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
