// The registry's network adapter class key, computed from the system's
// network interfaces.
//
// The key has one subkey per interface ("0000", "0001", ... in interface-index
// order), each with the values NetCfgInstanceId (the interface name, as the
// adapter list names the adapter) and Characteristics: 0x84 (physical, with
// a user interface) when the kernel shows a device behind the interface, else
// 0x1 (virtual).
#pragma once

#include <filesystem>
#include <string>

#include "platform/Registry.h"

// The class key's path below HKEY_LOCAL_MACHINE.
inline constexpr char16_t kNetClassKeyPath[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

constexpr std::uint32_t NCF_VIRTUAL = 0x1;
constexpr std::uint32_t NCF_PHYSICAL = 0x4;
constexpr std::uint32_t NCF_HAS_UI = 0x80;

// A provider for the class key over a sysfs net folder.
RegVirtualProvider MakeNetClassKeyProvider(const std::filesystem::path& sysClassNet);

// Mounts the class key over /sys/class/net, once per process; later calls do
// nothing (so a test's own mount made afterwards stays in place). False, with
// nothing mounted, when mounting fails (no memory); a later call tries again.
bool MountNetClassKey() noexcept;
