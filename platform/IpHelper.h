// The adapter list of the IP helper interface: each network adapter with its
// hardware address, its first IPv4 address and its default gateway.
//
// On Linux the list is read from /sys/class/net (interfaces, their index, type
// and hardware address), getifaddrs (IPv4 addresses) and /proc/net/route
// (default gateways); loopback interfaces are left out. Adapters come in
// interface-index order, and an adapter's name is its interface name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

constexpr std::size_t MAX_ADAPTER_NAME_LENGTH = 256;
constexpr std::size_t MAX_ADAPTER_ADDRESS_LENGTH = 8;

// A dotted IPv4 address text ("0.0.0.0" for none).
struct IP_ADDRESS_STRING {
  char String[16];
};

struct IP_ADDR_STRING {
  IP_ADDR_STRING* Next;  // always null: one entry per list
  IP_ADDRESS_STRING IpAddress;
};

// One adapter record; records are chained through Next inside the caller's buffer.
struct IP_ADAPTER_INFO {
  IP_ADAPTER_INFO* Next;
  char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
  UINT AddressLength;
  BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
  IP_ADDR_STRING IpAddressList;  // the first IPv4 address
  IP_ADDR_STRING GatewayList;    // the default gateway
};

// Fills pAdapterInfo (a buffer of *pOutBufLen bytes) with the adapter chain.
// Returns ERROR_SUCCESS; ERROR_BUFFER_OVERFLOW with the needed size in
// *pOutBufLen when the buffer is null or too small; ERROR_NO_DATA when there is
// no adapter; ERROR_INVALID_PARAMETER for a null size; each of them also as the
// thread's last error. When reading the system's list fails, returns that error
// with the thread's last error set by the reader. Never throws: a reader that
// throws gives ERROR_NOT_ENOUGH_MEMORY (std::bad_alloc) or ERROR_GEN_FAILURE
// (31), each also as the last error.
DWORD GetAdaptersInfo(IP_ADAPTER_INFO* pAdapterInfo, ULONG* pOutBufLen);

// One adapter as a source reports it.
struct NetAdapter {
  std::string name;
  std::vector<std::uint8_t> hardwareAddress;  // up to 8 bytes are kept
  std::string ipAddress;                      // dotted text; empty for none
  std::string gateway;                        // dotted text; empty for none
};

// Produces the adapter list: ERROR_SUCCESS, or an error number after setting
// the thread's last error as it sees fit.
using NetAdapterSource = std::function<DWORD(std::vector<NetAdapter>& adapters)>;

// Test seam: replaces the system reader behind GetAdaptersInfo (an empty
// function restores it).
void SetNetAdapterSourceForTesting(NetAdapterSource source);
