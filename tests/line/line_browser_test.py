#!/usr/bin/python3
"""The line page in headless Chromium at 1920x1080: starts orvaload-line on an
SQLite file, posts the states of four stations of eight slots as stations do,
and checks that the page shows them without scrolling, that two stations'
slots update live, that the records search finds a tag, and that the browser
console stays clean.

usage: line_browser_test.py --line ORVALOAD_LINE --screenshot PATH
Exits 0 on success, 1 with a one-line reason on failure."""

import argparse
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from headless_browser import Failure, check_console, start_browser, wait_for  # noqa: E402

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


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--line", required=True)
    ap.add_argument("--screenshot", required=True)
    opts = ap.parse_args()
    work = tempfile.mkdtemp(prefix="line-browser-")
    line = driver = None
    try:
        line = subprocess.Popen([opts.line, "--serve", "127.0.0.1:0", "--db", "sqlite:" + work + "/line.db"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = line.stdout.readline()
        found = re.search(r"http://127\.0\.0\.1:\d+", first)
        if not found:
            raise Failure("the line did not start: " + first.strip())
        os.makedirs(os.path.dirname(os.path.abspath(opts.screenshot)), exist_ok=True)
        driver = start_browser(work + "/profile", 1920, 1080)
        run(driver, found.group(0), opts)
    except Failure as e:
        print("FAIL: %s" % e)
        return 1
    except Exception as e:  # the browser, the driver or the line broke
        print("FAIL: %s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else ""))
        return 1
    finally:
        if driver is not None:
            driver.quit()
        if line is not None:
            line.terminate()
            line.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
