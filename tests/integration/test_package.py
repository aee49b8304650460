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
LAUNCHER = PROGRAM_DIR + "/" + PACKAGE
POLICY = "usr/share/polkit-1/actions/org.kestrow.quor.connector.policy"
AUTOSTART_ENTRY = "etc/xdg/autostart/KestrowQuor.desktop"
FIREWALL_SERVICE = "KestrowQuorConnector"
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
        for needed in ("libqt6core6", "libqt6gui6", "libqt6widgets6", "libsrtp2-1", "libcurl4",
                       "pkexec"):
            self.assertIn(needed, depends)
        info = run("dpkg-deb", "-I", self.deb)
        self.assertRegex(info, r"\bpostrm\b")

    def test_ships_only_the_installed_layout(self):
        allowed = ("opt/kestrow-quor/", "usr/bin/", "usr/share/applications/",
                   "usr/share/icons/hicolor/", "usr/share/man/man1/",
                   "usr/share/polkit-1/actions/", "usr/lib/systemd/system/")
        listing = run("dpkg-deb", "-c", self.deb)
        for line in listing.splitlines():
            name = line.split()[5].removeprefix("./")
            if line.startswith("d"):
                continue
            self.assertTrue(name.startswith(allowed), f"unexpected file {name}")
        self.assertNotIn("partial", listing)

    def test_program_folder_holds_programs_library_and_readme(self):
        for exe in ("KestrowQuorConnector", "quor-console", "quor-phone-sim", "quor-host-sim",
                    PACKAGE):
            mode = os.stat(self.path(f"{PROGRAM_DIR}/{exe}")).st_mode
            self.assertTrue(stat.S_ISREG(mode) and mode & stat.S_IXOTH, exe)
        with open(self.path(f"{PROGRAM_DIR}/libquor_srtp_kit.so"), "rb") as f:
            self.assertEqual(f.read(4), b"\x7fELF")
        self.assertTrue(os.path.isfile(self.path(f"{PROGRAM_DIR}/Readme.txt")))
        # The folder is the program's: nothing it writes at run time ships.
        for runtime_file in ("config.ini", "quor.log", "loader.sh"):
            self.assertFalse(os.path.lexists(self.path(f"{PROGRAM_DIR}/{runtime_file}")))

    def test_version_and_help(self):
        exe = self.path(PROGRAM)
        version = cache_value(os.environ["QUOR_BIN_DIR"], "CMAKE_PROJECT_VERSION")
        self.assertEqual(run(exe, "--version"), f"KestrowQuorConnector {version}\n")
        usage = run(exe, "--help")
        for needed in ("--version", "QUOR_HOME", "kestrow-quor-connector", "Readme.txt"):
            self.assertIn(needed, usage)

    def test_tray_application_loads_the_srtp_library_beside_itself(self):
        folder = self.path(PROGRAM_DIR)
        with open(os.path.join(folder, "config.ini"), "w") as f:
            f.write("[SECTION 1]\nDebug=1\nAutoPair=0\nAutoRun=0\n")
        # The single-instance socket's path must fit a socket address.
        runtime = tempfile.mkdtemp(prefix="q")
        self.addCleanup(shutil.rmtree, runtime, True)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
                   XDG_CONFIG_DIRS=runtime, DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={runtime}/none",
                   QUOR_UPDATE_HOST="127.0.0.1", LANG="C.UTF-8")
        for name in ("QUOR_HOME", "QUOR_VBUS"):
            env.pop(name, None)
        log_path = os.path.join(folder, "quor.log")
        p = subprocess.Popen([self.path(PROGRAM)], env=env, cwd="/", stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
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
            for name in ("config.ini", "quor.log"):
                os.remove(os.path.join(folder, name))
        self.assertIn("NETWORK: SRTP library started", log)
        self.assertNotIn("cannot load the SRTP library", log)

    def test_commands_on_the_path_lead_into_the_program_folder(self):
        for name in ("KestrowQuorConnector", PACKAGE, "quor-console", "quor-phone-sim",
                     "quor-host-sim"):
            link = self.path(f"usr/bin/{name}")
            self.assertTrue(os.path.islink(link), name)
            target = os.readlink(link)
            self.assertEqual(target, f"{PROGRAM_DIR}/{name}")
            self.assertTrue(os.path.isfile(self.path(target)))

    def test_menu_entry_starts_the_launcher_and_finds_its_icons(self):
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
        self.assertEqual(entry["Exec"], LAUNCHER)
        self.assertEqual(entry["Name"], "Kestrow Quor Connector")
        icon = entry["Icon"]
        for size in (16, 32, 48):
            png = self.path(f"usr/share/icons/hicolor/{size}x{size}/apps/{icon}.png")
            self.assertEqual(png_size(png), (size, size), png)
        validator = shutil.which("desktop-file-validate")
        if validator:
            run(validator, self.path(f"usr/share/applications/{PACKAGE}.desktop"))

    def test_polkit_action_lets_pkexec_start_the_program_with_its_display(self):
        policy = self.path(POLICY)
        if shutil.which("xmllint") and os.path.exists(POLKIT_DTD):
            run("xmllint", "--noout", "--dtdvalid", POLKIT_DTD, policy)
        actions = ET.parse(policy).getroot().findall("action")
        self.assertEqual([a.get("id") for a in actions], ["org.kestrow.quor.connector"])
        notes = {a.get("key"): a.text for a in actions[0].findall("annotate")}
        self.assertEqual(notes["org.freedesktop.policykit.exec.path"], PROGRAM)
        self.assertEqual(notes["org.freedesktop.policykit.exec.allow_gui"], "true")
        defaults = actions[0].find("defaults")
        for who in ("allow_any", "allow_inactive", "allow_active"):
            self.assertIn(defaults.find(who).text, ("auth_admin", "auth_admin_keep", "no"), who)

    def launch(self, xhost_list="", pkexec_status=0, wayland=True):
        """Runs the packaged launcher as user 1000 with stand-ins for id,
        pkexec and xhost; returns its exit status and what the stand-ins were
        asked, in order."""
        fake = tempfile.mkdtemp(dir=self.tmp)
        calls = os.path.join(fake, "calls")
        scripts = {
            "id": 'echo 1000\n',
            "pkexec": f'echo "pkexec $*" >> "{calls}"\nexit {pkexec_status}\n',
            "xhost": f'if [ $# -eq 0 ]; then printf "%s" "{xhost_list}"; exit 0; fi\n'
                     f'echo "xhost $*" >> "{calls}"\n',
        }
        for name, body in scripts.items():
            with open(os.path.join(fake, name), "w") as f:
                f.write("#!/bin/sh\n" + body)
            os.chmod(os.path.join(fake, name), 0o755)
        env = {"PATH": f"{fake}:/usr/bin:/bin", "DISPLAY": ":0"}
        if wayland:
            env["WAYLAND_DISPLAY"] = "wayland-0"
        p = subprocess.run([self.path(LAUNCHER), "-platform", "xcb"], env=env, timeout=30)
        with open(calls) as f:
            return p.returncode, f.read().splitlines()

    def test_launcher_asks_pkexec_for_the_program_of_the_polkit_action(self):
        status, calls = self.launch(wayland=False)
        self.assertEqual(status, 0)
        self.assertEqual(calls, [f"pkexec {PROGRAM} -platform xcb"])

    def test_launcher_lets_root_reach_a_wayland_display_only_while_it_starts(self):
        status, calls = self.launch(xhost_list="access control enabled\n", pkexec_status=126)
        self.assertEqual(status, 126)
        self.assertEqual(calls, ["xhost +SI:localuser:root", f"pkexec {PROGRAM} -platform xcb",
                                 "xhost -SI:localuser:root"])
        # Access that was there before stays.
        status, calls = self.launch(xhost_list="SI:localuser:root\n")
        self.assertEqual(calls, [f"pkexec {PROGRAM} -platform xcb"])

    def test_man_page(self):
        page = self.path("usr/share/man/man1/KestrowQuorConnector.1.gz")
        with gzip.open(page, "rt", encoding="utf-8") as f:
            text = f.read()
        self.assertTrue(text.startswith(".TH KESTROWQUORCONNECTOR 1"))
        for needed in (r"\-\-help", r"\-\-version", "pkexec", "vhci_hcd", "quor.log"):
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
        """Runs the installed quor-console once, as a first start with the
        diagnostic log asked for. Its start at log-on lands in the root; the
        system bus is out of reach, so no firewall is touched."""
        self.write(f"{PROGRAM_DIR}/config.ini", "[SECTION 1]\nDebug=1\nAutoPair=0\n")
        runtime = tempfile.mkdtemp(prefix="q")
        self.addCleanup(shutil.rmtree, runtime, True)
        env = dict(os.environ, XDG_CONFIG_DIRS=self.path("etc/xdg"), XDG_RUNTIME_DIR=runtime,
                   DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={runtime}/no-bus",
                   QUOR_UPDATE_HOST="127.0.0.1", LANG="C.UTF-8")
        for name in ("QUOR_HOME", "QUOR_VBUS", "LANGUAGE", "LC_ALL"):
            env.pop(name, None)
        p = q.Proc([self.path(f"{PROGRAM_DIR}/quor-console")], env=env, cwd="/")
        p.wait_for(r"^status: Not Paired$")
        p.send("command 32778")
        self.assertEqual(p.wait_exit(), 0)
        p.stop()

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

    def test_remove_keeps_settings_and_log_and_purge_leaves_nothing(self):
        self.dpkg("-i", self.deb)
        self.run_installed_console()
        log = self.read(f"{PROGRAM_DIR}/quor.log")
        self.assertIn("NETWORK: SRTP library started", log)
        self.assertNotIn("cannot load the SRTP library", log)
        self.assertTrue(os.path.exists(self.path(f"{PROGRAM_DIR}/loader.sh")))
        # The entry the program wrote names the loader by the root's path;
        # on a real system that path is the program folder itself.
        entry = self.read(AUTOSTART_ENTRY)
        self.assertIn(self.path(f"{PROGRAM_DIR}/loader.sh"), entry)
        self.write(AUTOSTART_ENTRY, entry.replace(self.root, ""))
        self.add_firewall_entry()

        # Reinstalling (as an upgrade does) keeps what the program set up.
        self.dpkg("-i", self.deb)
        for kept in (f"{PROGRAM_DIR}/loader.sh", AUTOSTART_ENTRY,
                     f"etc/firewalld/services/{FIREWALL_SERVICE}.xml"):
            self.assertTrue(os.path.exists(self.path(kept)), kept)

        self.dpkg("-r", PACKAGE)
        self.assertEqual(sorted(os.listdir(self.path(PROGRAM_DIR))), ["config.ini", "quor.log"])
        self.assertFalse(os.path.lexists(self.path(AUTOSTART_ENTRY)))
        zone = self.read("etc/firewalld/zones/public.xml")
        self.assertIn('<service name="ssh"/>', zone)
        self.assertEqual(self.leftovers(),
                         sorted([f"opt/kestrow-quor/{n}" for n in ("config.ini", "quor.log")] +
                                ["opt/kestrow-quor"]))
        self.assertIn("Debug=1", self.read(f"{PROGRAM_DIR}/config.ini"))
        self.assertEqual(self.package_state(), "rc")

        self.dpkg("-P", PACKAGE)
        self.assertEqual(self.leftovers(), [])
        self.assertIn('<service name="ssh"/>', self.read("etc/firewalld/zones/public.xml"))
        self.assertEqual(self.package_state(), "")

    def test_purge_leaves_another_copys_start_at_logon_and_foreign_files(self):
        self.dpkg("-i", self.deb)
        other = '[Desktop Entry]\nType=Application\nName=KestrowQuor\n' \
                'Exec=/bin/sh "/home/user/quor/loader.sh"\nTerminal=false\n'
        self.write(AUTOSTART_ENTRY, other)
        self.write(f"{PROGRAM_DIR}/notes.txt", "mine\n")
        self.dpkg("-P", PACKAGE)
        self.assertEqual(self.read(AUTOSTART_ENTRY), other)
        self.assertEqual(sorted(os.listdir(self.path(PROGRAM_DIR))), ["notes.txt"])


if __name__ == "__main__":
    unittest.main()
