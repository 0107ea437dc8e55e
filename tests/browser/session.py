"""A real browser against a running corvane-host: the HTML login through a
bearer header leaves a session cookie that carries the user on; a person
signs in with the mouse through the identity provider's page, stays signed
in on a reload and signs out with the page's button; a fresh browser has no cookie and gets the 401
page.

Env: CORVANE_BASE (http://127.0.0.1:PORT), CORVANE_TOKEN (Authorization value),
CORVANE_IDP_NAME (the provider's name on the sign-in link), CHROMIUM and
CHROMEDRIVER (the Debian binaries by default).
"""
import os
import sys
import tempfile
import traceback

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.wait import WebDriverWait

BASE = os.environ["CORVANE_BASE"]
TOKEN = os.environ["CORVANE_TOKEN"]
IDP_NAME = os.environ["CORVANE_IDP_NAME"]

# Nothing leaves loopback: without the background-networking switches
# Chromium keeps dialling out (updates, sync, default apps), and without the
# resolver rule it asks the machine's DNS resolver about names of its own.
# Every address the test uses is 127.0.0.1, which the rule leaves alone;
# any other name fails to resolve, without a query.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-domain-reliability", "--disable-client-side-phishing-detection",
         "--no-pings", "--dns-prefetch-disable", "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
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
    steps = []

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

        person = browser(profile_root)

        def sign_in():
            person.get(BASE + "/whoami.html")
            assert heading(person) == "401 Unauthorized", person.page_source
            person.find_element(By.LINK_TEXT, "Sign in with " + IDP_NAME).click()
            # The provider's page: pick the demo user.
            person.find_element(By.PARTIAL_LINK_TEXT, "alice").click()
            assert person.current_url == BASE + "/whoami.html", person.current_url
            assert cell(person, "user_id") == "alice", person.page_source
            assert cell(person, "sso_user_id") == "alice"
            assert not [c for c in person.get_cookies() if c["name"] == "corvane_login"], "the sign-in's cookie is spent"

        def reload_signed_in():
            person.refresh()
            assert cell(person, "user_id") == "alice", person.page_source
            assert cell(person, "authenticated_by") == "session"

        def fresh_browser():
            other = browser(profile_root)
            try:
                other.get(BASE + "/whoami.html")
                assert heading(other) == "401 Unauthorized", other.page_source
                assert not other.get_cookies()
            finally:
                other.quit()

        def sign_out():
            # A button: signing out is a POST from the site's own page.
            person.find_element(By.XPATH, "//button[normalize-space()='Sign out']").click()
            # A form's submission may still be loading when click() returns.
            WebDriverWait(person, 30).until(
                expected_conditions.text_to_be_present_in_element((By.TAG_NAME, "h1"), "Signed out"))
            assert heading(person) == "Signed out", person.page_source
            person.get(BASE + "/whoami.html")
            assert heading(person) == "401 Unauthorized", person.page_source

        steps = [
            ("with the Authorization header the page shows the user", with_header),
            ("without the header the same browser is still signed in", cookie_alone),
            ("a person signs in through the provider's page and lands back on the page", sign_in),
            ("a reload is signed in by the cookie alone", reload_signed_in),
            ("a new browser without the cookie sees the 401 page", fresh_browser),
            ("signing out ends the session", sign_out),
        ]
        try:
            for name, body in steps:
                step(name, body)
        finally:
            person.quit()
    finally:
        driver.quit()
    print("%d passed, %d failed" % (len(steps) - failures, failures))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="corvane-browser-") as root:
        sys.exit(main(root))
