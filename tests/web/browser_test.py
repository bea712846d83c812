"""The operator's page in headless Chromium, as browser_test.sh prepares it.

A new device of the maker asks and shows up live; "Assign" gives it the
suggested address, which bootpc then receives; the log shows both entries; a
bad address in "Add" is refused beside its field and the table stays as it
was; a CSV file imported through the page comes back from its export link.
Every view is saved as a PNG.
"""
import argparse
import re
import shlex
import subprocess
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

NEW_MAC = "02:4b:77:00:00:2a"
BAD_MAC, BAD_IP = "02:4B:77:00:00:77", "192.0.2.300"
STATUS_TEXT = re.compile(r"^[A-Z][A-Z0-9_]+: \S")


def key(mac):
    return re.sub(r"[^0-9A-Fa-f]", "", mac).upper()


class Check:
    failures = 0

    def __call__(self, ok, what):
        print(("ok:   " if ok else "FAIL: ") + what, flush=True)
        if not ok:
            Check.failures += 1
        return ok


check = Check()


def browser(work):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-proxy-server", "--window-size=1280,800", f"--user-data-dir={work}/chromium"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    # The screen of a cell's panel PC, whatever the window's frame takes.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
    driver.set_page_load_timeout(20)
    driver.set_script_timeout(10)
    return driver


def bootpc(args, mac, wait):
    command = shlex.split(args.bootpc) + ["--hwaddr", key(mac).lower(), "--returniffail",
                                          "--timeoutwait", str(wait)]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


# The page redraws a view when the server tells of a change, so an element
# read a moment ago may be gone: that is a "not yet", not a failure.
def wait_for(driver, seconds, condition):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.05,
                             ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)
                             ).until(lambda d: condition(d))
    except Exception:  # a timeout is a failed check, reported by the caller
        return None


def show(driver, view):
    driver.find_element(By.ID, f"nav-{view}").click()
    return wait_for(driver, 5, lambda d: d.find_element(By.ID, f"view-{view}").is_displayed())


def screenshot(driver, out, view):
    path = f"{out}/{view}.png"
    check(driver.save_screenshot(path), f"screenshot of the {view} view: {path}")


def new_row(driver):
    rows = driver.find_elements(By.CSS_SELECTOR, f'#new-rows tr[data-mac="{key(NEW_MAC)}"]')
    return rows[0] if rows else None


def nodes_state(driver):
    rows = [r.text for r in driver.find_elements(By.CSS_SELECTOR, "#nodes-rows tr")]
    total = driver.execute_async_script(
        "const done = arguments[0];"
        "fetch('/api/nodes?offset=0&limit=500').then(r => r.json()).then(j => done(j.total), e => done(-1));")
    return rows, driver.find_element(By.ID, "nodes-count").text, total


def new_device_appears_and_is_assigned(driver, args):
    show(driver, "new")
    check(new_row(driver) is None, f"{NEW_MAC} is not listed before it asks")
    started = time.monotonic()
    asking = bootpc(args, NEW_MAC, 2)
    row = wait_for(driver, 2.0, new_row)
    check(row is not None, f"{NEW_MAC} is listed {time.monotonic() - started:.2f} s after it asked (limit 2 s)")
    output, _ = asking.communicate(timeout=20)
    check("IPADDR=" not in output, "the unknown device was not answered")
    if row is None:
        return
    suggested = row.find_element(By.CSS_SELECTOR, "input.assign-ip").get_attribute("value")
    check(re.fullmatch(r"192\.0\.2\.\d+", suggested) is not None and suggested != args.known_ip,
          f"the suggested address {suggested!r} is a free one of the server's subnet")
    screenshot(driver, args.out, "new")

    row.find_element(By.CSS_SELECTOR, "button.assign").click()
    check(wait_for(driver, 5, lambda d: new_row(d) is None) is not None,
          f"{NEW_MAC} leaves the new list after Assign")
    asking = bootpc(args, NEW_MAC, 5)
    output, _ = asking.communicate(timeout=20)
    check(f"IPADDR='{suggested}'" in output, f"bootpc receives {suggested}: {output.strip()!r}")


def log_shows_both_entries(driver, args):
    show(driver, "log")

    def rows_of_device(d):
        rows = [r.text for r in d.find_elements(By.CSS_SELECTOR, "#log-rows tr")]
        mine = [r for r in rows if key(NEW_MAC) in key(r)]
        return (rows, mine) if len(mine) >= 2 else None

    found = wait_for(driver, 5, rows_of_device)
    check(found is not None, f"the log shows both entries of {NEW_MAC} (the unknown request and the reply)")
    if found:
        rows, mine = found
        check(rows[0] == mine[0], f"the newest entry comes first: {rows[0]!r}")
    screenshot(driver, args.out, "log")


def bad_address_is_refused(driver, args):
    show(driver, "nodes")
    wait_for(driver, 5, lambda d: d.find_elements(By.CSS_SELECTOR, "#nodes-rows tr"))
    before = nodes_state(driver)
    driver.find_element(By.ID, "add-mac").send_keys(BAD_MAC)
    driver.find_element(By.ID, "add-ip").send_keys(BAD_IP)
    driver.find_element(By.ID, "add-submit").click()
    error = wait_for(driver, 5, lambda d: d.find_element(By.ID, "add-ip-error").text or None)
    check(error is not None and STATUS_TEXT.match(error) and BAD_IP in error,
          f"the error beside the address field names the status and the address: {error!r}")
    check(driver.find_element(By.ID, "add-mac-error").text == "", "the MAC field shows no error")
    time.sleep(0.5)  # a change would have reached the page by now
    check(nodes_state(driver) == before, f"the node table is unchanged: {before[1]!r}")
    screenshot(driver, args.out, "nodes")


def import_and_export(driver, args):
    # In the order the server keeps its table, so that the export reads the same.
    table = "mac,ip\n02:4B:77:00:00:01,192.0.2.2\n02:4B:77:00:00:10,192.0.2.20\n02:4B:77:00:00:2A,192.0.2.3\n"
    path = f"{args.work}/nodes.csv"
    with open(path, "w", encoding="ascii") as f:
        f.write(table)
    driver.find_element(By.ID, "import-file").send_keys(path)
    driver.find_element(By.CSS_SELECTOR, '#import-format option[value="csv"]').click()
    driver.find_element(By.ID, "import-submit").click()
    done = wait_for(driver, 10, lambda d: d.find_element(By.ID, "import-done").text or
                    d.find_element(By.ID, "import-error").text or None)
    check(done is not None and "3 rows" in done, f"the CSV file is imported through the page: {done!r}")
    check(wait_for(driver, 5, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#nodes-rows tr")) == 3) is not None,
          "the table shows the three imported rows")
    href = driver.find_element(By.ID, "export-csv").get_attribute("href")
    exported = driver.execute_async_script(
        "const done = arguments[1];"
        "fetch(arguments[0]).then(r => r.text()).then(done, e => done(String(e)));", href)
    check(exported.replace("\r\n", "\n") == table, f"the CSV export link gives the table back: {exported!r}")


def server_view(driver, args):
    show(driver, "server")
    check(wait_for(driver, 5, lambda d: d.find_element(By.ID, "server-mode").text not in ("", "…")) is not None,
          "the server view shows the mode")
    check(driver.find_element(By.ID, "server-started").is_selected(), "the responder shows as started")
    check(driver.find_element(By.ID, "host-ip").get_attribute("value") == "192.0.2.1",
          "the host identity shows the server's address")
    screenshot(driver, args.out, "server")


def main():
    parser = argparse.ArgumentParser()
    for name in ("--url", "--out", "--work", "--bootpc", "--known-mac"):
        parser.add_argument(name, required=True)
    parser.add_argument("--known-ip", default="192.0.2.2")
    args = parser.parse_args()

    driver = browser(args.work)
    try:
        driver.get(args.url)
        check(wait_for(driver, 10, lambda d: d.find_element(By.ID, "live").text == "Live") is not None,
              "the page is live (event stream open)")
        check("token=" not in driver.current_url, "the token has left the address bar")
        new_device_appears_and_is_assigned(driver, args)
        log_shows_both_entries(driver, args)
        bad_address_is_refused(driver, args)
        import_and_export(driver, args)
        server_view(driver, args)
        # A policy violation (inline script or style) or a script error shows
        # as a severe console entry; the refused add's 400 is expected.
        severe = [e["message"] for e in driver.get_log("browser")
                  if e["level"] == "SEVERE" and "favicon.ico" not in e["message"]
                  and "responded with a status of 400" not in e["message"]]
        check(not severe, f"the console shows no errors: {severe}")
    finally:
        driver.quit()
    return 1 if Check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
