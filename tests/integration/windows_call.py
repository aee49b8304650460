"""The Windows build's quor-console.exe under Wine between the Linux phone
simulator and the Linux USB host simulator: it pairs, plugs its USB phone
into the host over TCP, signs in, carries a call whose tones each side hears
at the other's frequency (SRTP between the Windows build and the Linux
phone simulator), and unpairs.

Not one of ctest's integration tests: scripts/test.sh windows runs it inside
run_isolated.sh, with QUOR_BIN_DIR naming the Linux build (the simulators),
QUOR_WINDOWS_BIN_DIR the Windows build and QUOR_WINE the Wine loader, with
WINEPREFIX made beforehand."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import quorlib  # noqa: E402

CALL_SECONDS = 4
# Wine starts a program in a second or two, more on a loaded machine.
START_TIMEOUT = 60


def windows_path(path):
    """PATH as a Windows program under Wine sees it (drive Z: is /)."""
    return "Z:" + path.replace("/", "\\")


class WindowsConsoleCall(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quor-win-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.rig = quorlib.Rig(self.home, phone_args=("--tone", "600"),
                               host_address="tcp:127.0.0.1:0")
        self.addCleanup(self.rig.stop)

    def start_windows_console(self, vbus=True):
        exe = os.path.join(os.environ["QUOR_WINDOWS_BIN_DIR"], "quor-console.exe")
        env = dict(os.environ, QUOR_HOME=windows_path(self.home) + "\\",
                   QUOR_VBUS=self.rig.address, WINEDEBUG="-all")
        env.pop("DISPLAY", None)
        if not vbus:
            env.pop("QUOR_VBUS")
        self.rig.console = quorlib.Proc([os.environ["QUOR_WINE"], exe], name="quor-console.exe",
                                        env=env)
        self.rig.console.wait_for(r"^status: Not Paired$", timeout=START_TIMEOUT)

    def test_pair_call_and_unpair(self):
        rig = self.rig
        self.start_windows_console()
        rig.pair()
        rig.sign_in()
        rig.open_call()
        play, record = rig.stream(CALL_SECONDS)
        heard = quorlib.media_summary(rig.end_call())
        # The phone heard the host's 1 kHz through the Windows build's SRTP,
        # the host the phone's 600 Hz.
        self.assertAlmostEqual(heard["tone"], 1000.0, delta=10.0)
        self.assertAlmostEqual(record["tone"], 600.0, delta=6.0)
        self.assertEqual(heard["faulty"], 0)
        self.assertGreater(heard["rx"], CALL_SECONDS * 100 * 0.5)
        rig.unpair()
        self.assertNotRegex(rig.console.output(), r"Quor ERR: .*SRTP")

    def test_the_usbip_server_is_the_bus_on_loopback_by_default(self):
        self.start_windows_console(vbus=False)
        self.assertRegex(self.rig.console.output(),
                         r"(?m)^USBIP: listening on 127\.0\.0\.1:3240$")
        listing = subprocess.run(["usbip", "list", "-r", "127.0.0.1"], capture_output=True,
                                 text=True, timeout=quorlib.scaled(30))
        # The standard client's answer to a server that has nothing to export.
        self.assertIn("no exportable devices", listing.stdout + listing.stderr)


if __name__ == "__main__":
    unittest.main()
