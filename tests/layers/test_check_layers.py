#!/usr/bin/env python3
"""The include check fails on includes that point the wrong way, and only on
those: each case builds a small source tree and runs the real script."""
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check_layers.py"


def check(files: dict[str, str]) -> subprocess.CompletedProcess:
    with tempfile.TemporaryDirectory() as root:
        for name, text in files.items():
            path = Path(root) / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        return subprocess.run([sys.executable, str(SCRIPT), root], capture_output=True, text=True)


class CheckLayers(unittest.TestCase):
    def test_includes_down_the_layers_pass(self):
        r = check({
            "src/link/a.cpp": '#include "soft_dev/b.h"\n#include "platform/c.h"\n#include <vector>\n',
            "src/platform/c.cpp": "#include <sys/socket.h>\n#include <unistd.h>\n",
            "src/shell/d.cpp": '#include "link/a.h"\n#include "settings/e.h"\n',
            "tools/phone_sim/f.cpp": '#include "link/ctrl_frame.h"\n#include <poll.h>\n',
            "src/win_ui/g.cpp": '#include <windows.h>\n#include "shell/main_view.h"\n'
                                '#include "ui/tray_menus.h"\n',
        })
        self.assertEqual(r.returncode, 0, r.stdout)

    def test_each_forbidden_include_is_named(self):
        r = check({
            "src/soft_dev/a.cpp": '#include "link/ctrl_channel.h"\n',
            "src/settings/b.cpp": '#include "shell/main_dlg.h"\n',
            "src/base/c.h": '#include "platform/clock.h"\n',
            "src/media/d.cpp": "#include <sys/random.h>\n",
            "src/console/e.cpp": "  #  include <signal.h>\n",
            "tools/phone_sim/f.cpp": '#include "media/media_api.h"\n',
            "src/win_ui/g.cpp": '#include "ui/main_window.h"\n#include <unistd.h>\n',
        })
        self.assertEqual(r.returncode, 1)
        for where in ("src/soft_dev/a.cpp:1: link/ctrl_channel.h",
                      "src/settings/b.cpp:1: shell/main_dlg.h",
                      "src/base/c.h:1: platform/clock.h",
                      "src/media/d.cpp:1: sys/random.h",
                      "src/console/e.cpp:1: signal.h",
                      "tools/phone_sim/f.cpp:1: media/media_api.h",
                      "src/win_ui/g.cpp:1: ui/main_window.h",
                      "src/win_ui/g.cpp:2: unistd.h"):
            self.assertIn(where, r.stdout)
        self.assertIn("8 forbidden includes", r.stdout)


if __name__ == "__main__":
    unittest.main()
