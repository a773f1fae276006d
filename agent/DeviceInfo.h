// The MAC list: the hardware addresses of the machine's network adapters,
// physical and connected adapters first.
#pragma once

#include "platform/IpHelper.h"
#include "platform/WinTypes.h"

// Longest MAC list, without its terminator; the list is built in an array of
// MAC_LIST_CAPACITY + 1 bytes.
constexpr int MAC_LIST_CAPACITY = 180;
constexpr int MAC_LIST_MAX_CHARS = MAC_LIST_CAPACITY - 1;

// Collects the MAC list: the address texts ("00:1A:2B:3C:4D:5E") of the
// adapters in group 0 (physical, connected), 1 (virtual, connected),
// 2 (physical, not connected) and 3 (virtual, not connected), each group in
// the platform's order, separated by ";". Returns 0 with a new array
// (delete[]) in *ppszMacInfo, the empty text when there is no adapter; the
// HRESULT of the platform's error when the adapter list cannot be read
// (E_FAIL when the platform gives no error number); E_OUTOFMEMORY; E_POINTER
// for a null out place. *ppszMacInfo is untouched on failure.
HRESULT GetNetInfoString(char** ppszMacInfo);

// The group of one adapter: bit 0 set when it is not physical, bit 1 when it is
// not connected (no IPv4 address or no default gateway). Returns 0, or
// E_INVALIDARG for a null record or out place.
HRESULT GetMacType(const IP_ADAPTER_INFO* pstAdaptersInfo, int* pnMacType);

// True when the network adapter class key holds a subkey whose
// NetCfgInstanceId equals the adapter name (ignoring case) and whose
// Characteristics has both NCF_PHYSICAL and NCF_HAS_UI. Every registry failure
// answers false.
bool IsPhysicalNetworkCard(const char* pszAdapterName);
