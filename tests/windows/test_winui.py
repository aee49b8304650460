#!/usr/bin/env python3
"""The native Windows front end under Wine on an Xvfb display: the main
window in each connection state, the settings dialog, the about box and the
tray menu in English, Korean and Simplified Chinese (Wine's language set per
run). Each view's controls are compared with the layouts in dialog units
(converted with the dialog's own base units, MapDialogRect), its texts with
the string tables, and every text must fit its control. Screenshots go to
$QUOR_SCREENSHOT_DIR (default build-windows/screenshots).

Environment: QUOR_WIN_BUILD, the Windows build folder (default
build-windows); WINEPREFIX, the prefix to use (default QUOR_WIN_BUILD/wine-prefix).
"""
import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import wine_desktop as wd  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QUOR_WIN_BUILD") or ROOT / "build-windows")
PREVIEW = BUILD / "quor-winui-preview.exe"
PROBE = BUILD / "quor-winui-probe.exe"
SHOTS = Path(os.environ.get("QUOR_SCREENSHOT_DIR") or BUILD / "screenshots")
PREFIX = Path(os.environ.get("WINEPREFIX") or BUILD / "wine-prefix")
START_TIMEOUT = 90

LANGUAGES = ("en", "ko", "zh")
STATIC, BUTTON, EDIT, IP = "Static", "Button", "Edit", "SysIPAddress32"
HIDDEN = "hidden"
FITS = "fits"  # a link sized to its text: it starts where the layout says, no wider

# The layouts in dialog units: (id, class, x, y, cx, cy[, HIDDEN | FITS]) in
# template order, and the client size.
MAIN_EN = ((201, 103), [
    (1, BUTTON, 50, 82, 102, 14), (-1, STATIC, 20, 49, 33, 8), (1000, IP, 57, 47, 100, 12),
    (-1, STATIC, 10, 64, 45, 8), (-1, BUTTON, 7, 36, 187, 44), (-1, STATIC, 7, 6, 187, 29),
    (1021, BUTTON, 7, 82, 27, 14, HIDDEN), (1022, BUTTON, 167, 82, 27, 14, HIDDEN),
    (1001, STATIC, 57, 63, 100, 12), (1030, BUTTON, 162, 48, 28, 10)])
MAIN_KO = ((201, 103), [
    (1, BUTTON, 50, 84, 102, 14), (-1, STATIC, 20, 51, 33, 8), (1000, IP, 57, 49, 100, 12),
    (-1, STATIC, 18, 66, 39, 8), (-1, BUTTON, 7, 38, 187, 44), (-1, STATIC, 7, 6, 187, 29),
    (1021, BUTTON, 7, 84, 27, 14, HIDDEN), (1022, BUTTON, 167, 84, 27, 14, HIDDEN),
    (1001, STATIC, 57, 65, 100, 12), (1030, BUTTON, 162, 50, 28, 10)])
MAIN_ZH = ((201, 125), [
    (1, BUTTON, 50, 101, 100, 17), (-1, STATIC, 22, 62, 25, 8), (1000, IP, 50, 59, 105, 14),
    (-1, STATIC, 14, 81, 33, 8), (-1, BUTTON, 7, 44, 187, 54),
    (1021, BUTTON, 7, 102, 27, 16, HIDDEN), (1022, BUTTON, 159, 102, 27, 16, HIDDEN),
    (1001, STATIC, 50, 79, 105, 14), (1029, BUTTON, 169, 78, 13, 13, HIDDEN),
    (1030, BUTTON, 162, 61, 27, 10), (-1, STATIC, 7, 7, 187, 33)])
ABOUT_EN_KO = ((201, 106), [
    (1004, STATIC, 14, 88, 46, 11, FITS), (1, BUTTON, 144, 85, 50, 14),
    (-1, STATIC, 7, 7, 187, 29), (-1, STATIC, 7, 38, 187, 45)])
ABOUT_ZH = ((201, 123), [
    (1004, STATIC, 14, 104, 46, 11, FITS), (1, BUTTON, 144, 98, 50, 16),
    (-1, STATIC, 7, 44, 187, 52), (-1, STATIC, 7, 7, 187, 33)])
SETTINGS_EN_KO = ((214, 174), [
    (1018, BUTTON, 62, 154, 35, 13), (1008, BUTTON, 117, 154, 35, 13),
    (1009, BUTTON, 13, 18, 173, 10), (1010, BUTTON, 13, 32, 192, 10),
    (1011, BUTTON, 13, 46, 181, 10), (1012, BUTTON, 13, 60, 141, 10),
    (-1, STATIC, 15, 91, 66, 8), (1013, EDIT, 170, 89, 27, 12),
    (-1, STATIC, 15, 107, 91, 8), (1014, EDIT, 170, 105, 27, 12),
    (-1, STATIC, 15, 123, 65, 8), (1015, EDIT, 170, 121, 27, 12),
    (-1, BUTTON, 7, 7, 200, 145), (-1, STATIC, 15, 139, 72, 8),
    (1019, EDIT, 170, 137, 27, 12), (1028, BUTTON, 13, 74, 141, 10)])
SETTINGS_ZH = ((171, 123), [
    (1018, BUTTON, 42, 102, 35, 14), (1008, BUTTON, 97, 102, 35, 14),
    (1009, BUTTON, 14, 20, 56, 10), (1010, BUTTON, 82, 20, 72, 10),
    (1011, BUTTON, 82, 34, 80, 10), (1012, BUTTON, 14, 34, 64, 10),
    (-1, STATIC, 14, 65, 45, 8), (1013, EDIT, 63, 63, 27, 14),
    (-1, STATIC, 94, 65, 33, 8), (1014, EDIT, 130, 63, 27, 14),
    (-1, STATIC, 14, 85, 45, 8), (1015, EDIT, 63, 83, 27, 14),
    (-1, BUTTON, 7, 7, 157, 93), (-1, STATIC, 94, 85, 33, 8),
    (1019, EDIT, 130, 83, 27, 14), (1028, BUTTON, 14, 48, 104, 10)])
LAYOUTS = {
    "main": {"en": MAIN_EN, "ko": MAIN_KO, "zh": MAIN_ZH},
    "about": {"en": ABOUT_EN_KO, "ko": ABOUT_EN_KO, "zh": ABOUT_ZH},
    "settings": {"en": SETTINGS_EN_KO, "ko": SETTINGS_EN_KO, "zh": SETTINGS_ZH},
}
CAPTIONS = {
    "main": {"en": "Kestrow Quor Connector", "ko": "Kestrow Quor 커넥터", "zh": "KestrowQuor"},
    "about": {"en": "About Kestrow Quor Connector", "ko": "Kestrow Quor 커넥터에 대해서",
              "zh": "关于KestrowQuor"},
    "settings": {"en": "Settings", "ko": "설정", "zh": "设置"},
}

# Per state: the status line, the Pair button's text and whether it is
# enabled (the count down shows 15 seconds left).
PAIR = {"en": "Pair", "ko": "연결", "zh": "配对"}
UNPAIR = {"en": "Unpair", "ko": "연결취소", "zh": "取消配对"}
STOP = {"en": "Stop", "ko": "중지", "zh": "停止"}
STATES = {
    0: ({"en": "Not Paired", "ko": "연결 안됨", "zh": "未配对"}, PAIR, True),
    1: ({"en": "Pairing...", "ko": "연결중…", "zh": "正在配对..."}, PAIR, False),
    2: ({"en": "Paired(Sign Out)", "ko": "연결됨(미등록)", "zh": "已配对（未登录）"}, UNPAIR, True),
    3: ({"en": "Paired(Sign In)", "ko": "연결됨(등록됨)", "zh": "已配对（已登录）"}, UNPAIR, True),
    4: ({"en": "Unpairing...", "ko": "연결취소중…", "zh": "正在取消配对..."}, UNPAIR, False),
    5: ({"en": "Waiting...(15s)", "ko": "대기중…(15s)", "zh": "等待中...(15s)"}, STOP, True),
    6: ({"en": "Started", "ko": "시작됨", "zh": "已启动"}, STOP, True),
}

# The tray menu 130 (with the log items) in state 2, and what state 0 changes.
MENU_LOGS = {
    "en": ["Show/Hide(&S)", "", "Start Log Service(&K)", "Phone Logs->PC(&Z)",
           "Phone Logs->Phone(&R)", "", "Unpair(&U)", "Sign in by Lync(&L)", "", "Setting(&P)",
           "", "About(&A)", "", "Exit(&E)"],
    "ko": ["보이기/숨기기(&S)", "", "로그 서비스를 시작합니다(&K)", "전화 로그->PC(&Z)",
           "전화 로그->전화(&R)", "", "연결취소(&U)", "은 Lync에 로그인(&L)", "", "설정(&P)", "",
           "대해서(&A)", "", "나가기(&E)"],
    "zh": ["显示/隐藏(&S)", "", "开启日志服务(&K)", "话机日志->电脑(&Z)", "话机日志->话机(&R)", "",
           "取消配对(&U)", "联动登录(&L)", "", "设置(&P)", "", "关于(&A)", "", "退出(&E)"],
}
MENU_PAIR_ITEM = {"en": "Pair && Sign in(&G)", "ko": "연결 && 등록(&G)", "zh": "配对&&登录(&G)"}
PAIRED_ONLY_ITEMS = (32780,)

# Pixels a check box's square and its gap take before the text.
CHECK_BOX_ROOM = 16


def parse_geometry(text):
    dialog, controls = None, []
    for line in text.splitlines():
        parts = line.split(" ")
        if parts[0] == "dialog":
            dialog = {"base": (int(parts[1]), int(parts[2])), "client": (int(parts[3]), int(parts[4])),
                      "frame": tuple(int(p) for p in parts[5:9]),
                      "origin": (int(parts[9]), int(parts[10])), "caption": " ".join(parts[11:])}
        elif parts[0] == "control":
            controls.append({"id": int(parts[1]), "class": parts[2], "visible": parts[3] == "1",
                             "enabled": parts[4] == "1",
                             "rect": tuple(int(p) for p in parts[5:9]), "text_width": int(parts[9]),
                             "text": " ".join(parts[10:])})
    return dialog, controls


def to_pixels(base, x, y, cx, cy):
    """Dialog units to pixels as the dialog manager places a control: each
    value on its own, rounded to the nearest pixel."""
    bx, by = base

    def scale(v, b, d):
        return (v * b + d // 2) // d
    return scale(x, bx, 4), scale(y, by, 8), scale(cx, bx, 4), scale(cy, by, 8)


def setUpModule():
    # The preview writes its geometry files here and cannot make the folder.
    SHOTS.mkdir(parents=True, exist_ok=True)


class NativeFrontEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not PREVIEW.exists():
            raise unittest.SkipTest(f"{PREVIEW} is not built")
        cls.desktop = wd.WineDesktop(PREFIX)
        cls.views = {}
        try:
            for language in LANGUAGES:
                for state in STATES:
                    cls.show(language, "main", str(state))
                cls.show(language, "settings")
                cls.show(language, "about")
                cls.show(language, "menu", "2", "logs")
                cls.show(language, "menu", "0")
        finally:
            cls.desktop.stop()

    @classmethod
    def show(cls, language, *view):
        name = f"{language}_" + "_".join(view)
        geometry = SHOTS / f"{name}.geometry"
        for stale in (geometry, Path(f"{geometry}.menu")):
            stale.unlink(missing_ok=True)
        program = cls.desktop.start(str(PREVIEW), *view, "--geometry", str(geometry),
                                    language=language)
        try:
            if not wd.wait_for(geometry.exists, START_TIMEOUT):
                raise AssertionError(f"{name}: the dialog did not show")
            dialog, controls = parse_geometry(geometry.read_text(encoding="utf-8"))
            menu = None
            if view[0] == "menu":
                if not wd.wait_for(cls.desktop.popup_shown, START_TIMEOUT):
                    raise AssertionError(f"{name}: the tray menu did not open")
                menu_file = Path(f"{geometry}.menu")
                menu = [line.split(" ", 4) for line in
                        menu_file.read_text(encoding="utf-8").splitlines()]
            left, top, right, bottom = dialog["frame"]
            cls.desktop.settle()
            cls.desktop.screenshot(SHOTS / f"{name}.png",
                                   (0, 0, max(right, 260) + 8, max(bottom, 260) + 8))
            cls.views[name] = (dialog, controls, menu)
        finally:
            program.kill()
            program.wait()

    def view(self, language, *view):
        return self.views[f"{language}_" + "_".join(view)]

    def test_dialogs_follow_their_layouts(self):
        for kind, view in (("main", ("main", "0")), ("settings", ("settings",)),
                           ("about", ("about",))):
            for language in LANGUAGES:
                with self.subTest(kind=kind, language=language):
                    dialog, controls, _ = self.view(language, *view)
                    (cx, cy), layout = LAYOUTS[kind][language]
                    self.assertEqual(dialog["caption"], CAPTIONS[kind][language])
                    base = dialog["base"]
                    self.assertEqual(dialog["client"], to_pixels(base, 0, 0, cx, cy)[2:])
                    self.assertEqual(len(controls), len(layout),
                                     [(c["id"], c["text"]) for c in controls])
                    for control, expected in zip(controls, layout):
                        cid, cls_name, x, y, w, h, *flags = expected
                        where = f"control {cid} at {x},{y}"
                        self.assertEqual((control["id"], control["class"]), (cid, cls_name), where)
                        self.assertEqual(control["visible"], HIDDEN not in flags, where)
                        want = to_pixels(base, x, y, w, h)
                        got = control["rect"]
                        if FITS in flags:
                            self.assertEqual(got[:2], want[:2], where)
                            self.assertLessEqual(got[2], want[2], where)
                            self.assertGreaterEqual(got[2], control["text_width"], where)
                        else:
                            self.assertEqual(got, want, where)

    def test_texts_fit_their_controls(self):
        for name, (dialog, controls, _) in self.views.items():
            for control in controls:
                if not control["visible"] or control["class"] not in (STATIC, BUTTON):
                    continue
                if not control["text"] or control["text"].startswith("\uffff"):
                    continue  # a picture
                room = control["rect"][2]
                if control["class"] == BUTTON and control["id"] not in (1, 1008, 1018, -1):
                    room -= CHECK_BOX_ROOM  # check boxes
                # Every line on its own line: a static text that wraps breaks
                # words apart (Hangul between any two syllables).
                with self.subTest(view=name, text=control["text"]):
                    self.assertLessEqual(control["text_width"], room)

    def test_main_window_shows_each_state(self):
        for language in LANGUAGES:
            for state, (status, button, enabled) in STATES.items():
                with self.subTest(language=language, state=state):
                    _, controls, _ = self.view(language, "main", str(state))
                    by_id = {c["id"]: c for c in controls if c["id"] != -1}
                    self.assertEqual(by_id[1001]["text"], status[language])
                    self.assertEqual(by_id[1]["text"], button[language])
                    self.assertEqual(by_id[1]["enabled"], enabled)
                    # The address and the Auto box can be changed only while
                    # not paired (the count down has left state 0 too).
                    idle = state == 0
                    self.assertEqual(by_id[1000]["enabled"], idle)
                    self.assertEqual(by_id[1030]["enabled"], idle)

    def test_tray_menu_follows_the_state(self):
        for language in LANGUAGES:
            with self.subTest(language=language):
                _, _, paired = self.view(language, "menu", "2", "logs")
                self.assertEqual([item[4] for item in paired], MENU_LOGS[language])
                self.assertEqual([item[4] for item in paired
                                  if item[4] and (item[2], item[3]) != ("-", "-")], [])
                _, _, idle = self.view(language, "menu", "0")
                texts = {int(item[1]): item[4] for item in idle}
                flags = {int(item[1]): (item[2], item[3]) for item in idle}
                self.assertNotIn(32784, texts)
                self.assertEqual(texts[32773], MENU_PAIR_ITEM[language])
                for item in PAIRED_ONLY_ITEMS:
                    self.assertEqual(flags[item], ("grayed", "disabled"))


class TrayIcon(unittest.TestCase):
    """With an XEmbed notification area (trayer) on the display, the icon
    docks there; a right click opens the tray menu, a left click hides the
    window and another shows it again."""

    def setUp(self):
        if not PREVIEW.exists():
            raise unittest.SkipTest(f"{PREVIEW} is not built")
        self.desktop = wd.WineDesktop(PREFIX)
        self.addCleanup(self.desktop.stop)
        self.tray = subprocess.Popen(
            ["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
             "120", "--height", "32", "--SetDockType", "false"],
            env=self.desktop.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.tray.wait)
        self.addCleanup(self.tray.kill)
        self.assertTrue(wd.wait_for(lambda: self.desktop.windows("--class", "trayer"), 30),
                        "trayer did not start")

    def docked_icon(self):
        """The icon's window inside the tray's panel: id, centre x, y."""
        for panel in self.desktop.windows("--class", "trayer"):
            tree = self.desktop.tool("xwininfo", "-id", str(panel), "-tree").stdout
            for m in re.finditer(r"(0x[0-9a-f]+) .*\(\"explorer\.exe\".*\s(\d+)x(\d+)"
                                 r"\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)", tree):
                w, h, x, y = (int(m.group(i)) for i in range(2, 6))
                if w > 4 and h > 4:
                    return m.group(1), x + w // 2, y + h // 2
        return None

    def main_window(self):
        found = self.desktop.windows("--name", "^Kestrow Quor Connector$")
        return found[0] if found else None

    def test_icon_docks_and_answers_clicks(self):
        program = self.desktop.start(str(PREVIEW), "main", "2")
        self.addCleanup(program.wait)
        self.addCleanup(program.kill)
        window = wd.wait_for(self.main_window, START_TIMEOUT)
        self.assertTrue(window, "the main window did not show")
        icon = wd.wait_for(self.docked_icon, START_TIMEOUT)
        self.assertTrue(icon, "the icon did not dock in the tray")
        _, x, y = icon
        before = {w for w, _, _ in self.desktop.top_windows()}
        self.desktop.tool("xdotool", "mousemove", str(x), str(y), "click", "3")
        menu = wd.wait_for(lambda: [w for w, _, _ in self.desktop.top_windows()
                                    if w not in before], START_TIMEOUT)
        self.assertTrue(menu, "the tray menu did not open")
        self.desktop.settle()
        self.desktop.screenshot(SHOTS / "en_tray_menu.png")
        self.desktop.tool("xdotool", "key", "Escape")
        self.assertTrue(wd.wait_for(lambda: not self.desktop.viewable(menu[0]), START_TIMEOUT),
                        "the tray menu did not close")

        self.desktop.tool("xdotool", "mousemove", str(x), str(y), "click", "1")
        self.assertTrue(wd.wait_for(lambda: not self.desktop.viewable(window), START_TIMEOUT),
                        "a left click did not hide the window")
        # The next click on the icon where it is now, once the display is
        # still, so that it is neither half of a double click nor aimed at
        # where the tray had the icon before.
        self.desktop.settle()
        _, x, y = wd.wait_for(self.docked_icon, START_TIMEOUT)
        self.desktop.tool("xdotool", "mousemove", str(x), str(y), "click", "1")
        self.assertTrue(wd.wait_for(lambda: self.desktop.viewable(window), START_TIMEOUT),
                        "another left click did not show the window")


def colours(desktop, box):
    """Pixels in BOX (left, top, right, bottom on the screen) that are the
    link's blue and its hover red, and the rows with a run of red as long as
    half the box (the underline)."""
    shot = subprocess.run(["xwd", "-root", "-silent"], env=desktop.env, capture_output=True,
                          timeout=30, check=True).stdout
    _, _, rows = wd.decode_xwd(shot)
    blue = red = underlined = 0
    left, top, right, bottom = box
    for row in rows[top:bottom]:
        run = 0
        for x in range(left, right):
            r, g, b = row[x * 3:x * 3 + 3]
            if b > 150 and r < 100 and g < 100:
                blue += 1
            if r > 150 and g < 100 and b < 100:
                red += 1
                run += 1
        if run >= (right - left) // 2:
            underlined += 1
    return blue, red, underlined


class AboutLink(unittest.TestCase):
    """The about box's "Contact us": blue, red and underlined only while the
    pointer is over it."""

    def test_link_turns_red_and_underlined_under_the_pointer(self):
        if not PREVIEW.exists():
            raise unittest.SkipTest(f"{PREVIEW} is not built")
        desktop = wd.WineDesktop(PREFIX)
        self.addCleanup(desktop.stop)
        geometry = SHOTS / "en_about_link.geometry"
        geometry.unlink(missing_ok=True)
        program = desktop.start(str(PREVIEW), "about", "--geometry", str(geometry))
        self.addCleanup(program.wait)
        self.addCleanup(program.kill)
        self.assertTrue(wd.wait_for(geometry.exists, START_TIMEOUT), "the about box did not show")
        dialog, controls = parse_geometry(geometry.read_text(encoding="utf-8"))
        link = next(c for c in controls if c["id"] == 1004)
        x, y, w, h = link["rect"]
        ox, oy = dialog["origin"]
        box = (ox + x, oy + y, ox + x + w, oy + y + h)
        desktop.tool("xdotool", "mousemove", "0", "0")
        desktop.settle()
        blue, red, underlined = colours(desktop, box)
        self.assertGreater(blue, 0)
        self.assertEqual((red, underlined), (0, 0))

        desktop.tool("xdotool", "mousemove", str(box[0] + 3), str((box[1] + box[3]) // 2))
        hovered = wd.wait_for(lambda: colours(desktop, box)[2] > 0, START_TIMEOUT)
        self.assertTrue(hovered, "no red underline under the pointer")
        desktop.screenshot(SHOTS / "en_about_link_hover.png", (0, 0, 420, 300))
        self.assertEqual(colours(desktop, box)[0], 0)

        desktop.tool("xdotool", "mousemove", "0", "0")
        self.assertTrue(wd.wait_for(lambda: colours(desktop, box)[1:] == (0, 0), START_TIMEOUT),
                        "the link stayed red after the pointer left")


class SettingsDialog(unittest.TestCase):
    """The re-pair check box enables the interval and count edits exactly
    while it is checked."""

    def probe(self, *args):
        try:
            r = self.desktop.run_wine(str(PROBE), *args, timeout=30)
        except subprocess.TimeoutExpired:
            return None  # asked again by the caller's wait
        return r.stdout.decode("utf-8", "replace").strip() if r.returncode == 0 else None

    def test_repair_box_enables_its_edits(self):
        if not PREVIEW.exists() or not PROBE.exists():
            raise unittest.SkipTest(f"{PREVIEW} or {PROBE} is not built")
        self.desktop = wd.WineDesktop(PREFIX)
        self.addCleanup(self.desktop.stop)
        program = self.desktop.start(str(PREVIEW), "settings")
        self.addCleanup(program.wait)
        self.addCleanup(program.kill)

        def edits():
            return (self.probe("enabled", "Settings", "1013"),
                    self.probe("enabled", "Settings", "1014"))
        # The defaults have the re-pair on.
        self.assertTrue(wd.wait_for(lambda: edits() == ("1", "1"), START_TIMEOUT),
                        f"the edits are not enabled at first: {edits()}")
        left, top, right, bottom = (int(v) for v in
                                    self.probe("rect", "Settings", "1012").split())
        at = (str(left + 6), str((top + bottom) // 2))
        self.desktop.tool("xdotool", "mousemove", *at, "click", "1")
        self.assertTrue(wd.wait_for(lambda: edits() == ("0", "0"), START_TIMEOUT),
                        f"clearing the box left the edits {edits()}")
        self.assertEqual(self.probe("enabled", "Settings", "1015"), "1")
        self.desktop.tool("xdotool", "mousemove", *at, "click", "1")
        self.assertTrue(wd.wait_for(lambda: edits() == ("1", "1"), START_TIMEOUT),
                        f"checking the box left the edits {edits()}")


if __name__ == "__main__":
    unittest.main()
