#include "platform/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "base/diag_log.h"

namespace {
constexpr size_t kDirLimit = 1024;
constexpr mode_t kLogMode = 0600;

// The open log file, once start_log_file has moved the streams onto it.
// g_log_bytes counts what went through the diagnostic log's functions (and
// is set from the file's real size whenever the cap seems reached); the path
// and the move to quor.log.1 are under g_log_mu.
std::mutex g_log_mu;
std::string g_log_path;
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
    set_log_write_observer(note_written);
}

void set_log_file_cap(uint64_t bytes) {
    g_log_cap = bytes;
}

FILE* duplicate_stdout() {
    const int fd = dup(STDOUT_FILENO);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, "w");
    if (stream == nullptr) close(fd);
    return stream;
}
