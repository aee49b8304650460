"""What the PC's USB host can do wrong, end to end: quor-console between
quor-phone-sim and quor-host-sim, the host misbehaving. Pending requests of
every kind unlinked at once, the host going away in the middle of a call's
stream (detaching, or killed), and malformed PDUs. A host that drops the
device ends the pairing as a lost link: the phone is told, the window shows
Not Paired and pairs again when AutoRepair is on; afterwards the program
holds no more threads or open descriptors than before."""

import os
import re
import shutil
import signal
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib  # noqa: E402

CMD_SUBMIT, DIR_OUT, DIR_IN = 1, 0, 1
RAW_SEQNUM = 0x70000000  # far from the host's own seqnums


def submit(seqnum=RAW_SEQNUM, direction=DIR_IN, ep=3, length=64, packets=0, command=CMD_SUBMIT,
           data=b"", iso=()):
    """A request PDU as the host writes it: big-endian header words, the
    setup packet, OUT data, then (offset, length) packet descriptors."""
    pdu = struct.pack(">10I", command, seqnum, 0x00010002, direction, ep, 0, length, 0, packets, 1)
    pdu += bytes(8) + data
    for offset, size in iso:
        pdu += struct.pack(">4I", offset, size, 0, 0)
    return pdu


class HostFaults(unittest.TestCase):
    def setUp(self):
        home = tempfile.mkdtemp(prefix="quor-host-faults-")
        self.addCleanup(shutil.rmtree, home, True)
        self.rig = quorlib.Rig(home, phone_args=("--tone", "600"))
        self.addCleanup(self.rig.stop)
        self.rig.start_console()
        self.baseline = self.rig.steady_usage()

    def assert_call_heard(self):
        """A call whose audio each side hears, the call's stream open."""
        play, record = self.rig.stream(2)
        heard = quorlib.media_summary(self.rig.end_call())
        self.assertGreater(heard["rx"], play["urbs"] * 6 // 10 * 0.95)
        self.assertAlmostEqual(heard["tone"], 1000.0, delta=10.0)
        self.assertAlmostEqual(record["tone"], 600.0, delta=6.0)

    def restart_console(self, **settings):
        self.rig.console.stop()
        self.rig.write_settings(dict(quorlib.Rig.BASE_SETTINGS, **settings))
        self.rig.start_console()
        self.baseline = self.rig.steady_usage()

    def unpair_count(self):
        return quorlib.read_transcript(self.rig.transcript).count("P: 2A 00")

    def assert_host_loss_unpairs(self, unpairs_before):
        """The device thread takes the host's end for a lost link: the phone
        is told UNPAIR and answers, and the window shows Unpairing..."""
        rig = self.rig
        rig.console.wait_for(r"^STARTDEV: The USB host dropped the device, unpairing$",
                             timeout=10)
        rig.console.wait_for(r"^status: Unpairing\.\.\.$")
        self.assertEqual(quorlib.wait_until(self.unpair_count, lambda n: n > unpairs_before),
                         unpairs_before + 1)

    def test_every_kind_of_pending_request_unlinked_at_once_ends_once(self):
        rig = self.rig
        rig.pair()
        rig.sign_in()
        rig.open_call()
        results = {}
        for kind in ("control", "interrupt", "iso-in", "iso-out"):
            line = rig.host_do(f"unlink {kind} 12", rf"^unlink {kind} submitted=.*").group(0)
            results[kind] = quorlib.summary_fields(line)
        for kind, r in results.items():
            self.assertEqual(r["submitted"], 12, kind)
            self.assertEqual(r["reset"] + r["answered"], 12, kind)
        # The device answers a control request before it reads the next
        # PDU; an interrupt request waits for a report that never comes.
        self.assertEqual(results["control"]["answered"], 12)
        self.assertEqual(results["interrupt"]["reset"], 12)
        # Nothing was answered twice or after its unlink, and the streams
        # go on.
        self.assertNotRegex(rig.host.output(), r"(?m)^(error|check-failed): ")
        self.assert_call_heard()
        self.assertNotIn("Quor ERR", rig.console.output())
        rig.unpair()
        rig.assert_usage_back(self, self.baseline)

    def test_host_gone_during_a_call_unpairs_and_pairs_again(self):
        self.restart_console(AutoRepair=1, RepairTime=1)
        rig = self.rig
        rig.pair()
        rig.sign_in()
        rig.open_call()
        unpairs = self.unpair_count()
        rig.host.send("stream 6 play 1000 detach-after 1500")
        rig.host.wait_for(r"^stream detached$", timeout=10)
        rig.host.wait_for(r"^disconnected$", timeout=10)
        # The device notices at its next read (end of stream) or write
        # (broken pipe), whichever comes first.
        rig.console.wait_for(r"^Quor ERR: USB host connection closed: ")
        rig.console.wait_for(r"^DEV: the USB host is gone, no more requests this attachment$")
        self.assert_host_loss_unpairs(unpairs)
        rig.console.wait_for(r"^status: Waiting\.\.\.\(1s\)$", timeout=10)
        self.assertTrue(rig.console.seen(r"^NETWORK: RTP closed: "))

        # The re-pair plugs the device in again, and it carries a call.
        rig.console.wait_for(r"^status: Pairing\.\.\.$", timeout=5)
        rig.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=15)
        rig.host.wait_for(r"^enumeration done$", timeout=15)
        rig.sign_in()
        rig.open_call()
        self.assert_call_heard()
        rig.unpair()
        rig.assert_usage_back(self, self.baseline)

        # The host killed in the middle of a stream, and gone for good: the
        # pairing ends, and the re-pair cannot plug in its device, tells the
        # user and stays Not Paired.
        rig.pair()
        unpairs = self.unpair_count()
        rig.host.send("stream 6 play 1000")
        rig.host.wait_for(r"^stream started$")
        rig.host.signal(signal.SIGKILL)
        rig.host.wait_exit()
        rig.console.wait_for(r"^Quor ERR: USB host connection closed: ", timeout=10)
        self.assert_host_loss_unpairs(unpairs)
        rig.console.wait_for(r"^status: Pairing\.\.\.$", timeout=10)
        rig.console.wait_for(r"^Quor ERR: USB host at .* not reachable: ", timeout=10)
        rig.console.wait_for(r"^status: Not Paired$", timeout=15)
        # The thread that applies Not Paired shows the text; the status line
        # comes from the UI thread, in either order.
        told = r"^message: Kestrow Hint: Loading the driver failed"
        self.assertTrue(quorlib.wait_until(lambda: rig.console.seen(told), bool))
        self.assertEqual(rig.state(), "0")
        rig.assert_usage_back(self, self.baseline)

    def test_malformed_pdus_drop_the_host_connection_and_nothing_else(self):
        rig = self.rig
        cases = [
            ("unknown command", submit(command=7)),
            ("bad direction", submit(direction=5)),
            ("bad endpoint", submit(ep=99)),
            ("request larger than the device accepts",
             submit(direction=DIR_OUT, ep=1, length=0x7FFFFFFF)),
            ("isochronous packets outside the transfer buffer",
             submit(ep=2, length=96, packets=1, iso=[(0, 200)])),
            ("sequence number already pending", submit() + submit()),
            ("end of stream", submit()[:20]),
        ]
        for why, pdu in cases:
            with self.subTest(why):
                rig.pair()
                unpairs = self.unpair_count()
                rig.host_do("send-raw " + pdu.hex(), r"^sent raw \d+ bytes$")
                if why == "end of stream":  # a PDU cut short by the host's end
                    rig.host.send("detach")
                    rig.console.wait_for(r"^Quor ERR: USB host connection closed: ")
                else:
                    rig.console.wait_for(
                        rf"^Quor ERR: malformed request from the USB host: {re.escape(why)} ")
                    rig.console.wait_for(
                        r"^Quor ERR: USB host connection closed: malformed request$")
                rig.host.wait_for(r"^disconnected$", timeout=10)
                # With AutoRepair off the lost link ends in Not Paired.
                self.assert_host_loss_unpairs(unpairs)
                rig.console.wait_for(r"^status: Not Paired$", timeout=15)
                self.assertEqual(rig.state(), "0")
                rig.assert_usage_back(self, self.baseline)
        self.assertFalse(rig.console.seen(r"^status: Waiting"))
        self.assertNotRegex(rig.host.output(), r"(?m)^(error|check-failed): ")


if __name__ == "__main__":
    unittest.main()
