#include "base/diag_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

std::atomic<int> debug_level{0};

namespace {
constexpr size_t kDumpTextSize = 10000;
constexpr size_t kDirLimit = 1024;
constexpr mode_t kLogMode = 0600;
constexpr char kDigits[] = "0123456789abcdef";

// The open log file, once start_log_file has moved the streams onto it.
// g_log_bytes counts what went through the functions below (and is set
// from the file's real size whenever the cap seems reached); the path and
// the move to quor.log.1 are under g_log_mu.
std::mutex g_log_mu;
std::string g_log_path;
std::atomic<bool> g_log_open{false};
std::atomic<uint64_t> g_log_bytes{0};
std::atomic<uint64_t> g_log_cap{LOG_FILE_CAP};

// Opens PATH emptied, for appending, readable by its owner only; an
// existing file keeps its mode through O_CREAT, so it is set here too.
int open_log(const std::string& path) {
    const int fd = open(path.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY, kLogMode);
    if (fd >= 0) fchmod(fd, kLogMode);
    return fd;
}

// Both streams write through descriptors 1 and 2, so moving a new file
// under those numbers redirects every thread at once; a write already under
// way finishes in the file it began in.
void point_streams_at(int fd) {
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

void rotate_log() {
    std::lock_guard lk(g_log_mu);
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) == 0) g_log_bytes = uint64_t(st.st_size);
    if (g_log_bytes < g_log_cap) return;  // another thread moved it already
    const std::string old_path = g_log_path + ".1";
    const int moved = rename(g_log_path.c_str(), old_path.c_str()) == 0 ? 0 : errno;
    const int fd = open_log(g_log_path);
    g_log_bytes = 0;
    // The notes go straight to the stream: quor_log would come back here.
    if (fd < 0) {
        // The streams stay on the old file; the next try is a cap later.
        printf("Quor ERR: cannot open %s: %s\n", g_log_path.c_str(), strerror(errno));
        return;
    }
    point_streams_at(fd);
    if (moved != 0)
        printf("Quor ERR: cannot move %s to %s: %s; the log started again\n", g_log_path.c_str(),
               old_path.c_str(), strerror(moved));
}

void note_written(int n) {
    if (n <= 0 || !g_log_open.load(std::memory_order_relaxed)) return;
    const uint64_t total = g_log_bytes.fetch_add(uint64_t(n)) + uint64_t(n);
    if (total >= g_log_cap.load(std::memory_order_relaxed)) rotate_log();
}
}  // namespace

void start_log_file(const char* dir) {
    std::string path(dir, strnlen(dir, kDirLimit));
    path += "quor.log";
    // Both streams append to one emptied file, so neither overwrites what
    // the other wrote. The file is opened before the streams are moved onto
    // it: a log that cannot be opened leaves them where they were, and the
    // program carries on.
    const int fd = open_log(path);
    if (fd < 0) {
        fprintf(stderr, "Quor ERR: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return;
    }
    std::lock_guard lk(g_log_mu);
    fflush(stdout);
    fflush(stderr);
    point_streams_at(fd);
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    g_log_path = path;
    g_log_bytes = 0;
    g_log_open = true;
}

void set_log_file_cap(uint64_t bytes) {
    g_log_cap = bytes;
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
    if (debug_level.load(std::memory_order_relaxed) < level) return;
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
