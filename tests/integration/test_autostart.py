"""Per-user files and the start at log-on, end to end, for a user without
administrator rights and without QUOR_HOME: quor-console, copied into a
folder whose path holds blanks, takes over the config.ini that an earlier
install kept beside it (once), keeps its settings and log in the user's XDG
folders readable by the user alone, and registers a per-user autostart
entry that the desktop's own launcher (gio) runs: the program itself, by its
full path, as the user."""

import os
import shutil
import signal
import stat
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib as q  # noqa: E402

USER = q.DESKTOP_USER
as_user = q.as_user


def processes_of(exe):
    """Pids of the running processes whose executable is EXE."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/exe") == exe:
                    pids.append(int(entry))
            except OSError:
                pass
    return pids


class Autostart(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        os.chmod(tmp.name, 0o755)
        self.apps = os.path.join(tmp.name, "Kestrow Apps") + "/"
        os.mkdir(self.apps)
        self.user_home = os.path.join(tmp.name, "home")
        os.mkdir(self.user_home, 0o700)
        if os.geteuid() == 0:
            os.chown(self.user_home, USER, USER)
        self.config = os.path.join(self.user_home, "conf") + "/"
        self.state = os.path.join(self.user_home, ".local", "state") + "/"
        self.autostart = self.config + "autostart/"
        self.env = dict(os.environ, HOME=self.user_home, XDG_CONFIG_HOME=self.config,
                        XDG_RUNTIME_DIR=self.user_home, LANG="C.UTF-8")
        for name in ("QUOR_HOME", "XDG_STATE_HOME", "LANGUAGE", "LC_ALL"):
            self.env.pop(name, None)
        # The settings an earlier install kept beside the program (root's).
        with open(self.apps + "config.ini", "w") as f:
            f.write("[SECTION 1]\nAutoRun=1\nAutoPair=0\nDebug=1\n")

    def run_once(self, exe_name):
        """Starts the program by its full path from another folder as the
        user, lets it apply its settings and ends it."""
        p = q.Proc(as_user([self.apps + exe_name]), env=self.env, cwd="/")
        p.wait_for(r"^status: Not Paired$")
        self.assertFalse(p.seen(r"Set auto run failed"))
        p.send("command 32778")
        self.assertEqual(p.wait_exit(), 0)
        p.stop()

    def read(self, path):
        with open(path) as f:
            return f.read()

    def assert_private(self, path, mode):
        st = os.lstat(path)
        self.assertEqual(stat.S_IMODE(st.st_mode), mode, path)
        self.assertEqual(st.st_uid, os.geteuid() if os.geteuid() != 0 else USER, path)

    def test_user_files_and_an_entry_that_starts_the_program_by_its_current_name(self):
        shutil.copy(q.bin_path("quor-console"), self.apps + "My Console")
        self.run_once("My Console")
        settings = self.config + "kestrow-quor/config.ini"
        self.assertTrue(self.read(settings).startswith("[SECTION 1]\nAutoRun=1\nAutoPair=0\n"))
        self.assert_private(settings, 0o600)
        self.assert_private(self.config + "kestrow-quor", 0o700)
        self.assert_private(self.state + "kestrow-quor/quor.log", 0o600)
        self.assertEqual(self.read(self.apps + "config.ini"),
                         "[SECTION 1]\nAutoRun=1\nAutoPair=0\nDebug=1\n")
        self.assertEqual(sorted(os.listdir(self.apps)), ["My Console", "config.ini"])

        self.assertEqual(os.listdir(self.autostart), ["KestrowQuor.desktop"])
        entry = self.read(self.autostart + "KestrowQuor.desktop")
        self.assertIn(f'\nExec="{self.apps}My Console"\n', entry)

        # Renamed: the next start rewrites the entry; the old config.ini,
        # changed since, is not taken over a second time.
        with open(self.apps + "config.ini", "w") as f:
            f.write("[SECTION 1]\nAutoRun=0\n")
        os.rename(self.apps + "My Console", self.apps + "Renamed Console")
        self.run_once("Renamed Console")
        self.assertEqual(os.listdir(self.autostart), ["KestrowQuor.desktop"])
        self.assertIn(f'\nExec="{self.apps}Renamed Console"\n',
                      self.read(self.autostart + "KestrowQuor.desktop"))
        self.assertIn("AutoRun=1\n", self.read(settings))

        launched = self.apps + "Renamed Console"
        launcher = q.Proc(as_user(["gio", "launch", self.autostart + "KestrowQuor.desktop"]),
                          env=self.env, cwd="/")
        self.assertEqual(launcher.wait_exit(), 0)
        deadline = time.monotonic() + 5
        while not processes_of(launched) and time.monotonic() < deadline:
            time.sleep(0.05)
        pids = processes_of(launched)
        self.assertEqual(len(pids), 1)
        try:
            with open(f"/proc/{pids[0]}/cmdline", "rb") as f:
                self.assertEqual(f.read(), launched.encode() + b"\0")
            self.assertEqual(os.stat(f"/proc/{pids[0]}").st_uid,
                             os.geteuid() if os.geteuid() != 0 else USER)
        finally:
            os.kill(pids[0], signal.SIGTERM)
        launcher.stop()

    def test_switching_off_removes_the_entry(self):
        shutil.copy(q.bin_path("quor-console"), self.apps + "quor-console")
        self.run_once("quor-console")
        self.assertTrue(os.path.exists(self.autostart + "KestrowQuor.desktop"))
        with open(self.config + "kestrow-quor/config.ini", "w") as f:
            f.write("[SECTION 1]\nAutoRun=0\nAutoPair=0\n")
        self.run_once("quor-console")
        self.assertEqual(os.listdir(self.autostart), [])


if __name__ == "__main__":
    unittest.main()
