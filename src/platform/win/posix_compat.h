// Force-included into every source of the Windows build, the tests' too:
// the few POSIX C library functions the sources use that the Windows C
// runtime lacks, written with the runtime's own calls.
#pragma once

// localtime_r and gmtime_r from mingw's time.h.
#ifndef _POSIX_THREAD_SAFE_FUNCTIONS
#define _POSIX_THREAD_SAFE_FUNCTIONS 200112L
#endif

#ifdef __cplusplus
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
extern "C" {
#else
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#endif
#include <direct.h>
#include <io.h>

// Zeroes secrets in a way the compiler may not drop as a dead store.
static inline void explicit_bzero(void* buf, size_t len) {
    volatile unsigned char* p = (volatile unsigned char*)buf;
    while (len--) *p++ = 0;
}

static inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name)) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

// An empty value removes the variable on Windows.
static inline int unsetenv(const char* name) {
    return _putenv_s(name, "") == 0 ? 0 : -1;
}

// TEMPLATE ends in six 'X's, which become a name no folder has yet.
static inline char* mkdtemp(char* templ) {
    const size_t len = strlen(templ);
    if (len < 6 || strcmp(templ + len - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return NULL;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        memcpy(templ + len - 6, "XXXXXX", 6);
        if (_mktemp_s(templ, len + 1) != 0) return NULL;
        if (_mkdir(templ) == 0) return templ;
        if (errno != EEXIST) return NULL;
    }
    return NULL;
}

static inline int dprintf(int fd, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n < 0) return n;
    const size_t len = (size_t)n < sizeof(text) ? (size_t)n : sizeof(text) - 1;
    return _write(fd, text, (unsigned)len);
}

#ifdef __cplusplus
}
#endif
