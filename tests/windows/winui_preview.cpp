// Shows one piece of the native front end for the screenshot checks under
// Wine: the main window in a connection state, the settings dialog, the
// about box or the tray menu, with the program's resources and texts but no
// phone link behind them. With --geometry FILE it writes, once the dialog on
// top is shown, each control's rectangle in pixels of the dialog's client
// area and the dialog's base units (MapDialogRect), for the checks to
// compare with the layouts in dialog units.
//
// Usage: winui_preview main STATE | menu STATE [logs] | settings | about
//                      [--geometry FILE]
// The menu's items (id, greyed, disabled, text) go to FILE.menu.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "settings/config.h"
#include "settings/ini_store.h"
#include "shell/state_transition.h"
#include "win_ui/win_about_dlg.h"
#include "win_ui/win_main_window.h"

// The settings dialog shows the defaults of an empty config.ini; nothing is
// stored.
int ReadConfigValue(const std::string&, const char*, int def) {
    return def;
}
int ini_write_string(const std::string&, const char*, const char*, const char*) {
    return 0;
}

namespace {

using namespace quor;

constexpr UINT_PTR GEOMETRY_TIMER = 0x5151;
constexpr int COUNTDOWN_SHOWN = 15;
// Where the tray menu opens.
constexpr int MENU_X = 60;
constexpr int MENU_Y = 40;

std::string g_geometry_file;

BOOL CALLBACK find_dialog(HWND hwnd, LPARAM found) {
    wchar_t cls[64];
    if (IsWindowVisible(hwnd) && GetClassNameW(hwnd, cls, 64) && wcscmp(cls, L"#32770") == 0 &&
        !GetWindow(hwnd, GW_ENABLEDPOPUP)) {
        *reinterpret_cast<HWND*>(found) = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct GeometryOut {
    FILE* file;
    HWND dialog;
};

// The width in pixels of the widest line of HWND's text in its font.
long text_width(HWND hwnd, const std::wstring& text) {
    HDC dc = GetDC(hwnd);
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
    HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
    long widest = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        // "&" marks the accelerator and is not drawn; "&&" draws one.
        std::wstring shown;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == L'&' && i + 1 < line.size()) ++i;
            shown += line[i];
        }
        SIZE size{};
        GetTextExtentPoint32W(dc, shown.c_str(), static_cast<int>(shown.size()), &size);
        if (size.cx > widest) widest = size.cx;
        start = end + 1;
    }
    if (old) SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    return widest;
}

BOOL CALLBACK write_control(HWND hwnd, LPARAM param) {
    const GeometryOut* out = reinterpret_cast<const GeometryOut*>(param);
    if (GetParent(hwnd) != out->dialog) return TRUE;  // parts of a control
    RECT r;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(nullptr, out->dialog, reinterpret_cast<POINT*>(&r), 2);
    wchar_t cls[64] = L"";
    GetClassNameW(hwnd, cls, 64);
    wchar_t text[256] = L"";
    GetWindowTextW(hwnd, text, 256);
    std::wstring shown = text;
    for (wchar_t& c : shown)
        if (c == L'\n') c = L'|';
    fprintf(out->file, "control %d %s %d %d %ld %ld %ld %ld %ld %s\n", GetDlgCtrlID(hwnd),
            narrow(cls).c_str(), IsWindowVisible(hwnd) ? 1 : 0, IsWindowEnabled(hwnd) ? 1 : 0,
            r.left, r.top, r.right - r.left, r.bottom - r.top, text_width(hwnd, text),
            narrow(shown).c_str());
    return TRUE;
}

// Writes the geometry of the dialog on top of this thread, once it shows.
void CALLBACK write_geometry(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), find_dialog, reinterpret_cast<LPARAM>(&dialog));
    if (!dialog) return;
    KillTimer(nullptr, timer);
    const std::string partial = g_geometry_file + ".part";
    FILE* f = fopen(partial.c_str(), "w");
    if (!f) return;
    RECT units{0, 0, 4, 8};
    MapDialogRect(dialog, &units);
    RECT client;
    GetClientRect(dialog, &client);
    wchar_t caption[256] = L"";
    GetWindowTextW(dialog, caption, 256);
    RECT frame;
    GetWindowRect(dialog, &frame);
    POINT origin{0, 0};
    ClientToScreen(dialog, &origin);
    fprintf(f, "dialog %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %s\n", units.right, units.bottom,
            client.right, client.bottom, frame.left, frame.top, frame.right, frame.bottom, origin.x,
            origin.y, narrow(caption).c_str());
    GeometryOut out{f, dialog};
    EnumChildWindows(dialog, write_control, reinterpret_cast<LPARAM>(&out));
    fclose(f);
    rename(partial.c_str(), g_geometry_file.c_str());
}

// The view of one change of state, with the defaults of the settings and
// the re-pair armed.
StateEffects effects_of(unsigned prev, unsigned next) {
    StateSettings settings;
    settings.auto_repair = 1;
    settings.repair_time_s = COUNTDOWN_SHOWN;
    StateConditions now;
    now.repair_armed = 1;
    now.countdown = COUNTDOWN_SHOWN;
    const StateTransition plan = plan_state_change(prev, next, settings, now);
    StateEffects fx;
    fx.address_enabled = plan.address_enabled;
    fx.auto_enabled = plan.auto_enabled;
    fx.pair_enabled = plan.pair_enabled;
    if (plan.pair_text) fx.pair_text = LoadString(plan.pair_text);
    if (!plan.status) return fx;
    std::string status = LoadString(*plan.status);
    if (plan.status_seconds) status += "(" + std::to_string(*plan.status_seconds) + "s)";
    fx.status = status;
    fx.icon = plan.icon;
    fx.tip = LoadString(IDS_TRAY_TIP) + status;
    return fx;
}

// Shows STATE as a pairing reaches it from state 0: the states on the way
// set the controls that STATE leaves as they are.
void show_state(CWinMainWindow& window, unsigned state) {
    std::vector<unsigned> path;
    switch (state) {
        case STATE_PAIRING:
            path = {STATE_PAIRING};
            break;
        case STATE_PAIRED_SIGNED_OUT:
            path = {STATE_PAIRING, STATE_PAIRED_SIGNED_OUT};
            break;
        case STATE_PAIRED_SIGNED_IN:
            path = {STATE_PAIRING, STATE_PAIRED_SIGNED_OUT, STATE_PAIRED_SIGNED_IN};
            break;
        case STATE_UNPAIRING:
            path = {STATE_PAIRING, STATE_PAIRED_SIGNED_OUT, STATE_UNPAIRING};
            break;
        case STATE_WAITING:
            // A drop: back to 0 with the re-pair armed, which counts down.
            path = {STATE_PAIRING, STATE_NOT_PAIRED, STATE_WAITING};
            break;
        case STATE_FINDING_ADDRESS:
            path = {STATE_PAIRING, STATE_FINDING_ADDRESS};
            break;
        default:
            break;
    }
    StateEffects initial;
    initial.status = LoadString(IDS_NOT_PAIRED);
    initial.icon = ICON_NOT_PAIRED;
    initial.tip = *initial.status;
    window.apply_state(initial);
    unsigned prev = STATE_NOT_PAIRED;
    for (const unsigned next : path) {
        window.apply_state(effects_of(prev, next));
        prev = next;
    }
}

// The tray menu's items as shown in STATE: id, state flags, text.
void write_menu(const std::string& path, bool with_logs, unsigned state) {
    HMENU menu = load_tray_menu(with_logs, state, false);
    FILE* f = fopen(path.c_str(), "w");
    if (!menu || !f) {
        if (f) fclose(f);
        return;
    }
    HMENU sub = GetSubMenu(menu, 0);
    for (int i = 0; i < GetMenuItemCount(sub); ++i) {
        const UINT id = GetMenuItemID(sub, i);
        const UINT flags = GetMenuState(sub, i, MF_BYPOSITION);
        wchar_t text[256] = L"";
        GetMenuStringW(sub, i, text, 256, MF_BYPOSITION);
        fprintf(f, "item %u %s %s %s\n", id, (flags & MF_GRAYED) ? "grayed" : "-",
                (flags & MF_DISABLED) ? "disabled" : "-", narrow(text).c_str());
    }
    fclose(f);
    DestroyMenu(menu);
}

CWinMainWindow* g_window = nullptr;
unsigned g_state = STATE_NOT_PAIRED;
bool g_logs = false;

// The tray menu as a right click on the icon opens it (menu 130 stands for
// the click with Ctrl held).
void CALLBACK open_menu(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    g_window->Tray().ShowMenu(g_logs, g_state, false);
}

int usage() {
    fprintf(stderr,
            "usage: winui_preview main STATE | menu STATE [logs] | settings | about "
            "[--geometry FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    set_language(language_of_user());
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_INTERNET_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    std::string what;
    unsigned state = STATE_NOT_PAIRED;
    bool logs = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--geometry") == 0 && i + 1 < argc)
            g_geometry_file = argv[++i];
        else if (strcmp(argv[i], "logs") == 0)
            logs = true;
        else if (what.empty())
            what = argv[i];
        else
            state = static_cast<unsigned>(atoi(argv[i]));
    }
    if (state > STATE_FINDING_ADDRESS) return usage();
    if (!g_geometry_file.empty()) SetTimer(nullptr, GEOMETRY_TIMER, 100, write_geometry);

    CParameterDlg::Store store;
    store.load = [](ParameterValues* v) { load_parameters("config.ini", v); };
    store.save = [](const ParameterValues&, const std::function<void()>&) { return 0; };
    if (what == "settings") {
        CParameterDlg dlg(
            store, [](HWND owner, const std::string& text, const std::string& caption, UINT style) {
                return MessageBoxW(owner, widen(text).c_str(), widen(caption).c_str(), style);
            });
        dlg.DoModal(nullptr);
        return 0;
    }
    if (what == "about") {
        CHyperLink::SetLinkCursor(static_cast<HCURSOR>(LoadImageW(
            resource_module(), MAKEINTRESOURCEW(132), IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE)));
        CAboutDlg dlg;
        dlg.DoModal(nullptr);
        return 0;
    }
    if (what != "main" && what != "menu") return usage();
    if (what == "menu" && !g_geometry_file.empty())
        write_menu(g_geometry_file + ".menu", logs, state);

    CWinMainWindow* window = nullptr;
    CWinMainWindow::Handlers handlers;
    handlers.state = [&state] { return state; };
    handlers.init = [&] {
        window->init_window();
        show_state(*window, state);
        if (what == "menu") SetTimer(nullptr, 0, 200, open_menu);
    };
    handlers.cancel = [&] { window->end_dialog(); };
    handlers.command = [&](int id) {
        if (id == ID_EXIT) window->end_dialog();
    };
    handlers.sys_command = [&](int id) {
        if (id == SC_MINIMIZE) window->show_hide(1);
        if ((id & 0xFFF0) == ID_ABOUT_SYSMENU) window->run_about_box();
    };
    CWinMainWindow main_window(handlers, store);
    window = &main_window;
    g_window = &main_window;
    g_state = state;
    g_logs = logs;
    if (what == "menu") SetCursorPos(MENU_X, MENU_Y);
    main_window.Run();
    return 0;
}
