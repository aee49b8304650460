// The Chinese diagnostic lines of the HID conversation. The log is read with
// the GBK code page, so the lines are kept in UTF-8 here and converted once,
// on first use (register_lync_hooks makes that happen at start-up).
#pragma once

#include <string>

namespace quor {

enum class GbkLine {
    DISMISSED,         // "HIDDEV: 已取消\n"
    CREDENTIALS_DONE,  // closing line of a credential chunk
    SIGN_OUT,          // request code 7
    CHUNK_BEGIN,
    CHUNK_MID,
    CHUNK_END,
    CHUNK_ONLY,
};

// The line in GBK; the UTF-8 text when the converter is unavailable.
const char* gbk_line(GbkLine line);

// Converts UTF8 to GBK into *OUT: 0, or -1 (and *OUT untouched) when the
// converter is missing or the text has no GBK form.
int utf8_to_gbk(const std::string& utf8, std::string* out);

}  // namespace quor
