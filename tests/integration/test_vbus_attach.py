"""The emulated phone on the socket bus: quor-console pairs with
quor-phone-sim, the device plugs into quor-host-sim and is enumerated there,
unpairing unplugs it, and pairing again and again leaves no thread or open
file behind."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import quorlib  # noqa: E402

LOOPBACK_AS_INT = 2130706433  # 127.0.0.1 as the settings file stores it


class VbusAttach(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quor-home-")
        with open(os.path.join(self.home, "config.ini"), "w") as f:
            f.write(f"[SECTION 1]\nPhoneIP={LOOPBACK_AS_INT}\nAutoPair=0\nAutoRun=0\n"
                    "AutoMin=0\nAutoRepair=0\n")
        address = "unix:" + os.path.join(self.home, "host.sock")
        self.phone = quorlib.spawn("quor-phone-sim", "--model", "T54", "--vid", "0x1234",
                                   "--pid", "0x5678", "--release", "0x0102")
        self.phone.wait_for(r"^listening 7063")
        self.host = quorlib.spawn("quor-host-sim", "--listen", address)
        self.host.wait_for(r"^listening ")
        env = dict(os.environ, QUOR_HOME=self.home, XDG_RUNTIME_DIR=self.home,
                   QUOR_VBUS=address, LANG="C.UTF-8")
        self.console = quorlib.spawn("quor-console", env=env)
        self.console.wait_for(r"^status: Not Paired$")

    def tearDown(self):
        for proc in (self.console, self.host, self.phone):
            proc.stop()
        shutil.rmtree(self.home, ignore_errors=True)

    def pair(self):
        self.console.send("pair")
        self.console.wait_for(r"^status: Pairing\.\.\.$")
        self.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=10)
        self.host.wait_for(r"^connected$")
        self.host.wait_for(r"^enumeration done$", timeout=15)

    def unpair(self):
        self.console.send("pair")
        self.console.wait_for(r"^status: Unpairing\.\.\.$")
        self.host.wait_for(r"^disconnected$", timeout=10)
        self.console.wait_for(r"^status: Not Paired$", timeout=10)

    def test_host_enumerates_the_phone_and_unpairing_unplugs_it(self):
        self.pair()
        out = self.host.output()
        self.assertRegex(out, r"(?m)^device vid=1234 pid=5678 bcd=0102 ")
        self.assertRegex(out, r'(?m)^string 4 "Kestrow T54 Phone"$')
        self.assertRegex(out, r'(?m)^string 6 "Kestrow T54 Audio Playback"$')
        self.assertRegex(out, r"(?m)^config 1 interfaces=4 .*total=217$")
        for ep in ("0x01 iso out", "0x82 iso in", "0x83 interrupt in"):
            self.assertRegex(out, rf"(?m)^endpoint {ep} ")
        self.assertRegex(out, r"(?m)^set-configuration 1 status=0$")
        self.assertNotRegex(out, r"(?m)^error: ")
        self.phone.send("signin")
        self.console.wait_for(r"^status: Paired\(Sign In\)$")
        self.unpair()
        self.assertNotRegex(self.host.output(), r"(?m)^error: ")

    def test_pairing_five_times_leaves_no_thread_or_open_file(self):
        pid = self.console.pid
        self.pair()
        self.unpair()
        # The attachment's threads end just after the status line.
        baseline = quorlib.steady_usage(pid)
        for i in range(4):
            self.pair()
            self.unpair()
            quorlib.assert_usage_back(self, pid, baseline, f"by pairing {i + 2}")
        lines = self.host.output().splitlines()
        self.assertEqual(lines.count("connected"), 5)
        self.assertEqual(lines.count("disconnected"), 5)


if __name__ == "__main__":
    unittest.main()
