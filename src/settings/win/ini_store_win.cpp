// config.ini through the system's own private-profile calls.
#include <cstring>
#include <string>

#include "base/diag_log.h"
#include "platform/private_profile.h"
#include "settings/ini_store.h"

namespace {
bool storable(const char* text, const char* forbidden) {
    return text && strpbrk(text, forbidden) == nullptr;
}
}  // namespace

int ini_get_int(const std::string& path, const char* section, const char* key, int def) {
    return quor::profile_get_int(path, section, key, def);
}

int ini_write_string(const std::string& path, const char* section, const char* key,
                     const char* value) {
    // A line end would add lines of its own to the file, and a null name or
    // value would make the system call delete a key or a whole section.
    if (!storable(section, "]\r\n") || !*section || !storable(key, "=\r\n") || !*key ||
        strchr(";#[", key[0]) || !storable(value, "\r\n"))
        return -1;
    std::string why;
    if (quor::profile_write_string(path, section, key, value, &why) != 0) {
        quor_log("Quor ERR: %s=%s is not written to %s (%s).\n", key, value, path.c_str(),
                 why.c_str());
        return -1;
    }
    return 0;
}
