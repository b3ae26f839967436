"""A parent at the dashboard, in real headless Chromium driven through WebDriver (chromedriver).

Started by the end-to-end tests with the dashboard's address and a named pipe; reads one command per
line from the pipe (a JSON list: the action, then its arguments) and answers each with one JSON line
on standard output: the page's visible text after the action, or {"error": ...}. The actions are
what a parent does with the controls as a screen reader names them (buttons by their text, fields by
their label), plus the tampering a test needs (a forged cookie, a form without its token).
"""
import json
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--no-first-run", "--disable-extensions"):
        options.add_argument(argument)
    # The server's own CA is not the system's; the test trusts it for this browser only.
    options.accept_insecure_certs = True
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def text(driver):
    return driver.find_element(By.TAG_NAME, "body").text


def button(driver, label):
    for candidate in driver.find_elements(By.TAG_NAME, "button"):
        if candidate.text.strip() == label:
            return candidate
    raise LookupError("no button " + label)


def field(driver, label):
    for candidate in driver.find_elements(By.TAG_NAME, "label"):
        if candidate.text.strip() == label:
            target = candidate.get_attribute("for")
            return driver.find_element(By.ID, target) if target else candidate.find_element(By.XPATH, ".//input|.//textarea|.//select")
    raise LookupError("no field labelled " + label)


def next_page(driver, page):
    """Waits until the page a click left is gone and the next one has loaded whole."""
    def gone(_):
        # Chromium's driver reports an element of a page being left either as stale or as not in
        # the document: both mean the next page has come.
        try:
            page.tag_name
            return False
        except WebDriverException:
            return True

    def loaded(d):
        try:
            return d.execute_script("return document.readyState") == "complete"
        except WebDriverException:
            return False

    WebDriverWait(driver, 30).until(gone)
    WebDriverWait(driver, 30).until(loaded)


def main():
    base = sys.argv[1].rstrip("/")
    driver = browser()
    driver.set_page_load_timeout(30)
    try:
        # The commands come through a named pipe: standard input is not the test's to keep open.
        for line in open(sys.argv[2], encoding="utf-8"):
            command = json.loads(line)
            action, arguments = command[0], command[1:]
            try:
                if action == "open":
                    driver.get(base + arguments[0])
                elif action == "fill":
                    element = field(driver, arguments[0])
                    element.clear()
                    element.send_keys(arguments[1])
                elif action == "choose":
                    element = field(driver, arguments[0])
                    if element.is_selected() != bool(arguments[1]):
                        element.click()
                elif action == "press":
                    # Every button sends its form: the answer is the next page. The live part of a
                    # page may be replaced between finding a button and pressing it.
                    page = driver.find_element(By.TAG_NAME, "html")
                    for attempt in range(3):
                        try:
                            button(driver, arguments[0]).click()
                            break
                        except StaleElementReferenceException:
                            if attempt == 2:
                                raise
                    next_page(driver, page)
                elif action == "follow":
                    page = driver.find_element(By.TAG_NAME, "html")
                    driver.find_element(By.LINK_TEXT, arguments[0]).click()
                    next_page(driver, page)
                elif action == "wait for":
                    # Without reloading: what the page's own script brings.
                    deadline = time.monotonic() + float(arguments[1])
                    while arguments[0] not in text(driver) and time.monotonic() < deadline:
                        time.sleep(0.2)
                elif action == "forge cookie":
                    driver.delete_cookie(arguments[0])
                    driver.add_cookie({"name": arguments[0], "value": arguments[1], "secure": True, "httpOnly": True})
                elif action == "drop form tokens":
                    driver.execute_script("document.querySelectorAll('input[name=form]').forEach(e => e.remove())")
                elif action == "source":
                    print(json.dumps({"source": driver.page_source}), flush=True)
                    continue
                else:
                    raise LookupError("unknown action " + action)
                print(json.dumps({"text": text(driver), "url": driver.current_url}), flush=True)
            except (LookupError, WebDriverException) as error:
                print(json.dumps({"error": str(error).splitlines()[0] if str(error) else type(error).__name__}),
                      flush=True)
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
