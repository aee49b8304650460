#include <windows.h>

#include "platform/dynlib.h"
#include "platform/win/win_text.h"

namespace quor {

std::string dynlib_file_name(const char* stem) {
    return std::string(stem) + ".dll";
}

void* dynlib_open(const char* path, std::string* why) {
    // The DLL's own folder is searched for what it needs, and no error box
    // stops the program when it cannot load.
    const UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE lib =
        LoadLibraryExW(utf8_to_wide(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = GetLastError();
    SetErrorMode(old_mode);
    if (lib == nullptr) *why = std::string(path) + ": " + system_error_text(error);
    return reinterpret_cast<void*>(lib);
}

void* dynlib_symbol(void* lib, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

void dynlib_close(void* lib) {
    if (lib != nullptr) FreeLibrary(static_cast<HMODULE>(lib));
}

}  // namespace quor
