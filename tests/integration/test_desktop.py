"""The tray application on a real X display (Xvfb), run as a user without
administrator rights: its icon embeds in an XEmbed tray (trayer), or
registers with a StatusNotifierItem watcher on the user's session bus, and
the icon's menu opens and works; a second start shows or hides the window;
without any tray the window stays up and its own menu carries the tray's
commands; started as root it exits at once without a window; SIGTERM or SIGHUP
while paired unpairs from the phone before the program ends.

QUOR_SCREENSHOT_DIR, when set, receives the display's screenshots (xwd)."""

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib as q  # noqa: E402

PROGRAM = "KestrowQuorConnector"
WINDOW_TITLE = "Kestrow Quor Connector"
# The watcher needs PyGObject, which the system's own python has.
SYSTEM_PYTHON = "/usr/bin/python3"
WATCHER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sni_watcher.py")


def system_python_has_gi():
    return os.path.exists(SYSTEM_PYTHON) and subprocess.run(
        [SYSTEM_PYTHON, "-c", "import gi"], capture_output=True, timeout=30).returncode == 0


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=30)


class Display:
    """An Xvfb display of its own, and X tools that talk to it."""

    def __init__(self, test):
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten",
             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        test.addCleanup(self.stop)
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        self.env = dict(os.environ, DISPLAY=self.name)
        self.env.pop("WAYLAND_DISPLAY", None)
        # No session bus: no StatusNotifierItem watcher, only what is on X.
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.test = test

    def stop(self):
        self.server.terminate()
        self.server.wait(10)

    def tool(self, *args):
        return subprocess.run(args, capture_output=True, text=True, timeout=30, env=self.env)

    def windows(self, *criteria):
        """Ids of the windows that xdotool search finds for CRITERIA."""
        out = self.tool("xdotool", "search", *criteria).stdout
        return [int(w) for w in out.split()]

    def info(self, window, *args):
        return self.tool("xwininfo", "-id", str(window), *args).stdout

    def parent(self, window):
        return int(re.search(r"Parent window id: (0x[0-9a-f]+)", self.info(window, "-children"))
                   .group(1), 16)

    def root(self):
        return int(re.search(r"Window id: (0x[0-9a-f]+)", self.tool("xwininfo", "-root").stdout)
                   .group(1), 16)

    def viewable(self, window):
        return "Map State: IsViewable" in self.info(window)

    def point(self, window, fx=0.5, fy=0.5):
        """The screen position at fractions FX, FY of WINDOW's size."""
        text = self.info(window)
        x = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", text).group(1))
        y = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", text).group(1))
        w = int(re.search(r"Width:\s+(\d+)", text).group(1))
        h = int(re.search(r"Height:\s+(\d+)", text).group(1))
        return x + int(w * fx), y + int(h * fy)

    def screenshot(self, name):
        folder = os.environ.get("QUOR_SCREENSHOT_DIR")
        if folder:
            os.makedirs(folder, exist_ok=True)
            self.tool("xwd", "-root", "-silent", "-out", os.path.join(folder, name + ".xwd"))

    def wait(self, what, get, timeout=10):
        """Polls GET() until it gives a true value, which it returns; fails
        the test, naming WHAT, when none came within TIMEOUT seconds."""
        value = q.wait_until(get, bool, timeout=timeout)
        if not value:
            self.test.fail(f"no {what} within {q.scaled(timeout)} s")
        return value


class Desktop(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        os.chmod(tmp.name, 0o755)
        self.home = os.path.join(tmp.name, "home") + "/"
        os.mkdir(self.home, 0o700)
        q.give_to_user(self.home)
        self.display = Display(self)

    def tearDown(self):
        q._stop_all()

    def write_settings(self, text):
        path = self.home + "config.ini"
        with open(path, "w") as f:
            f.write("[SECTION 1]\nAutoPair=0\nAutoRun=0\n" + text)
        q.give_to_user(path)

    def start(self, env=None, user=True):
        env = dict(env or self.display.env, QUOR_HOME=self.home, XDG_RUNTIME_DIR=self.home,
                   HOME=self.home, QUOR_UPDATE_HOST="127.0.0.1", LANG="C.UTF-8")
        env.pop("QT_QPA_PLATFORM", None)
        # The start at log-on's folder is the user's own, under HOME.
        for name in ("XDG_CONFIG_HOME", "XDG_STATE_HOME"):
            env.pop(name, None)
        args = [q.bin_path(PROGRAM)]
        return q.Proc(q.as_user(args) if user else args, env=env, cwd="/")

    def main_window(self):
        self.display.wait("main window", lambda: self.display.windows(
            "--name", f"^{WINDOW_TITLE}$"))
        return self.display.windows("--name", f"^{WINDOW_TITLE}$")[0]

    def visible_windows(self):
        return set(self.display.windows("--onlyvisible", "--classname", PROGRAM))

    def open_menu(self, window, fx=0.5, fy=0.5):
        """Right-clicks WINDOW at fractions FX, FY of its size and returns the
        window that opens (the menu)."""
        before = self.visible_windows()
        x, y = self.display.point(window, fx, fy)
        self.display.tool("xdotool", "mousemove", str(x), str(y), "click", "3")
        return self.display.wait("menu", lambda: self.visible_windows() - before).pop()

    def test_tray_icon_embeds_in_an_xembed_tray_and_its_menu_opens(self):
        tray = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                 "pixel", "--width", "120", "--heighttype", "pixel", "--height",
                                 "24"], env=self.display.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.addCleanup(tray.wait, 10)
        self.addCleanup(tray.terminate)
        self.display.wait("tray", lambda: self.display.windows("--class", "Trayer"))
        self.write_settings("AutoMin=0\n")
        p = self.start()
        window = self.main_window()
        root = self.display.root()

        def embedded_icons():
            return [w for w in self.display.windows("--classname", PROGRAM)
                    if w != window and self.display.parent(w) != root]
        self.display.wait("icon embedded in the tray", embedded_icons)
        icon = embedded_icons()[0]
        self.display.wait("icon shown", lambda: self.display.viewable(icon))
        self.display.wait("window shown", lambda: self.display.viewable(window))

        # A second start, as the same user, toggles the window and ends.
        second = self.start()
        self.assertEqual(second.wait_exit(), 0)
        self.display.wait("hidden window", lambda: not self.display.viewable(window))

        self.open_menu(icon)
        self.display.screenshot("tray-menu")
        # Exit by its key: the program, not paired, ends.
        self.display.tool("xdotool", "key", "e")
        self.assertEqual(p.wait_exit(10), 0)

    @unittest.skipUnless(system_python_has_gi(), "the watcher needs python3-gi")
    # Qt's D-Bus module keeps the object that exports the icon's menu, and
    # the menu's items through it, to the program's end, which LeakSanitizer
    # reports as Qt's leak.
    @unittest.skipIf("detect_leaks=1" in os.environ.get("ASAN_OPTIONS", ""),
                     "Qt's exported tray menu outlives the program under LeakSanitizer")
    def test_tray_icon_registers_with_a_status_notifier_watcher_and_its_menu_works(self):
        """On a desktop whose panel watches StatusNotifierItems on the user's
        session bus, the icon registers there and its menu, which the panel
        shows through com.canonical.dbusmenu, carries the tray's commands."""
        address = f"unix:path={self.home}bus"
        bus = q.Proc(q.as_user(["dbus-daemon", "--session", "--nofork", "--print-address",
                                f"--address={address}"]), name="dbus-daemon")
        bus.wait_for(r"^unix:")
        env = dict(self.display.env, DBUS_SESSION_BUS_ADDRESS=address)
        watcher = q.Proc(q.as_user([SYSTEM_PYTHON, WATCHER]), name="watcher", env=env)
        watcher.wait_for(r"^watching$")
        self.write_settings("AutoMin=0\n")
        p = self.start(env)
        service = watcher.wait_for(r"^registered (\S+) (\S+)$", timeout=10).group(2)

        def menu_call(*args):
            out = subprocess.run(q.as_user(["busctl", f"--address={address}", "--json=short",
                                            "--", "call", service, "/MenuBar",
                                            "com.canonical.dbusmenu", *args]),
                                 capture_output=True, text=True, timeout=30)
            self.assertEqual(out.returncode, 0, out.stderr)
            return json.loads(out.stdout) if out.stdout.strip() else None
        menu_call("AboutToShow", "i", "0")
        layout = menu_call("GetLayout", "iias", "0", "-1", "0")["data"][1]
        items = {child["data"][1]["label"]["data"]: child["data"][0]
                 for child in layout[2] if "label" in child["data"][1]}
        for label in ("Show/Hide(_S)", "Setting(_P)", "About(_A)", "Exit(_E)"):
            self.assertIn(label, items)
        # The panel's click on Exit ends the program, which is not paired.
        menu_call("Event", "isvu", str(items["Exit(_E)"]), "clicked", "i", "0", "0")
        self.assertEqual(p.wait_exit(10), 0)

    def test_without_a_tray_the_window_stays_up_and_its_menu_has_the_tray_commands(self):
        self.write_settings("AutoMin=1\n")
        p = self.start()
        window = self.main_window()
        # Minimised at the start, it is not withdrawn: with no tray there
        # would be no way back to it. Its menu answering shows that the
        # start, the minimising included, is over.
        self.display.wait("window mapped", lambda: self.display.viewable(window))
        # A blank spot near the bottom left corner, beside no control.
        menu = self.open_menu(window, 0.03, 0.95)
        self.assertTrue(self.display.viewable(window))
        self.display.screenshot("no-tray-window-menu")
        # The menu holds the tray's entries and About, not About alone.
        height = int(re.search(r"Height:\s+(\d+)", self.display.info(menu)).group(1))
        self.assertGreater(height, 100)
        self.display.tool("xdotool", "key", "e")
        self.assertEqual(p.wait_exit(10), 0)

    @unittest.skipUnless(os.geteuid() == 0, "needs root's rights to start as root")
    def test_started_as_root_it_exits_without_a_window(self):
        self.write_settings("")
        p = self.start(user=False)
        self.assertEqual(p.wait_exit(10), 1)
        self.assertTrue(p.seen(r"runs as the desktop user"))
        self.assertEqual(self.display.windows("--classname", PROGRAM), [])
        self.assertEqual(os.listdir(self.home), ["config.ini"])

    def test_sigterm_or_sighup_while_paired_unpairs_from_the_phone(self):
        for sig in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(sig=sig):
                if os.path.exists(self.home + "transcript.txt"):
                    os.remove(self.home + "transcript.txt")
                rig = q.Rig(self.home, settings={"AutoPair": 1})
                try:
                    q.give_to_user(self.home + "config.ini")
                    os.chmod(self.home + "host.sock", 0o666)
                    env = dict(self.display.env, QUOR_VBUS=rig.address,
                               QT_QPA_PLATFORM="offscreen")
                    p = self.start(env)
                    rig.host.wait_for(r"^enumeration done$", timeout=15)
                    p.signal(sig)
                    self.assertEqual(p.wait_exit(15), 0)
                    self.assertIn(f"P: {q.UNPAIR:02X} 00", q.read_transcript(rig.transcript))
                    rig.host.wait_for(r"^disconnected$", timeout=10)
                finally:
                    rig.stop()


if __name__ == "__main__":
    unittest.main()
