"""The phone log service end to end: quor-console's hidden tray items route
the phone's log (quor-phone-sim) to the PC, receive it on UDP 514 and save
it; and route it back to the phone."""

import os
import re
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib as q  # noqa: E402

LOOPBACK_PHONE_IP = 2130706433  # 127.0.0.1 as config.ini stores it
LOG_SERVICE, LOGS_TO_PC, LOGS_TO_PHONE, EXIT = 32784, 32785, 32787, 32778


class LogService(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.home = tmp.name
        self.transcript = os.path.join(self.home, "transcript.txt")
        # Without the identity the pairing waits in state 1 with the control
        # channel open.
        self.sim = q.spawn("quor-phone-sim", "--no-identity", "--transcript", self.transcript)
        self.addCleanup(self.sim.stop)
        self.sim.wait_for(r"^listening 7063$")

    def console(self, auto_pair):
        with open(os.path.join(self.home, "config.ini"), "w") as f:
            f.write(f"[SECTION 1]\nPhoneIP={LOOPBACK_PHONE_IP}\nAutoPair={auto_pair}\n"
                    "AutoRun=0\nAutoRepair=0\nPairTimeout=120\n")
        env = dict(os.environ, QUOR_HOME=self.home + "/", XDG_RUNTIME_DIR=self.home,
                   XDG_CONFIG_HOME=os.path.join(self.home, "xdg"), LANG="C.UTF-8")
        env.pop("LANGUAGE", None)
        env.pop("LC_ALL", None)
        c = q.spawn("quor-console", env=env)
        self.addCleanup(c.stop)
        c.wait_for(r"^status: Not Paired$")
        return c

    def command(self, console, number):
        """Runs a tray command and waits until the console has carried it out
        (commands run in order on its UI thread)."""
        console.send(f"command {number}")
        console.send("state")
        console.wait_for(r"^state: ")

    def test_routing_needs_a_connection(self):
        c = self.console(auto_pair=0)
        self.command(c, LOGS_TO_PC)
        self.command(c, LOGS_TO_PHONE)
        c.send("pair")
        self.sim.wait_for(r"^recv PAIR_START$")
        # The pairing's is the only connection the phone saw.
        self.assertEqual(len(re.findall(r"(?m)^connected$", self.sim.output())), 1)
        self.command(c, LOGS_TO_PC)
        self.sim.wait_for(r"^log route pc 127\.0\.0\.1$")
        # Nothing went out before the connection: the first frame is the
        # pairing's.
        self.assertEqual(q.read_transcript(self.transcript)[:4],
                         ["P: 19 00", "T: 2C 00", "P: 16 00",
                          "P: 1B 08 01 01 07 00 7F 00 00 01"])
        c.send(f"command {EXIT}")
        self.assertEqual(c.wait_exit(), 0)

    def test_phone_log_is_received_saved_and_routed_back(self):
        c = self.console(auto_pair=1)
        self.sim.wait_for(r"^recv PAIR_START$")
        self.command(c, LOGS_TO_PC)
        self.sim.wait_for(r"^log route pc 127\.0\.0\.1$")
        self.command(c, LOG_SERVICE)
        self.sim.send("syslog 10 100")
        self.sim.wait_for(r"^syslog sent 10 datagrams, 1000 bytes, to 127\.0\.0\.1:514$")
        c.send(f"command {LOG_SERVICE}")
        path = c.wait_for(r"^save: (.*/Log20\d{12}\.txt)$").group(1)
        c.wait_for(r"^message: Kestrow Hint: Save the log success!$")
        with open(path, "rb") as f:
            saved = f.read()
        self.assertEqual(len(saved), 1000)
        lines = saved.split(b"\n")[:-1]
        self.assertEqual([line[:40] for line in lines],
                         [b"<14>Q55 phone: log line %06d of 000010" % i for i in range(1, 11)])
        self.assertTrue(all(len(line) == 99 for line in lines))

        self.command(c, LOGS_TO_PHONE)
        self.sim.wait_for(r"^log route phone$")
        self.assertIn("P: 1B 08 01 00 06 00 00 00 00 00", q.read_transcript(self.transcript))
        self.sim.send("syslog 1")
        self.sim.wait_for(r"^note: the log stays on the phone; nothing sent$")

        # Exit stops a running service without asking or saving.
        self.command(c, LOG_SERVICE)
        self.command(c, LOGS_TO_PC)
        self.sim.wait_for(r"^log route pc 127\.0\.0\.1$")
        self.sim.send("syslog 3")
        self.sim.wait_for(r"^syslog sent 3 datagrams")
        c.send(f"command {EXIT}")
        self.assertEqual(c.wait_exit(), 0)
        self.assertEqual(sum(line.startswith("save: ") for line in c.lines), 1)
        self.assertEqual(sum(name.startswith("Log") for name in os.listdir(self.home)), 1)

    def test_simulator_log_route_and_syslog_command(self):
        with q.CtrlClient() as phone_link:
            self.sim.wait_for(r"^connected$")
            self.sim.send("syslog 2")
            self.sim.wait_for(r"^note: the log stays on the phone; nothing sent$")
            for bad in ["syslog", "syslog 0", "syslog two", "syslog 2 0", "syslog 2 65508",
                        "syslog 1 2 3"]:
                self.sim.send(bad)
                self.sim.wait_for(r"^bad command: usage: syslog N \[SIZE\]$")
            phone_link.send(q.LOG_ROUTE, bytes([1, 2, 7, 0, 127, 0, 0, 1]))
            self.sim.wait_for(r"^bad LOG_ROUTE: unknown route 01 02 07 00; dropped$")
            phone_link.send(q.LOG_ROUTE, bytes([1, 1, 7, 0, 127, 0, 0, 1]))
            phone_link.send(q.LOG_ROUTE, b"\x01\x01\x07")
            self.sim.wait_for(r"^log route pc 127\.0\.0\.1$")
            self.sim.wait_for(r"^bad LOG_ROUTE .*not 8 bytes")
            # The simulator serves loopback only, whatever the route names.
            phone_link.send(q.LOG_ROUTE, bytes([1, 1, 7, 0, 10, 0, 0, 7]))
            self.sim.wait_for(r"^log route pc 10\.0\.0\.7$")
            self.sim.send("syslog 2")
            self.sim.wait_for(r"^note: 10\.0\.0\.7 is not a loopback address; nothing sent$")


if __name__ == "__main__":
    unittest.main()
