#!/usr/bin/env python3
"""Fails when an include points the wrong way between the program's layers.

Each folder under src/ (and tools/) may include only the folders below it;
operating-system headers belong to src/platform alone, so that a port to
another system replaces src/platform and src/ui (src/win_ui is the Windows
front end, which may include the Windows headers; src/helper, the privileged
helper, is a Linux program of its own and uses them too). Prints one line per
forbidden include and exits 1 when there is any.

Usage: check_layers.py [ROOT]   (the repository; default: this script's parent)
"""
import re
import sys
from pathlib import Path

CORE = {"base", "platform", "media", "soft_dev", "link", "settings", "shell"}

# Folder -> the folders of ours its files may include (besides its own).
# srtp_kit is a separate shared library that media loads at run time; its
# header is that library's interface.
ALLOWED = {
    "base": set(),
    "platform": {"base"},
    "media": {"platform", "base", "srtp_kit"},
    "soft_dev": {"platform", "media", "base"},
    "link": {"platform", "media", "soft_dev", "base"},
    "settings": {"platform", "base"},
    "shell": CORE - {"shell"},
    "console": CORE,
    "ui": CORE,
    "srtp_kit": set(),
    "res": {"base"},
    "helper": {"platform", "base"},
    "win_ui": CORE,
}

# The native Windows front end is Windows-only as src/ui is Qt-only: it may
# include the Windows headers (no POSIX ones) and, of src/ui, only the plain
# C++ tables and parsers that both front ends show.
WINDOWS_FRONT_END = "win_ui"
WINDOWS_HEADER = re.compile(r"^(windows\.h|winsock2\.h|ws2tcpip\.h|shellapi\.h)$")
WIN_UI_SHARED_HEADERS = {"ui/dialog_templates.h", "ui/tray_menus.h", "ui/parameter_values.h"}

# Folders besides src/platform whose files may include system headers.
SYSTEM_HEADER_FOLDERS = {"platform", "helper"}

# The simulators may use the platform layer, the string lookup and the wire
# codecs, nothing of the program's logic. The SRTP library's header is the
# interface of a separate shared library, which the phone simulator loads too.
TOOLS_ALLOWED_FOLDERS = {"platform", "base"}
TOOLS_ALLOWED_HEADERS = {
    "link/ctrl_frame.h",
    "soft_dev/phone_msgs.h",
    "soft_dev/usbip_pdu.h",
    "srtp_kit/srtp_kit.h",
}

# Headers of the operating system (POSIX, Linux, Windows) that in the
# program only src/platform may include. The simulators under tools/ are
# Linux test peers and use them freely.
SYSTEM_HEADER = re.compile(
    r"^(sys/|netinet/|arpa/|linux/|net/|asm/|unistd\.h|fcntl\.h|dlfcn\.h|signal\.h|poll\.h"
    r"|pthread\.h|netdb\.h|dirent\.h|pwd\.h|grp\.h|termios\.h|ifaddrs\.h|spawn\.h"
    r"|syslog\.h|sched\.h|semaphore\.h|libgen\.h|glob\.h|systemd/"
    r"|windows\.h|winsock2\.h|ws2tcpip\.h|wininet\.h|netfw\.h|objbase\.h|oleauto\.h"
    r"|shellapi\.h|winreg\.h)"
)

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def folder_of(rel: Path) -> str:
    parts = rel.parts
    if parts[0] == "src":
        return parts[1]
    return parts[0]  # tools, res


def problems_in(root: Path, rel: Path) -> list[str]:
    folder = folder_of(rel)
    found = []
    for number, line in enumerate((root / rel).read_text(errors="replace").splitlines(), 1):
        m = INCLUDE.match(line)
        if not m:
            continue
        kind, name = m.groups()
        where = f"{rel}:{number}: {name}"
        if kind == "<":
            if folder == WINDOWS_FRONT_END and WINDOWS_HEADER.match(name):
                continue
            if rel.parts[0] == "src" and folder not in SYSTEM_HEADER_FOLDERS and SYSTEM_HEADER.match(name):
                found.append(f"{where}: system header outside src/platform")
            continue
        if "/" not in name or name.startswith(".."):
            continue  # the file's own folder (a tool's sibling included by relative path)
        target = name.split("/")[0]
        if target == folder:
            continue
        if folder == "tools":
            if target not in TOOLS_ALLOWED_FOLDERS and name not in TOOLS_ALLOWED_HEADERS:
                found.append(f"{where}: a simulator may include the platform layer and the codecs only")
        elif folder == WINDOWS_FRONT_END and name in WIN_UI_SHARED_HEADERS:
            continue
        elif target not in ALLOWED.get(folder, set()):
            found.append(f"{where}: {folder} may not include {target}")
    return found


def main() -> int:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    files = sorted(
        p.relative_to(root)
        for pattern in ("src/**/*", "tools/**/*", "res/*")
        for p in root.glob(pattern)
        if p.suffix in (".h", ".cpp")
    )
    problems = [p for rel in files for p in problems_in(root, rel)]
    for p in problems:
        print(p)
    print(f"check_layers: {len(files)} files, {len(problems)} forbidden includes")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
