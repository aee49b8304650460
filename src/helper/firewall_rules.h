// Runtime firewalld rules that let one phone reach the connector's inbound
// UDP ports (14897 the phone's address datagram, 514 its log, 18747 call
// audio). Runtime only: firewalld forgets them at a reload or restart, and
// nothing is written to its permanent configuration.
#pragma once

#include <cstdint>
#include <string>

namespace quor::helper {

// The rich rules for ADDR (IPv4, host order), one per port.
std::string phone_rule(uint32_t addr, const char* port);

// Adds or removes the rules for ADDR in the default zone: 0, or an errno
// value with *WHY naming firewalld's error. Without firewalld on the system
// bus (DBUS_SYSTEM_BUS_ADDRESS where set) there is nothing to open: adding
// succeeds with *WHY saying so.
int firewall_add(uint32_t addr, std::string* why);
int firewall_remove(uint32_t addr, std::string* why);

}  // namespace quor::helper
