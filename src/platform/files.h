// Files through the operating system: whole-file reads, replacing a file so
// that a reader or a crash never meets half of it, and the few descriptor
// operations of a temporary download. Descriptors are plain ints; errno
// tells why a call failed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace quor {

enum class ReadResult { Ok, Missing, Failed };

// The bytes of the file at PATH into *TEXT. Missing when there is no such
// file; Failed, with errno kept, when it cannot be read.
ReadResult read_file(const std::string& path, std::string* text);

// Replaces the file at PATH by TEXT as a whole: a new file beside it under a
// random name gets TEXT and the old file's owner and mode, is flushed to the
// disk and renamed over the old one, and the folder is flushed, so a full
// disk or a crash leaves either the old file or the new one, never a file
// cut short. A symbolic link at PATH stays and its target is replaced. A
// file this process may not write is left alone. 0, or -1 with the reason
// in *WHY; on failure the old file is as it was and no new one remains.
int replace_file(const std::string& path, const std::string& text, std::string* why);

// Replaces PATH with TEXT in one step, with MODE (permission bits): the
// text is written to PATH + ".new", which is renamed over PATH, so a reader
// never sees half a file. 0, or -1 with "Cannot create NAME: reason" or
// "Cannot write PATH: reason" in *WHY.
int replace_file_with_mode(const std::string& path, const std::string& text, unsigned mode,
                           std::string* why);

// 0 when PATH is gone afterwards (also when it never existed); -1 with
// errno set otherwise.
int remove_file(const std::string& path);

// Makes the folder DIR (and any missing folder above it) with mode 0700.
// True when DIR is then a folder (not a link) that belongs to this process's
// user and that nobody else may enter; a folder created earlier with wider
// rights is narrowed to 0700.
bool ensure_private_dir(const std::string& dir);

// True when something (a file, folder or link) exists at PATH.
bool path_exists(const std::string& path);

// Creates the file PATH with TEXT, readable and writable by its owner only;
// nothing already there (a link included) is opened or replaced. 0, or -1
// with errno set (EEXIST when PATH exists).
int create_private_file(const std::string& path, const std::string& text);

// Takes the group's and others' rights from the regular file at PATH (a
// link is not followed). 0, also when there is no such file; -1 otherwise.
int restrict_to_owner(const std::string& path);

// True when this process may read the file at PATH.
bool file_readable(const std::string& path);

// Creates a new file from *NAME, a path whose SUFFIX_LENGTH last characters
// follow six 'X's; the 'X's become random characters. The file is created
// exclusively (nothing already there, a link included, is opened) and only
// its owner may read or write it. Its descriptor with the name in *NAME,
// or -1 with errno set.
int create_unique_file(std::string* name, int suffix_length);

// Writes all LEN bytes of DATA to FD; 0, or -1 with errno set.
int write_all(int fd, const void* data, size_t len);
// Reads up to SIZE bytes from FD: their number, 0 at the end, -1 with
// errno set. An interrupted read is repeated.
ssize_t read_some(int fd, void* buf, size_t size);
// Moves FD back to the file's start; 0, or -1.
int rewind_file(int fd);
void close_file(int fd);

}  // namespace quor
