// The texts Lync writes during a call with reports 0x14 (which text) and
// 0x15 (pieces of UTF-16LE): the display name (selector 6) and the
// reference text (selector 12). The display name goes to the phone when a
// reference text completes that matches the one kept after the stream was
// offered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quor {

// Each text holds 512 UTF-16 code units, its two-byte NUL included.
constexpr size_t CALL_TEXT_UNITS = 512;
constexpr size_t CALL_TEXT_BYTES = 2 * CALL_TEXT_UNITS;

enum TextSelector : uint8_t { SELECT_DISPLAY_NAME = 6, SELECT_REFERENCE = 12 };

// Report 0x14 (REPORT: its three bytes, the report id first).
void select_call_text(const uint8_t* report);
// Report 0x15: PIECE holds the report id, the last-piece flag and N - 2
// text bytes (N is the report's length). Reports under 2 bytes are logged
// and ignored; text beyond the target's room is cut with a log line.
void take_call_text_piece(const uint8_t* piece, size_t n);
// Empties the display name, the reference text and its kept copy.
void clear_call_texts();

// The display name as it stands, in UTF-8 (for tests and the log).
std::string display_name_utf8();

// UTF-16LE code units at UNITS (up to MAX_UNITS, ending at a zero unit) in
// UTF-8; unpaired surrogates become U+FFFD.
std::string utf16le_to_utf8(const uint8_t* units, size_t max_units);

}  // namespace quor
