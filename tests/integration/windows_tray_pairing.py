"""The Windows tray program (KestrowQuorConnector.exe) under Wine on an
Xvfb display, between the Linux phone simulator and the Linux USB host
simulator: a click on Pair pairs, the phone's sign-in shows, a click on
Unpair unpairs, and the status line and the button follow each step as on
Linux. Screenshots of each step go to QUOR_SCREENSHOT_DIR (default
QUOR_WINDOWS_BIN_DIR/screenshots).

Not one of ctest's integration tests: scripts/test-windows.sh runs it inside
run_isolated.sh, with QUOR_BIN_DIR naming the Linux build (the simulators),
QUOR_WINDOWS_BIN_DIR the Windows build, WINEPREFIX the prefix."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "windows"))
import quorlib  # noqa: E402
import wine_desktop as wd  # noqa: E402

START_TIMEOUT = 90
STEP_TIMEOUT = 30
CAPTION = "Kestrow Quor Connector"
PAIR_BUTTON, STATUS = 1, 1001


def windows_path(path):
    """PATH as a Windows program under Wine sees it (drive Z: is /)."""
    return "Z:" + path.replace("/", "\\")


class WindowsTrayPairing(unittest.TestCase):
    def setUp(self):
        self.bin = Path(os.environ["QUOR_WINDOWS_BIN_DIR"])
        self.shots = Path(os.environ.get("QUOR_SCREENSHOT_DIR") or self.bin / "screenshots")
        self.shots.mkdir(parents=True, exist_ok=True)
        self.home = tempfile.mkdtemp(prefix="quor-win-tray-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.rig = quorlib.Rig(self.home, host_address="tcp:127.0.0.1:0")
        self.addCleanup(self.rig.stop)
        self.desktop = wd.WineDesktop(os.environ.get("WINEPREFIX") or self.bin / "wine-prefix")
        self.addCleanup(self.desktop.stop)

    def probe(self, *args):
        try:
            r = self.desktop.run_wine(str(self.bin / "quor-winui-probe.exe"), *args, timeout=30)
        except subprocess.TimeoutExpired:
            return None  # asked again by the caller's wait
        return r.stdout.decode("utf-8", "replace").strip() if r.returncode == 0 else None

    def status(self):
        return self.probe("text", CAPTION, str(STATUS))

    def wait_status(self, text, timeout=STEP_TIMEOUT):
        seen = wd.wait_for(lambda: self.status() == text, timeout)
        self.assertTrue(seen, f"the status line never read {text!r} (last {self.status()!r})")

    def click(self, control):
        left, top, right, bottom = (int(v) for v in self.probe("rect", CAPTION,
                                                               str(control)).split())
        self.desktop.tool("xdotool", "mousemove", str((left + right) // 2),
                          str((top + bottom) // 2), "click", "1")

    def shot(self, name):
        self.desktop.settle()
        self.desktop.screenshot(self.shots / f"pairing_{name}.png", (0, 0, 420, 300))

    def test_pair_sign_in_and_unpair_from_the_window(self):
        env = dict(self.desktop.env, QUOR_HOME=windows_path(self.home) + "\\",
                   QUOR_VBUS=self.rig.address, LANG="en_US.UTF-8", LC_ALL="en_US.UTF-8")
        log = open(os.path.join(self.home, "program.log"), "wb")
        self.addCleanup(log.close)
        program = subprocess.Popen([self.desktop.wine, str(self.bin / "KestrowQuorConnector.exe")],
                                   env=env, stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(program.wait)
        self.addCleanup(program.kill)
        self.wait_status("Not Paired", START_TIMEOUT)
        self.shot("not_paired")

        self.click(PAIR_BUTTON)
        self.wait_status("Paired(Sign Out)")
        self.rig.host.wait_for(r"^enumeration done$", timeout=STEP_TIMEOUT)
        self.assertEqual(self.probe("text", CAPTION, str(PAIR_BUTTON)), "Unpair")
        self.shot("signed_out")

        self.rig.phone.send("signin")
        self.wait_status("Paired(Sign In)")
        self.shot("signed_in")

        self.click(PAIR_BUTTON)
        self.wait_status("Not Paired")
        self.assertEqual(self.probe("text", CAPTION, str(PAIR_BUTTON)), "Pair")
        self.shot("unpaired")


if __name__ == "__main__":
    unittest.main()
