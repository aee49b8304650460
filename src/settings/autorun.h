// Start at log-on. An XDG autostart entry, KestrowQuor.desktop in the system
// autostart folder, runs loader.sh, which is written beside the executable
// (or in QUOR_HOME); the loader changes into the executable's folder and
// starts the executable by its current name, so a moved or renamed program
// is corrected at its next start. A user's log-on starts it through pkexec.
#pragma once

#include <string>

constexpr const char* AUTOSTART_ENTRY_NAME = "KestrowQuor.desktop";
constexpr const char* LOADER_SCRIPT_NAME = "loader.sh";

// "autostart/" under the first absolute folder named in XDG_CONFIG_DIRS, or
// under /etc/xdg when it names none; ends in '/'.
std::string autostart_dir();

// Switches the start at log-on on (AUTORUN not 0: writes the loader, then
// the entry) or off (removes both). Returns 1 on success, 0 when switching on
// failed, or when switching off found a loader that it could not delete; an
// entry that cannot be deleted is only logged, since without its loader it
// starts nothing.
int ApplyAutoRun(int autorun);

// Writes the loader (REMOVE false), replacing any old one, or deletes it if
// it exists (REMOVE true). *PATH receives its full path either way. 0, or -1
// when the loader could not be written or deleted.
int WriteLoaderScript(bool remove, std::string* path);

// The loader's text: changes into EXE_DIR, keeps HOME as QUOR_HOME when it is
// not empty, and runs EXE_NAME from there; run by a user other than root, it
// starts EXE_DIR/EXE_NAME through pkexec instead when pkexec is there (which
// passes no QUOR_HOME on).
std::string loader_script_text(const std::string& exe_dir, const std::string& exe_name,
                               const std::string& home);

// The autostart entry's text, whose command runs the loader at LOADER_PATH
// with /bin/sh. Empty when the path cannot be written in a desktop entry (a
// line break in it).
std::string autostart_entry_text(const std::string& loader_path);
