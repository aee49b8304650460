// Where the program's files are on a system of per-user folders: the XDG
// base folders under the user's home.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/diag_log.h"
#include "platform/files.h"
#include "platform/process.h"
#include "settings/config.h"

namespace {

constexpr const char* APP_FOLDER = "kestrow-quor/";
constexpr const char* INSTANCE_SOCKET_NAME =
    "KestrowQuorConnector-5E1C0A93-7B24-4D61-A9F2-3C8E0B6D1F47.sock";

// QUOR_HOME with its trailing '/'; empty when it is unset or empty.
std::string quor_home() {
    const char* home = getenv("QUOR_HOME");
    if (!home || !*home) return {};
    std::string dir(home);
    if (dir.back() != '/') dir += '/';
    return dir;
}

// The XDG base folder named by VAR, or HOME + FALLBACK; ends in '/'. Empty
// when there is no home folder either.
std::string xdg_base(const char* var, const char* fallback) {
    std::string dir;
    if (const char* value = getenv(var); value && value[0] == '/') {
        dir = value;
    } else {
        const std::string home = quor::home_dir();
        if (home.empty()) return {};
        dir = home + "/" + fallback;
    }
    if (dir.back() != '/') dir += '/';
    return dir;
}

std::string user_dir(const char* var, const char* fallback) {
    if (std::string home = quor_home(); !home.empty()) return home;
    const std::string base = xdg_base(var, fallback);
    return base.empty() ? quor::executable_dir() : base + APP_FOLDER;
}

}  // namespace

std::string GetModuleDir() {
    if (std::string home = quor_home(); !home.empty()) return home;
    return quor::executable_dir();
}

std::string config_dir() {
    return user_dir("XDG_CONFIG_HOME", ".config");
}

std::string state_dir() {
    return user_dir("XDG_STATE_HOME", ".local/state");
}

std::string config_path() {
    return config_dir() + "config.ini";
}

std::string user_autostart_dir() {
    const std::string base = xdg_base("XDG_CONFIG_HOME", ".config");
    return base.empty() ? std::string() : base + "autostart/";
}

std::string instance_socket_path() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        std::string dir(runtime);
        if (dir.back() != '/') dir += '/';
        return dir + INSTANCE_SOCKET_NAME;
    }
    const std::string dir = "/tmp/kestrow-quor-" + std::to_string(quor::effective_uid()) + "/";
    return quor::ensure_private_dir(dir) ? dir + INSTANCE_SOCKET_NAME : std::string();
}

void prepare_user_files() {
    if (!quor_home().empty()) return;
    const std::string config = config_dir();
    if (config == quor::executable_dir()) return;  // no home folder: the old place
    const bool first_start = !quor::path_exists(config);
    if (!quor::ensure_private_dir(config))
        quor_log("Quor ERR: Cannot make the private folder %s\n", config.c_str());
    const std::string state = state_dir();
    if (!quor::ensure_private_dir(state))
        quor_log("Quor ERR: Cannot make the private folder %s\n", state.c_str());

    const std::string path = config + "config.ini";
    const std::string old_path = quor::executable_dir() + "config.ini";
    std::string text;
    if (first_start && quor::read_file(old_path, &text) == quor::ReadResult::Ok) {
        if (quor::create_private_file(path, text) == 0)
            quor_log("Quor: Settings taken over from %s into %s\n", old_path.c_str(), path.c_str());
        else
            quor_log("Quor ERR: Cannot copy %s to %s: %s\n", old_path.c_str(), path.c_str(),
                     strerror(errno));
    }
    // The settings hold the phone's address and are the user's alone; the
    // first write keeps the mode of the file it replaces.
    if (!quor::path_exists(path) && quor::create_private_file(path, "") != 0 && errno != EEXIST)
        quor_log("Quor ERR: Cannot create %s: %s\n", path.c_str(), strerror(errno));
    if (quor::restrict_to_owner(path) != 0)
        quor_log("Quor ERR: Cannot make %s private: %s\n", path.c_str(), strerror(errno));
}
