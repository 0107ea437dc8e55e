"""A real browser against a running corvane-host: the HTML login through a
bearer header leaves a session cookie that carries the user on; a fresh
browser has no cookie and gets the 401 page.

Env: CORVANE_BASE (http://127.0.0.1:PORT), CORVANE_TOKEN (Authorization value),
CHROMIUM and CHROMEDRIVER (the Debian binaries by default).
"""
import os
import sys
import tempfile
import traceback

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

BASE = os.environ["CORVANE_BASE"]
TOKEN = os.environ["CORVANE_TOKEN"]

# Without the background-networking switches Chromium keeps dialling out,
# which a machine without a network refuses many times a second.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage"]


def browser(profile_root):
    options = webdriver.ChromeOptions()
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for flag in FLAGS:
        options.add_argument(flag)
    options.add_argument("--user-data-dir=" + tempfile.mkdtemp(dir=profile_root))
    service = Service(executable_path=os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver"))
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(30)
    return driver


def cell(driver, element_id):
    return driver.find_element(By.ID, element_id).text.strip()


def heading(driver):
    return driver.find_element(By.TAG_NAME, "h1").text.strip()


def main(profile_root):
    failures = 0

    def step(name, body):
        nonlocal failures
        try:
            body()
            print("ok - " + name)
        except Exception:  # a failed step is reported and the next one runs
            failures += 1
            print("not ok - " + name + "\n" + traceback.format_exc(), file=sys.stderr)

    driver = browser(profile_root)
    try:
        def with_header():
            # WebDriver has no extra headers of its own; the DevTools protocol does.
            driver.execute_cdp_cmd("Network.enable", {})
            driver.execute_cdp_cmd("Network.setExtraHTTPHeaders",
                                   {"headers": {"Authorization": TOKEN, "X-Identity-Provider-Id": "local"}})
            driver.get(BASE + "/whoami.html")
            assert cell(driver, "user_id") == "alice", driver.page_source
            assert cell(driver, "authenticated_by") == "jwt"
            session = [c for c in driver.get_cookies() if c["name"] == "corvane_session"]
            assert session, "a session cookie was set"
            assert session[0]["httpOnly"] is True
            assert session[0]["sameSite"] == "Lax"

        def cookie_alone():
            driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {}})
            driver.get(BASE + "/resources/report.html")
            assert cell(driver, "user_id") == "alice", driver.page_source
            assert cell(driver, "authenticated_by") == "session"

        def fresh_browser():
            other = browser(profile_root)
            try:
                other.get(BASE + "/whoami.html")
                assert heading(other) == "401 Unauthorized", other.page_source
                assert not other.get_cookies()
            finally:
                other.quit()

        step("with the Authorization header the page shows the user", with_header)
        step("without the header the same browser is still signed in", cookie_alone)
        step("a new browser without the cookie sees the 401 page", fresh_browser)
    finally:
        driver.quit()
    print("%d passed, %d failed" % (3 - failures, failures))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="corvane-browser-") as root:
        sys.exit(main(root))
