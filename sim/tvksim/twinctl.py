"""Client of the twin's control channel (sim/twin/README.md), and the shell probes it sends
into the guest. "ID COMMAND" goes in; "@@BEGIN ID", the output, "@@END ID STATUS" come back."""

import itertools
import os
import socket
import time

AGENT = "TVKTestApp"
AGENT_PORT = "ttyS2"  # the agent's RS-485 line in the guest
# Request ids are never reused in a process, nor soon after by another with the same pid: an
# answer a client gave up on may still come, and must not pass for a later one's.
_ids = itertools.count(int(time.time() * 1000) % 1000000000)


def agent_holds(device):
    """Guest shell: true, with the agent's pid in $p, while the agent has DEVICE open."""
    return ("p=$(pidof %s) && ls -l /proc/$p/fd 2>/dev/null | grep -q %s" % (AGENT, device))


# Prints the agent's pid once it holds its serial port open.
AGENT_PID_ON_PORT = agent_holds(AGENT_PORT) + " && echo $p"
# Prints "listening" once the agent holds its port and sleeps in select (pselect6), i.e. it
# has reopened and flushed the port and waits for a byte. Polls for up to 2 s, so the control
# channel is free again for others in between.
AGENT_LISTENING = (
    "n=0; r=busy; while [ $n -lt 100 ]; do %s && grep -q select /proc/$p/wchan && "
    "{ r=listening; break; }; sleep 0.02; n=$((n+1)); done; echo $r" % agent_holds(AGENT_PORT))
# The touch test has the panel open (so a touch now reaches it), then the tap; "touched".
TOUCH = agent_holds("event0") + " && echo 'touch %d %d' > /run/twin/touch && echo touched"


class TwinCtl:
    """By default a connection per command, so the channel's other users get their turns in
    between; connect() holds one for a series of commands."""

    def __init__(self, path):
        self.path = path
        self.sock = None
        self.buf = b""

    @classmethod
    def connect(cls, path, timeout=30):
        ctl = cls(path)
        ctl.sock = ctl._open(timeout)
        return ctl

    def _open(self, timeout):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.settimeout(timeout)
            sock.connect(self.path)
        except OSError:
            sock.close()
            raise
        return sock

    def run(self, command, timeout=60):
        """(status, output) of COMMAND in the guest."""
        if self.sock is not None:
            self.sock.settimeout(timeout)
            return self._exchange(self.sock, command)
        self.buf = b""
        with self._open(timeout) as sock:
            return self._exchange(sock, command)

    def _exchange(self, sock, command):
        ident = "%d-%d" % (os.getpid(), next(_ids))
        sock.sendall(("%s %s\n" % (ident, command)).encode())
        lines, inside = [], False
        while True:
            while b"\n" not in self.buf:
                chunk = sock.recv(65536)
                if not chunk:
                    raise OSError("control channel closed")
                self.buf += chunk
            raw, self.buf = self.buf.split(b"\n", 1)
            line = raw.decode(errors="replace")
            if line == "@@BEGIN " + ident:
                inside, lines = True, []
            elif inside and line.startswith("@@END %s " % ident):
                # The guest adds one line end after the output.
                text = "\n".join(lines)
                return int(line.split()[2]), text[:-1] if text.endswith("\n") else text
            elif inside:
                lines.append(line)

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None


def read_endpoints(path):
    """A running twin's endpoints file (NAME=VALUE lines) as a dict."""
    endpoints = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            endpoints[key] = value
    return endpoints
