// The diagnostic log's file: standard output and standard error moved onto
// quor.log, which is moved aside once it is full. The lines themselves are
// written by base/diag_log.h.
#pragma once

#include <cstdint>
#include <cstdio>

// Size at which quor.log is moved to quor.log.1 and a new file begun.
constexpr uint64_t LOG_FILE_CAP = uint64_t(64) << 20;

// Reopens standard output and standard error on DIR + "quor.log", emptied,
// unbuffered and readable by its owner only (an existing file included).
// DIR ends with a path separator. Once the file holds LOG_FILE_CAP bytes it
// becomes quor.log.1 (replacing an older one) and both streams go on in a
// new quor.log.
void start_log_file(const char* dir);

// Replaces LOG_FILE_CAP, for tests that cannot write 64 MiB.
void set_log_file_cap(uint64_t bytes);

// A stream of its own on what standard output is now, which goes on writing
// there after start_log_file has moved standard output to the log; null when
// it cannot be made.
FILE* duplicate_stdout();
