"""quor-helper without systemd and polkit: started with --socket, --allow-uid
and a stand-in vhci_hcd folder whose attach and detach files are pipes read
here. Requests are built here from the record layout, with descriptors as
SCM_RIGHTS; callers of another uid connect with that effective uid."""

import errno
import os
import shutil
import socket
import struct
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import quorlib  # noqa: E402

MAGIC = 0x51484C50
VERSION = 1
ATTACH, DETACH, BIND_UDP, FIREWALL_OPEN, FIREWALL_CLOSE = 1, 2, 3, 4, 5
AF_INET_NUMBER = 2
FULL_SPEED = 2
ALLOWED_UID = 4321
OTHER_UID = 4322
USB2_PORTS = 8
PORT_FREE, PORT_USED = 4, 6


def request(op, a=0, b=0, c=0):
    return struct.pack("=IHHIII", MAGIC, VERSION, op, a, b, c)


def ipv4(text):
    return struct.unpack("!I", socket.inet_aton(text))[0]


class FakeVhci:
    """vhci_hcd's status, attach and detach files: attach and detach are pipes
    whose lines are applied to the status file as the kernel would."""

    def __init__(self, path):
        self.path = path
        os.makedirs(path)
        self.used = {}
        self.events = []
        self.cond = threading.Condition()
        self.stopping = False
        self.write_status()
        self.threads = []
        for name in ("attach", "detach"):
            os.mkfifo(os.path.join(path, name))
            t = threading.Thread(target=self.serve, args=(name,), daemon=True)
            t.start()
            self.threads.append(t)

    def write_status(self):
        rows = ["hub port sta spd dev      sockfd local_busid"]
        for port in range(USB2_PORTS):
            sta = PORT_USED if port in self.used else PORT_FREE
            rows.append(f"hs  {port:04d} {sta:03d} 000 00000000 000000 0-0")
        for port in range(USB2_PORTS, 2 * USB2_PORTS):
            rows.append(f"ss  {port:04d} {PORT_FREE:03d} 000 00000000 000000 0-0")
        tmp = os.path.join(self.path, "status.tmp")
        with open(tmp, "w") as f:
            f.write("\n".join(rows) + "\n")
        os.rename(tmp, os.path.join(self.path, "status"))

    def serve(self, name):
        while True:
            with open(os.path.join(self.path, name)) as f:
                data = f.read()
            with self.cond:
                if self.stopping:
                    return
                for line in data.splitlines():
                    fields = [int(x) for x in line.split()]
                    if name == "attach":
                        port, fd, devid, speed = fields
                        self.used[port] = (fd, devid, speed)
                        self.events.append(("attach", port, devid, speed))
                    else:
                        self.used.pop(fields[0], None)
                        self.events.append(("detach", fields[0]))
                self.write_status()
                self.cond.notify_all()

    def unplug(self, port):
        """The kernel's own unplug, as when the device's socket fails."""
        with self.cond:
            self.used.pop(port)
            self.write_status()

    def wait_events(self, count, timeout=5.0):
        with self.cond:
            self.cond.wait_for(lambda: len(self.events) >= count, quorlib.scaled(timeout))
            return list(self.events)

    def stop(self):
        with self.cond:
            self.stopping = True
        for name in ("attach", "detach"):
            try:
                os.close(os.open(os.path.join(self.path, name), os.O_WRONLY | os.O_NONBLOCK))
            except OSError:
                pass  # its reader is not waiting
        for t in self.threads:
            t.join(2)


class Caller:
    """A connection to the helper made by a process with effective uid UID."""

    def __init__(self, path, uid):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.streams = []  # our ends of the attached devices' sockets
        self.sock.settimeout(quorlib.scaled(5))
        os.seteuid(uid)
        try:
            self.sock.connect(path)
        finally:
            os.seteuid(0)

    def call_raw(self, data, fds=()):
        socket.send_fds(self.sock, [data], list(fds))
        msg, got, _, _ = socket.recv_fds(self.sock, 64, 4)
        self.assert_answer(msg)
        magic, op, status, value, zero = struct.unpack("=IHHII", msg)
        return op, status, value, got

    @staticmethod
    def assert_answer(msg):
        if len(msg) != 16 or struct.unpack("=I", msg[:4])[0] != MAGIC:
            raise AssertionError(f"not an answer: {msg!r}")

    def call(self, op, a=0, b=0, c=0, fds=()):
        answer_op, status, value, got = self.call_raw(request(op, a, b, c), fds)
        assert answer_op == op, (answer_op, op)
        return status, value, got

    def attach(self, devid=0x10003):
        ours, kernels = socket.socketpair()
        try:
            status, port, _ = self.call(ATTACH, devid, FULL_SPEED, fds=[kernels.fileno()])
        finally:
            kernels.close()
        self.streams.append(ours)
        return status, port

    def close(self):
        self.sock.close()


class Helper(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quor-helper-")
        os.chmod(self.dir, 0o755)
        self.vhci = FakeVhci(os.path.join(self.dir, "vhci"))
        self.path = os.path.join(self.dir, "helper.sock")
        self.helper = quorlib.spawn("quor-helper", "--socket", self.path, "--allow-uid",
                                    ALLOWED_UID, "--vhci-dir", self.vhci.path)
        self.helper.wait_for(r"listening on ")
        self.callers = []

    def tearDown(self):
        for c in self.callers:
            c.close()
        self.helper.stop()
        self.vhci.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def caller(self, uid=ALLOWED_UID):
        c = Caller(self.path, uid)
        self.callers.append(c)
        return c

    def test_a_caller_of_another_uid_is_refused_everything(self):
        other = self.caller(OTHER_UID)
        self.assertEqual(other.attach()[0], errno.EPERM)
        status, _, fds = other.call(BIND_UDP, AF_INET_NUMBER, ipv4("127.0.0.1"), 514)
        self.assertEqual((status, fds), (errno.EPERM, []))
        self.assertEqual(other.call(FIREWALL_OPEN, AF_INET_NUMBER, ipv4("127.0.0.1"))[0],
                         errno.EPERM)
        self.helper.wait_for(rf"uid {OTHER_UID} pid \d+: attach refused: uid not allowed")
        # Nothing reached vhci_hcd: the allowed caller's attach is the first.
        status, port = self.caller().attach()
        self.assertEqual(status, 0)
        self.assertEqual(self.vhci.wait_events(1), [("attach", port, 0x10003, FULL_SPEED)])

    def test_attach_takes_a_free_usb2_port_and_only_its_caller_detaches_it(self):
        a, b = self.caller(), self.caller()
        status, first = a.attach(0x10001)
        self.assertEqual(status, 0)
        self.vhci.wait_events(1)
        status, second = b.attach(0x10002)
        self.assertEqual(status, 0)
        self.assertNotEqual(first, second)
        self.assertLess(max(first, second), USB2_PORTS)
        self.vhci.wait_events(2)
        self.assertEqual(b.call(DETACH, first)[0], errno.ENOENT)
        self.assertEqual(a.call(DETACH, first)[0], 0)
        self.assertEqual(self.vhci.wait_events(3)[2], ("detach", first))
        # Detached once; a second detach is not this caller's any more.
        self.assertEqual(a.call(DETACH, first)[0], errno.ENOENT)
        self.helper.wait_for(rf"uid {ALLOWED_UID} pid \d+: detach port {first}: "
                             "not attached by this caller")

    def test_closing_the_connection_detaches_every_port_it_attached(self):
        a, b = self.caller(), self.caller()
        ports = [a.attach()[1]]
        self.vhci.wait_events(1)
        ports.append(a.attach()[1])
        self.vhci.wait_events(2)
        kept = b.attach()[1]
        self.vhci.wait_events(3)
        a.close()
        events = self.vhci.wait_events(5)
        self.assertEqual(sorted(e[1] for e in events[3:]), sorted(ports))
        self.assertTrue(all(e[0] == "detach" for e in events[3:]), events)
        self.assertEqual(list(self.vhci.used), [kept])

    def test_a_port_the_kernel_unplugged_already_is_not_detached_again(self):
        a, b = self.caller(), self.caller()
        gone = a.attach()[1]
        self.vhci.wait_events(1)
        kept = a.attach()[1]
        self.vhci.wait_events(2)
        self.vhci.unplug(gone)
        a.close()
        self.helper.wait_for(rf"uid {ALLOWED_UID} pid \d+: gone, port {gone} already unplugged")
        self.assertEqual(self.vhci.wait_events(3)[2:], [("detach", kept)])
        # The next event is b's: nothing else reached the detach file.
        b.attach()
        self.assertEqual(self.vhci.wait_events(4)[3][0], "attach")

    def test_a_port_whose_socket_the_caller_closed_is_left_to_the_kernel(self):
        a = self.caller()
        closed = a.attach()[1]
        self.vhci.wait_events(1)
        kept = a.attach()[1]
        self.vhci.wait_events(2)
        # A dying caller's connection may close before its device's socket.
        a.close()
        a.streams[0].close()
        self.helper.wait_for(rf"uid {ALLOWED_UID} pid \d+: gone, port {closed} unplugs itself")
        self.assertEqual(self.vhci.wait_events(3)[2:], [("detach", kept)])

    def test_malformed_requests_are_refused_and_the_connection_goes_on(self):
        c = self.caller()
        ours, kernels = socket.socketpair()
        datagram = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        cases = [
            ("short", request(ATTACH, 1, FULL_SPEED)[:19], [kernels]),
            ("long", request(ATTACH, 1, FULL_SPEED) + b"\0", [kernels]),
            ("bad magic", b"\0" * 4 + request(ATTACH, 1, FULL_SPEED)[4:], [kernels]),
            ("attach without a descriptor", request(ATTACH, 1, FULL_SPEED), []),
            ("attach with two", request(ATTACH, 1, FULL_SPEED), [kernels, ours]),
            ("attach of a datagram socket", request(ATTACH, 1, FULL_SPEED), [datagram]),
            ("super speed", request(ATTACH, 1, 5), [kernels]),
            ("detach with a descriptor", request(DETACH, 0), [kernels]),
            ("port out of range", request(DETACH, 1000), []),
            ("IPv6", request(BIND_UDP, 10, 0, 514), []),
            ("another port", request(BIND_UDP, AF_INET_NUMBER, 0, 22), []),
            ("broadcast", request(BIND_UDP, AF_INET_NUMBER, 0xFFFFFFFF, 514), []),
            ("firewall for every source", request(FIREWALL_OPEN, AF_INET_NUMBER, 0), []),
            ("unknown operation", request(9), []),
        ]
        for what, data, fds in cases:
            with self.subTest(what):
                _, status, _, got = c.call_raw(data, [f.fileno() for f in fds])
                self.assertEqual((status, got), (errno.EINVAL, []))
        self.assertEqual(self.vhci.events, [])
        # The helper kept none of the descriptors: the kernel's end is closed
        # once this side drops its copy.
        kernels.close()
        ours.settimeout(quorlib.scaled(5))
        self.assertEqual(ours.recv(1), b"")
        datagram.close()
        self.assertEqual(c.attach()[0], 0)

    @unittest.skipIf(os.path.exists("/run/dbus/system_bus_socket"),
                     "a system bus here may hold a polkit that answers")
    def test_without_an_answer_from_polkit_nobody_is_authorized(self):
        # No --allow-uid: polkit decides, and without a system bus here
        # pkcheck cannot ask it, so even root is refused.
        path = os.path.join(self.dir, "polkit.sock")
        helper = quorlib.spawn("quor-helper", "--socket", path, "--vhci-dir", self.vhci.path)
        self.addCleanup(helper.stop)
        helper.wait_for(r"listening on ")
        c = Caller(path, 0)
        self.callers.append(c)
        self.assertEqual(c.attach()[0], errno.EPERM)
        helper.wait_for(r"uid 0 pid \d+: attach refused: polkit refused \(pkcheck status \d+\)")
        self.assertEqual(self.vhci.events, [])

    def test_bind_returns_a_udp_socket_on_the_log_port_of_the_named_address(self):
        c = self.caller()
        status, _, fds = c.call(BIND_UDP, AF_INET_NUMBER, ipv4("127.0.0.1"), 514)
        self.assertEqual((status, len(fds)), (0, 1))
        with socket.socket(fileno=fds[0]) as bound:
            self.assertEqual(bound.type, socket.SOCK_DGRAM)
            self.assertEqual(bound.getsockname(), ("127.0.0.1", 514))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as phone:
                phone.sendto(b"<14>log line", ("127.0.0.1", 514))
            bound.settimeout(quorlib.scaled(5))
            self.assertEqual(bound.recv(64), b"<14>log line")
        # An address of no interface here is the kernel's refusal.
        status, _, fds = c.call(BIND_UDP, AF_INET_NUMBER, ipv4("192.0.2.7"), 514)
        self.assertEqual((status, fds), (errno.EADDRNOTAVAIL, []))


class UnprivilegedConsole(unittest.TestCase):
    """quor-console run as a user without root rights, the helper as root:
    the log service's UDP 514 socket comes from the helper, and the pairing
    opens the firewall for the phone through it until the program ends."""

    LOOPBACK_PHONE_IP = 2130706433  # 127.0.0.1 as config.ini stores it
    LOG_SERVICE, LOGS_TO_PC, EXIT = 32784, 32785, 32778

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quor-helper-")
        os.chmod(self.dir, 0o755)
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.home = os.path.join(self.dir, "home")
        os.mkdir(self.home, 0o700)
        with open(os.path.join(self.home, "config.ini"), "w") as f:
            f.write(f"[SECTION 1]\nPhoneIP={self.LOOPBACK_PHONE_IP}\nAutoPair=1\nAutoRun=0\n"
                    "AutoRepair=0\nPairTimeout=120\n")
        self.path = os.path.join(self.dir, "helper.sock")
        os.mkdir(os.path.join(self.dir, "vhci"))
        self.helper = quorlib.spawn("quor-helper", "--socket", self.path, "--allow-uid",
                                    ALLOWED_UID, "--vhci-dir", os.path.join(self.dir, "vhci"))
        self.addCleanup(self.helper.stop)
        self.helper.wait_for(r"listening on ")
        # Without the identity the pairing stays open and starts no device.
        self.sim = quorlib.spawn("quor-phone-sim", "--no-identity")
        self.addCleanup(self.sim.stop)
        self.sim.wait_for(r"^listening 7063$")

    def start_console(self, uid):
        for name in (self.home, os.path.join(self.home, "config.ini")):
            os.chown(name, uid, uid)
        env = dict(os.environ, QUOR_HOME=self.home + "/", XDG_RUNTIME_DIR=self.home,
                   XDG_CONFIG_DIRS=os.path.join(self.home, "xdg"), LANG="C.UTF-8",
                   QUOR_HELPER_SOCKET=self.path)
        console = quorlib.Proc(["setpriv", f"--reuid={uid}", f"--regid={uid}",
                                "--clear-groups", quorlib.bin_path("quor-console")],
                               name="quor-console", env=env)
        self.addCleanup(console.stop)
        return console

    def command(self, console, number):
        console.send(f"command {number}")
        console.send("state")
        console.wait_for(r"^state: ")

    def test_log_port_and_firewall_come_from_the_helper(self):
        c = self.start_console(ALLOWED_UID)
        self.sim.wait_for(r"^recv PAIR_START$")
        self.helper.wait_for(rf"uid {ALLOWED_UID} pid \d+: firewall-open for 127\.0\.0\.1: Success")
        self.command(c, self.LOGS_TO_PC)
        self.sim.wait_for(r"^log route pc 127\.0\.0\.1$")
        self.command(c, self.LOG_SERVICE)
        self.helper.wait_for(rf"uid {ALLOWED_UID} pid \d+: bind UDP 127\.0\.0\.1:514: Success")
        self.sim.send("syslog 3 100")
        self.sim.wait_for(r"^syslog sent 3 datagrams, 300 bytes, to 127\.0\.0\.1:514$")
        c.send(f"command {self.LOG_SERVICE}")
        path = c.wait_for(r"^save: (.*/Log20\d{12}\.txt)$").group(1)
        c.wait_for(r"^message: Kestrow Hint: Save the log success!$")
        self.assertEqual(os.path.getsize(path), 300)
        self.assertEqual(os.stat(path).st_uid, ALLOWED_UID)
        c.send(f"command {self.EXIT}")
        self.assertEqual(c.wait_exit(), 0)
        self.helper.wait_for(rf"uid {ALLOWED_UID} pid \d+: (gone, )?firewall-close for 127\.0\.0\.1")

    def test_a_user_the_helper_refuses_gets_no_log_port(self):
        c = self.start_console(OTHER_UID)
        self.sim.wait_for(r"^recv PAIR_START$")
        # The log names the reason of each refusal.
        c.wait_for(r"^Quor ERR: firewall not opened for phone 127\.0\.0\.1: quor-helper: "
                   r"Operation not permitted$")
        self.command(c, self.LOGS_TO_PC)
        self.command(c, self.LOG_SERVICE)
        self.helper.wait_for(rf"uid {OTHER_UID} pid \d+: bind-udp refused: uid not allowed")
        # The command has been carried out: its lines came before the state's.
        self.assertIn("Quor ERR: quor-helper did not bind UDP port 514: Operation not permitted\n"
                      "SYSLOG: Bind syslog socket fail!\n", c.output())


if __name__ == "__main__":
    unittest.main()
