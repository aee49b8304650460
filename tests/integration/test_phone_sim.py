"""The phone simulator against a scripted connector on loopback: its answers,
its transcript, its stdin commands and its handling of bad input."""

import base64
import os
import signal
import socket
import struct
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib as q  # noqa: E402

IDENTITY = [
    (q.MODEL_NAME, b"Q55\x00"),
    (q.VENDOR_ID, b"\x2f\x1c"),
    (q.PRODUCT_ID, b"\x04\x55"),
    (q.DEVICE_RELEASE, b"\x02\x14"),
]


class PhoneSimTest(unittest.TestCase):
    def start_sim(self, *args):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.transcript = os.path.join(tmp.name, "transcript.txt")
        sim = q.spawn("quor-phone-sim", "--transcript", self.transcript, *args)
        self.addCleanup(sim.stop)
        sim.wait_for(r"^listening 7063$")
        return sim

    def connect(self, sim):
        c = q.CtrlClient()
        self.addCleanup(c.close)
        sim.wait_for(r"^connected$")
        return c

    def test_pairing_exchange_and_transcript(self):
        sim = self.start_sim()
        c = self.connect(sim)
        c.send(q.PAIR_QUERY)
        c.expect(q.PAIR_ANSWER, b"")
        c.send(q.PAIR_START)
        for msg_type, payload in IDENTITY:
            c.expect(msg_type, payload)
        c.send(q.KEEPALIVE)
        c.expect(q.KEEPALIVE_ACK, b"")
        c.send(q.UNPAIR)
        c.expect(q.UNPAIR_ACK, b"")
        c.expect_closed()
        for event in ["recv PAIR_QUERY", "sent PAIR_ANSWER", "recv PAIR_START",
                      "sent MODEL_NAME", "sent VENDOR_ID", "sent PRODUCT_ID",
                      "sent DEVICE_RELEASE", "recv KEEPALIVE", "sent KEEPALIVE_ACK",
                      "recv UNPAIR", "sent UNPAIR_ACK", "closed"]:
            sim.wait_for(rf"^{event}$")
        self.assertEqual(q.read_transcript(self.transcript), [
            "P: 19 00", "T: 2C 00", "P: 16 00",
            "T: 26 04 51 35 35 00", "T: 27 02 2F 1C", "T: 28 02 04 55", "T: 29 02 02 14",
            "P: 60 00", "T: 61 00", "P: 2A 00", "T: 3A 00"])

    def test_held_once_identity_options_and_reconnect(self):
        sim = self.start_sim("--held-by", "192.168.1.20", "--held-once", "--model", "Desk X",
                             "--vid", "0x1234", "--pid", "43981", "--release", "0x0100",
                             "--sign-in")
        first = self.connect(sim)
        first.send(q.PAIR_QUERY)
        first.expect(q.PAIR_ANSWER, bytes([192, 168, 1, 20]))
        first.close()
        sim.wait_for(r"^closed$")
        # The take-over reconnects without a second PAIR_QUERY; a later pairing
        # asks again and now finds the phone free.
        second = self.connect(sim)
        second.send(q.PAIR_START)
        second.expect(q.MODEL_NAME, b"Desk X\x00")
        second.expect(q.VENDOR_ID, b"\x12\x34")
        second.expect(q.PRODUCT_ID, b"\xab\xcd")
        second.expect(q.DEVICE_RELEASE, b"\x01\x00")
        second.expect(q.SIGNED_IN, b"")
        second.send(q.PAIR_QUERY)
        second.expect(q.PAIR_ANSWER, b"")

    def test_stdin_commands(self):
        sim = self.start_sim()
        c = self.connect(sim)
        plain = [("signin", q.SIGNED_IN), ("signout", q.SIGNED_OUT),
                 ("signin-request", q.SIGNIN_REQUEST), ("signin-failed", q.SIGNIN_FAILED),
                 ("signout-request", q.SIGNOUT_REQUEST), ("hangup", q.HANG_UP)]
        for command, msg_type in plain:
            sim.send(command)
            c.expect(msg_type, b"")
        sim.send("taken-over 10.0.0.7")
        c.expect(q.TAKEN_OVER, bytes([10, 0, 0, 7]))
        sim.send("gruu sip:ann@example.test;gruu;opaque=x y")
        c.expect(q.SET_GRUU, b"sip:ann@example.test;gruu;opaque=x y\x00")
        sim.send("identity")
        for msg_type, payload in IDENTITY:
            c.expect(msg_type, payload)
        # Raw bytes go out as given, in one piece: here two frames at once.
        sim.send("send 29 02 0214 2200")
        c.expect(q.DEVICE_RELEASE, b"\x02\x14")
        c.expect(q.SIGNED_IN, b"")
        sim.wait_for(r"^T: 29 02 02 14 22 00$")

    def test_keepalive_switch_and_bad_input(self):
        sim = self.start_sim("--no-keepalive-answer")
        c = self.connect(sim)
        c.send(q.KEEPALIVE)
        sim.wait_for(r"^recv KEEPALIVE$")
        c.expect_nothing(0.3)
        sim.send("keepalive on")
        sim.wait_for(r"^keepalive answers on$")
        # A frame split into single bytes is answered like a whole one.
        for b in bytes([q.KEEPALIVE, 0]):
            c.send_raw(bytes([b]))
            time.sleep(0.02)
        c.expect(q.KEEPALIVE_ACK, b"")
        # Unknown types, payloads where none belong, phone-only messages and
        # unterminated texts are reported and dropped; the connection lives on.
        c.send(0x7F, bytes(range(10)))
        c.send(q.KEEPALIVE, b"\x01")
        c.send(q.SIGNED_IN)
        c.send(q.DISPLAY_NAME, b"A" * 70)
        c.send(q.MEDIA_OFFER, b"\x00" * 20)
        sim.wait_for(r"^bad UNKNOWN \(type 0x7F, 10 bytes\): unknown type")
        sim.wait_for(r"^bad KEEPALIVE .*payload")
        sim.wait_for(r"^bad SIGNED_IN .*only the phone sends")
        sim.wait_for(r"^bad DISPLAY_NAME ")
        sim.wait_for(r"^bad MEDIA_OFFER .*132")
        c.send(q.PAIR_QUERY)
        c.expect(q.PAIR_ANSWER, b"")
        sim.send("keepalive off")
        sim.wait_for(r"^keepalive answers off$")
        c.send(q.KEEPALIVE)
        c.expect_nothing(0.3)
        for bad in ["frobnicate", "taken-over 300.1.1.1", "send 2", "keepalive maybe",
                    "gruu", "announce 1.2.3.4 0", "signin now"]:
            sim.send(bad)
            sim.wait_for(r"^bad command: ")
        self.assertIsNone(sim.returncode)
        self.assertIn("P: 7F 0A 00 01 02 03 04 05 06 07 08 09",
                      q.read_transcript(self.transcript))

    def test_phone_unpair_answered_and_unanswered(self):
        sim = self.start_sim()
        c = self.connect(sim)
        sim.send("unpair")
        c.expect(q.UNPAIR, b"")
        c.send(q.UNPAIR_ACK)
        c.expect_closed()
        sim.wait_for(r"^closed$")
        # Without an answer the phone gives up after 2 s.
        c = self.connect(sim)
        sim.send("unpair")
        c.expect(q.UNPAIR, b"")
        start = time.monotonic()
        c.expect_closed(timeout=4.0)
        waited = time.monotonic() - start
        self.assertGreater(waited, 1.8)
        self.assertLess(waited, 3.0)
        sim.wait_for(r"^note: no UNPAIR_ACK within 2 s$")
        # An UNPAIR_ACK nobody asked for does not end the connection.
        c = self.connect(sim)
        c.send(q.UNPAIR_ACK)
        sim.wait_for(r"UNPAIR_ACK without an UNPAIR")
        c.send(q.PAIR_QUERY)
        c.expect(q.PAIR_ANSWER, b"")

    def test_drop_then_serve_the_next_connection(self):
        sim = self.start_sim()
        c = self.connect(sim)
        sim.send("drop")
        c.expect_closed()
        sim.wait_for(r"^closed$")
        sim.send("signin")
        sim.wait_for(r"^note: no connection")
        c = self.connect(sim)
        c.send(q.PAIR_QUERY)
        c.expect(q.PAIR_ANSWER, b"")

    def test_address_datagrams(self):
        sim = self.start_sim()
        rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(rx.close)
        rx.bind(("127.0.0.1", q.ADDRESS_PORT))
        rx.settimeout(q.DEFAULT_TIMEOUT)
        sim.send("announce 192.168.1.20")
        self.assertEqual(rx.recv(100), bytes.fromhex("C0A80114017D"))
        sim.send("announce-raw C0 A8 01 14 01 7E 00")
        self.assertEqual(rx.recv(100), bytes.fromhex("C0A80114017E00"))
        other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(other.close)
        other.bind(("127.0.0.1", 15000))
        other.settimeout(q.DEFAULT_TIMEOUT)
        sim.send("announce 255.255.255.255 15000")
        self.assertEqual(other.recv(100), bytes.fromhex("FFFFFFFF03FC"))
        sim.wait_for(r"^announced FF FF FF FF 03 FC to 127.0.0.1:15000$")

    def test_skewed_media_clock_paces_packets_and_timestamps(self):
        # A phone whose clock runs 10 % fast sends 10 % more packets, and
        # RTP time, per second of this machine's clock. The send times are
        # the kernel's receive stamps (loopback delivers at once), so this
        # test's own scheduling does not enter them.
        sim = self.start_sim("--tone", "600", "--clock-skew-ppm", "100000")
        c = self.connect(sim)
        rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(rtp.close)
        rtp.bind(("127.0.0.1", 0))
        # SO_TIMESTAMPNS (Linux), which this Python may not name.
        rtp.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_TIMESTAMPNS", 35), 1)
        rtp.settimeout(q.DEFAULT_TIMEOUT)
        line = b"1 AES_CM_128_HMAC_SHA1_80 inline:" + base64.b64encode(bytes(range(30)))
        c.send(q.MEDIA_OFFER, struct.pack(">I", rtp.getsockname()[1]) + line.ljust(128, b"\0"))
        c.expect(q.PHONE_MEDIA_OFFER)
        sim.wait_for(r"^media clock: \+100000 ppm$")
        packets = []  # (sequence number, RTP timestamp, send time in s)
        while len(packets) < 200:
            data, ancillary, _, _ = rtp.recvmsg(2048, 64)
            sec, nsec = struct.unpack("qq", ancillary[0][2][:16])
            seq, stamp = struct.unpack(">HI", data[2:8])
            packets.append((seq, stamp, sec + nsec / 1e9))
        first, last = packets[0], packets[-1]
        count = (last[0] - first[0]) & 0xFFFF
        self.assertEqual(count, len(packets) - 1)
        # The media clock's 10 ms a packet, in RTP time and in its pacing.
        self.assertEqual((last[1] - first[1]) & 0xFFFFFFFF, 160 * count)
        seconds_per_packet = (last[2] - first[2]) / count
        self.assertAlmostEqual(seconds_per_packet / (0.010 / 1.1), 1.0, delta=0.03)
        c.send(q.MEDIA_STOP)
        sim.wait_for(r"^media summary: .*, played \d+, repeated 0, skipped 0$")

    def test_quitting(self):
        # End of standard input does not quit; SIGTERM does, even while a
        # connection waits in the middle of a frame.
        sim = self.start_sim()
        sim.close_stdin()
        c = self.connect(sim)
        c.send(q.PAIR_QUERY)
        c.expect(q.PAIR_ANSWER, b"")
        c.send_raw(bytes([q.SET_GRUU, 10, 0x41]))
        time.sleep(0.2)
        sim.signal(signal.SIGTERM)
        self.assertEqual(sim.wait_exit(timeout=3.0), 0)
        # The quit command.
        sim = self.start_sim()
        sim.send("quit")
        self.assertEqual(sim.wait_exit(timeout=3.0), 0)

    def test_bad_options(self):
        for args in [["--port", "70000"], ["--held-by", "1.2.3"], ["--model", "m" * 255],
                     ["--held-once"], ["--vid", "-1"], ["extra"],
                     ["--clock-skew-ppm", "300000"], ["--clock-skew-ppm", "fast"]]:
            sim = q.spawn("quor-phone-sim", *args)
            self.addCleanup(sim.stop)
            self.assertEqual(sim.wait_exit(), 2, args)
        helper = q.spawn("quor-phone-sim", "--help")
        self.assertEqual(helper.wait_exit(), 0)
        for word in ["--held-by", "announce-raw", "keepalive on|off", "taken-over A.B.C.D"]:
            self.assertIn(word, helper.output())


if __name__ == "__main__":
    unittest.main(verbosity=2)
