#include <windows.h>

#include "platform/logon_start.h"
#include "platform/win/win_text.h"

namespace quor {

namespace {

constexpr const wchar_t* RUN_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// The Run key of the whole machine, opened with ACCESS; null with the reason.
HKEY open_run_key(REGSAM access, std::string* why) {
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, RUN_KEY, 0, access, &key);
    if (rc == ERROR_SUCCESS) return key;
    if (why) *why = "cannot open the Run key: " + system_error_text(DWORD(rc));
    return nullptr;
}

// TEXT in the ANSI code page; false when a character has no place in it.
bool to_ansi(const std::wstring& text, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), int(text.size()),
                                      nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy) return false;
    out->resize(size_t(n));
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), int(text.size()), out->data(), n,
                        nullptr, &lossy);
    return !lossy;
}

}  // namespace

int set_logon_command(const std::string& name, const std::string& command, std::string* why) {
    HKEY key = open_run_key(KEY_SET_VALUE, why);
    if (!key) return -1;
    const std::wstring data = utf8_to_wide(command);
    const LONG rc = RegSetValueExW(key, utf8_to_wide(name).c_str(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(data.c_str()),
                                   DWORD((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS) return 0;
    if (why) *why = "cannot set the Run value: " + system_error_text(DWORD(rc));
    return -1;
}

int remove_logon_command(const std::string& name, std::string* why) {
    HKEY key = open_run_key(KEY_SET_VALUE, why);
    if (!key) return -1;
    const LONG rc = RegDeleteValueW(key, utf8_to_wide(name).c_str());
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return 0;
    if (why) *why = "cannot delete the Run value: " + system_error_text(DWORD(rc));
    return -1;
}

bool read_logon_command(const std::string& name, std::string* command) {
    HKEY key = open_run_key(KEY_QUERY_VALUE, nullptr);
    if (!key) return false;
    const std::wstring wname = utf8_to_wide(name);
    DWORD type = 0;
    DWORD size = 0;
    bool found = false;
    if (RegQueryValueExW(key, wname.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
        size = DWORD(data.size() * sizeof(wchar_t));
        if (RegQueryValueExW(key, wname.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS) {
            data.resize(size / sizeof(wchar_t));
            while (!data.empty() && data.back() == L'\0') data.pop_back();
            *command = wide_to_utf8(data);
            found = true;
        }
    }
    RegCloseKey(key);
    return found;
}

int write_script_file(const std::string& path, const std::string& text, std::string* why) {
    const std::wstring wide = utf8_to_wide(text);
    std::string bytes;
    if (!to_ansi(wide, &bytes)) {
        // The script host reads UTF-16 text that begins with its byte order mark.
        bytes.assign("\xFF\xFE", 2);
        bytes.append(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
    }
    const HANDLE file = CreateFileW(utf8_to_wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (why) *why = "cannot create " + path + ": " + system_error_text(GetLastError());
        return -1;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (ok && written == bytes.size()) return 0;
    if (why) *why = "cannot write " + path + ": " + system_error_text(ok ? ERROR_DISK_FULL : error);
    return -1;
}

int delete_script_file(const std::string& path, std::string* why) {
    if (DeleteFileW(utf8_to_wide(path).c_str())) return 0;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
    if (why) *why = "cannot delete " + path + ": " + system_error_text(error);
    return -1;
}

}  // namespace quor
