"""What the PC itself can refuse the program, end to end with quor-console,
quor-phone-sim and quor-host-sim: a configuration file on a read-only mount
or on a full file system, a diagnostic log that cannot be created, and the
phone log port (UDP 514) or the call's RTP port (UDP 18747) held by another
program. The program goes on with what it has, says what failed, recovers
once the resource is free, and holds no more threads or open descriptors
than before."""

import os
import shutil
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib  # noqa: E402

LOG_SERVICE, EXIT = 32784, 32778

# Runs the rest of the command line with FILE read-only: a bind mount of the
# file over itself, remounted read-only, in a mount namespace of its own
# (file modes do not stop root, which the program runs as).
READ_ONLY = ["unshare", "-m", "sh", "-c",
             'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" "$0" && shift && exec "$@"']


# Runs the rest of the command line with a 64 KiB tmpfs on the folder $0 in a
# mount namespace of its own, config.ini copied into it from $1 and, when $2
# is "full", every free byte of it taken by a filler file; config.ini is
# copied back to $1.after once the command has ended.
ON_SMALL_FS = ["unshare", "-m", "sh", "-c",
               'mount -t tmpfs -o size=64k quor-small "$0" && cp "$1" "$0/config.ini" || exit 96\n'
               'if [ "$2" = full ]; then\n'
               '  dd if=/dev/zero of="$0/filler" bs=4096 2>/dev/null\n'
               '  [ "$(stat -f -c %a "$0")" = 0 ] || exit 97\n'
               'fi\n'
               'dir=$0 in=$1; shift 2; "$@"; rc=$?\n'
               'cp "$dir/config.ini" "$in.after"; exit $rc']


def taken_udp_port(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", port))
    return s


class LocalFaults(unittest.TestCase):
    def rig(self, settings=None, phone_args=()):
        home = tempfile.mkdtemp(prefix="quor-local-faults-")
        self.addCleanup(shutil.rmtree, home, True)
        rig = quorlib.Rig(home, settings, phone_args)
        self.addCleanup(rig.stop)
        return rig

    def command(self, rig, number):
        """Runs a tray command and waits until the console carried it out
        (commands run in order on its user-interface thread)."""
        rig.console.send(f"command {number}")
        return rig.state()

    def test_a_read_only_configuration_is_used_as_it_reads(self):
        rig = self.rig()
        config = os.path.join(rig.home, "config.ini")
        # No AutoRepair, RepairTime or PairTimeout: their defaults apply and
        # cannot be written back; AutoPair pairs at once with the address
        # that the file holds.
        text = (f"[SECTION 1]\nPhoneIP={quorlib.LOOPBACK_AS_INT}\nAutoPair=1\nAutoRun=0\n"
                "AutoMin=0\nAutoIP=0\n")
        with open(config, "w") as f:
            f.write(text)
        rig.start_console(prefix=[*READ_ONLY, config, "--"])
        baseline = rig.steady_usage()
        rig.console.wait_for(r"^status: Pairing\.\.\.$", timeout=10)
        rig.console.wait_for(r"^status: Paired\(Sign Out\)$", timeout=15)
        # A drop: AutoRepair and RepairTime take their defaults (on, 15 s).
        rig.phone.send("drop")
        rig.console.wait_for(r"^status: Waiting\.\.\.\(15s\)$", timeout=15)
        rig.console.send("stop")
        rig.console.wait_for(r"^status: Not Paired$", timeout=5)
        rig.assert_usage_back(self, baseline)
        rig.console.send(f"command {EXIT}")
        self.assertEqual(rig.console.wait_exit(timeout=10), 0)
        with open(config) as f:
            self.assertEqual(f.read(), text)

    def test_a_full_file_system_leaves_the_configuration_whole(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        work = tempfile.mkdtemp(prefix="quor-small-fs-")
        self.addCleanup(shutil.rmtree, work, True)
        small = os.path.join(work, "small")
        os.mkdir(small)
        # One page: filling in RepairTime, in the middle, makes the file need
        # a second page, which a full file system refuses. Written over the
        # old file, it would be cut there, at "PairTimeout=1".
        head = (f"[SECTION 1]\nPhoneIP={quorlib.LOOPBACK_AS_INT}\nAutoIP=0\nAutoMin=0\n"
                "AutoPair=0\nAutoRepair=0\nAutoRun=0\nAsNmDev=0\nRepairTime=\nRetryTimes=0\n"
                "ResendGruu=15\nNote=")
        tail = "\nPairTimeout=10\n"
        text = head + "x" * (os.sysconf("SC_PAGE_SIZE") - len(head) - len(tail)) + tail
        written = text.replace("RepairTime=\n", "RepairTime=15\n")
        source = os.path.join(work, "config.ini")
        for fill, want in (("full", text), ("room", written)):
            with open(source, "w") as f:
                f.write(text)
            env = dict(os.environ, QUOR_HOME=small + "/", XDG_RUNTIME_DIR=work, LANG="C.UTF-8")
            console = quorlib.Proc([*ON_SMALL_FS, small, source, fill, "stdbuf", "-oL",
                                    quorlib.bin_path("quor-console")], name="quor-console",
                                   env=env)
            console.wait_for(r"^status: Not Paired$", timeout=10)
            console.send(f"command {EXIT}")
            self.assertEqual(console.wait_exit(timeout=10), 0, console.output())
            with open(source + ".after") as f:
                self.assertEqual(f.read(), want, fill)
            failed = console.seen(r"^Quor ERR: RepairTime=15 is not written to .*config\.ini "
                                  r"\(.*No space left on device\); the file is left as it was\.$")
            self.assertEqual(bool(failed), fill == "full", console.output())

    def test_a_log_file_that_cannot_be_created_leaves_the_lines_where_they_were(self):
        rig = self.rig(settings={"Debug": 1})
        log = os.path.join(rig.home, "quor.log")
        os.mkdir(log)  # a folder where the file should be
        rig.start_console()
        self.assertTrue(rig.console.seen(
            rf"^Quor ERR: cannot open {log}: Is a directory$"), rig.console.output())
        baseline = rig.steady_usage()
        rig.pair()
        self.assertTrue(rig.console.seen(r"^STARTDEV: DevPath "))  # still on standard output
        rig.unpair()
        rig.assert_usage_back(self, baseline)
        rig.console.send(f"command {EXIT}")
        self.assertEqual(rig.console.wait_exit(timeout=10), 0)
        self.assertEqual(os.listdir(log), [])

    def test_the_log_port_held_by_another_program_keeps_the_service_stopped(self):
        rig = self.rig()
        rig.start_console()
        baseline = rig.steady_usage()
        with taken_udp_port(514):
            self.command(rig, LOG_SERVICE)
            self.assertTrue(rig.console.seen(r"^SYSLOG: Bind syslog socket fail!$"))
            rig.assert_usage_back(self, baseline, "after the refused start")
        # Free again: the service starts, and the next command stops it.
        self.command(rig, LOG_SERVICE)
        self.assertEqual(quorlib.wait_until(rig.usage, lambda u: u[0] > baseline[0])[0],
                         baseline[0] + 1, "the receiver thread")
        self.command(rig, LOG_SERVICE)
        self.assertEqual(rig.console.output().count("SYSLOG: Bind syslog socket fail!"), 1)
        rig.assert_usage_back(self, baseline, "after the service stopped")

    def test_the_rtp_port_held_by_another_program_silences_only_that_call(self):
        rig = self.rig(phone_args=("--tone", "600"))
        rig.start_console()
        baseline = rig.steady_usage()
        rig.pair()
        rig.sign_in()
        with taken_udp_port(18747):
            rig.open_call()
            rig.console.wait_for(r"^NETWORK: RTP port 18747 not bound$", timeout=5)
            play, record = rig.stream(2)
            heard = quorlib.media_summary(rig.end_call())
            self.assertEqual(heard["rx"], 0)
            self.assertLess(record["level"], -90.0)
        # The port is free: the next call carries its audio both ways.
        rig.open_call()
        play, record = rig.stream(2)
        heard = quorlib.media_summary(rig.end_call())
        self.assertGreater(heard["rx"], play["urbs"] * 6 // 10 * 0.95)
        self.assertAlmostEqual(record["tone"], 600.0, delta=6.0)
        rig.unpair()
        rig.assert_usage_back(self, baseline)


if __name__ == "__main__":
    unittest.main()
