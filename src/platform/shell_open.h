// Opening a document or a web address with the user's default program, for
// a front end that has no toolkit of its own to do it.
#pragma once

#include <string>

namespace quor {

// Hands TARGET (a file's path or a web address) to the system's shell to
// open. True when it was taken.
bool shell_open(const std::string& target);

}  // namespace quor
