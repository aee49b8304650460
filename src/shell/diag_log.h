// Diagnostic output: printf-style lines on standard output, captured in
// quor.log when the "Debug" setting asks for it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Verbosity: 3 and above adds a packet record and hex dump of every PDU.
extern std::atomic<int> debug_level;

// Reopens standard output (truncated, unbuffered) and standard error
// (appended) on DIR + "quor.log". DIR ends with a path separator.
void start_log_file(const char* dir);

// One diagnostic line: a single formatted write, so a line is never split.
void quor_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Hex dump of a PDU when debug_level >= level: "%02x " per byte, a line end
// after every 16th byte and one more at the end. Written in pieces of at most
// 10,000 characters, each piece holding whole lines.
void log_hex_dump(int level, const uint8_t* buf, size_t len);

// Formats the dump text (exposed for tests).
size_t format_hex_dump(const uint8_t* buf, size_t len, char* out, size_t out_size,
                       size_t* consumed);

// The header line written before a PDU's dump, naming the issuing function.
void log_packet_record(const char* file, int line, const char* func, const char* title);

#define QUOR_PACKET_RECORD(title)                                    \
    do {                                                             \
        if (debug_level.load(std::memory_order_relaxed) > 2)         \
            log_packet_record(__FILE__, __LINE__, __func__, title);  \
    } while (0)
