#!/usr/bin/python3
"""The operator page in a real headless Chromium (one browser, several tabs), against a real
station with two sandbox boards.

Slot A's operator answers every confirmation yes (PASS); slot B's says no to the LCD picture
(FAIL at lcd); the simulated operator taps the panel 1.5 s after the prompt. Slot B's name and
the station's name are markup and direction overrides, which must stay inert text. Then a
second station whose plan asks for serial numbers, scanned while both slots ask; its results
wait for a PostgreSQL that does not answer, its JUnit folder cannot be made, one slot has no
board and one board goes away mid-run (ERROR). Prints the update latency the page measured
and the station's CPU and memory with the pages open; saves screenshots to --out. axe-core
(npm) is installed into --out at the first run.

  test_page.py --station build/station/station --agent build/src/TVKTestApp --out build
"""
import argparse
import json
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
from selenium.webdriver.common.keys import Keys

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM = os.path.join(TOP, "sim", "sim")
HOSTILE_SLOT = 'B <img src=x onerror="window.pwned=1">'
# A right-to-left override would turn the plan's name beside it around.
HOSTILE_STATION = 'line \u202e<img src=x onerror="window.pwned=2">'
MACS = {"A": "02:00:00:00:01:0a", HOSTILE_SLOT: "02:00:00:00:01:0b"}
# Names that resolve to 127.0.0.1 in this browser only: a rebinding attacker's names.
HOSTILE_HOSTS = ["127.evil.example", "127.0.0.1.nip.io", "localhost.evil.example"]

# One call for everything a check needs from the page: each WebDriver call is a round trip.
SNAPSHOT_JS = """
return Array.from(document.querySelectorAll('section.tile')).map(t => ({
  name: t.querySelector('.name').textContent,
  phase: t.className.split(' ')[1],
  board: t.querySelector('.board').textContent,
  step: t.querySelector('.step').textContent,
  progress: Number(t.querySelector('.bar').getAttribute('aria-valuenow')),
  prompt: t.querySelector('.prompt').hidden ? '' : t.querySelector('.prompt-text').textContent,
  countdown: t.querySelector('.countdown').textContent,
  confirm: t.querySelector('.confirm-box').hidden ? '' : t.querySelector('.question').textContent,
  canAnswer: !t.querySelector('button.yes').disabled,
  asksSerial: !t.querySelector('.identify-box').hidden,
  verdict: t.querySelector('.verdict').hidden ? '' : t.querySelector('.word').textContent,
  detail: t.querySelector('.detail').textContent,
  note: t.querySelector('.slot-note').textContent,
  refusal: t.querySelector('.note').textContent,
  canStart: !t.querySelector('button.start').disabled,
  markup: t.querySelectorAll('img, script').length,
}));
"""

# Every element inside a tile within the tile's width; every slot that asks on screen, or
# named in the header.
LAYOUT_JS = """
const bad = [];
for (const t of document.querySelectorAll('section.tile')) {
  const box = t.getBoundingClientRect();
  for (const e of t.querySelectorAll('*')) {
    const r = e.getBoundingClientRect();
    if (r.width && (r.left < box.left - 1 || r.right > box.right + 1))
      bad.push(t.dataset.slot + ': ' + e.className + ' ' + r.left + '..' + r.right);
  }
  const asks = /confirm|identify/.test(t.className);
  const seen = box.top >= 0 && box.bottom <= innerHeight;
  const flag = document.getElementById('offscreen');
  if (asks && !seen && (flag.hidden || !flag.textContent.includes(t.dataset.slot)))
    bad.push(t.dataset.slot + ' asks out of sight, unflagged');
}
if (document.documentElement.scrollWidth > innerWidth)
  bad.push('page wider than the screen: ' + [...document.querySelectorAll('body *')]
    .filter(e => e.getBoundingClientRect().right > innerWidth + 1)
    .map(e => e.tagName + '#' + e.id + '.' + e.className).slice(0, 5).join(' '));
return bad;
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
        text = lambda: open(self.log, "rb").read()[seen:].decode(errors="replace")
        line = wait_for("the station's pairing link",
                        lambda: re.search(r"operator page: (\S+)\s+open (\S+/pair\?code=\S+)",
                                          text()), timeout=20)
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
    rules = ", ".join("MAP %s 127.0.0.1" % h for h in HOSTILE_HOSTS)
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-dev-shm-usage", "--user-data-dir=" + profile,
                "--host-resolver-rules=" + rules):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    screen(driver, 1366, 768)
    return driver


def screen(driver, width, height):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1,
                            "mobile": False})


def tiles(driver):
    return {t["name"]: t for t in driver.execute_script(SNAPSHOT_JS)}


def button(driver, slot, css):
    for tile in driver.find_elements(By.CSS_SELECTOR, "section.tile"):
        if tile.get_attribute("data-slot") == slot:
            return tile.find_element(By.CSS_SELECTOR, css)
    raise AssertionError("no tile for slot " + slot)


def colour(page, slot):
    return button(page, slot, ".verdict").value_of_css_property("background-color")


def step_of(tile):
    m = re.match(r"Step (\d+) of (\d+)", tile["step"])
    return int(m.group(1)) if m else 0


def axe(driver, args, where):
    """Zero axe-core violations on what the page shows now."""
    driver.execute_script(open(args.axe).read())
    result = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document).then(r => done(r.violations.map(v => v.id + ': ' + "
        "v.nodes.map(n => n.target.join(' ')).join(', '))));")
    assert not result, "%s: %s" % (where, result)


def check_layout(driver, args, name):
    for width, height in ((800, 480), (1366, 768)):
        screen(driver, width, height)
        time.sleep(0.3)
        bad = driver.execute_script(LAYOUT_JS)
        assert not bad, "%s at %dx%d: %s" % (name, width, height, bad)
        driver.save_screenshot(os.path.join(args.out, "page-%s-%d.png" % (name, width)))
    screen(driver, 1366, 768)


def pair(page, url, link, slots=2):
    page.get(link)
    wait_for("the tiles", lambda: len(tiles(page)) == slots)
    assert "code" not in page.current_url, page.current_url
    wait_for("unlocked", lambda: all(t["canStart"] for t in tiles(page).values()))


def security(page, url, link, port):
    """The token stays out of the browser; the link works once; rebound names get nothing."""
    history = page.execute_script("return document.cookie")
    assert "station_session" not in history, "the session cookie is out of script's reach"
    for host in HOSTILE_HOSTS:
        page.get("http://%s:%d/api/runs.csv" % (host, port))
        assert "loopback" in page.find_element(By.TAG_NAME, "body").text, host
    page.get(url)
    page.delete_all_cookies()
    page.get(link)
    wait_for("the used link refused", lambda: "used before" in page.find_element(
        By.ID, "message").text)
    assert not any(t["canStart"] for t in tiles(page).values()), "locked without a session"
    axe(page, ARGS, "line view, locked")
    page.find_element(By.ID, "unlock").click()
    page.find_element(By.ID, "token-input").send_keys("not-the-token")
    page.find_element(By.CSS_SELECTOR, "#token-form button[type=submit]").click()
    wait_for("the wrong token refused",
             lambda: page.find_element(By.ID, "token-error").text.startswith("The station"))
    token = open(ARGS.token_file).read().strip()
    page.find_element(By.ID, "token-input").send_keys(token)
    page.find_element(By.CSS_SELECTOR, "#token-form button[type=submit]").click()
    wait_for("unlocked by the typed token", lambda: all(
        t["canStart"] for t in tiles(page).values()))
    assert token not in page.execute_script("return JSON.stringify(localStorage)")
    # An unlocked page makes a fresh link for another screen, which pairs a browser once.
    # Text from outside is isolated: the plan's name stays right of the station's.
    station = page.find_element(By.ID, "station")
    assert "\u202e" not in station.text and "<img" in station.text, station.text
    assert page.execute_script("return window.pwned === undefined")


def tabs(page, url):
    """Eight tabs of one browser share one stream and stay usable."""
    first = page.current_window_handle
    for _ in range(7):
        page.switch_to.new_window("tab")
        page.get(url)
    streams = 0
    for handle in page.window_handles:
        page.switch_to.window(handle)
        wait_for("tiles in every tab", lambda: len(tiles(page)) == 2, timeout=15)
        streams += page.execute_script(
            "return performance.getEntriesByType('resource')"
            ".filter(e => e.name.endsWith('/api/events')).length")
    page.switch_to.window(first)
    return first, streams


def refused_stream(page, url, port):
    """Every stream place taken: the page still shows the state, and says why it is stale."""
    holders = []

    def fill():
        while len(holders) < 40:
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
            holders.append(s)
            if b" 503 " in s.recv(100):
                return
    # Streams of tabs closed a moment ago hold places until the heartbeat finds them gone:
    # fill again once they are freed, so every place is held by a live stream.
    fill()
    time.sleep(4)
    fill()
    # Another origin of the same station: a browser's tabs share a stream per origin.
    page.switch_to.new_window("tab")
    page.get(url.replace("127.0.0.1", "localhost"))
    wait_for("the state without a stream", lambda: len(tiles(page)) == 2)
    wait_for("the reason shown", lambda: "too many pages" in page.find_element(
        By.ID, "message").text)
    for s in holders:
        s.close()
    page.close()


def run_line(args, page, station, other):
    cpu0, wall0 = station.cpu_seconds(), time.monotonic()
    for slot in MACS:
        button(page, slot, "button.start").click()
    wait_for("both slots running", lambda: all(
        t["phase"] in ("running", "confirm") for t in tiles(page).values()))
    answered, prompted, shot = set(), set(), False
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
            # The step being asked is not counted as done; no time is shown for a question.
            assert t["progress"] == round(100 * (step_of(t) - 1) / 18), t
            assert t["countdown"] == "", t
            if not shot:
                check_layout(page, args, "asking")
                shot = True
            yes = slot == "A" or "Colour bars" not in t["confirm"]
            button(page, slot, "button.yes" if yes else "button.no").click()
            answered.add((slot, step_of(t)))
        time.sleep(0.05)
    run = (station.cpu_seconds() - cpu0, time.monotonic() - wall0)
    final = tiles(page)
    assert "A" in prompted, "the touch prompt and its time left were shown"
    assert final["A"]["verdict"] == "PASS", final["A"]
    b = final[HOSTILE_SLOT]
    assert b["verdict"] == "FAIL" and b["detail"].startswith("lcd"), b
    # Its clean-up steps ran to the plan's end: the bar may be full, but not blue or green.
    fill = lambda slot: button(page, slot, ".bar > div").value_of_css_property("background-color")
    assert fill(HOSTILE_SLOT) not in (fill("A"), "rgba(47, 95, 196, 1)"), "a failed run's bar"
    args.fail_colour = colour(page, HOSTILE_SLOT)
    assert colour(page, "A") != args.fail_colour
    assert all(t["board"] == MACS[s] for s, t in final.items()), final
    assert not any(t["markup"] for t in final.values()), "markup in a name stays text"
    assert page.execute_script("return window.pwned === undefined")
    fetched = page.execute_script("return performance.getEntriesByType('resource')"
                                  ".filter(e => /api\\/(runs|yield)/.test(e.name)).length")
    assert fetched == 0, "history fetched while hidden: %d" % fetched
    page.switch_to.window(other)
    wait_for("the other tab in step", lambda: tiles(page) == final, timeout=5)
    page.switch_to.window(page.window_handles[0])
    return run


def history(args, page):
    page.find_element(By.ID, "tab-history").click()
    rows = wait_for("today's two runs", lambda: [
        [c.text for c in r.find_elements(By.TAG_NAME, "td")]
        for r in page.find_elements(By.CSS_SELECTOR, "#runs tr[data-run]")] if len(
            page.find_elements(By.CSS_SELECTOR, "#runs tr[data-run]")) == 2 else None)
    by_board = {r[1]: r for r in rows}
    assert by_board[MACS["A"]][2:4] == ["A", "PASS"], rows
    assert by_board[MACS[HOSTILE_SLOT]][2:4] == [HOSTILE_SLOT, "FAIL"], rows
    figures = {k: page.find_element(By.ID, "yield-" + k).text
               for k in ("first", "final", "boards", "runs")}
    assert figures == {"first": "50.0%", "final": "50.0%", "boards": "2", "runs": "2"}, figures
    page.save_screenshot(os.path.join(args.out, "operator-page-history.png"))
    axe(page, args, "history view")
    check_layout(page, args, "history")
    csv = page.find_element(By.ID, "csv").get_attribute("href")
    text = urllib.request.urlopen(csv, timeout=10).read().decode()
    assert MACS["A"] in text and MACS[HOSTILE_SLOT] in text, text
    page.find_element(By.LINK_TEXT, MACS["A"]).click()
    wait_for("board A's history", lambda: page.find_element(By.ID, "runs-title").text ==
             "Board " + MACS["A"] and len(
                 page.find_elements(By.CSS_SELECTOR, "#runs tr[data-run]")) == 1)
    trace = page.find_element(By.CSS_SELECTOR, "#runs tr.trace").text
    assert "operator browser-test" in trace and "/tty" in trace, trace
    page.find_element(By.ID, "repair-note").send_keys("replaced <b>U12</b>")
    page.find_element(By.ID, "repair-submit").click()
    repair = wait_for("the repair listed", lambda: [r.text for r in page.find_elements(
        By.CSS_SELECTOR, "#runs tr.repair")])
    assert "by browser-test" in repair[0] and "replaced <b>U12</b>" in repair[0], repair
    assert page.execute_script("return document.querySelectorAll('#runs b').length") == 0
    axe(page, args, "a board's history")
    page.find_element(By.ID, "tab-line").click()


def stop_and_restart(page, station):
    """The last state reaches the page before the stream closes; a stopped station looks it."""
    button(page, "A", "button.start").click()
    wait_for("slot A running", lambda: tiles(page)["A"]["phase"] in ("running", "confirm"))
    assert station.stop() == 0, "the station ends cleanly with pages open"
    wait_for("the stopped run shown as such", lambda: tiles(page)["A"]["verdict"] == "ABORTED")
    wait_for("the banner", lambda: page.find_element(By.ID, "offline").is_displayed())
    assert not any(t["canStart"] or t["canAnswer"] for t in tiles(page).values())
    assert "offline" in page.find_element(By.TAG_NAME, "body").get_attribute("class")
    station.start()
    wait_for("the page reconnected", lambda: page.find_element(By.ID, "link").text == "live")
    assert not page.find_element(By.ID, "offline").is_displayed()
    # The token outlived the restart, so the session did too.
    wait_for("still unlocked", lambda: tiles(page)["A"]["canStart"])


def scans(args, page, work):
    """Two slots ask for serial numbers while one is being typed: each scan stays in its slot."""
    # Its results go to a PostgreSQL that does not answer: they wait, and the page says so. Its
    # JUnit folder cannot be made: the slot says so.
    station, url, link, _ = start_station(
        args, work, "serial", SERIAL_PLAN, idle="CDEFGH",
        store="postgres = 'host=127.0.0.1 port=%d'\njunit = 'station.toml/junit'\n" % free_port())
    token = open(args.token_file).read().strip()
    start = lambda slot: urllib.request.urlopen(urllib.request.Request(
        url + "api/start", data=json.dumps({"slot": slot}).encode(),
        headers={"Content-Type": "application/json", "X-Station-Token": token}), timeout=10)
    try:
        pair(page, url, link, 8)
        button(page, "A", "button.start").click()
        field = wait_for("A asks", lambda: tiles(page)["A"]["asksSerial"] and
                         page.switch_to.active_element)
        assert field.get_attribute("aria-label") == "Serial number for slot A"
        field.send_keys("00")
        # B reaches its question while A's scan is half typed (started elsewhere: a tap on
        # B's Start would take the focus by itself).
        start(HOSTILE_SLOT)
        wait_for("B asks too", lambda: tiles(page)[HOSTILE_SLOT]["asksSerial"])
        check_layout(page, args, "eight")
        # The layout check above holds every asking slot on screen or named; on a screen too
        # low for the second row of tiles, A and B are named.
        screen(page, 800, 320)
        wait_for("A and B flagged", lambda: page.find_element(By.ID, "offscreen").text ==
                 "Asking: slot A, " + HOSTILE_SLOT, timeout=5)
        screen(page, 1366, 768)
        assert page.execute_script("return [...document.querySelectorAll('section.tile')]"
                                   ".every(t => t.getBoundingClientRect().bottom <= innerHeight)"),\
            "8 slots on 1366x768 without scrolling"
        assert page.switch_to.active_element == field, "the layout checks kept the focus"
        time.sleep(0.3)
        page.switch_to.active_element.send_keys("42" + Keys.ENTER)
        wait_for("focus on B's field", lambda: page.switch_to.active_element.get_attribute(
            "aria-label") == "Serial number for slot " + HOSTILE_SLOT)
        page.switch_to.active_element.send_keys("0043" + Keys.ENTER)
        done = wait_for("both verdicts", lambda: (lambda now: all(
            now[s]["verdict"] for s in MACS) and now)(tiles(page)))
        assert done["A"]["board"] == "0042" and done[HOSTILE_SLOT]["board"] == "0043", done
        wait_for("A's note", lambda: tiles(page)["A"]["note"].startswith("JUnit file: "))
        button(page, "C", "button.start").click()
        wait_for("C waits for its board", lambda: tiles(page)["C"]["refusal"] ==
                 "waiting for the board on /nonexistent/ttyC")
        backlog = wait_for("the backlog banner", lambda: page.find_element(By.ID, "outboxes").text)
        assert re.match(r"postgres: \d+ results waiting since", backlog), backlog
        # A board that goes away mid-run: the station could not test it (ERROR, not FAIL).
        start("A")
        wait_for("A asks again", lambda: tiles(page)["A"]["asksSerial"])
        subprocess.run([sys.executable, SIM, "--state", args.boards["A"], "stop"], check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        button(page, "A", "input.serial").send_keys("0044" + Keys.ENTER)
        wait_for("A's ERROR", lambda: tiles(page)["A"]["verdict"] == "ERROR")
        assert colour(page, "A") not in (args.fail_colour, colour(page, HOSTILE_SLOT)), \
            "ERROR has its own colour"
        # An unlocked page makes a fresh link for another screen, which pairs a browser once.
        page.find_element(By.ID, "pair").click()
        fresh = wait_for("a fresh link", lambda: re.search(
            r"http://\S+/pair\?code=\w+", page.find_element(By.ID, "message").text)).group(0)
        page.delete_all_cookies()
        pair(page, url, fresh, 8)
    finally:
        station.stop()


def start_station(args, work, name, plan, idle=(), store=""):
    folder = os.path.join(work, name)
    os.makedirs(folder, exist_ok=True)
    port = free_port()
    config = os.path.join(folder, "station.toml")
    with open(config, "w") as f:
        f.write(STATION_FILE.format(plan=plan, db=os.path.join(folder, "results.db"), port=port,
                                    station=HOSTILE_STATION, store=store,
                                    slots="".join(IDLE_SLOT.format(name=n) for n in idle) +
                                    "".join(SLOT.format(name=slot, state=state, mac=MACS[slot])
                                            for slot, state in args.boards.items())))
    args.token_file = os.path.join(folder, "results.db.page-token")
    station = Station(args.station, config, os.path.join(folder, "station.log"))
    url, link = station.start()
    return station, url, link, port


def run(args, work, drivers):
    for slot, state in args.boards.items():
        subprocess.run([sys.executable, SIM, "--state", state, "start", "--fast", "--agent",
                        args.agent, "--mac", MACS[slot]], check=True, stdout=subprocess.DEVNULL,
                       timeout=120)
    station, url, link, port = start_station(
        args, work, "line", os.path.join(TOP, "sim", "plans", "station.plan"))
    try:
        page = browser(os.path.join(work, "profile"))
        drivers.append(page)
        pair(page, url, link)
        axe(page, args, "line view, unlocked")
        security(page, url, link, port)
        first, streams = tabs(page, url)
        assert streams <= 1, "one stream for the browser's tabs, not %d in the first" % streams
        other = page.window_handles[-1]
        refused_stream(page, url, port)
        page.switch_to.window(first)
        run_cpu, run_seconds = run_line(args, page, station, other)
        page.save_screenshot(os.path.join(args.out, "operator-page.png"))
        latencies = page.execute_script("return window.stationLatencies")
        history(args, page)
        time.sleep(3)
        cpu1, wall1 = station.cpu_seconds(), time.monotonic()
        time.sleep(6)
        idle = (station.cpu_seconds() - cpu1) / (time.monotonic() - wall1)
        memory = station.memory()
        stop_and_restart(page, station)
    finally:
        station.stop()
    for handle in page.window_handles[1:]:
        page.switch_to.window(handle)
        page.close()
    page.switch_to.window(page.window_handles[0])
    scans(args, page, work)
    ms = sorted(latencies)
    print("update latency in the browser, station change to DOM (%d updates): median %.0f ms, "
          "95th %.0f ms, worst %.0f ms" % (len(ms), statistics.median(ms),
                                            ms[int(len(ms) * 0.95)], ms[-1]))
    print("station with 8 tabs open: CPU %.1f %% of a core while running (%.1f s), %.2f %% idle; "
          "memory %s kB resident, peak %s kB" % (100 * run_cpu / run_seconds, run_seconds,
                                                 100 * idle, memory["VmRSS"], memory["VmHWM"]))


def install_axe(out):
    """axe-core from the npm registry into the build folder: the test's, never the station's."""
    path = os.path.join(out, "axe", "node_modules", "axe-core", "axe.min.js")
    if not os.path.exists(path):
        subprocess.run(["npm", "install", "--prefix", os.path.join(out, "axe"), "axe-core@4",
                        "--no-audit", "--no-fund", "--silent"], check=True, timeout=300)
    return path


ARGS = None


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--station", required=True)
    parser.add_argument("--agent", required=True)
    parser.add_argument("--out", required=True)
    args = ARGS = parser.parse_args()
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    args.axe = install_axe(args.out)
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="station-page-", dir=args.out)
    args.boards = {slot: os.path.join(work, "board-" + slot[0]) for slot in MACS}
    drivers = []
    try:
        run(args, work, drivers)
    finally:
        for driver in drivers:
            driver.quit()
        for state in args.boards.values():
            subprocess.run([sys.executable, SIM, "--state", state, "stop"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(work, ignore_errors=True)  # kept when it failed: the station's log is there
    print("browser stage: %.0f s" % (time.monotonic() - started))
    print("PASS")


SERIAL_PLAN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "serial.plan")
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
{store}[web]
address = "127.0.0.1:{port}"
{slots}"""
IDLE_SLOT = """\
[[slot]]
name = '{name}'
port = "/nonexistent/tty{name}"
vars = {{ MAC = "02:00:00:00:01:ff" }}
"""
SLOT = """\
[[slot]]
name = '{name}'
port = "{state}/tty"
on_prompt = ["/bin/sh", "-c", "sleep 1.5 && exec %s --state {state} touch 400 240 --wait 15"]
vars = {{ MAC = "{mac}" }}
""" % SIM

if __name__ == "__main__":
    main()
