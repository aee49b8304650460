#include "settings/autorun.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/diag_log.h"
#include "platform/files.h"
#include "platform/process.h"
#include "settings/config.h"

namespace {

constexpr unsigned ENTRY_MODE = 0644;

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
    return user_autostart_dir();
}

std::string autostart_entry_text(const std::string& program_path, const std::string& home) {
    std::string program, command;
    if (!exec_quote(program_path, &program)) return {};
    if (!home.empty()) {
        std::string assignment;
        if (!exec_quote("QUOR_HOME=" + home, &assignment)) return {};
        command = "env " + assignment + " ";
    }
    command += program;
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=KestrowQuor\n"
           "Exec=" +
           command +
           "\n"
           "Terminal=false\n";
}

int ApplyAutoRun(int autorun) {
    const std::string dir = autostart_dir();
    if (dir.empty()) {
        quor_log("Quor ERR: No home folder for the start at log-on.\n");
        return 0;
    }
    const std::string entry = dir + AUTOSTART_ENTRY_NAME;
    if (autorun == 0) return remove_file(entry) == 0 ? 1 : 0;
    const char* home = getenv("QUOR_HOME");
    const std::string program = quor::executable_dir() + quor::executable_name();
    const std::string text = autostart_entry_text(program, home ? home : "");
    if (text.empty()) {
        quor_log("Quor ERR: The path %s cannot be started at log-on.\n", program.c_str());
        return 0;
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return write_file_replacing(entry, text, ENTRY_MODE) == 0 ? 1 : 0;
}
