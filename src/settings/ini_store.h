// An INI file store with the behaviour of the Windows private-profile calls:
// every call reads the file afresh, every write goes straight to the file,
// nothing is cached. Section and key names compare without regard to case.
#pragma once

#include <string>

// The integer value of KEY in SECTION of the file at PATH: optional blanks, an
// optional sign and decimal digits, read up to the first other character (no
// digits gives 0; values wrap to 32 bits). A value enclosed in matching quotes
// is read without them. DEF when the file, section or key is missing or the
// value is empty. A '[' line without its ']' opens no section: the keys after
// it belong to the section before it.
int ini_get_int(const std::string& path, const char* section, const char* key, int def);

// Sets KEY in SECTION to VALUE and writes the file at once, creating the
// file, section or key as needed; a new key goes after the section's last
// key, a new section at the end. Everything else in the file is kept:
// entries are written as "key=value", and a line that is neither a comment,
// a section header nor an entry (a '[' without its ']' too) becomes a
// comment. The file is replaced as a whole (a new file beside it, with the
// old one's owner and mode, flushed and renamed over it; a link at PATH
// stays a link to the replaced file), so that a full disk or a crash never
// leaves it cut short. Returns 0, or -1 when the file cannot be read or
// written (a file this process may not write is never replaced), holds a NUL
// byte (it is left as it is), or a name or value cannot be stored (line
// ends, a key with '=', a section with ']', an empty name). A file that
// cannot be read or written is left as it was, and that is logged.
int ini_write_string(const std::string& path, const char* section, const char* key,
                     const char* value);
