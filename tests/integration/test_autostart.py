"""Start at log-on end to end: quor-console, copied into a folder whose path
holds blanks, registers itself; the desktop's own launcher (gio) runs the
entry, which starts the program in its folder under its current name."""

import os
import shutil
import signal
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib as q  # noqa: E402


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
        self.apps = os.path.join(tmp.name, "Kestrow Apps") + "/"
        os.mkdir(self.apps)
        self.autostart = os.path.join(tmp.name, "xdg conf", "autostart") + "/"
        self.env = dict(os.environ, XDG_CONFIG_DIRS=os.path.join(tmp.name, "xdg conf"),
                        XDG_RUNTIME_DIR=tmp.name, LANG="C.UTF-8")
        for name in ("QUOR_HOME", "LANGUAGE", "LC_ALL"):
            self.env.pop(name, None)
        with open(self.apps + "config.ini", "w") as f:
            f.write("[SECTION 1]\nAutoRun=1\nAutoPair=0\n")

    def run_once(self, exe_name):
        """Starts the program by its full path from another folder, lets it
        apply its settings and ends it."""
        p = q.Proc([self.apps + exe_name], env=self.env, cwd="/")
        p.wait_for(r"^status: Not Paired$")
        self.assertFalse(p.seen(r"Set auto run failed"))
        p.send("command 32778")
        self.assertEqual(p.wait_exit(), 0)
        p.stop()

    def read(self, path):
        with open(path) as f:
            return f.read()

    def test_registers_itself_and_the_entry_starts_it_in_its_folder_by_its_current_name(self):
        shutil.copy(q.bin_path("quor-console"), self.apps + "My Console")
        self.run_once("My Console")
        self.assertEqual(os.listdir(self.autostart), ["KestrowQuor.desktop"])
        entry = self.read(self.autostart + "KestrowQuor.desktop")
        self.assertIn(f'\nExec=/bin/sh "{self.apps}loader.sh"\n', entry)
        self.assertEqual(self.read(self.apps + "loader.sh"),
                         f"#!/bin/sh\ncd '{self.apps}' || exit 1\n"
                         f"if [ \"$(id -u)\" -ne 0 ] && command -v pkexec >/dev/null; then\n"
                         f"    exec pkexec '{self.apps}My Console'\n"
                         f"fi\n"
                         f"exec './My Console'\n")

        # Renamed: the next start rewrites the loader; still one entry.
        os.rename(self.apps + "My Console", self.apps + "Renamed Console")
        self.run_once("Renamed Console")
        self.assertEqual(os.listdir(self.autostart), ["KestrowQuor.desktop"])
        self.assertEqual(self.read(self.autostart + "KestrowQuor.desktop"), entry)
        self.assertIn("exec './Renamed Console'\n", self.read(self.apps + "loader.sh"))

        launched = self.apps + "Renamed Console"
        launcher = q.Proc(["gio", "launch", self.autostart + "KestrowQuor.desktop"], env=self.env,
                          cwd="/")
        self.assertEqual(launcher.wait_exit(), 0)
        deadline = time.monotonic() + 5
        while not processes_of(launched) and time.monotonic() < deadline:
            time.sleep(0.05)
        pids = processes_of(launched)
        self.assertEqual(len(pids), 1)
        try:
            self.assertEqual(os.readlink(f"/proc/{pids[0]}/cwd") + "/", self.apps)
            with open(f"/proc/{pids[0]}/cmdline", "rb") as f:
                self.assertEqual(f.read(), b"./Renamed Console\0")
        finally:
            os.kill(pids[0], signal.SIGTERM)
        launcher.stop()

    def test_switching_off_removes_entry_and_loader(self):
        shutil.copy(q.bin_path("quor-console"), self.apps + "quor-console")
        self.run_once("quor-console")
        self.assertTrue(os.path.exists(self.apps + "loader.sh"))
        with open(self.apps + "config.ini", "w") as f:
            f.write("[SECTION 1]\nAutoRun=0\nAutoPair=0\n")
        self.run_once("quor-console")
        self.assertEqual(os.listdir(self.autostart), [])
        self.assertFalse(os.path.exists(self.apps + "loader.sh"))


if __name__ == "__main__":
    unittest.main()
