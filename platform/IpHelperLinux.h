// Private to platform/ and its tests: the Linux reader behind GetAdaptersInfo
// (platform/IpHelper.h) and the network adapter class key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/IpHelper.h"

// The system reader. The interface list, each interface's index, type,
// hardware address and whether a device stands behind it come from the sysfs
// folder sysClassNet; the default gateways from the routing table text
// (/proc/net/route format); the first IPv4 address of each interface from
// ipv4ByName (getifaddrs on the live system). Loopback interfaces are left out;
// the rest come in interface-index order.
struct NetInterfaceInfo {
  std::string name;
  int index = 0;
  bool loopback = false;
  bool backedByDevice = false;  // sysfs shows a "device" behind it: physical
  std::vector<std::uint8_t> hardwareAddress;
};
// Every interface of a sysfs net folder, loopback included, in index order.
std::vector<NetInterfaceInfo> ListNetInterfaces(const std::filesystem::path& sysClassNet);
// Default gateways by interface name from a routing table text (the first
// default route of an interface wins).
std::map<std::string, std::string> ParseDefaultGateways(const std::string& routeText);
// The adapter list from the three sources.
std::vector<NetAdapter> BuildNetAdapterList(const std::filesystem::path& sysClassNet,
                                            const std::string& routeText,
                                            const std::map<std::string, std::string>& ipv4ByName);
