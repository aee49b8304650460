#include "host_text.h"

#include <cstdio>
#include <cstdlib>

#include "platform/byte_order.h"

std::string vstrfmt(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(s.data(), s.size(), fmt, ap);
    s.resize(static_cast<size_t>(n));
    return s;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string* s, uint32_t cp) {
    if (cp < 0x80) {
        s->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        s->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        s->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        s->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        s->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        s->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        s->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        s->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool is_high_surrogate(uint16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low_surrogate(uint16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

std::string strfmt(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vstrfmt(fmt, ap);
    va_end(ap);
    return s;
}

std::string hex_string(const uint8_t* bytes, size_t len) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string s;
    s.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        s.push_back(DIGITS[bytes[i] >> 4]);
        s.push_back(DIGITS[bytes[i] & 0x0F]);
    }
    return s;
}

int parse_hex(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':') {
            if (high >= 0) return -1;
            continue;
        }
        int d = hex_digit(c);
        if (d < 0) return -1;
        if (high < 0) {
            high = d;
        } else {
            out->push_back(static_cast<uint8_t>((high << 4) | d));
            high = -1;
        }
    }
    return high < 0 ? 0 : -1;
}

int parse_number(const std::string& text, uint32_t max, uint32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return -1;
    const char* s = text.c_str();
    int base = 10;
    if (text.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    char* end = nullptr;
    unsigned long long v = strtoull(s, &end, base);
    if (end == s || *end != '\0' || v > max) return -1;
    *value = static_cast<uint32_t>(v);
    return 0;
}

std::string quote_utf16le(const uint8_t* units, size_t len) {
    std::string s = "\"";
    size_t count = len / 2;
    for (size_t i = 0; i < count; ++i) {
        uint16_t u = get_le16(units + 2 * i);
        uint32_t cp = u;
        if (is_high_surrogate(u) && i + 1 < count &&
            is_low_surrogate(get_le16(units + 2 * i + 2))) {
            uint16_t low = get_le16(units + 2 * i + 2);
            cp = 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (is_high_surrogate(u) || is_low_surrogate(u) || u < 0x20 || u == 0x7F) {
            s += strfmt("\\u%04x", u);
            continue;
        }
        if (cp == '"' || cp == '\\') s.push_back('\\');
        append_utf8(&s, cp);
    }
    s.push_back('"');
    return s;
}

void CheckList::fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    m_failures.push_back(vstrfmt(fmt, ap));
    va_end(ap);
}
