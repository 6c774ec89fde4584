#!/usr/bin/python3
"""The web page in a real browser: Debian's Chromium, headless, driven by Selenium.

Runs vigilo-sim (the demo scenario plus an account with a hostile nickname) and
`vigilo --headless --web`, then, in the page: logs in with the token, sees the simulator's
accounts and rooms appear, adds a link and sees its row, presses 停止录制 and sees the row say
已停止录制, plays a collected recording in a <video> (duration > 0), and checks that the hostile
nickname is shown as text and ran no script.

Usage: browser_test.py VIGILO VIGILO_SIM. With VIGILO_WEB_SCREENSHOTS=DIR it also saves
pictures of the page's two monitor tabs there. Exits 77 (skipped) when Chromium, chromedriver or
Selenium is missing.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
HOSTILE = '<img src=x onerror="document.title=\'pwned\'"></script><script>document.title="pwned"</script>\x07'


def skip(why):
    print("SKIPPED: " + why + " (install chromium, chromium-driver and python3-selenium: scripts/bootstrap)")
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    skip("python3-selenium is not installed")

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    skip("chromium or chromedriver is not installed")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, condition, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            value = condition()
            if value:
                return value
        except Exception:  # the page may be between two states
            pass
        time.sleep(0.1)
    raise AssertionError("timed out waiting for: " + what)


def main():
    vigilo, vigilo_sim = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="vigilo-browser-")
    home = os.path.join(work, "home")
    run = os.path.join(work, "run")
    os.makedirs(home)
    os.makedirs(run, mode=0o700)
    env_file = os.path.join(work, "sim.env")
    sim = vig = driver = None
    try:
        sim = subprocess.Popen([vigilo_sim, "--port", "0", "--scenario", "demo", "--data-dir", home,
                                "--env-file", env_file, "--quiet", "--extra-account", HOSTILE],
                               stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "sim.log"), "w"),
                               start_new_session=True)
        wait_for("the simulator's environment", lambda: os.path.exists(env_file)
                 and os.path.exists(os.path.join(home, "文件2.txt")))
        env = {k: v for k, v in os.environ.items() if not k.startswith("VIGILO_")}
        extra_link = None
        for line in open(env_file, encoding="utf-8"):
            if line.startswith("export ") and "=" in line:
                key, value = line[7:].rstrip("\n").split("=", 1)
                value = value.strip("'")
                if key == "SIM_EXTRA_ACCOUNT_LINK":
                    extra_link = value
                else:
                    env[key] = value
        assert extra_link, "the simulator gave no extra account"
        env.update({"VIGILO_PACING_SCALE": "0.1", "XDG_RUNTIME_DIR": run, "VIGILO_HOME": home})
        port = free_port()
        vig = subprocess.Popen([vigilo, "--headless", "--web", str(port), "--duration", "120"], env=env,
                               stdout=open(os.path.join(work, "vigilo.out"), "w"),
                               stderr=open(os.path.join(work, "vigilo.err"), "w"), start_new_session=True)
        token_file = os.path.join(home, "web-token")
        wait_for("the web token", lambda: os.path.exists(token_file) and os.path.getsize(token_file) > 0)
        token = open(token_file).read().strip()
        assert oct(os.stat(token_file).st_mode & 0o777) == "0o600"

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--mute-audio",
                    "--autoplay-policy=no-user-gesture-required", "--window-size=1400,1000"):
            options.add_argument(arg)
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        driver.set_script_timeout(20)
        url = "http://127.0.0.1:%d/" % port
        wait_for("the web page", lambda: driver.get(url) or driver.find_element(By.ID, "login-token"))
        title = driver.title

        # A wrong token is refused; the right one opens the page.
        driver.find_element(By.ID, "login-token").send_keys("wrong")
        driver.find_element(By.ID, "login-button").click()
        wait_for("the refusal", lambda: driver.find_element(By.ID, "login-error").text)
        field = driver.find_element(By.ID, "login-token")
        field.clear()
        field.send_keys(token)
        driver.find_element(By.ID, "login-button").click()
        wait_for("the page after login", lambda: driver.find_element(By.ID, "app").is_displayed())

        def rows(table):
            return driver.execute_script(
                "return Array.from(document.querySelectorAll('#%s tbody tr')).map("
                "r => Array.from(r.children).map(c => c.textContent))" % table)

        # The simulator's three accounts and its live room.
        wait_for("three accounts with nicknames", lambda: len(rows("accounts")) == 3
                 and all(r[4] for r in rows("accounts")))
        driver.find_element(By.CSS_SELECTOR, "button[data-page=live]").click()
        wait_for("a room being recorded", lambda: any(r[6].strip() == "正在录制" for r in rows("rooms")), 30)

        # A link added through the page: its row appears, the hostile nickname as plain text.
        driver.find_element(By.CSS_SELECTOR, "button[data-page=works]").click()
        box = driver.find_element(By.ID, "account-links")
        box.clear()
        box.send_keys(extra_link)
        driver.find_element(By.CSS_SELECTOR, "input[name=account-mode][value=single]").click()
        driver.find_element(By.ID, "add-accounts").click()
        wait_for("the added account's row", lambda: any(r[4] == HOSTILE for r in rows("accounts")), 30)
        assert driver.execute_script("return document.querySelectorAll('#accounts img, #accounts script, "
                                     "#events img, #log img').length") == 0
        assert driver.title == title, "a script from the service ran: title is " + driver.title

        # Let the recording hold a few seconds of video, then 停止录制.
        time.sleep(3)
        driver.find_element(By.CSS_SELECTOR, "button[data-page=live]").click()
        shots = os.environ.get("VIGILO_WEB_SCREENSHOTS")
        if shots:
            os.makedirs(shots, exist_ok=True)
            driver.save_screenshot(os.path.join(shots, "web-live.png"))
            driver.find_element(By.CSS_SELECTOR, "button[data-page=works]").click()
            time.sleep(0.3)
            driver.save_screenshot(os.path.join(shots, "web-works.png"))
            driver.find_element(By.CSS_SELECTOR, "button[data-page=live]").click()
        driver.find_element(By.ID, "stop-recording").click()
        wait_for("已停止录制", lambda: any(r[6].strip() == "已停止录制" for r in rows("rooms")), 30)

        # The collected recording plays in the page.
        driver.find_element(By.CSS_SELECTOR, "button[data-page=recordings]").click()

        def collected():
            driver.find_element(By.ID, "refresh-recordings").click()
            time.sleep(0.3)
            return [r for r in rows("recordings") if r[1] == "已收集"]
        wait_for("a collected recording", collected, 30)
        driver.find_element(By.CSS_SELECTOR, "#recordings tbody tr button.play").click()
        duration = wait_for("the video's duration", lambda: driver.execute_script(
            "const v = document.getElementById('player'); return v.readyState >= 1 && v.duration > 0 ? v.duration : 0"),
            20)
        print("video duration in the browser: %.2f s" % duration)
        assert driver.title == title
        errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"
                  and "favicon" not in e.get("message", "") and "401" not in e.get("message", "")]
        assert not errors, errors
        print("browser test passed")
        return 0
    finally:
        if driver:
            driver.quit()
        for proc in (vig, sim):
            if proc and proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(20)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        if os.environ.get("VIGILO_KEEP_BROWSER_TEST"):
            print("kept " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
