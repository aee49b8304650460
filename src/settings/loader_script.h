// The start at log-on through the machine's Run list: the entry
// "KestrowQuor" names a script, loader.vbs beside the executable, that
// changes into the executable's folder and starts the program by its name,
// so that the program starts with its own folder as the current one.
#pragma once

#include <string>

constexpr const char* RUN_VALUE_NAME = "KestrowQuor";
constexpr const char* LOADER_SCRIPT_NAME = "loader.vbs";

// DIR with every '/' made a '\' and a trailing '\'; empty for an empty DIR.
std::string backslash_folder(const std::string& dir);

// FILE_NAME without its extension (the part from its last '.' on).
std::string program_base_name(const std::string& file_name);

// The script's three lines, each ended by CR LF: create the script host's
// shell object, make DIR (with its trailing backslash) the current folder,
// run PROGRAM. A quotation mark inside a string is doubled, and a PROGRAM
// with a blank is quoted inside its string, so that it is run as one name.
std::string loader_script_text(const std::string& dir, const std::string& program);

// The Run entry's command for the script at PATH: the path itself, in
// quotation marks when it holds a blank (the system would otherwise try the
// path's first words as a program).
std::string run_command_for(const std::string& path);

// Switches the start at log-on on (AUTORUN not 0: writes the script for the
// executable PROGRAM in DIR and registers it) or off (removes the entry and
// the script). 1 on success, 0 when the script could not be written or
// deleted or the entry could not be set.
int apply_logon_script(int autorun, const std::string& dir, const std::string& program);
