// What the system starts when a user logs on: named commands in the
// machine-wide Run list of the registry, and the script files such a command
// may name, which the system's script host runs.
#pragma once

#include <string>

namespace quor {

// Sets the entry NAME of the Run list to COMMAND. 0, or -1 with the reason
// in *WHY (typically no administrator rights).
int set_logon_command(const std::string& name, const std::string& command, std::string* why);

// Removes the entry NAME. 0, also when there was none; -1 with the reason.
int remove_logon_command(const std::string& name, std::string* why);

// The command of the entry NAME into *COMMAND; false when there is none.
bool read_logon_command(const std::string& name, std::string* command);

// Creates or replaces the script at PATH with TEXT (UTF-8), written in the
// system's ANSI code page, or as UTF-16 with its byte order mark when TEXT
// holds a character that code page lacks. Others may read the file while it
// is written, not write it. 0, or -1 with the reason in *WHY.
int write_script_file(const std::string& path, const std::string& text, std::string* why);

// Deletes the file at PATH. 0, also when there was none; -1 with the reason.
int delete_script_file(const std::string& path, std::string* why);

}  // namespace quor
