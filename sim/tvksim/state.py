"""A simulated board's state folder: its settings, the relay's pid and the line it serves,
the logs, and the twin it runs in twin mode. Each folder belongs to whoever started it."""

import json
import os
import sys
import time

from .twinctl import read_endpoints

SIM = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(SIM)
TWIN = os.path.join(SIM, "twin", "twin")
DEFAULT_STATE = os.environ.get("TVK_SIM_DIR", "/tmp/tvk-sim" + REPO.replace("/", "-"))


class State:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.board = os.path.join(self.root, "board")
        self.config = os.path.join(self.root, "config.json")
        self.pidfile = os.path.join(self.root, "sim.pid")
        self.portfile = os.path.join(self.root, "port")
        self.link = os.path.join(self.root, "tty")
        self.agent_log = os.path.join(self.root, "agent.log")
        self.sim_log = os.path.join(self.root, "sim.log")
        self.twin_run = os.path.join(self.root, "twin-run")
        # Written by the relay: "yes", or "no" and since when and why.
        self.reach = os.path.join(self.root, "reachable")

    def set_reachable(self, ok, why=""):
        text = "yes\n" if ok else "no since %s: %s\n" % (time.strftime("%H:%M:%S"), why)
        try:
            with open(self.reach) as f:
                if ok and f.read() == text:
                    return
        except OSError:
            pass
        tmp = self.reach + ".tmp"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, self.reach)

    def reachable(self):
        try:
            with open(self.reach) as f:
                return f.read().strip()
        except OSError:
            return "unknown"

    def relay_pid(self):
        """The relay this tool started, or None; never some other process with a reused id."""
        try:
            with open(self.pidfile) as f:
                pid = int(f.read().strip())
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read().split(b"\0")
        except (OSError, ValueError):
            return None
        if b"_relay" in cmdline and self.root.encode() in cmdline:
            return pid
        return None

    def port(self):
        try:
            with open(self.portfile) as f:
                return f.read().strip()
        except OSError:
            return None

    def load(self):
        with open(self.config) as f:
            return json.load(f)

    def twin_command(self):
        """sim/twin/twin on this board's own run folder."""
        return [sys.executable, TWIN, "--run", self.twin_run]

    def twin_endpoints(self):
        return read_endpoints(os.path.join(self.twin_run, "endpoints"))
