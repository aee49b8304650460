// Diagnostic output: printf-style lines on standard output, captured in
// quor.log when the "Debug" setting asks for it (platform/log_file.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quor {
// Verbosity: 3 and above adds a packet record and hex dump of every PDU.
extern std::atomic<int> g_debug_level;
}  // namespace quor

// Called with the size of everything the functions below write, so that
// the log file can be moved aside once full; null (the start) for none.
using LogWriteObserver = void (*)(int bytes);
void set_log_write_observer(LogWriteObserver observer);

// One diagnostic line: a single formatted write, so a line is never split.
void quor_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// TEXT as it may appear in a log line when it came from outside (the phone,
// the USB host, a server): control characters and DEL are written as
// "\xNN", so the text can neither end the line nor forge another one.
std::string log_text(std::string_view text);

// Hex dump of a PDU when g_debug_level >= level: "%02x " per byte, a line end
// after every 16th byte and one more at the end. Written in pieces of at most
// 10,000 characters, each piece holding whole lines. The bytes from
// HIDE_FROM up to HIDE_TO (end excluded) are shown as "** ", for data that
// must never reach the log.
void log_hex_dump(int level, const uint8_t* buf, size_t len, size_t hide_from = 0,
                  size_t hide_to = 0);

// Formats the dump text (exposed for tests).
size_t format_hex_dump(const uint8_t* buf, size_t len, char* out, size_t out_size, size_t* consumed,
                       size_t hide_from = 0, size_t hide_to = 0);

// The header line written before a PDU's dump, naming the issuing function.
void log_packet_record(const char* file, int line, const char* func, const char* title);

#define QUOR_PACKET_RECORD(title)                                    \
    do {                                                             \
        if (quor::g_debug_level.load(std::memory_order_relaxed) > 2) \
            log_packet_record(__FILE__, __LINE__, __func__, title);  \
    } while (0)
