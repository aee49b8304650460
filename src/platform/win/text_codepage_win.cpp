#include <windows.h>

#include "platform/text_codepage.h"
#include "platform/win/win_text.h"

namespace quor {

int convert_utf8_to_gbk(const std::string& utf8, std::string* out) {
    constexpr UINT GBK = 936;
    if (utf8.empty()) {
        out->clear();
        return 0;
    }
    const int wide_len = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                             int(utf8.size()), nullptr, 0);
    if (wide_len <= 0) return -1;
    const std::wstring wide = utf8_to_wide(utf8);
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(GBK, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()),
                                      nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy) return -1;
    std::string buf(size_t(n), '\0');
    WideCharToMultiByte(GBK, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), buf.data(), n,
                        nullptr, nullptr);
    *out = std::move(buf);
    return 0;
}

}  // namespace quor
