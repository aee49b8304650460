// The Windows C runtime has no line buffering and takes _IOLBF with a
// buffer size of 0 for an invalid parameter (which may end the process).
// Every program that links the platform layer on Windows takes this file
// and links its setvbuf calls here (--wrap=setvbuf): a
// stream asked to deliver its lines one by one is made unbuffered, which
// delivers every write at once.
#include <cstdio>

extern "C" int __real_setvbuf(FILE* stream, char* buffer, int mode, size_t size);

extern "C" int __wrap_setvbuf(FILE* stream, char* buffer, int mode, size_t size) {
    if (mode == _IOLBF) return __real_setvbuf(stream, nullptr, _IONBF, 0);
    return __real_setvbuf(stream, buffer, mode, size);
}
