// The system's own INI file calls (private profiles), where the system has
// them: every call reads the file afresh and every write goes straight to
// the file; nothing is cached.
#pragma once

#include <string>

namespace quor {

// The integer value of KEY in SECTION of the INI file at PATH, as the system
// reads it (an optional sign and decimal digits); DEF when the file, the
// section or the key is missing or the value is empty.
int profile_get_int(const std::string& path, const char* section, const char* key, int def);

// Sets KEY in SECTION of the file at PATH to VALUE, creating the file, the
// section or the key as needed. The names and the value must be single lines
// (the caller checks). 0, or -1 with the reason in *WHY.
int profile_write_string(const std::string& path, const char* section, const char* key,
                         const char* value, std::string* why);

}  // namespace quor
