"""The relay between the fixture's pseudo-terminal and the agent's line (the sandbox's pty or
the twin's serial socket). It holds back the fixture's bytes until the agent listens again
(the agent discards its input each time it reopens the port), so a fixture program never
loses a request. It runs as `sim _relay STATE` and takes the board down with it."""

import ctypes
import errno
import os
import pty
import select
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time
import tty

from .board import LAB_ETH0_MAC, setup_twin_board, write
from .panel import tap
from .protocol import FRAME_LENGTH_OFFSET, FRAME_OVERHEAD, LISTENING_MARK, MAX_FRAME_SIZE, \
    MSG_START_DESCRIPTOR
from .state import SIM, State
from .twinctl import AGENT_LISTENING, TwinCtl

SANDBOX = os.path.join(SIM, "sandbox")
NETLAB = os.path.join(SIM, "netlab")
TWIN_START_TIMEOUT_S = 3600  # the first start also cross-builds the twin's image
# One look at the twin's agent takes at most about 2 s; an answer later than this means the
# guest is not reachable.
TWIN_PROBE_TIMEOUT_S = 8
# The longest the relay holds the fixture's bytes after a response without hearing that the
# agent listens again; then it lets them through (the fixture may resend) and reports the
# board as not reachable.
TWIN_HOLD_MAX_S = 5


class AgentReceiver:
    """Follows the agent's frame collection byte by byte, so the relay knows when the agent
    stops listening: after a complete frame, or when a too long one made it give up."""

    def __init__(self):
        self.listening = False
        self.hunting = True
        self.k = 0
        self.msg_len = MAX_FRAME_SIZE

    def opened(self):
        self.listening = True
        self.hunting = True

    def take(self, byte):
        if self.hunting:
            if byte == MSG_START_DESCRIPTOR:
                self.hunting = False
                self.k = 1
                self.msg_len = MAX_FRAME_SIZE
            return
        if self.k >= MAX_FRAME_SIZE - 1:
            self.listening = False
            return
        if self.k == FRAME_LENGTH_OFFSET:
            self.msg_len = (byte + FRAME_OVERHEAD) & 0xFF
        if self.k + 1 >= self.msg_len:
            self.listening = False
        elif byte == MSG_START_DESCRIPTOR:
            self.k = 1
        else:
            self.k += 1


def open_pty():
    master, slave = pty.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    return master, slave, os.ttyname(slave)


def set_death_signal():
    # The board goes down with the relay, however the relay ends.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def process_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def control_path(root):
    return os.path.join(root, "control")


class TapControl:
    """Taps asked over the board's control FIFO, `touch X Y [WAIT]` a line: the simulated
    operator taps without an interpreter of its own per tap. A tap waits until a touch test
    has the panel open, at most WAIT seconds (default 15)."""

    def __init__(self, root, board, log):
        self.path = control_path(root)
        self.board = board
        self.log = log
        self.pending = []  # (x, y, give up at)
        self.partial = b""
        if os.path.lexists(self.path):
            os.remove(self.path)
        os.mkfifo(self.path, 0o600)
        self.fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)
        # Our own writer: between two tappers the FIFO never reads as ended.
        self.keep = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK)

    def read(self):
        try:
            self.partial += os.read(self.fd, 4096)
        except BlockingIOError:
            return
        while b"\n" in self.partial:
            line, self.partial = self.partial.split(b"\n", 1)
            words = line.split()
            try:
                if len(words) not in (3, 4) or words[0] != b"touch":
                    raise ValueError
                wait = float(words[3]) if len(words) == 4 else 15.0
                self.pending.append((int(words[1]), int(words[2]), time.time() + wait))
            except ValueError:
                self.log("control: not understood: %r" % line)

    def serve(self):
        """Taps the oldest waiting tap when a touch test reads; True while taps wait."""
        if not self.pending:
            return False
        x, y, give_up = self.pending[0]
        try:
            done = tap(self.board, x, y)
        except OSError as e:
            self.log("control: cannot reach the panel: %s" % e)
            done = True
        if not done and time.time() >= give_up:
            self.log("control: no touch test waited for the tap at %d,%d" % (x, y))
            done = True
        if done:
            self.pending.pop(0)
        return bool(self.pending)

    def close(self):
        os.close(self.fd)
        os.close(self.keep)
        if os.path.lexists(self.path):
            os.remove(self.path)


class Relay:
    """Carries bytes between the fixture's pty and the agent's line. Fixture bytes wait in a
    queue until the agent listens; then exactly the bytes of one frame go through."""

    def __init__(self, state, cfg):
        self.state = state
        self.cfg = cfg
        self.queue = bytearray()
        self.rx = AgentReceiver()
        self.tail = b""
        self.client_path = None
        self.ready = False
        self.stopping = False
        # Twin only: a frame went through and its answer has not come back yet.
        self.awaiting_response = False
        # Twin only: the guest's count of the agent's listening lines (sbin/twin-marks in the
        # image), the count already acted on, and since when the line has been held.
        self.marks_seen = 0
        self.marks_used = 0
        self.held_since = None
        self.taps = None  # TapControl, on a fast board
        self.heard_r, self.heard_w = os.pipe()
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_w, False)
        signal.signal(signal.SIGTERM, self.on_term)
        signal.signal(signal.SIGINT, self.on_term)

    def log(self, msg):
        sys.stderr.write("%s relay: %s\n" % (time.strftime("%H:%M:%S"), msg))
        sys.stderr.flush()

    def publish(self):
        self.ready = True
        tmp = self.state.portfile + ".tmp"
        with open(tmp, "w") as f:
            f.write(self.client_path + "\n")
        os.replace(tmp, self.state.portfile)
        if os.path.lexists(self.state.link):
            os.remove(self.state.link)
        os.symlink(self.client_path, self.state.link)
        self.log("agent listening; fixture line %s" % self.client_path)

    def on_log(self, chunk, logfile):
        logfile.write(chunk)
        logfile.flush()
        text = self.tail + chunk
        count = text.count(LISTENING_MARK)
        self.tail = text[-(len(LISTENING_MARK) - 1):]
        if count:
            # A new listen also ends whatever collection the agent had abandoned.
            self.rx.opened()
            if not self.ready:
                self.publish()

    def forward(self, agent_fd):
        n = 0
        while n < len(self.queue) and self.rx.listening:
            self.rx.take(self.queue[n])
            n += 1
            if not self.rx.listening:
                self.awaiting_response = True
        if n:
            os.write(agent_fd, bytes(self.queue[:n]))
            del self.queue[:n]

    # ------------------------------------------------------------ sandbox

    def serve_sandbox(self):
        agent_master, agent_slave, agent_path = open_pty()
        client_master, client_slave, self.client_path = open_pty()
        cmd = ["bash", SANDBOX, "--board", self.state.board, "--tty", agent_path,
               "--net-setup", self.net_setup(), "--", self.cfg["agent"]]
        self.log("starting: " + " ".join(cmd))
        board = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, preexec_fn=set_death_signal)
        os.set_blocking(board.stdout.fileno(), False)
        self.taps = TapControl(self.state.root, self.state.board, self.log)
        try:
            self.pump(agent_master, client_master, board.stdout.fileno(),
                      lambda: board.poll() is None)
        finally:
            self.taps.close()
            if board.poll() is None:
                board.kill()
            board.wait()
            self.log("board ended (status %s)" % board.returncode)
            # Our own slave ends kept both lines up while the agent and the fixture came and
            # went.
            for fd in (agent_master, agent_slave, client_master, client_slave):
                os.close(fd)

    def net_setup(self):
        """The network lab around the board, then eth0's MAC as asked."""
        path = os.path.join(self.state.root, "net-setup")
        script = "set -e\nbash %s\n" % shlex.quote(NETLAB)
        if self.cfg["mac"].lower() != LAB_ETH0_MAC:
            script += "ip link set eth0 address %s\n" % shlex.quote(self.cfg["mac"])
        write(path, script)
        return path

    # ------------------------------------------------------------ twin

    def serve_twin(self):
        twin = self.state.twin_command()
        self.log("starting: " + " ".join(twin + ["start"]))
        started = subprocess.run(twin + ["start"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        if started.returncode != 0:
            raise SystemExit("sim: the twin did not start")
        try:
            if self.stopping:
                return
            endpoints = self.state.twin_endpoints()
            self.ctl = TwinCtl(endpoints["control"])
            setup_twin_board(self.ctl, self.cfg)
            serial = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            serial.connect(endpoints["serial"])
            serial.setblocking(False)
            client_master, client_slave, self.client_path = open_pty()
            if not self.twin_wait_listening(TWIN_START_TIMEOUT_S):
                raise SystemExit("sim: the twin's agent does not listen")
            # The count stream starts with the lines logged so far; those are used up.
            _, out = self.ctl.run("grep -c %s /var/log/messages"
                                  % shlex.quote(LISTENING_MARK.decode()))
            self.marks_used = int(out.strip() or 0)
            threading.Thread(target=self.follow_marks, args=(endpoints["marks"],),
                             daemon=True).start()
            self.rx.opened()
            self.publish()
            qemu = int(endpoints["pid"])
            self.pump(serial.fileno(), client_master, None, lambda: process_alive(qemu))
            os.close(client_master)
            os.close(client_slave)
            serial.close()
        finally:
            subprocess.run(twin + ["stop"], stdin=subprocess.DEVNULL)
            self.log("twin stopped")

    def twin_wait_listening(self, seconds):
        """True once the agent holds its port open and waits in select for a byte: it has
        flushed the port, so nothing sent now is lost."""
        deadline = time.time() + seconds
        while time.time() < deadline and not self.stopping:
            try:
                _, out = self.ctl.run(AGENT_LISTENING,
                                      timeout=min(TWIN_PROBE_TIMEOUT_S,
                                                  max(1.0, deadline - time.time())))
            except OSError as e:
                self.log("control channel: %s" % e)
                self.state.set_reachable(False, "control channel: %s" % e)
                time.sleep(0.2)
                continue
            self.state.set_reachable(True)
            if out.strip().endswith("listening"):
                return True
        return False

    def follow_marks(self, path):
        """Reads the guest's running count of listening lines; the pump acts on it."""
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
                sock.connect(path)
                for line in sock.makefile("rb"):
                    if line.strip().isdigit() and int(line) > self.marks_seen:
                        self.marks_seen = int(line)
                        os.write(self.heard_w, b"M")
        except OSError as e:
            self.log("listening count: %s" % e)
        self.log("listening count stream ended")

    def twin_hold_check(self):
        """After a response, the line is held until the agent listens again, but not for long."""
        if self.marks_seen > self.marks_used:
            self.marks_used = self.marks_seen
            self.rx.opened()
            self.state.set_reachable(True)
        if self.rx.listening or self.awaiting_response:
            self.held_since = None
        elif self.held_since is None:
            self.held_since = time.time()
        elif time.time() - self.held_since > TWIN_HOLD_MAX_S:
            # Better a request the agent may miss (the fixture resends) than one held until
            # the fixture has long given up.
            self.log("agent not heard listening within %d s; letting the line through"
                     % TWIN_HOLD_MAX_S)
            self.state.set_reachable(False, "agent not heard listening after a response")
            self.held_since = None
            self.rx.opened()

    # ------------------------------------------------------------ both

    def on_term(self, signum, frame):
        self.stopping = True
        try:
            os.write(self.wake_w, b"x")
        except OSError:
            pass

    def pump(self, agent_fd, client_master, log_fd, alive):
        watch = [agent_fd, client_master, self.wake_r, self.heard_r]
        if log_fd is not None:
            watch.append(log_fd)
        if self.taps is not None:
            watch.append(self.taps.fd)
        tapping = False
        with open(self.state.agent_log, "ab") as logfile:
            while not self.stopping and alive():
                # A waiting tap looks for the touch test often: it lands as the panel opens.
                readable, _, _ = select.select(watch, [], [], 0.02 if tapping else 0.2)
                if self.taps is not None:
                    if self.taps.fd in readable:
                        self.taps.read()
                    tapping = self.taps.serve()
                if log_fd is not None and log_fd in readable:
                    try:
                        chunk = os.read(log_fd, 65536)
                    except BlockingIOError:
                        chunk = None
                    if chunk == b"":
                        break  # the board ended
                    if chunk:
                        self.on_log(chunk, logfile)
                if self.heard_r in readable:
                    os.read(self.heard_r, 4096)
                if agent_fd in readable:
                    data = self.read_some(agent_fd)
                    if data is None:
                        break  # the emulator closed the line
                    if data:
                        self.awaiting_response = False
                        self.write_client(client_master, data)
                if client_master in readable:
                    self.queue += self.read_some(client_master) or b""
                if log_fd is None:
                    self.twin_hold_check()
                self.forward(agent_fd)

    @staticmethod
    def read_some(fd):
        """Bytes, b"" when there are none now, None when the other side is gone for good."""
        try:
            data = os.read(fd, 4096)
            return data if data else None
        except (BlockingIOError, InterruptedError):
            return b""
        except OSError as e:
            if e.errno == errno.EIO:  # a pty nobody else holds; ours keeps it open
                time.sleep(0.01)
                return b""
            raise

    def write_client(self, fd, data):
        try:
            os.write(fd, data)
        except BlockingIOError:
            self.log("fixture line full: %d bytes dropped" % len(data))


def relay_main(root):
    state = State(root)
    cfg = state.load()
    relay = Relay(state, cfg)
    with open(state.pidfile, "w") as f:
        f.write("%d\n" % os.getpid())
    try:
        if cfg["mode"] == "fast":
            relay.serve_sandbox()
        else:
            relay.serve_twin()
    finally:
        for f in (state.portfile, state.link, state.pidfile):
            if os.path.lexists(f):
                os.remove(f)
