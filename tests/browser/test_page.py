#!/usr/bin/python3
"""The operator page in a real headless Chromium, against a real station with two sandbox boards.

Slot A's operator answers every confirmation yes (PASS); slot B's says no to the LCD picture
(FAIL at lcd); the simulated operator taps the panel 1.5 s after the prompt. Slot B's name and the station's name are markup, which must stay text. Prints the
update latency the page measured (station change to DOM update) and the station's CPU and memory
with the pages open; saves screenshots to --out.

  test_page.py --station build/station/station --agent build/src/TVKTestApp --out build
"""
import argparse
import os
import pty
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM = os.path.join(TOP, "sim", "sim")
HOSTILE_SLOT = 'B <img src=x onerror="window.pwned=1">'
HOSTILE_STATION = "line <script>window.pwned=2</script>"
MACS = {"A": "02:00:00:00:01:0a", HOSTILE_SLOT: "02:00:00:00:01:0b"}
TOKEN = "browser-test-token"

# One call for everything a check needs from the page: each WebDriver call is a round trip.
SNAPSHOT_JS = """
return Array.from(document.querySelectorAll('section.tile')).map(t => ({
  name: t.querySelector('.name').textContent,
  phase: t.className.replace('tile', '').trim(),
  board: t.querySelector('.board').textContent,
  step: t.querySelector('.step').textContent,
  prompt: t.querySelector('.prompt').hidden ? '' : t.querySelector('.prompt-text').textContent,
  countdown: t.querySelector('.countdown').textContent,
  confirm: t.querySelector('.confirm-box').hidden ? '' : t.querySelector('.question').textContent,
  canAnswer: !t.querySelector('button.yes').disabled,
  verdict: t.querySelector('.verdict').hidden ? '' : t.querySelector('.word').textContent,
  detail: t.querySelector('.detail').textContent,
  canStart: !t.querySelector('button.start').disabled,
  markup: t.querySelectorAll('img, script').length,
}));
"""


def wait_for(what, check, timeout=30.0, every=0.05):
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(every)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Station:
    """The station program, its terminal output in a file; the stdin pipe stays open."""

    def __init__(self, binary, config, log):
        self.binary, self.config, self.log = binary, config, log
        self.proc = None

    def start(self):
        # Its output through a pty, line-buffered as a person would see it (stdin stays a pipe,
        # so the terminal does not redraw).
        open(self.log, "ab").close()
        seen = os.path.getsize(self.log)
        master, slave = pty.openpty()
        self.proc = subprocess.Popen([self.binary, "run", self.config], stdin=subprocess.PIPE,
                                     stdout=slave, stderr=slave)
        os.close(slave)
        self.reader = threading.Thread(target=self._copy, args=(master,), daemon=True)
        self.reader.start()
        line = wait_for("the station's operator page line",
                        lambda: re.search(r"operator page: (\S+)\s+\(token (\S+)\)",
                                          open(self.log, "rb").read()[seen:].decode(errors="replace")),
                        timeout=20)
        return line.group(1), line.group(2)

    def _copy(self, master):
        with open(self.log, "ab", buffering=0) as out:
            while True:
                try:
                    data = os.read(master, 4096)
                except OSError:
                    data = b""
                if not data:
                    break
                out.write(data)
        os.close(master)

    def cpu_seconds(self):
        fields = open("/proc/%d/stat" % self.proc.pid).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def memory(self):
        status = open("/proc/%d/status" % self.proc.pid).read()
        return {k: re.search(k + r":\s+(\d+) kB", status).group(1) for k in ("VmRSS", "VmHWM")}

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            self.reader.join(timeout=5)
            return self.proc.returncode


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-dev-shm-usage", "--user-data-dir=" + profile):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
    return driver


def tiles(driver):
    return {t["name"]: t for t in driver.execute_script(SNAPSHOT_JS)}


def button(driver, slot, css):
    for tile in driver.find_elements(By.CSS_SELECTOR, "section.tile"):
        if tile.find_element(By.CSS_SELECTOR, ".name").text == slot:
            return tile.find_element(By.CSS_SELECTOR, css)
    raise AssertionError("no tile for slot " + slot)


def step_of(tile):
    m = re.match(r"Step (\d+) of (\d+)", tile["step"])
    return int(m.group(1)) if m else 0


def run(args, work, drivers, station, boards):
    # Two boards in the sandbox, one slot each.
    for slot, state in boards.items():
        subprocess.run([sys.executable, SIM, "--state", state, "start", "--fast", "--agent",
                        args.agent, "--mac", MACS[slot]], check=True, stdout=subprocess.DEVNULL,
                       timeout=120)
    url, token = station.start()
    assert token == TOKEN, token

    page = browser(os.path.join(work, "profile-1"))
    drivers.append(page)
    page.get(url + "?token=" + token)
    wait_for("two tiles", lambda: len(tiles(page)) == 2)
    assert "token" not in page.current_url, "the token is taken out of the address bar"
    assert page.find_element(By.ID, "station").text == HOSTILE_STATION
    assert set(tiles(page)) == set(MACS), tiles(page)

    # The second page comes without the token: read-only until the operator types it in.
    other = browser(os.path.join(work, "profile-2"))
    drivers.append(other)
    other.get(url)
    wait_for("the second page's tiles", lambda: len(tiles(other)) == 2)
    assert not any(t["canStart"] for t in tiles(other).values()), "locked without the token"
    other.find_element(By.ID, "unlock").click()
    other.find_element(By.ID, "token-input").send_keys("not-the-token")
    other.find_element(By.CSS_SELECTOR, "#token-form button[type=submit]").click()
    wait_for("the wrong token refused",
             lambda: other.find_element(By.ID, "token-error").text.startswith("The station"))
    other.find_element(By.ID, "token-input").send_keys(token)
    other.find_element(By.CSS_SELECTOR, "#token-form button[type=submit]").click()
    wait_for("the second page unlocked", lambda: all(t["canStart"] for t in tiles(other).values()))

    cpu0, wall0 = station.cpu_seconds(), time.monotonic()
    for slot in MACS:
        button(page, slot, "button.start").click()
    wait_for("both slots running", lambda: all(
        t["phase"] in ("running", "confirm") for t in tiles(page).values()))

    latencies, in_station, answered, reloaded, shot_running = [], [], set(), False, False
    prompted = set()
    deadline = time.monotonic() + 180
    while True:
        now = tiles(page)
        if all(t["verdict"] for t in now.values()):
            break
        assert time.monotonic() < deadline, "no verdicts: %s" % now
        for slot, t in now.items():
            if t["prompt"] == "Tap the panel now" and re.fullmatch(r"\d+ s", t["countdown"]):
                prompted.add(slot)
            if not (t["confirm"] and t["canAnswer"]) or (slot, step_of(t)) in answered:
                continue
            # Both pages show the same question before the operator answers it.
            wait_for("the question on the second page",
                     lambda: tiles(other)[slot]["confirm"] == t["confirm"], timeout=5)
            if not shot_running:
                page.save_screenshot(os.path.join(args.out, "operator-page-running.png"))
                shot_running = True
            yes = slot == "A" or "Colour bars" not in t["confirm"]
            button(page, slot, "button.yes" if yes else "button.no").click()
            answered.add((slot, step_of(t)))
        a = now["A"]
        if not reloaded and a["phase"] == "running" and step_of(a) >= 9:
            # Reloaded mid-run: the page shows the run where it is, and keeps the token.
            latencies += page.execute_script("return window.stationLatencies")
            in_station += page.execute_script("return window.stationLatenciesInStation")
            before = step_of(a)
            page.refresh()
            after = wait_for("tiles after the reload", lambda: tiles(page).get("A"))
            assert after["board"] == MACS["A"], after
            assert step_of(after) >= before or after["verdict"], (before, after)
            assert not page.find_element(By.ID, "unlock").is_displayed(), "token kept"
            reloaded = True
        time.sleep(0.05)
    run_seconds = time.monotonic() - wall0
    run_cpu = station.cpu_seconds() - cpu0
    latencies += page.execute_script("return window.stationLatencies")
    in_station += page.execute_script("return window.stationLatenciesInStation")
    other_latencies = other.execute_script("return window.stationLatencies")

    final = tiles(page)
    assert reloaded, "the page was reloaded mid-run"
    assert "A" in prompted, "the touch prompt and its time left were shown"  # B ends before
    assert final["A"]["verdict"] == "PASS", final["A"]
    b = final[HOSTILE_SLOT]
    assert b["verdict"] == "FAIL" and b["detail"].startswith("lcd"), b
    colour = lambda slot: button(page, slot, ".verdict").value_of_css_property("background-color")
    assert colour("A") == "rgba(31, 138, 76, 1)" and colour(HOSTILE_SLOT) == "rgba(192, 57, 43, 1)"
    assert all(t["board"] == MACS[s] for s, t in final.items()), final
    assert not any(t["markup"] for t in final.values()), "markup in a name stays text"
    assert page.execute_script("return window.pwned === undefined")
    wait_for("the second page in step", lambda: tiles(other) == tiles(page), timeout=5)
    page.save_screenshot(os.path.join(args.out, "operator-page.png"))

    # History and yield: the two runs, 50 % either way, the LCD failure charted.
    page.find_element(By.ID, "tab-history").click()
    rows = wait_for("today's two runs", lambda: [
        [c.text for c in r.find_elements(By.TAG_NAME, "td")]
        for r in page.find_elements(By.CSS_SELECTOR, "#runs tr[data-run]")] if len(
            page.find_elements(By.CSS_SELECTOR, "#runs tr[data-run]")) == 2 else None)
    by_board = {r[1]: r for r in rows}
    assert by_board[MACS["A"]][2:4] == ["A", "PASS"], rows
    assert by_board[MACS[HOSTILE_SLOT]][2:4] == [HOSTILE_SLOT, "FAIL"], rows
    assert by_board[MACS[HOSTILE_SLOT]][4].startswith("lcd"), rows
    figures = {k: page.find_element(By.ID, "yield-" + k).text
               for k in ("first", "final", "boards", "runs")}
    assert figures == {"first": "50.0%", "final": "50.0%", "boards": "2", "runs": "2"}, figures
    bars = page.find_elements(By.CSS_SELECTOR, "#chart svg g.bar-row")
    assert len(bars) == 1 and bars[0].find_element(By.TAG_NAME, "text").text.startswith("lcd")
    page.save_screenshot(os.path.join(args.out, "operator-page-history.png"))
    csv = page.find_element(By.ID, "csv").get_attribute("href")
    text = urllib.request.urlopen(csv, timeout=10).read().decode()
    assert MACS["A"] in text and MACS[HOSTILE_SLOT] in text, text
    page.find_element(By.LINK_TEXT, MACS["A"]).click()
    wait_for("board A's history", lambda: page.find_element(By.ID, "runs-title").text ==
             "Board " + MACS["A"] and len(page.find_elements(By.CSS_SELECTOR, "#runs tr")) == 1)

    # The station idle with both pages open, once their idle connections have closed.
    time.sleep(3)
    cpu1, wall1 = station.cpu_seconds(), time.monotonic()
    time.sleep(6)
    idle = (station.cpu_seconds() - cpu1) / (time.monotonic() - wall1)
    memory = station.memory()

    # A station restart: the page notices, reconnects, and can start a slot again.
    page.find_element(By.ID, "tab-line").click()
    assert station.stop() == 0, "the station ends cleanly with pages open"
    wait_for("the page noticing", lambda: "not answering" in page.find_element(By.ID, "link").text)
    station.start()
    wait_for("the page reconnected", lambda: page.find_element(By.ID, "link").text == "live")
    button(page, "A", "button.start").click()
    wait_for("slot A running after the restart",
             lambda: tiles(page)["A"]["phase"] in ("running", "confirm"))

    ms = sorted(latencies)
    print("update latency in the browser, station change to DOM (%d updates over a plan on two "
          "slots): median %.0f ms, 95th %.0f ms, worst %.0f ms; second page median %.0f ms, "
          "worst %.0f ms; of it in the station: median %.0f ms, worst %.0f ms" % (
              len(ms), statistics.median(ms), ms[int(len(ms) * 0.95)], ms[-1],
              statistics.median(other_latencies), max(other_latencies),
              statistics.median(in_station), max(in_station)))
    print("station with two pages open: CPU %.1f %% of a core while running (%.1f s), "
          "%.2f %% idle; memory %s kB resident, peak %s kB" % (
              100 * run_cpu / run_seconds, run_seconds, 100 * idle, memory["VmRSS"],
              memory["VmHWM"]))
    print("screenshots: " + ", ".join(os.path.join(args.out, "operator-page%s.png" % s)
                                      for s in ("", "-running", "-history")))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--station", required=True)
    parser.add_argument("--agent", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="station-page-", dir=args.out)
    boards = {slot: os.path.join(work, "board-" + slot[0]) for slot in MACS}
    config = os.path.join(work, "station.toml")
    with open(config, "w") as f:
        f.write(STATION_FILE.format(
            plan=os.path.join(TOP, "sim", "plans", "station.plan"), db=os.path.join(work, "results.db"),
            port=free_port(), token=TOKEN, station=HOSTILE_STATION, sim=SIM,
            slots="".join(SLOT.format(name=name, state=state, mac=MACS[name])
                          for name, state in boards.items())))
    station = Station(args.station, config, os.path.join(work, "station.log"))
    drivers = []
    try:
        run(args, work, drivers, station, boards)
    finally:
        for driver in drivers:
            driver.quit()
        station.stop()
        for state in boards.values():
            subprocess.run([sys.executable, SIM, "--state", state, "stop"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(work, ignore_errors=True)  # kept when it failed: the station's log is there
    print("PASS")


STATION_FILE = """\
name = '{station}'
plan = "{plan}"
operator = "browser-test"
[vars]
BOARD_TYPE = "TVK"
SERVER = "10.0.77.1"
ETH_ADDR = "10.0.77.10"
WIFI_ADDR = "10.0.77.20"
WIFI_SSID = "TVK-LAB"
WIFI_PSK = "tvk-lab-passphrase"
[store]
sqlite = "{db}"
[web]
address = "127.0.0.1:{port}"
token = "{token}"
{slots}"""
SLOT = """\
[[slot]]
name = '{name}'
port = "{state}/tty"
on_prompt = ["/bin/sh", "-c", "sleep 1.5 && exec %s --state {state} touch 400 240 --wait 15"]
vars = {{ MAC = "{mac}" }}
""" % SIM

if __name__ == "__main__":
    main()
