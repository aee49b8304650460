// Where the program's files are on Windows: beside the executable, which
// the program, running with administrator rights, may write. QUOR_HOME, when
// set and not empty, holds them instead (tests and side-by-side copies).
#include <cstdlib>

#include "platform/process.h"
#include "settings/config.h"

namespace {
constexpr const char* INSTANCE_MARKER_NAME =
    "KestrowQuorConnector-5E1C0A93-7B24-4D61-A9F2-3C8E0B6D1F47";
}  // namespace

std::string GetModuleDir() {
    if (const char* home = getenv("QUOR_HOME"); home && *home) {
        std::string dir(home);
        if (dir.back() != '/' && dir.back() != '\\') dir += '\\';
        return dir;
    }
    return quor::executable_dir();
}

std::string config_dir() {
    return GetModuleDir();
}

std::string state_dir() {
    return GetModuleDir();
}

std::string config_path() {
    return config_dir() + "config.ini";
}

std::string instance_socket_path() {
    return INSTANCE_MARKER_NAME;
}

// Nothing to prepare: the files are beside the executable, and the first
// write creates config.ini.
void prepare_user_files() {}
