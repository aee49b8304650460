#include "base/base64.h"

#include <climits>

namespace quor {

int base64_encode(const uint8_t* in, size_t len, char* out, size_t out_size) {
    static constexpr char ALPHABET[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if ((in == nullptr && len > 0) || out == nullptr) return -1;
    size_t at = 0;
    for (size_t i = 0; i < len; i += 3) {
        if (out_size - at < 4 || at > size_t(INT_MAX) - 4) return -1;
        const size_t left = len - i;
        const uint32_t group = (uint32_t(in[i]) << 16) | (left > 1 ? uint32_t(in[i + 1]) << 8 : 0) |
                               (left > 2 ? uint32_t(in[i + 2]) : 0);
        out[at++] = ALPHABET[(group >> 18) & 0x3F];
        out[at++] = ALPHABET[(group >> 12) & 0x3F];
        out[at++] = left > 1 ? ALPHABET[(group >> 6) & 0x3F] : '=';
        out[at++] = left > 2 ? ALPHABET[group & 0x3F] : '=';
    }
    if (at >= out_size) return -1;
    out[at] = '\0';
    return int(at);
}

}  // namespace quor
