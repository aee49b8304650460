// Start at log-on: a per-user XDG autostart entry, KestrowQuor.desktop in
// $XDG_CONFIG_HOME/autostart/, whose command runs the program directly by
// its full path, as the user who logs on; on Windows the machine's Run list
// and loader.vbs (settings/loader_script.h). Every start applies the setting
// again, so a moved or renamed program has its entry corrected then.
#pragma once

#include <string>

constexpr const char* AUTOSTART_ENTRY_NAME = "KestrowQuor.desktop";

// The folder of the entry; ends in '/' (empty without a home folder).
std::string autostart_dir();

// Switches the start at log-on on (AUTORUN not 0: writes the entry for the
// running executable) or off (removes the entry). Returns 1 on success, 0
// when the entry could not be written or deleted.
int ApplyAutoRun(int autorun);

// The autostart entry's text, whose command runs the program at
// PROGRAM_PATH, with QUOR_HOME set to HOME when HOME is not empty. Empty
// when a path cannot be written in a desktop entry (a line break in it).
std::string autostart_entry_text(const std::string& program_path, const std::string& home);
