#include "base/diag_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

std::atomic<int> quor::g_debug_level{0};

namespace {
constexpr size_t kDumpTextSize = 10000;
constexpr char kDigits[] = "0123456789abcdef";

std::atomic<LogWriteObserver> g_observer{nullptr};

void note_written(int n) {
    if (n <= 0) return;
    if (const LogWriteObserver observer = g_observer.load(std::memory_order_relaxed)) observer(n);
}
}  // namespace

void set_log_write_observer(LogWriteObserver observer) {
    g_observer = observer;
}

void quor_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = vprintf(fmt, ap);
    va_end(ap);
    note_written(n);
}

std::string log_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

size_t format_hex_dump(const uint8_t* buf, size_t len, char* out, size_t out_size, size_t* consumed,
                       size_t hide_from, size_t hide_to) {
    size_t n = 0;
    size_t i = 0;
    // Each full line of 16 bytes takes 49 characters; stop before a line
    // that would not fit, keeping one character for the final line end.
    while (i < len && n + 49 + 1 <= out_size) {
        size_t line_end = i + 16 < len ? i + 16 : len;
        for (; i < line_end; ++i) {
            const bool hidden = i >= hide_from && i < hide_to;
            out[n++] = hidden ? '*' : kDigits[buf[i] >> 4];
            out[n++] = hidden ? '*' : kDigits[buf[i] & 15];
            out[n++] = ' ';
        }
        if (i % 16 == 0) out[n++] = '\n';
    }
    if (consumed) *consumed = i;
    return n;
}

void log_hex_dump(int level, const uint8_t* buf, size_t len, size_t hide_from, size_t hide_to) {
    if (quor::g_debug_level.load(std::memory_order_relaxed) < level) return;
    static thread_local char text[kDumpTextSize];
    size_t done = 0;
    do {
        size_t used = 0;
        // The hidden range, counted from the start of this piece.
        const size_t from = hide_from > done ? hide_from - done : 0;
        const size_t to = hide_to > done ? hide_to - done : 0;
        size_t n = format_hex_dump(buf + done, len - done, text, sizeof(text) - 1, &used, from, to);
        done += used;
        if (done == len) text[n++] = '\n';
        note_written(int(fwrite(text, 1, n, stdout)));
    } while (done < len);
}

void log_packet_record(const char* file, int line, const char* func, const char* title) {
    const char* base = strrchr(file, '/');
    base = base ? base + 1 : file;
    std::string name(base);
    if (auto dot = name.rfind('.'); dot != std::string::npos) name.erase(dot);
    note_written(printf("###  [%s][%d][%s] %s", name.c_str(), line, func, title));
}
