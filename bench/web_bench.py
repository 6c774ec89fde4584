#!/usr/bin/python3
"""The web page at scale, in Debian's Chromium (headless, through Selenium).

Starts `vigilo-bench web-serve` (the program's tables, web server and event stream, with
thousands of rows whose cells a driver changes at a set rate) and measures:
  - the page's first render: from the login to every row held and the first page drawn, and
    the turn to the next page;
  - the update rate the page keeps up with: at each rate, how far behind the newest change the
    cells in the page are (each changed cell holds the time it was written);
  - the event stream's CPU share in the server: its CPU with the page open over without;
  - the server's idle CPU (only the countdown ticking) with the page open, over without.
Prints RESULT lines for scripts/bench. Usage: web_bench.py VIGILO_BENCH [--accounts N]
[--rooms N] [--seconds S]. Exits 77 when Chromium, chromedriver or Selenium is missing.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

SKIP = 77

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("web bench skipped: python3-selenium is not installed", file=sys.stderr)
    sys.exit(SKIP)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
TICKS = os.sysconf("SC_CLK_TCK")
COUNTER = 8  # the account table's counter column, which the driver writes


def result(figure, value, target="", verdict="-"):
    print("RESULT\tweb\t%s\t%s\t%s\t%s" % (figure, value, target, verdict), flush=True)


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def cpu_share(pid, seconds):
    """The process's CPU over `seconds` of wall time, in % of one core."""
    start_cpu, start = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return 100.0 * (cpu_seconds(pid) - start_cpu) / (time.monotonic() - start)


def wait_for(what, condition, timeout=120):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            value = condition()
            if value:
                return value
        except Exception:
            pass
        time.sleep(0.05)
    raise AssertionError("timed out waiting for: " + what)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench")
    parser.add_argument("--accounts", type=int, default=5000)
    parser.add_argument("--rooms", type=int, default=50)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--rates", default="100,1000,5000")
    args = parser.parse_args()
    if not CHROMIUM or not DRIVER:
        print("web bench skipped: chromium or chromedriver is not installed", file=sys.stderr)
        return SKIP
    rates = [int(r) for r in args.rates.split(",")]

    server = subprocess.Popen([args.bench, "web-serve", "--accounts", str(args.accounts), "--rooms", str(args.rooms)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    driver = None
    try:
        ready = server.stdout.readline().split()
        assert ready and ready[0] == "READY", "the server did not start"
        port, token = int(ready[1]), open(ready[2]).read().strip()

        def rate(n):
            server.stdin.write("rate %d\n" % n)
            server.stdin.flush()

        # Without a page: idle (the countdown only), then each rate of changes.
        time.sleep(2)
        idle_without = cpu_share(server.pid, args.seconds)
        without = {}
        for n in rates:
            rate(n)
            time.sleep(1)
            without[n] = cpu_share(server.pid, args.seconds)
        rate(0)

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000"):
            options.add_argument(arg)
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        driver.set_script_timeout(60)
        driver.get("http://127.0.0.1:%d/" % port)
        wait_for("the login form", lambda: driver.find_element(By.ID, "login-token"))
        driver.find_element(By.ID, "login-token").send_keys(token)
        start = time.monotonic()
        driver.find_element(By.ID, "login-button").click()
        # The page holds every row and draws the first page of them (200 rows) at once.
        shown = min(args.accounts, 200)
        wait_for("the first page of accounts", lambda: driver.execute_script(
            "return state.tables.accounts && state.tables.accounts.rows.length") == args.accounts
            and driver.execute_script("return document.querySelectorAll('#accounts tbody tr').length") == shown)
        driver.execute_async_script("requestAnimationFrame(() => requestAnimationFrame(arguments[0]))")
        first_render = time.monotonic() - start
        result("login to the first page drawn, %d accounts + %d rooms held (s)" % (args.accounts, args.rooms),
               "%.2f" % first_render)
        start = time.monotonic()
        driver.find_element(By.CSS_SELECTOR, "#accounts-pager .next").click()
        wait_for("the second page", lambda: driver.execute_script(
            "return document.querySelector('#accounts tbody tr').dataset.row") == str(shown))
        driver.execute_async_script("requestAnimationFrame(() => requestAnimationFrame(arguments[0]))")
        result("turning a page of the account table (s)", "%.2f" % (time.monotonic() - start))

        time.sleep(2)
        idle_with = cpu_share(server.pid, args.seconds)
        extra = idle_with - idle_without
        result("server idle CPU with the page open - without (% of a core)", "%.2f" % extra, "< 1",
               "ok" if extra < 1 else "MISS")
        result("server idle CPU without a page (% of a core)", "%.2f" % idle_without)

        # How far behind the page's copy of the table is: the newest stamp it holds, against now.
        lag_script = ("const now = Date.now(); let newest = 0;"
                      "for (const r of state.tables.accounts.rows) {"
                      "  const v = Number(r[%d]); if (v > newest) newest = v; }"
                      "return newest ? now - newest : -1;" % COUNTER)
        for n in rates:
            rate(n)
            time.sleep(2)
            lags = []
            cpu_start, wall_start = cpu_seconds(server.pid), time.monotonic()
            while time.monotonic() - wall_start < args.seconds:
                lags.append(driver.execute_script(lag_script))
                time.sleep(0.5)
            with_page = 100.0 * (cpu_seconds(server.pid) - cpu_start) / (time.monotonic() - wall_start)
            lags = sorted(l for l in lags if l >= 0)
            # The newest cell is at most a driver step (100 ms) old when the page keeps up.
            worst = lags[-1] if lags else float("nan")
            median = lags[len(lags) // 2] if lags else float("nan")
            kept_up = bool(lags) and worst < 1000
            result("%d changes/s: page behind the newest change, median / worst (ms)" % n, "%d / %d" % (median, worst),
                   "< 1000", "ok" if kept_up else "MISS")
            share = with_page - without[n]
            result("%d changes/s: server CPU without a page / with it (%% of a core)" % n,
                   "%.1f / %.1f" % (without[n], with_page))
            result("%d changes/s: the event stream's share of the server's CPU" % n,
                   "%.0f %%" % (100.0 * share / with_page if with_page > 0 else 0))
        rate(0)
        return 0
    finally:
        if driver:
            driver.quit()
        if server.poll() is None:
            try:
                server.stdin.write("quit\n")
                server.stdin.flush()
                server.wait(20)
            except Exception:
                server.kill()
                server.wait()


if __name__ == "__main__":
    sys.exit(main())
