"""quor-console with its USB/IP server on (--usbip-listen): Debian's usbip
client lists nothing before pairing and the paired phone with its ids and
interfaces after; a USB/IP client that imports 1-1 (here a relay that hands
the imported connection to quor-host-sim) enumerates the device, can leave
and import again without the pairing ending, and unpairing closes its
connection."""

import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import quorlib  # noqa: E402

PORT = 3241  # not the protocol's own, so the client's --tcp-port is used
OP_REQ_IMPORT = 0x8003
OP_REP_IMPORT = 0x0003
DEVICE_RECORD = 0x138


def usbip_list():
    return subprocess.run(["usbip", "--tcp-port", str(PORT), "list", "-r", "127.0.0.1"],
                          capture_output=True, text=True, timeout=quorlib.scaled(10))


def recv_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


class ImportRelay:
    """Imports 1-1 from the server as a USB/IP client does, then relays the
    URB stream between that connection and the host simulator's socket."""

    def __init__(self, host_socket):
        self.server = socket.create_connection(("127.0.0.1", PORT),
                                               timeout=quorlib.scaled(10))
        self.server.sendall(struct.pack(">HHI32s", 0x0111, OP_REQ_IMPORT, 0, b"1-1"))
        head = recv_exactly(self.server, 8)
        self.version, self.code, self.status = struct.unpack(">HHI", head)
        self.record = recv_exactly(self.server, DEVICE_RECORD) if self.status == 0 else b""
        self.server_closed = threading.Event()
        self.threads = []
        if self.status != 0:
            self.server.close()
            return
        self.server.settimeout(None)
        self.host = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.host.connect(host_socket)
        self.threads = [threading.Thread(target=self._pump, args=(self.server, self.host, True)),
                        threading.Thread(target=self._pump, args=(self.host, self.server, False))]
        for t in self.threads:
            t.start()

    def _pump(self, src, dst, from_server):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        if from_server:
            self.server_closed.set()
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        """The client detaches: both connections end."""
        for s in (self.server, self.host):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.join()

    def join(self):
        for t in self.threads:
            t.join(quorlib.scaled(10))
        if self.threads:
            self.server.close()
            self.host.close()


class UsbipServer(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quor-home-")
        self.rig = quorlib.Rig(self.home, phone_args=("--model", "T54", "--vid", "0x1234",
                                                      "--pid", "0x5678", "--release", "0x0102"))
        env = self.rig.console_env()
        del env["QUOR_VBUS"]
        self.rig.console = quorlib.Proc(
            ["stdbuf", "-oL", quorlib.bin_path("quor-console"),
             "--usbip-listen", f"127.0.0.1:{PORT}"], env=env)
        self.rig.console.wait_for(r"^status: Not Paired$", timeout=10)
        self.host_socket = self.rig.address[len("unix:"):]

    def tearDown(self):
        self.rig.stop()
        shutil.rmtree(self.home, ignore_errors=True)

    def test_usbip_client_lists_the_paired_phone_only(self):
        before = usbip_list()
        self.assertEqual(before.returncode, 0, before.stderr)
        self.assertNotIn("1-1", before.stdout)
        self.assertIn("no exportable devices found on 127.0.0.1", before.stdout + before.stderr)

        self.rig.console.send("pair")
        self.rig.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=15)
        paired = usbip_list()
        self.assertEqual(paired.returncode, 0, paired.stderr)
        out = paired.stdout
        self.assertRegex(out, r"(?m)^\s+1-1: .*\(1234:5678\)$")
        # Audio control, speaker and microphone streaming, HID.
        for number, codes in enumerate(("01/01/00", "01/02/00", "01/02/00", "03/00/00")):
            self.assertRegex(out, rf"(?m)^\s+:\s+{number} - .*\({codes}\)$")

        self.rig.console.send("pair")
        self.rig.console.wait_for(r"^status: Not Paired$", timeout=15)
        after = usbip_list()
        self.assertNotIn("1-1", after.stdout)

    def test_imported_device_enumerates_survives_a_detach_and_goes_on_unpair(self):
        self.rig.console.send("pair")
        self.rig.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=15)
        first = ImportRelay(self.host_socket)
        self.assertEqual((first.version, first.code, first.status), (0x0111, OP_REP_IMPORT, 0))
        self.assertEqual(first.record[256:260], b"1-1\0")
        self.rig.host.wait_for(r"^enumeration done$", timeout=15)
        self.assertRegex(self.rig.host.output(), r"(?m)^device vid=1234 pid=5678 bcd=0102 ")

        # Only one client at a time.
        second = ImportRelay(self.host_socket)
        self.assertEqual((second.code, second.status), (OP_REP_IMPORT, 1))

        # The client detaches: the pairing goes on and 1-1 can be imported
        # again, and is enumerated anew.
        first.close()
        self.rig.host.wait_for(r"^disconnected$", timeout=10)
        again = ImportRelay(self.host_socket)
        self.assertEqual(again.status, 0)
        self.rig.host.wait_for(r"^enumeration done$", timeout=15)
        self.assertEqual(self.rig.state(), "2")
        out = self.rig.console.output()
        self.assertNotRegex(out[out.index("status: Paired(Sign Out)"):],
                            r"(?m)^status: (Unpairing|Not Paired)")
        self.assertEqual(self.rig.host.output().count("enumeration done"), 2)

        # Unpairing closes the client's connection.
        self.rig.console.send("pair")
        self.assertTrue(again.server_closed.wait(quorlib.scaled(15)))
        self.rig.console.wait_for(r"^status: Not Paired$", timeout=15)
        again.join()
        self.assertNotRegex(self.rig.host.output(), r"(?m)^error: ")


if __name__ == "__main__":
    unittest.main()
