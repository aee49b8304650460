"""A pairing whose USB phone cannot be plugged in, end to end: quor-console
pairs with quor-phone-sim while no USB host answers, shows "Loading the
driver failed, ..." once, tells the phone, and waits for the user instead
of pairing again by itself; with a host there, the user's next Pair works."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import quorlib  # noqa: E402

LOOPBACK_AS_INT = 2130706433  # 127.0.0.1 as the settings file stores it
DRIVER_FAILED = (r"^message: Kestrow Hint: Loading the driver failed, please retry or re "
                 r"install the software\.$")


class BusMissing(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quor-home-")
        self.address = "unix:" + os.path.join(self.home, "host.sock")
        # A re-pair, were one started, would begin a second after the failure.
        with open(os.path.join(self.home, "config.ini"), "w") as f:
            f.write(f"[SECTION 1]\nPhoneIP={LOOPBACK_AS_INT}\nAutoPair=0\nAutoRun=0\n"
                    "AutoMin=0\nAutoRepair=1\nRepairTime=1\n")
        self.phone = quorlib.spawn("quor-phone-sim")
        self.phone.wait_for(r"^listening 7063")
        env = dict(os.environ, QUOR_HOME=self.home, XDG_RUNTIME_DIR=self.home,
                   QUOR_VBUS=self.address, LANG="C.UTF-8")
        self.console = quorlib.spawn("quor-console", env=env)
        self.console.wait_for(r"^status: Not Paired$")

    def tearDown(self):
        quorlib._stop_all()
        shutil.rmtree(self.home, ignore_errors=True)

    def test_the_user_is_told_once_and_pairs_again_by_hand(self):
        self.console.send("pair")
        self.console.wait_for(DRIVER_FAILED, timeout=10)
        self.phone.wait_for(r"^recv UNPAIR$")
        # Everything the failure posted has been handled before this answer.
        self.console.send("state")
        self.console.wait_for(r"^state: 0 Not Paired$")
        out = self.console.output().splitlines()
        statuses = [line for line in out if line.startswith("status: ")]
        self.assertEqual(statuses[-2:], ["status: Pairing...", "status: Not Paired"])
        self.assertEqual(len([line for line in out if line.startswith("message: ")]), 1)

        # The user starts the host (loads the driver) and presses Pair.
        self.phone.wait_for(r"^closed$")
        host = quorlib.spawn("quor-host-sim", "--listen", self.address)
        host.wait_for(r"^listening ")
        self.console.send("pair")
        self.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=10)
        host.wait_for(r"^enumeration done$", timeout=15)


if __name__ == "__main__":
    unittest.main()
