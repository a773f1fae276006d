// A small read-only registry stand-in.
//
// Keys come from two sources:
//  - a folder tree under the registry root:
//    a key is a folder, a value a file "<name>.dword" (a decimal or 0x-hex
//    number) or "<name>.sz" (UTF-8 text);
//  - virtual keys whose subkeys and values a provider computes, registered
//    for a key path (the network adapter class key is one).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/UniquePtr.h"
#include "platform/WinTypes.h"

struct RegKeyNode;
using HKEY = RegKeyNode*;
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))

constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_DWORD = 4;

// Results are system error numbers: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND,
// ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_INVALID_HANDLE,
// ERROR_INVALID_PARAMETER, ERROR_ACCESS_DENIED (any write access),
// ERROR_INVALID_DATA (a value file that does not hold its type).
// Key and value names compare ignoring ASCII case; "." and ".." name no key.
LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, DWORD samDesired, HKEY* result);
LONG RegQueryValueExW(HKEY key, const char16_t* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData);
LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* cchName, DWORD* reserved,
                   char16_t* className, DWORD* cchClassName, void* lastWriteTime);
LONG RegCloseKey(HKEY key);
TOVEL_DEFINE_DELETER(RegKeyNode, RegCloseKey);
using UniqueHkey = tovel::UniquePtr<RegKeyNode>;

// One key as a virtual provider describes it.
struct RegVirtualKey {
  std::vector<std::u16string> subKeys;                  // in enumeration order
  std::map<std::u16string, std::uint32_t> dwordValues;  // names compared ignoring ASCII case
  std::map<std::u16string, std::u16string> textValues;
};
// Computes the key at a path below the mount point ("" is the mount point
// itself, "0001" a subkey); nullopt when there is no such key.
using RegVirtualProvider = std::function<std::optional<RegVirtualKey>(const std::u16string&)>;
// Mounts a provider at a path below HKEY_LOCAL_MACHINE ("SYSTEM\\...").
// A later mount at the same path replaces the earlier one.
void RegMountVirtualKey(const std::u16string& path, RegVirtualProvider provider);

// The folder of the file-backed keys, which stands for HKEY_LOCAL_MACHINE
// (<root>/SYSTEM/CurrentControlSet/...): /etc/tovelhost/registry unless a
// test has set its own.
const char* RegistryRoot();
// Test seam: a folder used as the registry root (null restores the system
// one). The text must stay valid while it is the root. A test program may call
// this from a static initialiser: nothing reads the root before main.
void SetRegistryRootForTesting(const char* path);
