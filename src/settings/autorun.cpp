#include "settings/autorun.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "platform/files.h"
#include "platform/process.h"
#include "settings/config.h"
#include "base/diag_log.h"

namespace {

constexpr unsigned LOADER_MODE = 0755;
constexpr unsigned ENTRY_MODE = 0644;

// One argument in single quotes for the shell.
std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

// One argument of a desktop entry's Exec key: double quotes with `"`, '`',
// '$' and '\' escaped inside them, '%' doubled; then the key's own string
// escaping doubles every backslash.
bool exec_quote(const std::string& text, std::string* out) {
    std::string arg = "\"";
    for (char c : text) {
        if (c == '\n' || c == '\r') return false;
        if (c == '"' || c == '`' || c == '$' || c == '\\') arg += '\\';
        if (c == '%') arg += '%';
        arg += c;
    }
    arg += '"';
    out->clear();
    for (char c : arg) {
        if (c == '\\') *out += '\\';
        *out += c;
    }
    return true;
}

// Replaces PATH with TEXT in one step, so a reader never sees half a file.
int write_file_replacing(const std::string& path, const std::string& text, unsigned mode) {
    std::string why;
    if (quor::replace_file_with_mode(path, text, mode, &why) == 0) return 0;
    quor_log("Quor ERR: %s\n", why.c_str());
    return -1;
}

// 0 when PATH is gone afterwards (also when it never existed).
int remove_file(const std::string& path) {
    if (quor::remove_file(path) == 0) return 0;
    quor_log("Quor ERR: Cannot delete %s: %s\n", path.c_str(), strerror(errno));
    return -1;
}

}  // namespace

std::string autostart_dir() {
    std::string base;
    if (const char* dirs = getenv("XDG_CONFIG_DIRS")) {
        std::string_view rest = dirs;
        while (base.empty() && !rest.empty()) {
            const size_t colon = rest.find(':');
            const std::string_view entry = rest.substr(0, colon);
            if (!entry.empty() && entry.front() == '/') base = entry;
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    if (base.empty()) base = "/etc/xdg";
    if (base.back() != '/') base += '/';
    return base + "autostart/";
}

std::string loader_script_text(const std::string& exe_dir, const std::string& exe_name,
                               const std::string& home) {
    std::string text = "#!/bin/sh\n";
    text += "cd " + shell_quote(exe_dir) + " || exit 1\n";
    if (!home.empty()) text += "export QUOR_HOME=" + shell_quote(home) + "\n";
    // A user's log-on gets the administrator rights the program needs from
    // pkexec, which asks for the password; the path is the one its polkit
    // action names.
    text += "if [ \"$(id -u)\" -ne 0 ] && command -v pkexec >/dev/null; then\n";
    text += "    exec pkexec " + shell_quote(exe_dir + exe_name) + "\n";
    text += "fi\n";
    text += "exec " + shell_quote("./" + exe_name) + "\n";
    return text;
}

std::string autostart_entry_text(const std::string& loader_path) {
    std::string arg;
    if (!exec_quote(loader_path, &arg)) return {};
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=KestrowQuor\n"
           "Exec=/bin/sh " +
           arg +
           "\n"
           "Terminal=false\n";
}

int WriteLoaderScript(bool remove, std::string* path) {
    *path = GetModuleDir() + LOADER_SCRIPT_NAME;
    if (remove) return remove_file(*path);
    const char* home = getenv("QUOR_HOME");
    const std::string text =
        loader_script_text(quor::executable_dir(), quor::executable_name(), home ? home : "");
    return write_file_replacing(*path, text, LOADER_MODE);
}

int ApplyAutoRun(int autorun) {
    const std::string entry = autostart_dir() + AUTOSTART_ENTRY_NAME;
    std::string loader;
    if (autorun == 0) {
        remove_file(entry);
        return WriteLoaderScript(true, &loader) == 0 ? 1 : 0;
    }
    if (WriteLoaderScript(false, &loader) != 0) return 0;
    const std::string text = autostart_entry_text(loader);
    if (text.empty()) {
        quor_log("Quor ERR: The path %s cannot be started at log-on.\n", loader.c_str());
        return 0;
    }
    std::error_code ec;
    std::filesystem::create_directories(autostart_dir(), ec);
    return write_file_replacing(entry, text, ENTRY_MODE) == 0 ? 1 : 0;
}
