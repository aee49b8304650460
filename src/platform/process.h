// The running program itself: where it was started from, and ending it.
#pragma once

#include <string>

namespace quor {

// File name of the running executable, without its directory.
std::string executable_name();

// Folder of the running executable with a trailing '/'; empty when it
// cannot be found out.
std::string executable_dir();

// True when the process runs with root's rights (effective user id 0).
bool running_as_root();

// The process's effective user id.
unsigned effective_uid();

// The user's home folder without a trailing '/': HOME when it is an absolute
// path, else the home of the process's user in the password database;
// empty when neither names one.
std::string home_dir();

// Ends the process with STATUS at once: no exit handlers or destructors
// run, so threads still blocked in the network cannot hold it up.
[[noreturn]] void exit_now(int status);

}  // namespace quor
