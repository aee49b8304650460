#include "sim_output.h"

#include <cstdarg>

#include "link/ctrl_frame.h"

namespace {
// Longest transcript line: a 255-byte frame plus a direction marker; raw sends
// may be longer and are written in several lines of this size.
constexpr size_t LINE_BYTES = CTRL_FRAME_MAX;
}  // namespace

SimOutput::~SimOutput() {
    if (m_transcript) fclose(m_transcript);
}

int SimOutput::open_transcript(const char* path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_transcript) fclose(m_transcript);
    m_transcript = fopen(path, "w");
    return m_transcript ? 0 : -1;
}

void SimOutput::event(const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(m_mutex);
    fprintf(stdout, "%s\n", line);
    fflush(stdout);
}

void SimOutput::transcript(char direction, const uint8_t* bytes, size_t len) {
    char hex[LINE_BYTES * 3 + 1];
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t done = 0;
    do {
        size_t part = len - done < LINE_BYTES ? len - done : LINE_BYTES;
        format_hex_bytes(bytes + done, part, hex, sizeof(hex));
        done += part;
        fprintf(stdout, "%c: %s\n", direction, hex);
        fflush(stdout);
        if (m_transcript) {
            fprintf(m_transcript, "%c: %s\n", direction, hex);
            fflush(m_transcript);
        }
    } while (done < len);
}

size_t format_hex_bytes(const uint8_t* bytes, size_t len, char* out, size_t out_size) {
    static const char DIGITS[] = "0123456789ABCDEF";
    if (out_size == 0) return 0;
    size_t n = 0;
    for (size_t i = 0; i < len && n + 3 <= out_size; ++i) {
        if (i > 0) {
            if (n + 4 > out_size) break;
            out[n++] = ' ';
        }
        out[n++] = DIGITS[bytes[i] >> 4];
        out[n++] = DIGITS[bytes[i] & 15];
    }
    out[n] = 0;
    return n;
}
