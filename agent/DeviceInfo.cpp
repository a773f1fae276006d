// The MAC list of the machine's network adapters.
#include "agent/DeviceInfo.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "Host/Tracing.h"
#include "agent/TovelAgent.h"
#include "platform/Registry.h"
#include "platform/Unicode.h"

namespace {

constexpr int MAC_TYPE_COUNT = 4;
// A group list's room: 1024 bytes, terminator included.
constexpr std::size_t GROUP_LIST_CAPACITY = 1024;
// One group's list of address texts.
using GroupList = char[GROUP_LIST_CAPACITY + 1];
// The longest address text (6 bytes, 17 characters) with its separator.
constexpr std::size_t MAX_ENTRY_CHARS = 18;
constexpr UINT MAX_SHOWN_ADDRESS_BYTES = 6;
constexpr DWORD CLASS_KEY_NAME_CHARS = 260;
constexpr DWORD NET_CFG_INSTANCE_ID_BYTES = 128;
constexpr DWORD PHYSICAL_CHARACTERISTICS = 0x84;  // NCF_PHYSICAL | NCF_HAS_UI

constexpr char16_t NET_CLASS_KEY[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";

// "%s%02X" per byte, ":" before every byte but the first.
void FormatAddressText(const IP_ADAPTER_INFO* pstAdapter, char (&szAddress)[MAX_ENTRY_CHARS]) {
  std::memset(szAddress, 0, sizeof szAddress);
  for (UINT nIndex = 0; nIndex < pstAdapter->AddressLength; ++nIndex) {
    std::size_t nLen = std::strlen(szAddress);
    std::snprintf(szAddress + nLen, sizeof szAddress - nLen, "%s%02X", nIndex == 0 ? "" : ":",
                  pstAdapter->Address[nIndex]);
  }
}

// Appends one address text to a group list under the room rules.
void AppendToGroupList(char* pszGroupList, const char* pszAddress) {
  std::size_t nListLen = std::strlen(pszGroupList);
  if (nListLen + MAX_ENTRY_CHARS > GROUP_LIST_CAPACITY) return;
  std::size_t nSeparatorLen = nListLen == 0 ? 0 : 1;
  std::size_t nAddressLen = std::strlen(pszAddress);
  if (nListLen + nSeparatorLen + nAddressLen + 1 > GROUP_LIST_CAPACITY) return;
  if (nSeparatorLen != 0) pszGroupList[nListLen++] = ';';
  std::memcpy(pszGroupList + nListLen, pszAddress, nAddressLen + 1);
}

// Joins the non-empty group lists in group order into pszMacInfo (room for
// MAC_LIST_MAX_CHARS and a terminator) and removes one final ";". A list longer
// than that room keeps its leading whole entries only.
void JoinGroupLists(const GroupList* pszGroupLists, char* pszMacInfo) {
  char szJoined[MAC_TYPE_COUNT * (GROUP_LIST_CAPACITY + 1)] = {};
  std::size_t nLen = 0;
  for (int nType = 0; nType < MAC_TYPE_COUNT; ++nType) {
    if (pszGroupLists[nType][0] == '\0') continue;
    if (nLen != 0) szJoined[nLen++] = ';';
    std::size_t nGroupLen = std::strlen(pszGroupLists[nType]);
    std::memcpy(szJoined + nLen, pszGroupLists[nType], nGroupLen);
    nLen += nGroupLen;
  }
  if (nLen != 0 && szJoined[nLen - 1] == ';') szJoined[--nLen] = '\0';
  if (nLen > static_cast<std::size_t>(MAC_LIST_MAX_CHARS)) {
    std::size_t nCut = MAC_LIST_MAX_CHARS;
    while (nCut > 0 && szJoined[nCut] != ';') --nCut;
    nLen = nCut;
  }
  std::memcpy(pszMacInfo, szJoined, nLen);
  pszMacInfo[nLen] = '\0';
}

// The class key's path followed by a subkey name, when it fits the platform's
// 260-character key path.
bool FormatSubKeyPath(const char16_t* pszSubKeyName, char16_t (&szPath)[CLASS_KEY_NAME_CHARS]) {
  std::size_t nKeyLen = wcslen16(NET_CLASS_KEY);
  std::size_t nNameLen = wcslen16(pszSubKeyName);
  if (nKeyLen + nNameLen >= CLASS_KEY_NAME_CHARS) return false;
  std::memcpy(szPath, NET_CLASS_KEY, nKeyLen * sizeof(char16_t));
  std::memcpy(szPath + nKeyLen, pszSubKeyName, (nNameLen + 1) * sizeof(char16_t));
  return true;
}

// A new zeroed array of nCount elements, with the step line "New buffer" of
// GetNetInfoString (pszReason on failure) at the caller's line; null when
// memory runs out.
template <typename T>
std::unique_ptr<T[]> NewBufferStep(std::size_t nCount, const char16_t* pszReason,
                                   int nCallerLine = TOVEL_CALLER_LINE) {
  std::unique_ptr<T[]> spBuffer(new (std::nothrow) T[nCount]());
  if (spBuffer == nullptr) {
    WIDE_LOG_FAILED_AT(nCallerLine, u"GetNetInfoString", u"New buffer", E_OUTOFMEMORY, pszReason);
    return nullptr;
  }
  WIDE_LOG_OK(u"GetNetInfoString", u"New buffer");
  return spBuffer;
}

// Reads the adapter list and appends each adapter's address text to the list
// of its group. S_OK (also for no adapter), or the failing step's status.
HRESULT ReadAdaptersIntoGroups(GroupList* pszGroupLists) {
  const char16_t* pszOperation = u"GetNetInfoString";
  ULONG nAdaptersSize = 0;
  DWORD dwRetCode = GetAdaptersInfo(nullptr, &nAdaptersSize);
  if (dwRetCode != ERROR_SUCCESS && dwRetCode != ERROR_BUFFER_OVERFLOW &&
      dwRetCode != ERROR_NO_DATA) {
    const HRESULT hResult = LastErrorToHResult();
    WIDE_LOG_FAILED(pszOperation, u"GetAdaptersInfo (Get size)", hResult,
                    u"dwRetCode != ERROR_SUCCESS && dwRetCode != ERROR_BUFFER_OVERFLOW && "
                    u"dwRetCode != ERROR_NO_DATA");
    return hResult;
  }
  WIDE_LOG_OK(pszOperation, u"GetAdaptersInfo (Get size)");
  if (dwRetCode == ERROR_NO_DATA) return S_OK;

  const std::unique_ptr<BYTE[]> spbyAdapters =
      NewBufferStep<BYTE>(nAdaptersSize + 1, u"NULL == pbyAdapters");
  if (spbyAdapters == nullptr) return E_OUTOFMEMORY;
  auto* pstAdaptersInfo = reinterpret_cast<IP_ADAPTER_INFO*>(spbyAdapters.get());
  dwRetCode = GetAdaptersInfo(pstAdaptersInfo, &nAdaptersSize);
  if (dwRetCode != ERROR_SUCCESS) {
    const HRESULT hResult = LastErrorToHResult();
    WIDE_LOG_FAILED(pszOperation, u"GetAdaptersInfo (Get value)", hResult,
                    u"dwRetCode != ERROR_SUCCESS");
    return hResult;
  }
  WIDE_LOG_OK(pszOperation, u"GetAdaptersInfo (Get value)");

  for (const IP_ADAPTER_INFO* pstAdapter = pstAdaptersInfo; pstAdapter != nullptr;
       pstAdapter = pstAdapter->Next) {
    // A longer hardware address does not fit the address text: leave the
    // adapter out rather than show a cut address.
    if (pstAdapter->AddressLength > MAX_SHOWN_ADDRESS_BYTES) {
      std::uint32_t nAddressLength = pstAdapter->AddressLength;
      TRACE_VALUES(TraceMsg::DeviceInfo::AdapterLeftOut, pstAdapter->AdapterName, nAddressLength);
      continue;
    }
    char szAddress[MAX_ENTRY_CHARS];
    FormatAddressText(pstAdapter, szAddress);
    int nMacType = 0;
    if (FAILED(GetMacType(pstAdapter, &nMacType))) continue;
    AppendToGroupList(pszGroupLists[nMacType], szAddress);
  }
  return S_OK;
}

// The key at the path below HKEY_LOCAL_MACHINE, opened for reading; null
// when it cannot be opened, with the registry's result in *plStatus.
UniqueHkey OpenMachineKey(const char16_t* pszPath, LONG* plStatus) {
  HKEY hKey = nullptr;
  *plStatus = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszPath, 0, KEY_READ, &hKey);
  return UniqueHkey(*plStatus == static_cast<LONG>(ERROR_SUCCESS) ? hKey : nullptr);
}

// Whether the adapter that the class subkey at the path describes is
// physical; nullopt when the subkey describes another adapter or cannot be
// read.
std::optional<bool> SubKeyIsPhysical(const char16_t* pszSubKeyPath, const char* pszAdapterName) {
  LONG lStatus = 0;
  const UniqueHkey spSubKey = OpenMachineKey(pszSubKeyPath, &lStatus);
  if (spSubKey == nullptr) return std::nullopt;

  char16_t szInstanceId[NET_CFG_INSTANCE_ID_BYTES / sizeof(char16_t) + 1] = {};
  DWORD cbInstanceId = NET_CFG_INSTANCE_ID_BYTES;
  DWORD dwType = 0;
  if (RegQueryValueExW(spSubKey.get(), u"NetCfgInstanceId", nullptr, &dwType,
                       reinterpret_cast<BYTE*>(szInstanceId),
                       &cbInstanceId) != static_cast<LONG>(ERROR_SUCCESS))
    return std::nullopt;
  // The instance id in the system's narrow code page.
  char szNarrowId[NET_CFG_INSTANCE_ID_BYTES * 2] = {};
  if (WideCharToMultiByte(CP_UTF8, 0, szInstanceId, -1, szNarrowId, sizeof szNarrowId, nullptr,
                          nullptr) == 0)
    return std::nullopt;
  if (strcasecmp(szNarrowId, pszAdapterName) != 0) return std::nullopt;

  DWORD dwCharacteristics = 0;
  DWORD cbCharacteristics = sizeof dwCharacteristics;
  if (RegQueryValueExW(spSubKey.get(), u"Characteristics", nullptr, &dwType,
                       reinterpret_cast<BYTE*>(&dwCharacteristics),
                       &cbCharacteristics) != static_cast<LONG>(ERROR_SUCCESS))
    return false;
  return (dwCharacteristics & PHYSICAL_CHARACTERISTICS) == PHYSICAL_CHARACTERISTICS;
}

}  // namespace

HRESULT GetNetInfoString(char** ppszMacInfo) {
  TraceHelper traceHelper(u"GetNetInfoString");
  const char16_t* pszOperation = u"GetNetInfoString";
  if (ppszMacInfo == nullptr) {
    WIDE_LOG_FAILED(pszOperation, u"Check parameter(ppszMacInfo)", E_POINTER,
                    u"NULL == ppszMacInfo");
    return E_POINTER;
  }

  // The group lists as one zeroed block; group n starts at spGroupLists[n].
  const std::unique_ptr<GroupList[]> spGroupLists(new (std::nothrow) GroupList[MAC_TYPE_COUNT]());
  if (spGroupLists == nullptr) {
    WIDE_LOG_FAILED(pszOperation, u"New buffer", E_OUTOFMEMORY, u"NULL == pszGroupLists");
    return E_OUTOFMEMORY;
  }
  const HRESULT hResult = ReadAdaptersIntoGroups(spGroupLists.get());
  if (hResult != S_OK) return hResult;

  std::unique_ptr<char[]> spMacInfo =
      NewBufferStep<char>(MAC_LIST_CAPACITY + 1, u"NULL == pszMacInfo");
  if (spMacInfo == nullptr) return E_OUTOFMEMORY;
  JoinGroupLists(spGroupLists.get(), spMacInfo.get());
  *ppszMacInfo = spMacInfo.release();
  return S_OK;
}

HRESULT GetMacType(const IP_ADAPTER_INFO* pstAdaptersInfo, int* pnMacType) {
  const char16_t* pszOperation = u"GetMacType";
  if (pstAdaptersInfo == nullptr) {
    WIDE_LOG_FAILED(pszOperation, u"Check pstAdaptersInfo", E_INVALIDARG,
                    u"NULL == pstAdaptersInfo");
    return E_INVALIDARG;
  }
  WIDE_LOG_OK(pszOperation, u"Check pstAdaptersInfo");
  if (pnMacType == nullptr) {
    WIDE_LOG_FAILED(pszOperation, u"Check pnMacType", E_INVALIDARG, u"NULL == pnMacType");
    return E_INVALIDARG;
  }
  WIDE_LOG_OK(pszOperation, u"Check pnMacType");

  bool bConnected = strcasecmp(pstAdaptersInfo->IpAddressList.IpAddress.String, "0.0.0.0") != 0 &&
                    strcasecmp(pstAdaptersInfo->GatewayList.IpAddress.String, "0.0.0.0") != 0;
  bool bPhysical = IsPhysicalNetworkCard(pstAdaptersInfo->AdapterName);
  *pnMacType = (bPhysical ? 0 : 1) + (bConnected ? 0 : 2);
  return S_OK;
}

bool IsPhysicalNetworkCard(const char* pszAdapterName) {
  const char16_t* pszOperation = u"IsPhysicalNetworkCard";
  if (pszAdapterName == nullptr) return false;

  LONG lStatus = 0;
  const UniqueHkey spClassKey = OpenMachineKey(NET_CLASS_KEY, &lStatus);
  if (spClassKey == nullptr) {
    WIDE_LOG_FAILED(pszOperation, u"RegOpenKey", StatusToHResult(lStatus),
                    u"lStatus != ERROR_SUCCESS");
    return false;
  }
  WIDE_LOG_OK(pszOperation, u"RegOpenKey");

  char16_t szSubKeyName[CLASS_KEY_NAME_CHARS] = {};
  for (DWORD dwIndex = 0;; ++dwIndex) {
    DWORD cchName = CLASS_KEY_NAME_CHARS;
    if (RegEnumKeyExW(spClassKey.get(), dwIndex, szSubKeyName, &cchName, nullptr, nullptr, nullptr,
                      nullptr) != static_cast<LONG>(ERROR_SUCCESS))
      return false;
    char16_t szSubKeyPath[CLASS_KEY_NAME_CHARS] = {};
    bool bPathFits = FormatSubKeyPath(szSubKeyName, szSubKeyPath);
    std::memset(szSubKeyName, 0, sizeof szSubKeyName);
    // A subkey whose path would not fit is skipped.
    if (!bPathFits) continue;
    const std::optional<bool> obPhysical = SubKeyIsPhysical(szSubKeyPath, pszAdapterName);
    if (obPhysical.has_value()) return *obPhysical;
  }
}
