#include "settings/loader_script.h"

namespace {
// TEXT inside a script string: each quotation mark doubled.
std::string quoted_for_script(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}
}  // namespace

std::string backslash_folder(const std::string& dir) {
    if (dir.empty()) return {};
    std::string out = dir;
    for (char& c : out) {
        if (c == '/') c = '\\';
    }
    if (out.back() != '\\') out += '\\';
    return out;
}

std::string program_base_name(const std::string& file_name) {
    const size_t dot = file_name.rfind('.');
    return dot == std::string::npos || dot == 0 ? file_name : file_name.substr(0, dot);
}

std::string loader_script_text(const std::string& dir, const std::string& program) {
    const std::string command =
        program.find(' ') == std::string::npos ? program : "\"" + program + "\"";
    return "set WSO = createobject(\"WScript.Shell\")\r\n"
           "WSO.CurrentDirectory = " +
           quoted_for_script(dir) + "\r\nWSO.Run " + quoted_for_script(command) + "\r\n";
}

std::string run_command_for(const std::string& path) {
    return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}
