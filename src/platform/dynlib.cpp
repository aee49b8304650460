#include "platform/dynlib.h"

#include <dlfcn.h>

namespace quor {

std::string dynlib_file_name(const char* stem) {
    return std::string("lib") + stem + ".so";
}

void* dynlib_open(const char* path, std::string* why) {
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        const char* reason = dlerror();
        *why = reason ? reason : path;
    }
    return lib;
}

void* dynlib_symbol(void* lib, const char* name) {
    return dlsym(lib, name);
}

void dynlib_close(void* lib) {
    if (lib != nullptr) dlclose(lib);
}

}  // namespace quor
