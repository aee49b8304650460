// The log file through the C runtime's stream redirection: standard output
// and standard error are reopened on quor.log. Windows does not move or
// delete a file that is open, so the move to quor.log.1 first points both
// streams at the null device, then reopens them on the emptied file.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "base/diag_log.h"
#include "platform/log_file.h"
#include "platform/win/win_text.h"

namespace {
constexpr size_t kDirLimit = 1024;

std::mutex g_log_mu;
std::string g_log_path;
std::atomic<uint64_t> g_log_bytes{0};
std::atomic<uint64_t> g_log_cap{LOG_FILE_CAP};

// True when PATH can be opened for writing: reopening a stream on a file
// that cannot be opened would close the stream for good.
bool writable(const std::wstring& path) {
    const int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return false;
    _close(fd);
    return true;
}

// Both streams on PATH, emptied, standard error appending after standard
// output, neither buffered (the C runtime on Windows has no line buffering).
void point_streams_at(const std::wstring& path) {
    if (_wfreopen(path.c_str(), L"w", stdout)) setvbuf(stdout, nullptr, _IONBF, 0);
    if (_wfreopen(path.c_str(), L"a", stderr)) setvbuf(stderr, nullptr, _IONBF, 0);
}

void rotate_log() {
    std::lock_guard lk(g_log_mu);
    const std::wstring path = quor::utf8_to_wide(g_log_path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        g_log_bytes = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (g_log_bytes < g_log_cap) return;  // another thread moved it already
    const std::string old_path = g_log_path + ".1";
    fflush(stdout);
    fflush(stderr);
    _wfreopen(L"NUL", L"w", stdout);
    _wfreopen(L"NUL", L"w", stderr);
    const DWORD moved =
        MoveFileExW(path.c_str(), quor::utf8_to_wide(old_path).c_str(), MOVEFILE_REPLACE_EXISTING)
            ? 0
            : GetLastError();
    g_log_bytes = 0;
    if (!writable(path)) {
        // The notes go straight to the stream: quor_log would come back here.
        printf("Quor ERR: cannot open %s: %s\n", g_log_path.c_str(), strerror(errno));
        return;
    }
    point_streams_at(path);
    if (moved != 0)
        printf("Quor ERR: cannot move %s to %s: %s; the log started again\n", g_log_path.c_str(),
               old_path.c_str(), quor::system_error_text(moved).c_str());
}

void note_written(int n) {
    const uint64_t total = g_log_bytes.fetch_add(uint64_t(n)) + uint64_t(n);
    if (total >= g_log_cap.load(std::memory_order_relaxed)) rotate_log();
}
}  // namespace

void start_log_file(const char* dir) {
    std::string path(dir, strnlen(dir, kDirLimit));
    path += "quor.log";
    const std::wstring wide = quor::utf8_to_wide(path);
    if (!writable(wide)) {
        fprintf(stderr, "Quor ERR: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return;
    }
    std::lock_guard lk(g_log_mu);
    fflush(stdout);
    fflush(stderr);
    point_streams_at(wide);
    g_log_path = path;
    g_log_bytes = 0;
    set_log_write_observer(note_written);
}

void set_log_file_cap(uint64_t bytes) {
    g_log_cap = bytes;
}

// The C runtime on Windows has no line buffering (_IOLBF buffers whole
// blocks), so standard output is made unbuffered here, where the caller
// asks for a copy of it to write lines to one by one.
FILE* duplicate_stdout() {
    fflush(stdout);
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int fd = _dup(_fileno(stdout));
    if (fd < 0) return nullptr;
    FILE* stream = _fdopen(fd, "w");
    if (stream == nullptr) _close(fd);
    return stream;
}
