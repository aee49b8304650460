"""quor-helper's systemd units and polkit action as the package installs them:
systemd-analyze accepts the units without a warning, the service is
sandboxed and started without any test option, and polkit lets the active
session's user attach while anyone else needs an administrator."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib  # noqa: E402

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UNIT = "kestrow-quor-helper"
ACTION = "org.kestrow.quor.connector.attach"


def unit_settings(text):
    """Every KEY=VALUE of a unit file, values of repeated keys in order."""
    settings = {}
    for line in text.splitlines():
        m = re.match(r"^(\w+)=(.*)$", line)
        if m:
            settings.setdefault(m.group(1), []).append(m.group(2))
    return settings


@unittest.skipUnless(shutil.which("systemd-analyze"), "needs systemd-analyze")
class HelperUnits(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quor-units-")
        with open(os.path.join(SOURCE_DIR, "packaging", UNIT + ".socket")) as f:
            self.socket_text = f.read()
        service = os.path.join(os.environ["QUOR_BIN_DIR"], "packaging", UNIT + ".service")
        with open(service) as f:
            self.service_text = f.read()
        self.socket = unit_settings(self.socket_text)
        self.service = unit_settings(self.service_text)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_units_verify_without_a_warning_and_start_the_helper_bare(self):
        [exec_start] = self.service["ExecStart"]
        # The installed helper takes no option: --allow-uid and --socket are
        # for tests only.
        self.assertRegex(exec_start, r"^/\S+/quor-helper$")
        # The installed path does not exist here: the built program stands in.
        with open(os.path.join(self.dir, UNIT + ".service"), "w") as f:
            f.write(self.service_text.replace(exec_start, quorlib.bin_path("quor-helper")))
        with open(os.path.join(self.dir, UNIT + ".socket"), "w") as f:
            f.write(self.socket_text)
        units = [os.path.join(self.dir, UNIT + ext) for ext in (".socket", ".service")]
        p = subprocess.run(["systemd-analyze", "verify", "--man=no", *units],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual((p.returncode, p.stdout + p.stderr), (0, ""))
        p = subprocess.run(["systemd-analyze", "security", "--offline=yes", "--threshold=30",
                            units[1]], capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout[-300:] + p.stderr)

    def test_socket_and_sandbox(self):
        [listen] = self.socket["ListenSequentialPacket"]
        self.assertTrue(listen.startswith("/run/"), listen)
        expected = {
            "NoNewPrivileges": "yes", "ProtectSystem": "strict", "PrivateTmp": "yes",
            "ProtectKernelTunables": "yes", "RestrictAddressFamilies": "AF_UNIX AF_INET",
        }
        for key, value in expected.items():
            self.assertEqual(self.service.get(key), [value], key)
        writable = " ".join(self.service["ReadWritePaths"]).split()
        self.assertEqual(sorted(p.lstrip("-") for p in writable),
                         ["/sys/devices/platform/vhci_hcd.0/attach",
                          "/sys/devices/platform/vhci_hcd.0/detach"])
        # The bound log socket would carry an address filter to its caller.
        self.assertNotIn("PrivateNetwork", self.service)
        self.assertNotIn("IPAddressDeny", self.service)

    def test_polkit_lets_the_active_session_attach_and_asks_others_for_an_administrator(self):
        policy = os.path.join(SOURCE_DIR, "packaging", "org.kestrow.quor.connector.helper.policy")
        actions = ET.parse(policy).getroot().findall("action")
        self.assertEqual([a.get("id") for a in actions], [ACTION])
        defaults = {d.tag: d.text for d in actions[0].find("defaults")}
        self.assertEqual(defaults, {"allow_any": "auth_admin", "allow_inactive": "auth_admin",
                                    "allow_active": "yes"})
        # No program to run as root hangs on this action.
        self.assertEqual(actions[0].findall("annotate"), [])


if __name__ == "__main__":
    unittest.main()
