"""Wine on an Xvfb display of its own, for the native front end's checks:
a prefix whose dialog fonts map onto the fonts Debian installs (Carlito for
Calibri, Noto Sans CJK for the Korean and Chinese texts), programs run in a
chosen interface language, and screenshots of the display as PNG files."""
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import zlib
from pathlib import Path

# Wine's own fonts (Marlett draws the caption buttons), where Debian puts them.
WINE_FONT_DIRS = ("/usr/share/wine/fonts",)

WINE_CANDIDATES = ("/usr/lib/wine/wine64", "/usr/bin/wine64", "/usr/bin/wine")

# Interface languages: the locale Wine takes its user language from.
LOCALES = {"en": "en_US.UTF-8", "ko": "ko_KR.UTF-8", "zh": "zh_CN.UTF-8"}

CJK_FILE = "NotoSansCJK-Regular.ttc"

# The dialogs ask for Calibri (English, Korean) and 宋体 (Chinese). Calibri's
# metric twin is Carlito; Hangul comes from the Korean face of Noto Sans CJK
# through the font link, as Windows links Calibri to its Korean font.
PREFIX_SETTINGS = [
    # No window manager runs on the display: Wine draws the captions and
    # frames itself, so that the screenshots show them.
    (r"HKEY_CURRENT_USER\Software\Wine\X11 Driver", {"Managed": "N", "Decorated": "N"}),
    (r"HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements",
     {"Calibri": "Carlito", "宋体": "Noto Sans CJK SC", "SimSun": "Noto Sans CJK SC"}),
    (r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink",
     {"Calibri": [f"{CJK_FILE},Noto Sans CJK KR", f"{CJK_FILE},Noto Sans CJK SC"],
      "Carlito": [f"{CJK_FILE},Noto Sans CJK KR", f"{CJK_FILE},Noto Sans CJK SC"]}),
]


def find_wine():
    for path in WINE_CANDIDATES:
        if os.access(path, os.X_OK):
            return path
    return shutil.which("wine64") or shutil.which("wine")


def registry_file(settings):
    """A .reg file (UTF-16 with BOM) setting SETTINGS: strings, and lists
    as multi-strings."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in settings:
        lines.append(f"[{key}]")
        for name, value in values.items():
            if isinstance(value, list):
                data = ("\0".join(value) + "\0\0").encode("utf-16-le")
                lines.append(f'"{name}"=hex(7):' + ",".join(f"{b:02x}" for b in data))
            else:
                lines.append(f'"{name}"="{value}"')
        lines.append("")
    return "\r\n".join(lines).encode("utf-16")


class WineDesktop:
    def __init__(self, prefix, screen="800x600x24"):
        self.wine = find_wine()
        if not self.wine:
            raise RuntimeError("wine64 is not installed")
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            self.server.kill()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        self.prefix = Path(prefix)
        self.env = dict(os.environ, DISPLAY=self.display, WINEPREFIX=str(self.prefix),
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("WAYLAND_DISPLAY", None)
        self.prepare_prefix()

    def prepare_prefix(self):
        # A Wine server of this display's own: a running one may have
        # started Wine's desktop process (and its tray) without a display.
        self.stop_wine()
        self.prefix.mkdir(parents=True, exist_ok=True)
        if not (self.prefix / "system.reg").exists():
            self.run_wine("wineboot", "-i", timeout=300)
        fonts = self.prefix / "drive_c" / "windows" / "Fonts"
        fonts.mkdir(parents=True, exist_ok=True)
        for folder in WINE_FONT_DIRS:
            for font in Path(folder).glob("*.ttf") if Path(folder).is_dir() else ():
                if not (fonts / font.name).exists():
                    shutil.copy(font, fonts / font.name)
        with tempfile.NamedTemporaryFile(suffix=".reg", delete=False) as f:
            f.write(registry_file(PREFIX_SETTINGS))
        try:
            self.run_wine("regedit", "/S", f.name, timeout=120)
        finally:
            os.unlink(f.name)

    def run_wine(self, *args, timeout=60, language="en"):
        env = dict(self.env, LANG=LOCALES[language], LC_ALL=LOCALES[language])
        return subprocess.run([self.wine, *args], env=env, capture_output=True, timeout=timeout)

    def start(self, *args, language="en"):
        env = dict(self.env, LANG=LOCALES[language], LC_ALL=LOCALES[language])
        return subprocess.Popen([self.wine, *args], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def wineserver(self, *args):
        server = Path(self.wine).with_name("wineserver")
        if not server.exists():
            server = shutil.which("wineserver") or "wineserver"
        subprocess.run([str(server), *args], env=self.env, capture_output=True, timeout=120)

    def tool(self, *args):
        return subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=30)

    def screenshot(self, path, box=None):
        """The display as a PNG file at PATH, cut to BOX (left, top, right,
        bottom) when given."""
        xwd = subprocess.run(["xwd", "-root", "-silent"], env=self.env, capture_output=True,
                             timeout=30, check=True).stdout
        width, height, rows = decode_xwd(xwd)
        # Wine's popup menus do not reach the root window's picture without
        # a compositor: each top-level window is taken on its own and laid
        # over it, the lowest first.
        rows = [bytearray(r) for r in rows]
        for window, left, top in reversed(self.top_windows()):
            shot = subprocess.run(["xwd", "-id", window, "-silent"], env=self.env,
                                  capture_output=True, timeout=30)
            if shot.returncode != 0:
                continue
            w, h, pixels = decode_xwd(shot.stdout)
            for y in range(max(0, -top), min(h, height - top)):
                x0, x1 = max(0, -left), min(w, width - left)
                if x1 > x0:
                    rows[top + y][(left + x0) * 3:(left + x1) * 3] = pixels[y][x0 * 3:x1 * 3]
        if box:
            left, top, right, bottom = (max(0, box[0]), max(0, box[1]), min(width, box[2]),
                                        min(height, box[3]))
            rows = [r[left * 3:right * 3] for r in rows[top:bottom]]
            width, height = right - left, bottom - top
        Path(path).write_bytes(encode_png(width, height, rows))

    def top_windows(self):
        """The viewable windows on the root, topmost first: id, left, top."""
        tree = self.tool("xwininfo", "-root", "-children").stdout
        found = []
        for line in tree.splitlines():
            m = re.match(r"\s+(0x[0-9a-f]+) .*\s(\d+)x(\d+)\+(-?\d+)\+(-?\d+)\s+\+(-?\d+)\+(-?\d+)$",
                         line)
            if not m or int(m.group(2)) < 4 or int(m.group(3)) < 4:
                continue
            info = self.tool("xwininfo", "-id", m.group(1)).stdout
            if "IsViewable" in info:
                found.append((m.group(1), int(m.group(6)), int(m.group(7))))
        return found

    def windows(self, *criteria):
        """Ids of the windows that xdotool search finds for CRITERIA."""
        out = self.tool("xdotool", "search", *criteria).stdout
        return [int(w) for w in out.split()]

    def viewable(self, window):
        return "IsViewable" in self.tool("xwininfo", "-id", str(window)).stdout

    def popup_shown(self, at=(60, 40)):
        """Whether a window (a popup menu) shows with its corner AT."""
        return any((left, top) == at for _, left, top in self.top_windows())

    def settle(self, timeout=10):
        """Waits until two pictures of the display in a row are the same."""
        last = [None]

        def same():
            picture = subprocess.run(["xwd", "-root", "-silent"], env=self.env,
                                     capture_output=True, timeout=30).stdout
            unchanged = picture == last[0]
            last[0] = picture
            return unchanged
        return wait_for(same, timeout)

    def stop_wine(self):
        """Ends the Wine server and every program of the prefix, and waits
        until it is gone: a program started meanwhile would join the dying
        server and hang."""
        self.wineserver("-k")
        self.wineserver("-w")

    def stop(self):
        self.stop_wine()
        self.server.terminate()
        try:
            self.server.wait(10)
        except subprocess.TimeoutExpired:
            self.server.kill()


def decode_xwd(data):
    """Width, height and RGB rows of a ZPixmap XWD dump of a true-colour
    screen, 24 or 32 bits per pixel."""
    fields = struct.unpack(">25I", data[:100])
    header_size, _, _, _, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    ncolors = fields[19]
    if bits_per_pixel not in (24, 32):
        raise ValueError(f"xwd: {bits_per_pixel} bits per pixel")
    step = bits_per_pixel // 8
    start = header_size + 12 * ncolors
    rows = []
    for y in range(height):
        line = data[start + y * bytes_per_line:start + y * bytes_per_line + width * step]
        out = bytearray(width * 3)
        if byte_order == 0:  # LSB first: B G R (X)
            out[0::3], out[1::3], out[2::3] = line[2::step], line[1::step], line[0::step]
        else:  # (X) R G B
            skip = step - 3
            out[0::3], out[1::3], out[2::3] = (line[skip::step], line[skip + 1::step],
                                               line[skip + 2::step])
        rows.append(bytes(out))
    return width, height, rows


def encode_png(width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + r for r in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2,
                                                               0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    return predicate()
