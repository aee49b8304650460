"""The update check at start-up end to end: quor-console asks a local HTTP
server (Python's http.server on 127.0.0.1:8080, in the test's own network
namespace) for upgrade.xml, in place of the update server."""

import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorlib as q  # noqa: E402


class UpdateCheck(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.home = os.path.join(tmp.name, "home") + "/"
        self.www = os.path.join(tmp.name, "www")
        os.makedirs(self.home)
        os.makedirs(os.path.join(self.www, "Quor"))
        with open(self.home + "config.ini", "w") as f:
            f.write("[SECTION 1]\nAutoPair=0\nAutoRun=0\n")
        self.env = dict(os.environ, QUOR_HOME=self.home, XDG_RUNTIME_DIR=tmp.name,
                        XDG_CONFIG_HOME=os.path.join(tmp.name, "xdg"), TMPDIR=tmp.name,
                        QUOR_UPDATE_HOST="127.0.0.1", LANG="C.UTF-8")
        for name in ("LANGUAGE", "LC_ALL", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
            self.env.pop(name, None)

    def serve(self, upgrade_xml):
        with open(os.path.join(self.www, "Quor", "upgrade.xml"), "w") as f:
            f.write(upgrade_xml)
        server = q.Proc(["python3", "-u", "-m", "http.server", "8080", "--bind", "127.0.0.1",
                         "--directory", self.www], name="http.server")
        self.addCleanup(server.stop)
        server.wait_for(r"^Serving HTTP on 127\.0\.0\.1 port 8080")
        return server

    def console(self, *args):
        c = q.spawn("quor-console", *args, env=self.env)
        self.addCleanup(c.stop)
        return c

    def finish(self, c):
        """Ends the program; its diagnostic lines, which standard output
        holds back while it is a pipe, are all there afterwards."""
        # The start-up's status line and the update check's lines come in
        # either order.
        if not c.seen(r"^status: Not Paired$"):
            c.wait_for(r"^status: Not Paired$")
        c.send("command 32778")
        self.assertEqual(c.wait_exit(), 0)

    def test_a_newer_version_is_offered_at_start_up(self):
        server = self.serve("<upgrade><version>2.1.0.0</version>"
                            "<setup>https://downloads.example.test/Setup.exe</setup></upgrade>")
        c = self.console("--answer", "ok")
        c.wait_for(r"^message: Update Info: A new version 2.1.0.0 was found\. "
                   r"Do you want to update\?$")
        server.wait_for(r'"GET /Quor/upgrade\.xml HTTP/1\.1" 200')
        self.finish(c)

    def test_an_installer_that_is_no_web_address_is_not_offered(self):
        server = self.serve("<upgrade><version>2.1.0.0</version>"
                            "<setup>file:///usr/bin/xterm</setup></upgrade>")
        c = self.console("--answer", "ok")
        server.wait_for(r'"GET /Quor/upgrade\.xml HTTP/1\.1" 200')
        c.wait_for(r"^NETWORK: Update check: the installer of 2\.1\.0\.0 is not a web "
                   r"address; ignored\.$")
        self.finish(c)
        self.assertFalse(c.seen(r"^message: Update Info"))

    def test_without_a_server_start_up_goes_on(self):
        c = self.console()
        c.wait_for(r"^NETWORK: Update check: http://127\.0\.0\.1:8080/Quor/upgrade\.xml: "
                   r"Couldn't connect to server$")
        self.finish(c)
        self.assertFalse(c.seen(r"^message: "))

    def test_an_older_version_is_not_offered(self):
        server = self.serve("<upgrade><version>2.0.13.9</version>"
                            "<setup>https://downloads.example.test/Setup.exe</setup></upgrade>")
        c = self.console("--answer", "ok")
        server.wait_for(r'"GET /Quor/upgrade\.xml HTTP/1\.1" 200')
        time.sleep(0.3)
        self.finish(c)
        self.assertFalse(c.seen(r"^message: "))


if __name__ == "__main__":
    unittest.main()
