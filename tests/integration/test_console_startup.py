"""quor-console start-up and ending: the settings file, the status line in
three languages, the diagnostic log, the single instance, and every way to
end the program."""

import os
import signal
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import quorlib  # noqa: E402

FRESH_CONFIG = (
    "[SECTION 1]\nPhoneIP=0\nAutoIP=0\nAutoMin=1\nAutoPair=1\nAutoRepair=1\n"
    "AutoRun=1\nAsNmDev=0\nPairTimeout=10\nRepairTime=15\nRetryTimes=0\nResendGruu=15\n")


class ConsoleStartup(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quor-home-")

    def console(self, *args, lang="C.UTF-8"):
        env = dict(os.environ, QUOR_HOME=self.home, XDG_RUNTIME_DIR=self.home, LANG=lang)
        env.pop("LANGUAGE", None)
        env.pop("LC_ALL", None)
        env.pop("LC_MESSAGES", None)
        return quorlib.spawn("quor-console", *args, env=env)

    def path(self, name):
        return os.path.join(self.home, name)

    def test_first_start_writes_the_settings_and_exit_ends_the_program(self):
        with self.console() as c:
            c.wait_for(r"^status: Not Paired$")
            c.send("command 32778")
            self.assertEqual(c.wait_exit(), 0)
        with open(self.path("config.ini")) as f:
            self.assertEqual(f.read(), FRESH_CONFIG)
        self.assertFalse(os.path.exists(self.path("quor.log")))

    def test_status_follows_the_users_language(self):
        for lang, text in (("ko_KR.UTF-8", "연결 안됨"), ("zh_CN.UTF-8", "未配对"),
                           ("de_DE.UTF-8", "Not Paired")):
            with self.console(lang=lang) as c:
                c.wait_for(f"^status: {text}$")
                c.send("command 32778")
                self.assertEqual(c.wait_exit(), 0)

    def test_debug_setting_opens_the_log_and_level_three_adds_nothing_without_packets(self):
        with open(self.path("config.ini"), "w") as f:
            f.write("[SECTION 1]\nDebug=3\n")
        with self.console() as c:
            c.wait_for(r"^status: Not Paired$")
            c.send("command 32778")
            self.assertEqual(c.wait_exit(), 0)
        self.assertTrue(os.path.exists(self.path("quor.log")))
        with open(self.path("config.ini")) as f:
            self.assertIn("Debug=3\n", f.read())

    def test_a_second_start_toggles_the_running_one_and_shows_nothing(self):
        with self.console() as first:
            first.wait_for(r"^status: Not Paired$")
            with self.console() as second:
                self.assertEqual(second.wait_exit(), 0)
                self.assertEqual(second.output(), "")
            first.wait_for(r"^window: hidden$")
            with self.console() as third:
                self.assertEqual(third.wait_exit(), 0)
            first.wait_for(r"^window: shown$")
            first.send("command 32778")
            self.assertEqual(first.wait_exit(), 0)

    def test_close_asks_first(self):
        with self.console() as c:
            c.wait_for(r"^status: Not Paired$")
            c.send("close")
            c.wait_for(r"^message: Kestrow Hint: Are you sure to quit the connector\?$")
            c.send("state")
            c.wait_for(r"^state: 0 Not Paired$")
        with self.console("--answer", "ok") as c:
            c.wait_for(r"^status: Not Paired$")
            c.send("close")
            self.assertEqual(c.wait_exit(), 0)

    def test_stop_signals_end_the_program(self):
        # SIGHUP too: the terminal or the session going away.
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(sig=sig), self.console() as c:
                c.wait_for(r"^status: Not Paired$")
                c.signal(sig)
                self.assertEqual(c.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
