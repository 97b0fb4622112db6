"""What the browser tests share: headless Chromium started with the flags
this machine's closed network needs, a bounded wait for a condition, a
screenshot of the whole page, the check that the page's console stayed
clean, and the one failure type whose text is the test's one-line reason."""

import base64
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service


class Failure(Exception):
    pass


def wait_for(what, timeout, probe, every=0.2):
    """Polls probe() until it returns something true; fails naming what."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out after %gs waiting for %s" % (timeout, what))
        time.sleep(every)


def start_browser(profile, width, height):
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=%d,%d" % (width, height), "--user-data-dir=" + profile):
        opts.add_argument(arg)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def full_page_png(driver):
    """The whole page as PNG, below the window's height too."""
    height = driver.execute_script("return document.documentElement.scrollHeight")
    width = driver.execute_script("return window.innerWidth")
    shot = driver.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "png", "captureBeyondViewport": True,
        "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}})
    return base64.b64decode(shot["data"])


def check_console(driver, step):
    """Prints the browser console's entries under `step`; fails on an error
    or on anything the page itself logged."""
    logs = driver.get_log("browser")
    bad = [e for e in logs
           if e.get("level") == "SEVERE" or e.get("source") in ("console-api", "javascript")]
    print("%s. browser console: %d entries, %d bad" % (step, len(logs), len(bad)))
    for e in logs:
        print("   %s %s: %s" % (e.get("level"), e.get("source"), e.get("message")))
    if bad:
        raise Failure("browser console: " + bad[0].get("message", "").replace("\n", " "))
