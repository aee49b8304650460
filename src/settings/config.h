// Location and reading of config.ini, the program's integer settings.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* CONFIG_SECTION = "SECTION 1";

// Where the program's files are. Every folder ends in a separator. On
// Windows every file is beside the executable, as the system's own design
// has it (the program runs with administrator rights). Elsewhere:
// QUOR_HOME, when
// set and not empty, is every one of them (tests and side-by-side copies keep
// everything in one folder); otherwise each user has files of their own:
//   program_dir  the executable's folder: Readme.txt, and the config.ini that
//                an earlier install kept there
//   config_dir   config.ini: $XDG_CONFIG_HOME/kestrow-quor/, by default
//                ~/.config/kestrow-quor/
//   state_dir    quor.log and the phone logs that the console saves:
//                $XDG_STATE_HOME/kestrow-quor/, by default
//                ~/.local/state/kestrow-quor/
// An XDG variable that is not an absolute path is ignored, as the XDG base
// directory rules say. Without any home folder the program's folder stands
// in for both.
std::string GetModuleDir();  // program_dir
std::string config_dir();
std::string state_dir();

// config_dir() + "config.ini".
std::string config_path();

// The folder of the per-user autostart entries, $XDG_CONFIG_HOME/autostart/
// (by default ~/.config/autostart/), which the desktop reads at log-on
// whatever QUOR_HOME says.
std::string user_autostart_dir();

// The single-instance marker (platform/single_instance.h): on Windows the
// marker's name, of which the system makes a mutex and a pipe of the log-on
// session; elsewhere a socket in $XDG_RUNTIME_DIR, or without one in
// /tmp/kestrow-quor-UID/, a folder that must be this user's own (or another
// user could answer in its place). Empty when no safe place exists.
std::string instance_socket_path();

// Makes the per-user folders (mode 0700) and config.ini (mode 0600) before
// the first read. At the very first start (no config folder yet) a
// config.ini that an earlier install kept beside the executable is copied
// there, once; later changes to it are not taken over. Nothing is done
// under QUOR_HOME. Failures are logged; the program carries on with the
// defaults.
void prepare_user_files();

// KEY from the settings section, or DEF when it is missing, empty or -1; in
// that case DEF is written back at once (a failed write is ignored, the next
// read tries again).
int ReadConfigValue(const std::string& path, const char* key, int def);

// PhoneIP holds an IPv4 address with its first octet in the most significant
// byte, stored as a signed decimal: 192.168.1.10 is -1062731510.
int phone_ip_from_octets(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
std::string format_phone_ip(int value);  // "a.b.c.d"
// Parses "a.b.c.d" (four decimal fields 0..255) into *VALUE; 0 or -1.
int parse_phone_ip(const std::string& text, int* value);
