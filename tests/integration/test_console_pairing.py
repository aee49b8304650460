"""quor-console against quor-phone-sim (and quor-host-sim as the PC's USB
host), in real time: the whole pairing on the wire, a phone signed in
before its device is plugged in, a held phone, the phone's own unpair and a
drop, and the automatic address with Stop."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import quorlib  # noqa: E402

LOOPBACK_AS_INT = 2130706433  # 127.0.0.1 as the settings file stores it
IDENTITY = ["T: 26 04 51 35 35 00", "T: 27 02 2F 1C", "T: 28 02 04 55", "T: 29 02 02 14"]


class ConsolePairing(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quor-home-")
        self.transcript = os.path.join(self.home, "transcript.txt")
        self.address = "unix:" + os.path.join(self.home, "host.sock")
        self.host = quorlib.spawn("quor-host-sim", "--listen", self.address)
        self.host.wait_for(r"^listening ")

    def tearDown(self):
        quorlib._stop_all()
        shutil.rmtree(self.home, ignore_errors=True)

    def start(self, *phone_args, settings="", answer="cancel"):
        with open(os.path.join(self.home, "config.ini"), "w") as f:
            f.write(f"[SECTION 1]\nPhoneIP={LOOPBACK_AS_INT}\nAutoPair=0\nAutoRun=0\n"
                    f"AutoMin=0\n{settings}")
        self.phone = quorlib.spawn("quor-phone-sim", "--transcript", self.transcript,
                                   *phone_args)
        self.phone.wait_for(r"^listening 7063")
        env = dict(os.environ, QUOR_HOME=self.home, XDG_RUNTIME_DIR=self.home,
                   QUOR_VBUS=self.address, LANG="C.UTF-8")
        self.console = quorlib.spawn("quor-console", "--answer", answer, env=env)
        self.console.wait_for(r"^status: Not Paired$")

    def wire(self):
        return [line for line in quorlib.read_transcript(self.transcript)
                if line.startswith(("P:", "T:"))]

    def test_complete_pairing_on_the_wire(self):
        self.start()
        self.console.send("pair")
        self.console.wait_for(r"^status: Pairing\.\.\.$")
        self.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=10)
        self.phone.send("signin")
        self.console.wait_for(r"^status: Paired\(Sign In\)$")
        # Two keep-alives, each answered (their period is the main window
        # test's to check, on its manual clock).
        self.phone.wait_for(r"^recv KEEPALIVE$", timeout=10)
        self.phone.wait_for(r"^recv KEEPALIVE$", timeout=10)
        self.console.send("pair")
        self.console.wait_for(r"^status: Unpairing\.\.\.$")
        self.console.wait_for(r"^status: Not Paired$", timeout=10)
        wire = self.wire()
        self.assertEqual(wire[:7], ["P: 19 00", "T: 2C 00", "P: 16 00"] + IDENTITY)
        self.assertIn("T: 22 00", wire)
        keepalives = [i for i, line in enumerate(wire) if line == "P: 60 00"]
        self.assertGreaterEqual(len(keepalives), 2)
        for i in keepalives:
            self.assertEqual(wire[i + 1], "T: 61 00")
        self.assertEqual(wire[-2:], ["P: 2A 00", "T: 3A 00"])

    def test_phone_signed_in_before_the_plug_in_stays_signed_in_and_its_call_has_audio(self):
        # A phone that re-pairs while its softphone session is still signed
        # in sends SIGNED_IN right after its identity, before the USB phone
        # is plugged in.
        home = os.path.join(self.home, "rig")
        os.mkdir(home)
        rig = quorlib.Rig(home, phone_args=("--sign-in", "--tone", "600"))
        self.addCleanup(rig.stop)
        rig.start_console()
        rig.console.send("pair")
        rig.console.wait_for(r"^status: Paired\(Sign In\)$", timeout=15)
        rig.host.wait_for(r"^enumeration done$", timeout=15)
        # With AsNmDev 0 the call's media opens only while signed in.
        rig.open_call()
        play, record = rig.stream(2)
        heard = quorlib.media_summary(rig.end_call())
        self.assertGreater(heard["rx"], play["urbs"] * 6 // 10 * 0.95)
        self.assertAlmostEqual(heard["tone"], 1000.0, delta=10.0)
        self.assertAlmostEqual(record["tone"], 600.0, delta=6.0)
        self.assertEqual(rig.state(), "3")
        self.assertFalse(rig.console.seen(r"^status: Paired\(Sign Out\)$"))
        rig.unpair()

    def test_held_phone_taken_over_on_ok(self):
        self.start("--held-by", "192.168.1.20", "--held-once", answer="ok")
        self.console.send("pair")
        self.console.wait_for(r"^message: Kestrow Hint: The device has been connected by IP: "
                              r"192\.168\.1\.20, force connect\?$")
        self.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=10)
        wire = self.wire()
        self.assertEqual(wire[:3], ["P: 19 00", "T: 2C 04 C0 A8 01 14", "P: 16 00"])

    def test_held_phone_declined_stays_not_paired(self):
        self.start("--held-by", "192.168.1.20", settings="RepairTime=1\n")
        self.console.send("pair")
        self.console.wait_for(r"force connect\?$")
        self.console.wait_for(r"^status: Not Paired$", timeout=10)
        self.assertFalse(self.console.seen(r"Waiting"))

    def test_phone_unpair_then_re_pair(self):
        self.start(settings="RepairTime=2\n")
        self.console.send("pair")
        self.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=10)
        self.phone.send("unpair")
        self.console.wait_for(r"^status: Unpairing\.\.\.$")
        self.console.wait_for(r"^status: Waiting\.\.\.\(2s\)$", timeout=10)
        self.console.wait_for(r"^status: Waiting\.\.\.\(1s\)$")
        self.console.wait_for(r"^status: Pairing\.\.\.$")
        self.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=10)

    def test_taken_over_then_drop_shows_the_text_once(self):
        self.start(settings="RepairTime=1\n")
        self.console.send("pair")
        self.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=10)
        self.phone.send("taken-over 10.0.0.9")
        self.phone.wait_for(r"^sent TAKEN_OVER$")
        self.phone.send("drop")
        self.console.wait_for(r"^message: Kestrow Hint: The device has been connected by IP: "
                              r"10\.0\.0\.9\.$", timeout=10)
        self.console.send("state")
        self.console.wait_for(r"^state: 0 Not Paired$", timeout=10)
        self.assertFalse(self.console.seen(r"Waiting"))

    def test_automatic_address_pairs_with_the_announced_phone_and_stop_ends_the_search(self):
        self.start(settings="AutoIP=1\n")
        self.console.send("pair")
        self.console.wait_for(r"^status: Started$")
        # The search binds its socket after the status line: the phone
        # announces itself again and again, as a real one does, until the
        # search takes an announcement.
        taken = r"^NETWORK: Get IP pkg \[7F 00 00 01 00 80\]$"

        def announce():
            self.phone.send("announce 127.0.0.1")
            return self.console.seen(taken)

        self.assertTrue(quorlib.wait_until(announce, bool, timeout=10, poll=0.2))
        self.console.wait_for(taken)
        self.console.wait_for(r"^status: Pairing\.\.\.$")
        self.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=10)
        self.console.send("pair")
        self.console.wait_for(r"^status: Not Paired$", timeout=10)
        self.console.send("pair")
        self.console.wait_for(r"^status: Started$")
        self.console.send("stop")
        # The session's log line and the status line come from two threads.
        self.console.wait_for(r"^NETWORK: Need quit get ip 2\.$")
        self.console.send("state")
        self.console.wait_for(r"^state: 0 Not Paired$")


if __name__ == "__main__":
    unittest.main()
