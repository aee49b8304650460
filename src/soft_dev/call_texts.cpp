#include "soft_dev/call_texts.h"

#include <algorithm>
#include <cstring>

#include "base/diag_log.h"
#include "platform/byte_order.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/phone_msgs.h"
#include "soft_dev/phone_sender.h"

namespace quor {

namespace {
constexpr size_t LAST_PIECE_BYTE = 1;
constexpr uint8_t LAST_PIECE = 0x80;
constexpr size_t PIECE_TEXT_BYTE = 2;
constexpr uint8_t SELECT_REPORT_ID = 0x14;
constexpr uint8_t SELECT_MARK = 0x80;
constexpr size_t TEXT_ROOM = CALL_TEXT_BYTES - 2;  // the NUL's two bytes stay free

// Only the bus reader thread touches these.
uint8_t g_dsp_name_text[CALL_TEXT_BYTES];
uint8_t g_sel12_text[CALL_TEXT_BYTES];
uint8_t g_sel12_saved[CALL_TEXT_BYTES];
size_t g_text_cursor = 0;

uint8_t* target_text() {
    return g_lync.text_target_is_name ? g_dsp_name_text : g_sel12_text;
}

bool text_empty(const uint8_t* text) {
    return text[0] == 0 && text[1] == 0;
}

size_t text_units(const uint8_t* text) {
    size_t n = 0;
    while (n < CALL_TEXT_UNITS && get_le16(text + 2 * n) != 0) ++n;
    return n;
}

bool texts_equal(const uint8_t* a, const uint8_t* b) {
    const size_t n = text_units(a);
    return n == text_units(b) && memcmp(a, b, 2 * n) == 0;
}

void append_utf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        *out += char(cp);
    } else if (cp < 0x800) {
        *out += char(0xC0 | (cp >> 6));
        *out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += char(0xE0 | (cp >> 12));
        *out += char(0x80 | ((cp >> 6) & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    } else {
        *out += char(0xF0 | (cp >> 18));
        *out += char(0x80 | ((cp >> 12) & 0x3F));
        *out += char(0x80 | ((cp >> 6) & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    }
}

// A long name is cut to the message's 63 bytes at a character boundary;
// it is never replaced by an empty one.
void send_display_name() {
    const std::string name = display_name_utf8();
    uint8_t payload[DISPLAY_NAME_MAX];
    size_t len = 0;
    build_display_name(name.c_str(), payload, &len);
    phone_sender().send_frame(DISPLAY_NAME, payload, len);
    quor_log("HIDDEV: Send Dsp Name: %s\n\n",
             log_text(reinterpret_cast<const char*>(payload)).c_str());
}

// Only a reference text completed during a call dialog acts: the first one
// after an offer is kept, and one equal to the kept text confirms the
// display name.
void reference_completed() {
    if (g_lync.sel12_capture_pending) {
        memcpy(g_sel12_saved, g_sel12_text, sizeof(g_sel12_saved));
        g_lync.sel12_capture_pending = 0;
    }
    if (text_empty(g_sel12_saved) || text_empty(g_sel12_text) || text_empty(g_dsp_name_text))
        return;
    if (texts_equal(g_sel12_text, g_sel12_saved)) send_display_name();
}
}  // namespace

std::string utf16le_to_utf8(const uint8_t* units, size_t max_units) {
    constexpr uint32_t REPLACEMENT = 0xFFFD;
    std::string out;
    for (size_t i = 0; i < max_units; ++i) {
        const uint32_t u = get_le16(units + 2 * i);
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < max_units) {
            const uint32_t low = get_le16(units + 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), &out);
                ++i;
                continue;
            }
        }
        append_utf8(u >= 0xD800 && u <= 0xDFFF ? REPLACEMENT : u, &out);
    }
    return out;
}

std::string display_name_utf8() {
    return utf16le_to_utf8(g_dsp_name_text, CALL_TEXT_UNITS);
}

void select_call_text(const uint8_t* report) {
    if (report[0] != SELECT_REPORT_ID || report[2] != SELECT_MARK) return;
    if (report[1] == SELECT_DISPLAY_NAME) {
        g_lync.text_target_is_name = 1;
    } else if (report[1] == SELECT_REFERENCE) {
        g_lync.text_target_is_name = 0;
    } else {
        return;
    }
    g_text_cursor = 0;
}

void take_call_text_piece(const uint8_t* piece, size_t n) {
    if (n < PIECE_TEXT_BYTE) {
        quor_log("HIDDEV: text piece of %zu bytes ignored\n", n);
        return;
    }
    uint8_t* text = target_text();
    const size_t want = n - PIECE_TEXT_BYTE;
    const size_t room = g_text_cursor < TEXT_ROOM ? TEXT_ROOM - g_text_cursor : 0;
    const size_t take = std::min(want, room);
    if (take < want)
        quor_log("HIDDEV: text longer than %zu bytes, %zu cut\n", TEXT_ROOM, want - take);
    memcpy(text + g_text_cursor, piece + PIECE_TEXT_BYTE, take);
    g_text_cursor += take;
    if (piece[LAST_PIECE_BYTE] != LAST_PIECE) return;
    memset(text + g_text_cursor, 0, CALL_TEXT_BYTES - g_text_cursor);
    if (g_lync.dialog_active && !g_lync.text_target_is_name) reference_completed();
}

void clear_call_texts() {
    memset(g_dsp_name_text, 0, sizeof(g_dsp_name_text));
    memset(g_sel12_text, 0, sizeof(g_sel12_text));
    memset(g_sel12_saved, 0, sizeof(g_sel12_saved));
}

}  // namespace quor
