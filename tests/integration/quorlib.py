"""Shared helpers of the integration tests.

Run the project's programs and wait for their output lines, speak the control
channel as either side, and read the phone simulator's transcript.

Programs are found in the build directory named by the environment variable
QUOR_BIN_DIR. Every process started here is killed when the test script ends,
also when the script itself is killed (the child gets SIGKILL when the thread
that started it dies, so start programs from the main thread).
"""

import atexit
import ctypes
import os
import re
import signal
import socket
import subprocess
import threading
import time

DEFAULT_TIMEOUT = 5.0

# Control-channel message types, as the connector and the phone name them.
PAIR_QUERY = 0x19
PAIR_START = 0x16
KEEPALIVE = 0x60
USER_NAME = 0x11
PASSWORD = 0x12
DOMAIN = 0x14
DISMISS_SIGNIN_HELP = 0x15
LYNC_ONLINE = 0x17
LYNC_LOGOUT = 0x18
LOG_ROUTE = 0x1B
MEDIA_OFFER = 0x40
MEDIA_STOP = 0x41
DISPLAY_NAME = 0x42
SET_GRUU = 0x21
SIGNED_IN = 0x22
SIGNED_OUT = 0x23
SIGNIN_FAILED = 0x24
SIGNIN_REQUEST = 0x25
MODEL_NAME = 0x26
VENDOR_ID = 0x27
PRODUCT_ID = 0x28
DEVICE_RELEASE = 0x29
SIGNOUT_REQUEST = 0x2B
PAIR_ANSWER = 0x2C
TAKEN_OVER = 0x2D
PHONE_MEDIA_OFFER = 0x50
HANG_UP = 0x51
KEEPALIVE_ACK = 0x61
UNPAIR = 0x2A
UNPAIR_ACK = 0x3A

CTRL_PORT = 7063
ADDRESS_PORT = 14897


def bin_path(program):
    """Path of a built program, e.g. bin_path("quor-phone-sim")."""
    bin_dir = os.environ.get("QUOR_BIN_DIR")
    if not bin_dir:
        raise RuntimeError("QUOR_BIN_DIR is not set")
    return os.path.join(bin_dir, program)


def frame_hex(msg_type, payload=b""):
    """A frame as the transcript writes it: "2C 04 C0 A8 01 14"."""
    return " ".join(f"{b:02X}" for b in bytes([msg_type, len(payload)]) + payload)


def read_transcript(path):
    """The transcript's lines ("P: 19 00", "T: 2C 00", ...) without line ends."""
    with open(path, encoding="ascii") as f:
        return [line.rstrip("\n") for line in f]


_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


_live = []


class Proc:
    """A running program whose standard output (and error) is collected line by
    line and whose standard input takes command lines.

    wait_for() looks at the lines after the last one it matched, so a series
    of waits checks that events came in that order.
    """

    def __init__(self, args, name=None, env=None, cwd=None):
        self.name = name or os.path.basename(args[0])
        self.lines = []
        self._cursor = 0
        self._eof = False
        self._cond = threading.Condition()
        self._p = subprocess.Popen(
            args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, env=env, cwd=cwd,
            preexec_fn=_die_with_parent)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        _live.append(self)

    def _read(self):
        for raw in self._p.stdout:
            with self._cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    @property
    def pid(self):
        return self._p.pid

    @property
    def returncode(self):
        return self._p.poll()

    def output(self):
        with self._cond:
            return "\n".join(self.lines)

    def _failure(self, what):
        with self._cond:
            tail = "\n".join(self.lines[-40:])
        return AssertionError(f"{self.name}: {what}\n--- last output ---\n{tail}")

    def wait_for(self, pattern, timeout=DEFAULT_TIMEOUT):
        """Waits for the next line matching the regular expression PATTERN
        (re.search) and returns its match; fails after TIMEOUT seconds or when
        the program's output ends first."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                while self._cursor < len(self.lines):
                    line = self.lines[self._cursor]
                    self._cursor += 1
                    m = rx.search(line)
                    if m:
                        return m
                if self._eof:
                    raise self._failure(f"output ended before a line matching {pattern!r}")
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise self._failure(f"no line matching {pattern!r} within {timeout} s")
                self._cond.wait(remaining)

    def seen(self, pattern):
        """True when any line so far matches PATTERN; the wait position stays."""
        rx = re.compile(pattern)
        with self._cond:
            return any(rx.search(line) for line in self.lines)

    def send(self, line):
        """Writes one command line to the program's standard input."""
        self._p.stdin.write(line.encode() + b"\n")
        self._p.stdin.flush()

    def close_stdin(self):
        self._p.stdin.close()

    def signal(self, sig):
        self._p.send_signal(sig)

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the program to end by itself and returns its exit code."""
        try:
            code = self._p.wait(timeout)
        except subprocess.TimeoutExpired:
            raise self._failure(f"still running after {timeout} s") from None
        self._reader.join(timeout)
        return code

    def stop(self, timeout=3.0):
        """Ends the program: SIGTERM, then SIGKILL after TIMEOUT seconds.
        Returns the exit code; safe to call more than once."""
        if self._p.poll() is None:
            self._p.terminate()
            try:
                self._p.wait(timeout)
            except subprocess.TimeoutExpired:
                self._p.kill()
                self._p.wait()
        if not self._p.stdin.closed:
            try:
                self._p.stdin.close()
            except BrokenPipeError:
                pass
        self._reader.join(timeout)
        self._p.stdout.close()
        if self in _live:
            _live.remove(self)
        return self._p.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def spawn(program, *args, **kwargs):
    """Starts a built program by name with the given arguments."""
    return Proc([bin_path(program), *map(str, args)], **kwargs)


@atexit.register
def _stop_all():
    for proc in list(_live):
        proc.stop(timeout=1.0)


class CtrlClient:
    """One side of a control-channel connection over TCP on loopback."""

    def __init__(self, port=CTRL_PORT, timeout=DEFAULT_TIMEOUT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self._buf = b""

    def send(self, msg_type, payload=b""):
        self.sock.sendall(bytes([msg_type, len(payload)]) + payload)

    def send_raw(self, data):
        self.sock.sendall(data)

    def _fill(self, n, deadline):
        while len(self._buf) < n:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise socket.timeout()
            self.sock.settimeout(remaining)
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("connection closed")
            self._buf += chunk

    def recv(self, timeout=DEFAULT_TIMEOUT):
        """The next frame as (type, payload); EOFError when the peer closed,
        socket.timeout when nothing whole came within TIMEOUT seconds."""
        deadline = time.monotonic() + timeout
        self._fill(2, deadline)
        n = self._buf[1]
        self._fill(2 + n, deadline)
        frame, self._buf = self._buf[:2 + n], self._buf[2 + n:]
        return frame[0], frame[2:]

    def expect(self, msg_type, payload=None, timeout=DEFAULT_TIMEOUT):
        """Receives the next frame, checks its type (and payload when given)
        and returns its payload."""
        got_type, got_payload = self.recv(timeout)
        if got_type != msg_type or (payload is not None and got_payload != payload):
            want = frame_hex(msg_type, payload) if payload is not None else f"{msg_type:02X} .."
            raise AssertionError(
                f"expected {want}, got {frame_hex(got_type, got_payload)}")
        return got_payload

    def expect_nothing(self, within):
        """Checks that no byte arrives for WITHIN seconds."""
        try:
            self._fill(len(self._buf) + 1, time.monotonic() + within)
        except socket.timeout:
            return
        raise AssertionError(f"unexpected bytes: {self._buf.hex(' ')}")

    def expect_closed(self, timeout=DEFAULT_TIMEOUT):
        """Checks that the peer ends the connection (close or reset) with no
        further frame."""
        try:
            got = self.recv(timeout)
        except (EOFError, ConnectionResetError):
            return
        raise AssertionError(f"expected the end of the connection, got {frame_hex(*got)}")

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
