#include <windows.h>

#include "platform/http_get.h"
// windows.h first: the internet calls' header needs its types.
#include <wininet.h>

#include "platform/win/win_text.h"

namespace quor {

namespace {

constexpr DWORD BLOCK_SIZE = 10240;

// An internet handle closed when it goes.
struct NetHandle {
    HINTERNET h = nullptr;
    ~NetHandle() {
        if (h) InternetCloseHandle(h);
    }
};

void set_timeout(HINTERNET h, DWORD option, long ms) {
    DWORD value = DWORD(ms);
    InternetSetOptionW(h, option, &value, sizeof(value));
}

std::string last_error() {
    const DWORD code = GetLastError();
    if (code < INTERNET_ERROR_BASE || code > INTERNET_ERROR_LAST) return system_error_text(code);
    // The internet calls' own codes have their texts in their library.
    wchar_t* buf = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   GetModuleHandleW(L"wininet.dll"), code, 0,
                                   reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::string text = n && buf ? wide_to_utf8(std::wstring(buf, n)) : std::string();
    if (buf) LocalFree(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "internet error " + std::to_string(code) : text;
}

}  // namespace

int http_get(const std::string& url, const HttpGetOptions& options,
             const std::function<bool(const char* data, size_t size)>& sink, std::string* why) {
    auto fail = [why](const std::string& reason) {
        if (why) *why = reason;
        return -1;
    };
    if (url.compare(0, 7, "http://") != 0) return fail("not an http:// address");
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(options.transfer_timeout_ms);
    NetHandle session;
    session.h = InternetOpenW(utf8_to_wide(options.agent).c_str(), INTERNET_OPEN_TYPE_PRECONFIG,
                              nullptr, nullptr, 0);
    if (!session.h) return fail(last_error());
    set_timeout(session.h, INTERNET_OPTION_CONNECT_TIMEOUT, options.connect_timeout_ms);
    DWORD attempts = DWORD(options.connect_attempts > 0 ? options.connect_attempts : 1);
    InternetSetOptionW(session.h, INTERNET_OPTION_CONNECT_RETRIES, &attempts, sizeof(attempts));
    // A server that accepts the connection and then never answers is given
    // the whole transfer's time, no more.
    set_timeout(session.h, INTERNET_OPTION_SEND_TIMEOUT, options.transfer_timeout_ms);
    set_timeout(session.h, INTERNET_OPTION_RECEIVE_TIMEOUT, options.transfer_timeout_ms);
    NetHandle request;
    request.h = InternetOpenUrlW(session.h, utf8_to_wide(url).c_str(), nullptr, 0,
                                 INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE |
                                     INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT |
                                     INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                                     INTERNET_FLAG_TRANSFER_ASCII,
                                 0);
    if (!request.h) return fail(last_error());
    char block[BLOCK_SIZE];
    for (;;) {
        DWORD n = 0;
        if (!InternetReadFile(request.h, block, sizeof(block), &n)) return fail(last_error());
        if (n == 0) return 0;
        if (!sink(block, n)) return fail("the transfer was stopped");
        if (GetTickCount64() > deadline) return fail("the transfer took too long");
    }
}

std::string temp_dir() {
    wchar_t buf[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 2, buf);
    if (n == 0 || n > MAX_PATH + 1) return {};
    return wide_to_utf8(std::wstring(buf, n));
}

}  // namespace quor
