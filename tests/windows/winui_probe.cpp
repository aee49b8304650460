// Looks at the tray program's main window from another process, as a user
// would see it: the text or the screen rectangle of one of its controls.
//
// Usage: winui_probe text|rect|enabled CAPTION ID
// Prints the text (UTF-8), "left top right bottom" or 1 or 0; exits 1 when
// the window or the control does not exist.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring widen(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    out.resize(wcslen(out.c_str()));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: winui_probe text|rect|enabled CAPTION ID\n");
        return 2;
    }
    HWND window = FindWindowW(L"#32770", widen(argv[2]).c_str());
    if (!window) return 1;
    HWND control = GetDlgItem(window, atoi(argv[3]));
    if (!control) return 1;
    if (strcmp(argv[1], "enabled") == 0) {
        printf("%d\n", IsWindowEnabled(control) ? 1 : 0);
        return 0;
    }
    if (strcmp(argv[1], "rect") == 0) {
        RECT r;
        GetWindowRect(control, &r);
        printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
        return 0;
    }
    wchar_t text[512] = L"";
    SendMessageTimeoutW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 5000,
                        nullptr);
    char out[2048] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
    printf("%s\n", out);
    return 0;
}
