#include <windows.h>

#include "platform/private_profile.h"
#include "platform/win/win_text.h"

namespace quor {

namespace {
// The calls take a name without a folder for one in the Windows folder: a
// relative path is made full against the current folder first.
std::wstring full_path(const std::string& path) {
    const std::wstring wide = utf8_to_wide(path);
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring full(n, L'\0');
    const DWORD got = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n) return wide;
    full.resize(got);
    return full;
}
}  // namespace

int profile_get_int(const std::string& path, const char* section, const char* key, int def) {
    if (!section || !key) return def;
    return static_cast<int>(GetPrivateProfileIntW(
        utf8_to_wide(section).c_str(), utf8_to_wide(key).c_str(), def, full_path(path).c_str()));
}

int profile_write_string(const std::string& path, const char* section, const char* key,
                         const char* value, std::string* why) {
    // A null key or value would delete the section or the key.
    if (!section || !key || !value) {
        if (why) *why = "nothing to write";
        return -1;
    }
    if (WritePrivateProfileStringW(utf8_to_wide(section).c_str(), utf8_to_wide(key).c_str(),
                                   utf8_to_wide(value).c_str(), full_path(path).c_str()))
        return 0;
    if (why) *why = system_error_text(GetLastError());
    return -1;
}

}  // namespace quor
