"""The Debian package: built with CPack from the build directory, unpacked
and checked file by file, then installed, reinstalled, removed and purged by
dpkg in a throwaway root (its maintainer scripts run with DPKG_ROOT pointing
there), never on this machine.

Needs a build configured with QUOR_BUILD_GUI=ON."""

import glob
import gzip
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib as q  # noqa: E402

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE = "kestrow-quor-connector"
PROGRAM_DIR = "/opt/kestrow-quor"
PROGRAM = PROGRAM_DIR + "/KestrowQuorConnector"
# The system-wide start at log-on of versions that ran as root.
OLD_AUTOSTART_ENTRY = "etc/xdg/autostart/KestrowQuor.desktop"
FIREWALL_SERVICE = "KestrowQuorConnector"
HOME = "/home/ann"  # the home folder of the user who runs the program, in the root
MODULES_LOAD = "usr/lib/modules-load.d/kestrow-quor.conf"
FIREWALLD_SERVICE = "usr/lib/firewalld/services/kestrow-quor.xml"
POLKIT_DTD = "/usr/share/polkit-1/policyconfig-1.dtd"

# Texts a user meets: the status line and the message boxes.
STATUS_IDS = (103, 107, 110, 111, 112, 122, 130)
MESSAGE_IDS = (105, 106, 118, 119, 120, 121, 125, 126, 127, 128, 129, 134, 135)


def cache_value(bin_dir, key):
    with open(os.path.join(bin_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith(key + ":"):
                return line.split("=", 1)[1].strip()
    return None


def run(*cmd, **kwargs):
    """Runs CMD, failing with its output when it fails."""
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=300, **kwargs)
    if p.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)} ended with {p.returncode}:\n{p.stdout}{p.stderr}")
    return p.stdout


def string_table(language):
    """Texts of res/strings_LANGUAGE.cpp by id."""
    texts = {}
    with open(os.path.join(SOURCE_DIR, "res", f"strings_{language}.cpp"), encoding="utf-8") as f:
        for m in re.finditer(r'/\* (\d+) \*/ "((?:[^"\\]|\\.)*)"', f.read()):
            texts[int(m.group(1))] = m.group(2)
    return texts


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def build_package(out_dir):
    """The .deb that CPack makes from the build directory, in OUT_DIR."""
    bin_dir = os.environ["QUOR_BIN_DIR"]
    config = os.path.join(bin_dir, "CPackConfig.cmake")
    if not os.path.exists(config):
        raise unittest.SkipTest("the build has no package rules (QUOR_BUILD_GUI=OFF)")
    real_dir_before = os.path.lexists(PROGRAM_DIR)
    run("cpack", "--config", config, "-B", out_dir)
    # CPack installs into its own staging folder; the machine stays untouched.
    if not real_dir_before and os.path.lexists(PROGRAM_DIR):
        raise AssertionError(f"building the package created {PROGRAM_DIR} on this machine")
    debs = glob.glob(os.path.join(out_dir, "*.deb"))
    if len(debs) != 1:
        raise AssertionError(f"CPack made {debs}")
    return debs[0]


_built = {}


def setUpModule():
    _built["tmp"] = tempfile.mkdtemp(prefix="quor-pkg-")
    _built["deb"] = build_package(os.path.join(_built["tmp"], "out"))


def tearDownModule():
    if "tmp" in _built:
        shutil.rmtree(_built["tmp"], ignore_errors=True)


class PackageContents(unittest.TestCase):
    """The package as dpkg-deb shows it, and its files unpacked."""

    @classmethod
    def setUpClass(cls):
        cls.deb = _built["deb"]
        cls.tmp = tempfile.mkdtemp(dir=_built["tmp"])
        cls.root = os.path.join(cls.tmp, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root)

    def path(self, name):
        return os.path.join(self.root, name.lstrip("/"))

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).strip()

    def test_file_name_version_and_dependencies(self):
        bin_dir = os.environ["QUOR_BIN_DIR"]
        version = cache_value(bin_dir, "CMAKE_PROJECT_VERSION")
        arch = run("dpkg", "--print-architecture").strip()
        self.assertEqual(os.path.basename(self.deb), f"{PACKAGE}_{version}_{arch}.deb")
        self.assertEqual(self.field("Package"), PACKAGE)
        self.assertEqual(self.field("Version"), version)
        depends = {re.split(r"[\s(]", d.strip())[0]
                   for d in self.field("Depends").replace("|", ",").split(",")}
        for needed in ("libqt6core6", "libqt6gui6", "libqt6widgets6", "libsrtp2-1", "libcurl4"):
            self.assertIn(needed, depends)
        self.assertNotIn("pkexec", depends)
        info = run("dpkg-deb", "-I", self.deb)
        self.assertRegex(info, r"\bpostinst\b")
        self.assertRegex(info, r"\bpostrm\b")

    def test_ships_only_the_installed_layout(self):
        allowed = ("opt/kestrow-quor/", "usr/bin/", "usr/share/applications/",
                   "usr/share/icons/hicolor/", "usr/share/man/man1/",
                   "usr/share/polkit-1/actions/", "usr/lib/modules-load.d/",
                   "usr/lib/firewalld/services/", "usr/lib/systemd/system/")
        listing = run("dpkg-deb", "-c", self.deb)
        for line in listing.splitlines():
            name = line.split()[5].removeprefix("./")
            if line.startswith("d"):
                continue
            self.assertTrue(name.startswith(allowed), f"unexpected file {name}")
        self.assertNotIn("partial", listing)

    def test_program_folder_holds_programs_library_and_readme(self):
        for exe in ("KestrowQuorConnector", "quor-console", "quor-phone-sim", "quor-host-sim"):
            mode = os.stat(self.path(f"{PROGRAM_DIR}/{exe}")).st_mode
            self.assertTrue(stat.S_ISREG(mode) and mode & stat.S_IXOTH, exe)
        with open(self.path(f"{PROGRAM_DIR}/libquor_srtp_kit.so"), "rb") as f:
            self.assertEqual(f.read(4), b"\x7fELF")
        self.assertTrue(os.path.isfile(self.path(f"{PROGRAM_DIR}/Readme.txt")))
        # The folder is the program's: nothing it writes at run time ships.
        for runtime_file in ("config.ini", "quor.log", "loader.sh"):
            self.assertFalse(os.path.lexists(self.path(f"{PROGRAM_DIR}/{runtime_file}")))
        # No launcher that asks for administrator rights.
        self.assertFalse(os.path.lexists(self.path(f"{PROGRAM_DIR}/{PACKAGE}")))

    def test_version_and_help(self):
        exe = self.path(PROGRAM)
        version = cache_value(os.environ["QUOR_BIN_DIR"], "CMAKE_PROJECT_VERSION")
        self.assertEqual(run(exe, "--version"), f"KestrowQuorConnector {version}\n")
        usage = run(exe, "--help")
        for needed in ("--version", "QUOR_HOME", "XDG_CONFIG_HOME", "desktop user", "Readme.txt"):
            self.assertIn(needed, usage)

    def test_tray_application_runs_as_a_user_with_its_files_in_the_user_folders(self):
        """The packaged program, started by a user without QUOR_HOME, loads
        the SRTP library beside itself and keeps its settings and log in the
        user's XDG folders, readable by the user alone."""
        for folder in (_built["tmp"], self.tmp):
            os.chmod(folder, 0o755)
        home = tempfile.mkdtemp(prefix="q")  # short: the instance socket lives here
        self.addCleanup(shutil.rmtree, home, True)
        q.give_to_user(home)
        config_dir = os.path.join(home, ".config", "kestrow-quor")
        os.makedirs(config_dir, mode=0o700)
        with open(os.path.join(config_dir, "config.ini"), "w") as f:
            f.write("[SECTION 1]\nDebug=1\nAutoPair=0\nAutoRun=0\n")
        q.give_to_user(os.path.join(home, ".config"), config_dir,
                       os.path.join(config_dir, "config.ini"))
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=home, XDG_RUNTIME_DIR=home,
                   DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={home}/none",
                   QUOR_UPDATE_HOST="127.0.0.1", LANG="C.UTF-8")
        for name in ("QUOR_HOME", "QUOR_VBUS", "XDG_CONFIG_HOME", "XDG_STATE_HOME"):
            env.pop(name, None)
        log_path = os.path.join(home, ".local", "state", "kestrow-quor", "quor.log")
        p = subprocess.Popen(q.as_user([self.path(PROGRAM)]), env=env, cwd="/",
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            log = ""
            deadline = time.monotonic() + 15
            while "NETWORK: SRTP library started" not in log and time.monotonic() < deadline:
                time.sleep(0.1)
                if os.path.exists(log_path):
                    with open(log_path, errors="replace") as f:
                        log = f.read()
            self.assertIsNone(p.poll(), "the program ended by itself")
        finally:
            p.terminate()
            p.wait(timeout=10)
        self.assertIn("NETWORK: SRTP library started", log)
        self.assertNotIn("cannot load the SRTP library", log)
        for path in (log_path, os.path.join(config_dir, "config.ini")):
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600, path)
        self.assertEqual(sorted(os.listdir(self.path(PROGRAM_DIR))),
                         sorted(["KestrowQuorConnector", "quor-console", "quor-helper",
                                 "quor-phone-sim", "quor-host-sim", "libquor_srtp_kit.so",
                                 "Readme.txt"]))

    def test_commands_on_the_path_lead_into_the_program_folder(self):
        for name in ("KestrowQuorConnector", PACKAGE, "quor-console", "quor-phone-sim",
                     "quor-host-sim"):
            link = self.path(f"usr/bin/{name}")
            self.assertTrue(os.path.islink(link), name)
            target = os.readlink(link)
            # The package's own name is the tray application itself.
            self.assertEqual(target, PROGRAM if name == PACKAGE else f"{PROGRAM_DIR}/{name}")
            self.assertTrue(os.path.isfile(self.path(target)))

    def test_menu_entry_starts_the_program_itself_and_finds_its_icons(self):
        entry = {}
        with open(self.path(f"usr/share/applications/{PACKAGE}.desktop"), encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "[Desktop Entry]")
        for line in lines[1:]:
            if "=" in line:
                key, value = line.split("=", 1)
                self.assertNotIn(key, entry, f"{key} twice")
                entry[key] = value
        self.assertEqual(entry["Type"], "Application")
        self.assertEqual(entry["Exec"], PROGRAM)
        self.assertEqual(entry["Name"], "Kestrow Quor Connector")
        icon = entry["Icon"]
        for size in (16, 32, 48):
            png = self.path(f"usr/share/icons/hicolor/{size}x{size}/apps/{icon}.png")
            self.assertEqual(png_size(png), (size, size), png)
        validator = shutil.which("desktop-file-validate")
        if validator:
            run(validator, self.path(f"usr/share/applications/{PACKAGE}.desktop"))

    def test_helper_starts_from_its_enabled_socket_and_polkit_guards_it(self):
        units = "usr/lib/systemd/system"
        helper = f"{PROGRAM_DIR}/quor-helper"
        mode = os.stat(self.path(helper)).st_mode
        self.assertTrue(stat.S_ISREG(mode) and mode & stat.S_IXUSR, helper)
        with open(self.path(f"{units}/kestrow-quor-helper.service")) as f:
            self.assertIn(f"\nExecStart={helper}\n", f.read())
        with open(self.path(f"{units}/kestrow-quor-helper.socket")) as f:
            self.assertIn("\nListenSequentialPacket=/run/kestrow-quor/helper.sock\n", f.read())
        self.assertEqual(os.readlink(self.path(f"{units}/sockets.target.wants/"
                                               "kestrow-quor-helper.socket")),
                         "../kestrow-quor-helper.socket")
        policy = self.path("usr/share/polkit-1/actions/org.kestrow.quor.connector.helper.policy")
        if os.path.exists(POLKIT_DTD) and shutil.which("xmllint"):
            run("xmllint", "--noout", "--dtdvalid", POLKIT_DTD, policy)
        ids = [a.get("id") for a in ET.parse(policy).getroot().findall("action")]
        self.assertEqual(ids, ["org.kestrow.quor.connector.attach"])

    def test_no_polkit_action_starts_the_program_as_root(self):
        folder = self.path("usr/share/polkit-1/actions")
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            for action in ET.parse(os.path.join(folder, name)).getroot().findall("action"):
                keys = {a.get("key") for a in action.findall("annotate")}
                self.assertNotIn("org.freedesktop.policykit.exec.path", keys, name)
                self.assertNotIn("org.freedesktop.policykit.exec.allow_gui", keys, name)

    def test_vhci_hcd_loads_at_boot_and_firewalld_knows_the_phone_ports(self):
        with open(self.path(MODULES_LOAD)) as f:
            modules = [line.strip() for line in f
                       if line.strip() and not line.lstrip().startswith(("#", ";"))]
        self.assertEqual(modules, ["vhci-hcd"])
        service = self.path(FIREWALLD_SERVICE)
        if shutil.which("xmllint"):
            run("xmllint", "--noout", service)
        root = ET.parse(service).getroot()
        self.assertEqual(root.tag, "service")
        self.assertTrue(root.findtext("short"))
        ports = sorted((p.get("protocol"), int(p.get("port"))) for p in root.findall("port"))
        self.assertEqual(ports, [("udp", 514), ("udp", 14897), ("udp", 18747)])

    def test_man_page(self):
        page = self.path("usr/share/man/man1/KestrowQuorConnector.1.gz")
        with gzip.open(page, "rt", encoding="utf-8") as f:
            text = f.read()
        self.assertTrue(text.startswith(".TH KESTROWQUORCONNECTOR 1"))
        for needed in (r"\-\-help", r"\-\-version", "vhci_hcd", "quor.log", "desktop user"):
            self.assertIn(needed, text)
        self.assertEqual(os.readlink(self.path(f"usr/share/man/man1/{PACKAGE}.1.gz")),
                         "KestrowQuorConnector.1.gz")
        if shutil.which("groff"):
            p = subprocess.run(["groff", "-man", "-ww", "-z"], input=text, capture_output=True,
                               text=True, timeout=30)
            self.assertEqual((p.returncode, p.stderr), (0, ""))

    def test_readme_explains_every_status_and_message_in_each_language(self):
        with open(self.path(f"{PROGRAM_DIR}/Readme.txt"), encoding="utf-8") as f:
            readme = f.read()
        for language in ("en", "ko", "zh"):
            texts = string_table(language)
            for text_id in STATUS_IDS + MESSAGE_IDS:
                # A number or address stands in for the placeholders.
                for piece in re.split(r"%[sd]", texts[text_id]):
                    self.assertTrue(piece.strip() in readme,
                                    f"text {text_id} ({language}) lacks {piece.strip()!r}")
        self.assertIn("modprobe vhci-hcd", readme)
        self.assertIn("quor-phone-sim", readme)


class PackageLifecycle(unittest.TestCase):
    """Install, reinstall, remove and purge with dpkg in a throwaway root."""

    @classmethod
    def setUpClass(cls):
        cls.deb = _built["deb"]
        cls.tmp = _built["tmp"]

    def setUp(self):
        self.root = tempfile.mkdtemp(dir=self.tmp)
        for sub in ("info", "updates", "triggers"):
            os.makedirs(os.path.join(self.root, "var/lib/dpkg", sub))
        for name in ("status", "available"):
            open(os.path.join(self.root, "var/lib/dpkg", name), "w").close()
        os.makedirs(os.path.join(self.root, "var/log"))

    def path(self, name):
        return os.path.join(self.root, name.lstrip("/"))

    def dpkg(self, *args):
        # Maintainer scripts run here with DPKG_ROOT set to the throwaway root;
        # the dependencies are this machine's, not the root's.
        cmd = ["dpkg", f"--root={self.root}", f"--log={self.path('var/log/dpkg.log')}",
               "--force-script-chrootless", "--force-depends"]
        if os.geteuid() != 0:
            cmd.append("--force-not-root")
        return run(*cmd, *args)

    def package_state(self):
        """dpkg's two-letter state of the package, empty when it knows none."""
        p = subprocess.run(["dpkg-query", f"--admindir={self.path('var/lib/dpkg')}", "-W",
                            "-f=${db:Status-Abbrev}", PACKAGE], capture_output=True, text=True,
                           timeout=30)
        return p.stdout.strip() if p.returncode == 0 else ""

    def write(self, name, text):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "w") as f:
            f.write(text)

    def read(self, name):
        with open(self.path(name)) as f:
            return f.read()

    def run_installed_console(self):
        """Runs the installed quor-console once, as a first start after an
        earlier version that kept config.ini in the program's folder, with
        the diagnostic log asked for. Its home folder is in the root; the
        system bus is out of reach, so no firewall is touched."""
        self.write(f"{PROGRAM_DIR}/config.ini", "[SECTION 1]\nDebug=1\nAutoPair=0\n")
        runtime = tempfile.mkdtemp(prefix="q")
        self.addCleanup(shutil.rmtree, runtime, True)
        os.makedirs(self.path(HOME))
        env = dict(os.environ, HOME=self.path(HOME), XDG_RUNTIME_DIR=runtime,
                   DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={runtime}/no-bus",
                   QUOR_UPDATE_HOST="127.0.0.1", LANG="C.UTF-8")
        for name in ("QUOR_HOME", "QUOR_VBUS", "LANGUAGE", "LC_ALL", "XDG_CONFIG_HOME",
                     "XDG_STATE_HOME"):
            env.pop(name, None)
        p = q.Proc([self.path(f"{PROGRAM_DIR}/quor-console")], env=env, cwd="/")
        p.wait_for(r"^status: Not Paired$")
        p.send("command 32778")
        self.assertEqual(p.wait_exit(), 0)
        p.stop()

    def write_old_start_at_logon(self):
        """The loader and system autostart entry an earlier version wrote."""
        self.write(f"{PROGRAM_DIR}/loader.sh", "#!/bin/sh\n")
        self.write(OLD_AUTOSTART_ENTRY, "[Desktop Entry]\nType=Application\nName=KestrowQuor\n"
                   f'Exec=/bin/sh "{PROGRAM_DIR}/loader.sh"\nTerminal=false\n')

    def add_firewall_entry(self):
        """firewalld's permanent files holding the program's service."""
        self.write(f"etc/firewalld/services/{FIREWALL_SERVICE}.xml",
                   "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<service>\n"
                   f"  <short>{FIREWALL_SERVICE}</short>\n</service>\n")
        self.write("etc/firewalld/zones/public.xml",
                   "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<zone>\n  <short>Public</short>\n"
                   f"  <service name=\"ssh\"/>\n  <service name=\"{FIREWALL_SERVICE}\"/>\n</zone>\n")

    def leftovers(self, foreign=("etc/firewalld/zones/public.xml",)):
        """Files under the root but dpkg's own and the FOREIGN ones, and the
        folders that name the program."""
        found = []
        for dirpath, dirnames, filenames in os.walk(self.root):
            rel = os.path.relpath(dirpath, self.root)
            if rel.startswith(("var/lib/dpkg", "var/log")):
                continue
            found += [os.path.normpath(os.path.join(rel, name)) for name in filenames]
            found += [os.path.normpath(os.path.join(rel, name)) for name in dirnames
                      if re.search(r"kestrow|quor", name, re.IGNORECASE)]
        return sorted(set(found) - set(foreign))

    def test_user_files_stay_remove_and_purge_leave_nothing_of_the_package(self):
        self.dpkg("-i", self.deb)
        self.run_installed_console()
        log = self.read(f"{HOME}/.local/state/kestrow-quor/quor.log")
        self.assertIn("NETWORK: SRTP library started", log)
        self.assertNotIn("cannot load the SRTP library", log)
        self.assertIn("Debug=1", self.read(f"{HOME}/.config/kestrow-quor/config.ini"))
        entry = self.read(f"{HOME}/.config/autostart/KestrowQuor.desktop")
        self.assertIn(f'\nExec="{self.path(PROGRAM_DIR)}/quor-console"\n', entry)
        user_files = [f"{HOME.lstrip('/')}/{name}" for name in (
            ".config/kestrow-quor/config.ini", ".local/state/kestrow-quor/quor.log",
            ".config/autostart/KestrowQuor.desktop")]
        user_folders = [f"{HOME.lstrip('/')}/{name}" for name in (
            ".config/kestrow-quor", ".local/state/kestrow-quor")]
        self.add_firewall_entry()

        # Reinstalling (as an upgrade does) keeps what the program set up.
        self.dpkg("-i", self.deb)
        self.assertTrue(os.path.exists(self.path(f"etc/firewalld/services/{FIREWALL_SERVICE}.xml")))

        self.dpkg("-r", PACKAGE)
        # What the earlier version kept in the program's folder stays until
        # the purge; the user's own files are the user's.
        self.assertEqual(sorted(os.listdir(self.path(PROGRAM_DIR))), ["config.ini"])
        zone = self.read("etc/firewalld/zones/public.xml")
        self.assertIn('<service name="ssh"/>', zone)
        self.assertEqual(self.leftovers(), sorted(user_files + user_folders + [
            "opt/kestrow-quor/config.ini", "opt/kestrow-quor"]))
        self.assertEqual(self.package_state(), "rc")

        self.dpkg("-P", PACKAGE)
        self.assertEqual(self.leftovers(), sorted(user_files + user_folders))
        self.assertIn('<service name="ssh"/>', self.read("etc/firewalld/zones/public.xml"))
        self.assertEqual(self.package_state(), "")

    def test_upgrade_takes_away_the_earlier_start_at_logon_for_everyone(self):
        self.write_old_start_at_logon()
        self.dpkg("-i", self.deb)
        self.assertFalse(os.path.lexists(self.path(f"{PROGRAM_DIR}/loader.sh")))
        self.assertFalse(os.path.lexists(self.path(OLD_AUTOSTART_ENTRY)))

    def test_purge_leaves_another_copys_start_at_logon_and_foreign_files(self):
        other = '[Desktop Entry]\nType=Application\nName=KestrowQuor\n' \
                'Exec=/bin/sh "/home/user/quor/loader.sh"\nTerminal=false\n'
        self.write(OLD_AUTOSTART_ENTRY, other)
        self.dpkg("-i", self.deb)
        self.assertEqual(self.read(OLD_AUTOSTART_ENTRY), other)
        self.write(f"{PROGRAM_DIR}/notes.txt", "mine\n")
        self.dpkg("-P", PACKAGE)
        self.assertEqual(self.read(OLD_AUTOSTART_ENTRY), other)
        self.assertEqual(sorted(os.listdir(self.path(PROGRAM_DIR))), ["notes.txt"])


if __name__ == "__main__":
    unittest.main()
