#include "settings/config.h"

#include <cstdio>

#include "settings/ini_store.h"

int ReadConfigValue(const std::string& path, const char* key, int def) {
    int value = ini_get_int(path, CONFIG_SECTION, key, -1);
    if (value == -1) {
        value = def;
        char text[16];
        snprintf(text, sizeof(text), "%d", def);
        ini_write_string(path, CONFIG_SECTION, key, text);
    }
    return value;
}

int phone_ip_from_octets(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    uint32_t packed = uint32_t{a} << 24 | uint32_t{b} << 16 | uint32_t{c} << 8 | d;
    return static_cast<int32_t>(packed);
}

std::string format_phone_ip(int value) {
    uint32_t packed = static_cast<uint32_t>(value);
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", packed >> 24, packed >> 16 & 0xff,
             packed >> 8 & 0xff, packed & 0xff);
    return text;
}

int parse_phone_ip(const std::string& text, int* value) {
    uint8_t octets[4];
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.') return -1;
            ++pos;
        }
        unsigned field = 0;
        size_t digits = 0;
        for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3; ++digits)
            field = field * 10 + static_cast<unsigned>(text[pos++] - '0');
        if (digits == 0 || field > 255) return -1;
        octets[i] = static_cast<uint8_t>(field);
    }
    if (pos != text.size()) return -1;
    *value = phone_ip_from_octets(octets[0], octets[1], octets[2], octets[3]);
    return 0;
}
