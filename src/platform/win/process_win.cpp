#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/process.h"
#include "platform/win/win_text.h"

namespace quor {

namespace {
// Full path of the running executable; empty when it cannot be read.
std::string executable_path() {
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return wide_to_utf8(std::wstring(buf.data(), n));
        buf.resize(buf.size() * 2);
    }
}

size_t last_separator(const std::string& path) {
    return path.find_last_of("\\/");
}
}  // namespace

std::string executable_name() {
    const std::string full = executable_path();
    if (full.empty()) return "KestrowQuorConnector.exe";
    const size_t sep = last_separator(full);
    return sep == std::string::npos ? full : full.substr(sep + 1);
}

std::string executable_dir() {
    const std::string full = executable_path();
    const size_t sep = last_separator(full);
    return sep == std::string::npos ? std::string() : full.substr(0, sep + 1);
}

// An elevated process: a member of Administrators whose token has the
// group enabled.
bool running_as_root() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &admins))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, admins, &member)) member = FALSE;
    FreeSid(admins);
    return member != FALSE;
}

// Windows has no user ids; the session id tells the users of one machine
// apart where a name must be per user.
unsigned effective_uid() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return unsigned(session);
}

// None: on Windows the program keeps its files beside the executable, the
// place the settings and the log have there.
std::string home_dir() {
    return {};
}

void exit_now(int status) {
    _exit(status);
}

}  // namespace quor
