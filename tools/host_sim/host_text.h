// Small text helpers of quor-host-sim: printf-style formatting into a string,
// hex dumps and hex parsing, numbers on the command line, and the quoting of
// USB string descriptors for the report. Also the list that the descriptor
// checkers collect their failed checks in.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

std::string strfmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrfmt(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));

// "0902d900": two lower-case digits per byte, no separators.
std::string hex_string(const uint8_t* bytes, size_t len);

// Hex bytes, pairs optionally separated by blanks or ':'. 0 on success, -1
// for a bad digit or an odd digit count.
int parse_hex(const std::string& text, std::vector<uint8_t>* out);

// A number in decimal or with a 0x prefix, at most MAX. 0 on success, -1.
int parse_number(const std::string& text, uint32_t max, uint32_t* value);

// A USB string (16-bit code units, little-endian) as a double-quoted UTF-8
// text: '"' and '\' are escaped with '\', control characters, unpaired
// surrogates and U+007F as \uXXXX. Always a whole text on one line.
std::string quote_utf16le(const uint8_t* units, size_t len);

// The failed checks of one descriptor check, in the order found.
class CheckList {
  public:
    void fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    const std::vector<std::string>& failures() const { return m_failures; }
    bool empty() const { return m_failures.empty(); }

  private:
    std::vector<std::string> m_failures;
};
