// The firewall exception: at every start the program makes sure that
// firewalld lets in its inbound traffic. Its entry is a firewalld service
// named after the executable, opening the inbound UDP ports 14897 (the
// phone's address datagram), 514 (the phone's log) and 18747 (call audio),
// with the executable's path as its description; it counts as enabled when
// the default zone's permanent configuration holds it.
//
// Each step writes a line to standard output and nothing else depends on the
// outcome. The lines keep the texts of the original firewall steps, so logs
// of every build read alike; the D-Bus call that each step stands for:
//   CoInitializeEx             connecting to the system bus
//   CoCreateInstance           firewalld's "version" property (is it there?);
//                              when adding, creating the service (addService2)
//                              or, for a listed one, finding it
//   get_localPolicy            the default zone's name (getDefaultZone)
//   get_CurrentProfile         the zone's permanent settings (getZoneByName)
//   get_AuthorizedApplications the permanent services (getServiceNames)
//   get_Enabled                whether the zone holds the service (queryService)
//   put_ProcessImageFileName   the service's description (setDescription)
//   put_Name                   the service's short name (setShort)
//   Add                        adding it to the zone (addService), then reload
//   SysAllocString             an empty image path or name (0x8007000e)
// A failed call is reported as 0x8007xxxx with the error number in the low
// word, followed by a "Quor ERR: firewalld:" line naming the D-Bus error.
#pragma once

#include <string>

// The inbound ports, as firewalld names them.
constexpr const char* FIREWALL_PORTS[] = {"14897", "514", "18747"};
constexpr const char* FIREWALL_PROTOCOL = "udp";

// 0 when the entry NAME for IMAGE_PATH is enabled at the end (added now or
// already), -1 otherwise. Talks to the system bus, or to the bus that
// DBUS_SYSTEM_BUS_ADDRESS names.
int AddFirewallException(const std::string& image_path, const std::string& name);
