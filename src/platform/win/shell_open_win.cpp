#include <windows.h>

#include "platform/shell_open.h"
// windows.h first: the shell's header needs its types.
#include <objbase.h>
#include <shellapi.h>

#include "base/diag_log.h"
#include "platform/win/win_text.h"

namespace quor {

bool shell_open(const std::string& target) {
    if (target.empty()) return false;
    // The shell may hand the target to a COM handler, which wants the
    // calling thread in a single-threaded apartment.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", utf8_to_wide(target).c_str(), nullptr, nullptr, SW_SHOW);
    if (SUCCEEDED(com)) CoUninitialize();
    // Values up to 32 are the shell's error codes.
    const INT_PTR code = reinterpret_cast<INT_PTR>(result);
    if (code > 32) return true;
    quor_log("Quor ERR: The shell cannot open %s (%d).\n", log_text(target).c_str(), int(code));
    return false;
}

}  // namespace quor
