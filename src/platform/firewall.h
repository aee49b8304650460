// The exception that the system's firewall gives the program itself, made
// sure of once at every start.
#pragma once

#include <string>

namespace quor {

// Makes sure the executable IMAGE_PATH is listed, and enabled, among the
// authorized applications of the firewall's current profile, under NAME.
// Every step only writes a line to the diagnostic log; nothing is shown. 0
// when the executable ends up authorized (or already was), -1 otherwise.
int AddFirewallException(const std::string& image_path, const std::string& name);

}  // namespace quor
