// Adapter list over getifaddrs, /sys/class/net and /proc/net/route.
#include "platform/IpHelper.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>

#include "platform/IpHelperLinux.h"
#include "platform/LastError.h"
#include "platform/Posix.h"
#include "platform/Threads.h"

using tovel::FailWithLastError;

namespace {

constexpr int kArphrdLoopback = 772;  // sysfs "type" of a loopback interface
constexpr unsigned kRouteUp = 0x1;
constexpr unsigned kRouteGateway = 0x2;

std::mutex g_sourceMutex;
NetAdapterSource g_source;  // empty: the system reader

std::string ReadFirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string ReadWholeFile(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "00:1a:2b:3c:4d:5e" -> bytes; stops at the first malformed byte.
std::vector<std::uint8_t> ParseHardwareAddress(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::size_t pos = 0;
  while (pos + 2 <= text.size()) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + pos, "%2x", &value) != 1) break;
    bytes.push_back(static_cast<std::uint8_t>(value));
    pos += 2;
    if (pos < text.size() && text[pos] != ':') break;
    ++pos;
  }
  return bytes;
}

// The first IPv4 address of every interface that has one, by name.
DWORD ReadFirstIpv4Addresses(std::map<std::string, std::string>& ipv4ByName) {
  ifaddrs* first = nullptr;
  if (getifaddrs(&first) != 0) {
    const DWORD error = Win32ErrorFromErrno(errno);
    return FailWithLastError(error);
  }
  const tovel::UniquePtr<ifaddrs> list(first);
  for (ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr)
      ipv4ByName.emplace(entry->ifa_name, text);  // keeps the first one
  }
  return ERROR_SUCCESS;
}

DWORD ReadLiveNetAdapters(std::vector<NetAdapter>& adapters) {
  std::map<std::string, std::string> ipv4ByName;
  if (DWORD error = ReadFirstIpv4Addresses(ipv4ByName); error != ERROR_SUCCESS) return error;
  adapters = BuildNetAdapterList("/sys/class/net", ReadWholeFile("/proc/net/route"), ipv4ByName);
  return ERROR_SUCCESS;
}

void CopyAddressText(IP_ADDR_STRING& target, const std::string& text) {
  const std::string& shown = text.empty() ? std::string("0.0.0.0") : text;
  std::snprintf(target.IpAddress.String, sizeof target.IpAddress.String, "%s", shown.c_str());
}

}  // namespace

std::vector<NetInterfaceInfo> ListNetInterfaces(const std::filesystem::path& sysClassNet) {
  std::vector<NetInterfaceInfo> interfaces;
  std::error_code ec;
  // Stepping with an error code: an interface that goes away while the folder
  // is read ends the list instead of throwing.
  for (std::filesystem::directory_iterator it(sysClassNet, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::filesystem::directory_entry& entry = *it;
    NetInterfaceInfo info;
    info.name = entry.path().filename().string();
    info.index = std::atoi(ReadFirstLine(entry.path() / "ifindex").c_str());
    info.loopback = std::atoi(ReadFirstLine(entry.path() / "type").c_str()) == kArphrdLoopback;
    std::error_code linkError;
    info.backedByDevice = std::filesystem::exists(entry.path() / "device", linkError);
    info.hardwareAddress = ParseHardwareAddress(ReadFirstLine(entry.path() / "address"));
    int addressLength = std::atoi(ReadFirstLine(entry.path() / "addr_len").c_str());
    if (addressLength >= 0 && static_cast<std::size_t>(addressLength) < info.hardwareAddress.size())
      info.hardwareAddress.resize(static_cast<std::size_t>(addressLength));
    interfaces.push_back(std::move(info));
  }
  std::stable_sort(interfaces.begin(), interfaces.end(),
                   [](const NetInterfaceInfo& a, const NetInterfaceInfo& b) {
                     return a.index != b.index ? a.index < b.index : a.name < b.name;
                   });
  return interfaces;
}

std::map<std::string, std::string> ParseDefaultGateways(const std::string& routeText) {
  std::map<std::string, std::string> gateways;
  std::istringstream lines(routeText);
  std::string line;
  std::getline(lines, line);  // column titles
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, flags, refCount, use, metric, mask;
    if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask))
      continue;
    unsigned flagBits = static_cast<unsigned>(std::strtoul(flags.c_str(), nullptr, 16));
    if (std::strtoul(destination.c_str(), nullptr, 16) != 0 ||
        std::strtoul(mask.c_str(), nullptr, 16) != 0 || (flagBits & kRouteUp) == 0 ||
        (flagBits & kRouteGateway) == 0)
      continue;
    // The kernel prints the address as a number in the machine's byte order.
    in_addr address{};
    address.s_addr = static_cast<std::uint32_t>(std::strtoul(gateway.c_str(), nullptr, 16));
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address, text, sizeof text) != nullptr) gateways.emplace(name, text);
  }
  return gateways;
}

std::vector<NetAdapter> BuildNetAdapterList(const std::filesystem::path& sysClassNet,
                                            const std::string& routeText,
                                            const std::map<std::string, std::string>& ipv4ByName) {
  const std::map<std::string, std::string> gateways = ParseDefaultGateways(routeText);
  std::vector<NetAdapter> adapters;
  for (NetInterfaceInfo& info : ListNetInterfaces(sysClassNet)) {
    if (info.loopback) continue;
    NetAdapter adapter;
    adapter.name = info.name;
    adapter.hardwareAddress = std::move(info.hardwareAddress);
    if (auto it = ipv4ByName.find(info.name); it != ipv4ByName.end())
      adapter.ipAddress = it->second;
    if (auto it = gateways.find(info.name); it != gateways.end()) adapter.gateway = it->second;
    adapters.push_back(std::move(adapter));
  }
  return adapters;
}

void SetNetAdapterSourceForTesting(NetAdapterSource source) {
  std::lock_guard lock(g_sourceMutex);
  g_source = std::move(source);
}

namespace {

DWORD FillAdaptersInfo(IP_ADAPTER_INFO* pAdapterInfo, ULONG* pOutBufLen) {
  if (pOutBufLen == nullptr) return FailWithLastError(ERROR_INVALID_PARAMETER);
  NetAdapterSource source;
  {
    std::lock_guard lock(g_sourceMutex);
    source = g_source;
  }
  std::vector<NetAdapter> adapters;
  DWORD error = source ? source(adapters) : ReadLiveNetAdapters(adapters);
  if (error != ERROR_SUCCESS) return error;
  if (adapters.empty()) return FailWithLastError(ERROR_NO_DATA);

  const std::size_t needed = adapters.size() * sizeof(IP_ADAPTER_INFO);
  if (pAdapterInfo == nullptr || *pOutBufLen < needed) {
    *pOutBufLen = static_cast<ULONG>(needed);
    return FailWithLastError(ERROR_BUFFER_OVERFLOW);
  }
  std::memset(pAdapterInfo, 0, needed);
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const NetAdapter& adapter = adapters[i];
    IP_ADAPTER_INFO& record = pAdapterInfo[i];
    record.Next = i + 1 < adapters.size() ? &pAdapterInfo[i + 1] : nullptr;
    std::snprintf(record.AdapterName, sizeof record.AdapterName, "%s", adapter.name.c_str());
    record.AddressLength =
        static_cast<UINT>(std::min(adapter.hardwareAddress.size(), MAX_ADAPTER_ADDRESS_LENGTH));
    if (record.AddressLength != 0)
      std::memcpy(record.Address, adapter.hardwareAddress.data(), record.AddressLength);
    CopyAddressText(record.IpAddressList, adapter.ipAddress);
    CopyAddressText(record.GatewayList, adapter.gateway);
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* pAdapterInfo, ULONG* pOutBufLen) {
  try {
    return FillAdaptersInfo(pAdapterInfo, pOutBufLen);
  } catch (const std::bad_alloc&) {
    return FailWithLastError(ERROR_NOT_ENOUGH_MEMORY);
  } catch (...) {
    // Like the system call it stands for, it reports and never throws.
    return FailWithLastError(ERROR_GEN_FAILURE);
  }
}
