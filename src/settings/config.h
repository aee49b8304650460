// Location and reading of config.ini, the program's integer settings.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* CONFIG_SECTION = "SECTION 1";

// Directory of every file the program keeps beside itself (config.ini,
// quor.log, the loader script), ending in '/': QUOR_HOME when that is set and
// not empty, else the running executable's directory. Empty (paths relative
// to the working directory) when neither can be found.
std::string GetModuleDir();

// GetModuleDir() + "config.ini".
std::string config_path();

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
