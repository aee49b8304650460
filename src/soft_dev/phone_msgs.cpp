#include "soft_dev/phone_msgs.h"

#include <cstring>

#include "platform/byte_order.h"

void build_media_offer(uint16_t port, const char* crypto_line, uint8_t out[MEDIA_OFFER_LEN]) {
    put_be32(out, port);
    uint8_t* field = out + 4;
    memset(field, 0, MEDIA_CRYPTO_FIELD_LEN);
    if (crypto_line) memcpy(field, crypto_line, strnlen(crypto_line, MEDIA_CRYPTO_FIELD_LEN - 1));
}

void build_display_name(const char* utf8, uint8_t* out, size_t* len) {
    constexpr size_t MAX_TEXT = DISPLAY_NAME_MAX - 1;
    constexpr size_t MAX_CONTINUATION = 3;  // longest UTF-8 sequence is 4 bytes
    const char* text = utf8 ? utf8 : "";
    size_t n = strnlen(text, MAX_TEXT + 1);
    if (n > MAX_TEXT) {
        n = MAX_TEXT;
        // text[n] is the first byte left out; while it continues a character,
        // that character started inside the kept part and must go too. More
        // than three continuation bytes is not UTF-8: keep the plain cut.
        size_t back = 0;
        while (back <= MAX_CONTINUATION && (static_cast<uint8_t>(text[n - back]) & 0xC0) == 0x80)
            ++back;
        if (back <= MAX_CONTINUATION) n -= back;
    }
    memcpy(out, text, n);
    out[n] = 0;
    *len = n + 1;
}
