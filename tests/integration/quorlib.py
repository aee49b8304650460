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
import sys
import threading
import time
import wave
from array import array

DEFAULT_TIMEOUT = 5.0
# Sanitizer builds run the programs several times slower: their test runs
# set QUOR_TIME_SCALE, and every limit on waiting for a program is stretched
# by it (limits on how long nothing may happen are not).
TIME_SCALE = float(os.environ.get("QUOR_TIME_SCALE") or 1)
# Whether the programs run at full speed. Bounds on how well real-time audio
# keeps up hold only then; a sanitizer run checks what the audio path does,
# not how promptly.
FULL_SPEED = TIME_SCALE == 1
# The first line of a sanitizer's report (AddressSanitizer, LeakSanitizer,
# UndefinedBehaviorSanitizer, ThreadSanitizer).
SANITIZER_REPORT = re.compile(
    r"^==\d+==ERROR: \w+Sanitizer|: runtime error: |^WARNING: ThreadSanitizer: ")


def scaled(seconds):
    """SECONDS stretched by TIME_SCALE."""
    return seconds * TIME_SCALE

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


# The user the desktop tests run the program as when they run as root: the
# tray application refuses root's rights.
DESKTOP_USER = 65534


def as_user(args):
    """ARGS run as DESKTOP_USER when the test runs as root, else as they are."""
    if os.geteuid() != 0:
        return list(args)
    return ["setpriv", f"--reuid={DESKTOP_USER}", f"--regid={DESKTOP_USER}", "--clear-groups",
            *args]


def give_to_user(*paths):
    """Makes PATHS the DESKTOP_USER's when the test runs as root."""
    if os.geteuid() == 0:
        for path in paths:
            os.chown(path, DESKTOP_USER, DESKTOP_USER)


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
        deadline = time.monotonic() + scaled(timeout)
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
                    raise self._failure(
                        f"no line matching {pattern!r} within {scaled(timeout)} s")
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
        """Waits for the program to end by itself and returns its exit code;
        fails when a sanitizer reported a fault in it."""
        try:
            code = self._p.wait(scaled(timeout))
        except subprocess.TimeoutExpired:
            raise self._failure(f"still running after {scaled(timeout)} s") from None
        self._reader.join(scaled(timeout))
        self.check_sanitizer_reports()
        return code

    def check_sanitizer_reports(self):
        """Fails when the output holds a sanitizer's report."""
        with self._cond:
            reports = [i for i, line in enumerate(self.lines) if SANITIZER_REPORT.search(line)]
            text = "\n".join(self.lines[reports[0]:reports[0] + 60]) if reports else ""
        if reports:
            raise AssertionError(f"{self.name}: a sanitizer reported a fault\n{text}")

    def stop(self, timeout=3.0):
        """Ends the program: SIGTERM, then SIGKILL after TIMEOUT seconds.
        Returns the exit code; safe to call more than once. Fails when a
        sanitizer reported a fault in the program."""
        timeout = scaled(timeout)
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
        self.check_sanitizer_reports()
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
    failed = False
    for proc in list(_live):
        try:
            proc.stop(timeout=1.0)
        except AssertionError as e:
            print(e, file=sys.stderr)
            failed = True
    if failed:
        os._exit(1)


class CtrlClient:
    """One side of a control-channel connection over TCP on loopback."""

    def __init__(self, port=CTRL_PORT, timeout=DEFAULT_TIMEOUT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=scaled(timeout))
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
        deadline = time.monotonic() + scaled(timeout)
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


# ---------------------------------------------------------------- the rig

LOOPBACK_AS_INT = 2130706433  # 127.0.0.1 as config.ini stores it
# SET_REPORT of output report 6 (the call dialog) to the HID interface:
# DIALOG.format(1) starts a call dialog, DIALOG.format(0) ends it.
DIALOG = "control 2109060203000200 06{:02x}"


def task_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def usage(pid):
    """(threads, open descriptors) of a process."""
    return task_count(pid), fd_count(pid)


def wait_until(what, done, timeout=10.0, poll=0.05):
    """Polls WHAT() until DONE(value) holds or TIMEOUT seconds pass; returns
    the last value."""
    deadline = time.monotonic() + scaled(timeout)
    value = what()
    while not done(value) and time.monotonic() < deadline:
        time.sleep(poll)
        value = what()
    return value


def steady_usage(pid, timeout=5.0):
    """The process's (threads, descriptors) once three readings 100 ms apart
    agree: after start-up's short-lived threads and files are gone."""
    readings = [usage(pid)]

    def settled():
        readings.append(usage(pid))
        return readings[-3:] if len(readings) >= 3 and len(set(readings[-3:])) == 1 else None

    wait_until(settled, lambda v: v is not None, timeout, poll=0.1)
    return readings[-1]


def assert_usage_back(test, pid, baseline, what=""):
    """Fails TEST unless the threads and descriptors of process PID come back
    to no more than BASELINE, a (threads, descriptors) pair, within 10 s."""
    got = wait_until(lambda: usage(pid), lambda v: v[0] <= baseline[0] and v[1] <= baseline[1])
    test.assertLessEqual(got[0], baseline[0], f"threads left behind {what}")
    test.assertLessEqual(got[1], baseline[1], f"descriptors left open {what}: "
                         f"{sorted(os.listdir(f'/proc/{pid}/fd'))}")


class Rig:
    """quor-console between quor-phone-sim (the desk phone) and
    quor-host-sim (the PC's USB host), on loopback, in a folder of its own
    that holds config.ini, the host's socket and whatever the test writes.
    Every program is stopped by stop() (also at the script's end)."""

    BASE_SETTINGS = {"PhoneIP": LOOPBACK_AS_INT, "AutoPair": 0, "AutoRun": 0, "AutoMin": 0,
                     "AutoRepair": 0, "AsNmDev": 0}

    def __init__(self, home, settings=None, phone_args=(), host=True, host_address=None):
        self.home = home
        self.address = host_address or "unix:" + os.path.join(home, "host.sock")
        self.transcript = os.path.join(home, "transcript.txt")
        values = dict(self.BASE_SETTINGS, **(settings or {}))
        self.write_settings(values)
        self.phone = None
        self.start_phone(*phone_args)
        self.host = None
        if host:
            self.host = spawn("quor-host-sim", "--listen", self.address)
            # A TCP address with port 0 becomes the port the host listens on.
            self.address = self.host.wait_for(r"^listening (\S+)").group(1)
        self.console = None

    def start_phone(self, *args):
        """Starts (or starts again, ending the running one) the phone
        simulator with ARGS."""
        if self.phone:
            self.phone.stop()
        self.phone = spawn("quor-phone-sim", "--transcript", self.transcript, *args)
        self.phone.wait_for(r"^listening 7063")

    def write_settings(self, values):
        with open(os.path.join(self.home, "config.ini"), "w") as f:
            f.write("[SECTION 1]\n" + "".join(f"{k}={v}\n" for k, v in values.items()))

    def console_env(self, **extra):
        return dict(os.environ, QUOR_HOME=self.home, XDG_RUNTIME_DIR=self.home,
                    QUOR_VBUS=self.address, LANG="C.UTF-8", **extra)

    def start_console(self, prefix=(), command=None, env=None, **extra_env):
        """Starts quor-console line-buffered, so its diagnostic lines arrive
        as they are written (stdbuf execs it: the pid is the console's), and
        waits for its first status line. PREFIX runs before it (a wrapper
        that execs the console). COMMAND and ENV, when given, start another
        build of the console instead (the Windows one under Wine)."""
        self.console = Proc(command or [*prefix, "stdbuf", "-oL", bin_path("quor-console")],
                            env=env or self.console_env(**extra_env))
        self.console.wait_for(r"^status: Not Paired$", timeout=10)
        return self.console

    def usage(self):
        return usage(self.console.pid)

    def steady_usage(self):
        return steady_usage(self.console.pid)

    def assert_usage_back(self, test, baseline, what=""):
        assert_usage_back(test, self.console.pid, baseline, what)

    def state(self):
        self.console.send("state")
        return self.console.wait_for(r"^state: (\d) ").group(1)

    def pair(self):
        self.console.send("pair")
        self.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=15)
        if self.host:
            self.host.wait_for(r"^enumeration done$", timeout=15)

    def sign_in(self):
        self.phone.send("signin")
        self.console.wait_for(r"^status: Paired\(Sign In\)$", timeout=10)

    def host_do(self, command, answer, timeout=10):
        self.host.send(command)
        return self.host.wait_for(answer, timeout=timeout)

    def open_call(self):
        """The softphone selects both streaming interfaces and starts a call
        dialog; the phone answers the media offer."""
        self.host_do("set-interface 2 1", r"^set-interface 2 1 status=0$")
        self.host_do("set-interface 1 1", r"^set-interface 1 1 status=0$")
        self.host_do(DIALOG.format(1), r"^control status=0 ")
        return self.phone.wait_for(r"^media started: ", timeout=10)

    def stream(self, seconds, *options):
        """The host plays 1 kHz and records for SECONDS; the summaries of
        both directions as dicts of numbers."""
        self.host.send(" ".join(["stream", str(seconds), "play", "1000", *options]))
        play = self.host.wait_for(r"^stream play: .*", timeout=seconds + 15).group(0)
        record = self.host.wait_for(r"^stream record: .*", timeout=10).group(0)
        return summary_fields(play), summary_fields(record)

    def end_call(self):
        """The dialog ends and the softphone leaves both streaming
        interfaces; the phone's media summary line."""
        self.host_do(DIALOG.format(0), r"^control status=0 ")
        summary = self.phone.wait_for(r"^media summary: .*", timeout=10).group(0)
        self.host_do("set-interface 1 0", r"^set-interface 1 0 status=0$")
        self.host_do("set-interface 2 0", r"^set-interface 2 0 status=0$")
        return summary

    def unpair(self):
        self.console.send("pair")
        self.console.wait_for(r"^status: Not Paired$", timeout=15)
        if self.host:
            self.host.wait_for(r"^disconnected$", timeout=10)

    def stop(self):
        for proc in (self.console, self.host, self.phone):
            if proc:
                proc.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def summary_fields(line):
    """The key=value numbers of a summary line, as floats."""
    return {k: float(v) for k, v in re.findall(r"(\w+)=(-?[\d.]+)", line)}


def media_summary(line):
    """The numbers of the phone simulator's "media summary: ..." line: rx,
    lost, dropped, tone (Hz), level (dBFS), tx, faulty."""
    m = re.search(r"rx (\d+) packets, lost (\d+) .*, dropped (\d+), tone ([\d.]+) Hz, "
                  r"level (-?[\d.]+) dBFS, tx (\d+) packets, (\d+) faulty", line)
    if not m:
        raise AssertionError(f"not a media summary: {line}")
    keys = ("rx", "lost", "dropped", "tone", "level", "tx", "faulty")
    return {k: float(v) for k, v in zip(keys, m.groups())}


def frame_marks(path):
    """The packet numbers the phone marked (--frame-marks) in each 10 ms
    frame of the host's 48 kHz recording, None where a frame holds no mark.
    Each 16 kHz sample reaches the host three times, and the connector's
    frames begin where the recording does; the offset is searched anyway."""
    with wave.open(path) as w:
        samples = array("h", w.readframes(w.getnframes()))
    if sys.byteorder == "big":
        samples.byteswap()

    def mark(at):
        bits = [samples[at + 3 * i] & 1 for i in range(32)]
        if any(bits[i] == bits[16 + i] for i in range(16)):
            return None
        return sum(bit << i for i, bit in enumerate(bits[:16]))

    def frames(offset):
        return [mark(at) for at in range(offset, len(samples) - 95, 480)]

    first = next((i for i, m in enumerate(frames(0)) if m is not None), 0)
    probe = range(first * 480, min(len(samples) - 95, (first + 50) * 480), 480)
    offset = max(range(480), key=lambda k: sum(
        mark(at + k) is not None for at in probe if at + k + 95 < len(samples)))
    return frames(offset)
