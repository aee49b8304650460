#pragma once

#include <string>

namespace quor {

// File name of the running executable, without its directory.
std::string executable_name();

}  // namespace quor
