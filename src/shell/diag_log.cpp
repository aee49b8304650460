#include "shell/diag_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

std::atomic<int> debug_level{0};

namespace {
constexpr size_t kDumpTextSize = 10000;
constexpr size_t kDirLimit = 1024;
}  // namespace

void start_log_file(const char* dir) {
    std::string path(dir, strnlen(dir, kDirLimit));
    path += "quor.log";
    // Both streams append to one emptied file, so neither overwrites what
    // the other wrote. The file is opened before the streams are moved onto
    // it: a log that cannot be opened leaves them where they were, and the
    // program carries on.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "Quor ERR: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return;
    }
    fflush(stdout);
    fflush(stderr);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void quor_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

size_t format_hex_dump(const uint8_t* buf, size_t len, char* out, size_t out_size,
                       size_t* consumed) {
    static const char kDigits[] = "0123456789abcdef";
    size_t n = 0;
    size_t i = 0;
    // Each full line of 16 bytes takes 49 characters; stop before a line
    // that would not fit, keeping one character for the final line end.
    while (i < len && n + 49 + 1 <= out_size) {
        size_t line_end = i + 16 < len ? i + 16 : len;
        for (; i < line_end; ++i) {
            out[n++] = kDigits[buf[i] >> 4];
            out[n++] = kDigits[buf[i] & 15];
            out[n++] = ' ';
        }
        if (i % 16 == 0) out[n++] = '\n';
    }
    if (consumed) *consumed = i;
    return n;
}

void log_hex_dump(int level, const uint8_t* buf, size_t len) {
    if (debug_level.load(std::memory_order_relaxed) < level) return;
    static thread_local char text[kDumpTextSize];
    size_t done = 0;
    do {
        size_t used = 0;
        size_t n = format_hex_dump(buf + done, len - done, text, sizeof(text) - 1, &used);
        done += used;
        if (done == len) text[n++] = '\n';
        fwrite(text, 1, n, stdout);
    } while (done < len);
}

void log_packet_record(const char* file, int line, const char* func, const char* title) {
    const char* base = strrchr(file, '/');
    base = base ? base + 1 : file;
    std::string name(base);
    if (auto dot = name.rfind('.'); dot != std::string::npos) name.erase(dot);
    printf("###  [%s][%d][%s] %s", name.c_str(), line, func, title);
}
