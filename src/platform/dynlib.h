// Shared libraries loaded at run time, so the program starts without an
// optional one and can check that every entry point it needs is there.
#pragma once

#include <string>

namespace quor {

// The file name of the library STEM as this system names it:
// "libSTEM.so" on Linux, "STEM.dll" on Windows.
std::string dynlib_file_name(const char* stem);
// Loads the library at PATH with every symbol bound at once and none
// offered to libraries loaded later. Its handle, or null with the loader's
// reason in *WHY.
void* dynlib_open(const char* path, std::string* why);
// The address of NAME in LIB, or null when the library lacks it.
void* dynlib_symbol(void* lib, const char* name);
void dynlib_close(void* lib);

}  // namespace quor
