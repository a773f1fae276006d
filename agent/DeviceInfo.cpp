// The MAC list of the machine's network adapters.
#include "agent/DeviceInfo.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "Host/Tracing.h"
#include "agent/TovelAgent.h"
#include "platform/Registry.h"
#include "platform/Unicode.h"

namespace {

constexpr int MAC_TYPE_COUNT = 4;
// A group list's room: 1024 bytes, terminator included.
constexpr std::size_t GROUP_LIST_CAPACITY = 1024;
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
void JoinGroupLists(const char (*pszGroupLists)[GROUP_LIST_CAPACITY + 1], char* pszMacInfo) {
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

}  // namespace

HRESULT GetNetInfoString(char** ppszMacInfo) {
  TraceHelper traceHelper(u"GetNetInfoString");
  const char16_t* pszOperation = u"GetNetInfoString";
  if (ppszMacInfo == nullptr) {
    WIDE_LOG_FAILED(pszOperation, u"Check parameter(ppszMacInfo)", E_POINTER, u"NULL == ppszMacInfo");
    return E_POINTER;
  }

  // Group lists as one zeroed block; group n starts at pszGroupLists[n].
  auto* pszGroupLists = new (std::nothrow) char[MAC_TYPE_COUNT][GROUP_LIST_CAPACITY + 1]();
  if (pszGroupLists == nullptr) {
    WIDE_LOG_FAILED(pszOperation, u"New buffer", E_OUTOFMEMORY, u"NULL == pszGroupLists");
    return E_OUTOFMEMORY;
  }
  HRESULT hResult = S_OK;
  BYTE* pbyAdapters = nullptr;
  char* pszMacInfo = nullptr;

  ULONG nAdaptersSize = 0;
  DWORD dwRetCode = GetAdaptersInfo(nullptr, &nAdaptersSize);
  if (dwRetCode != ERROR_SUCCESS && dwRetCode != ERROR_BUFFER_OVERFLOW && dwRetCode != ERROR_NO_DATA) {
    hResult = LastErrorToHResult();
    WIDE_LOG_FAILED(pszOperation, u"GetAdaptersInfo (Get size)", hResult,
                    u"dwRetCode != ERROR_SUCCESS && dwRetCode != ERROR_BUFFER_OVERFLOW && "
                    u"dwRetCode != ERROR_NO_DATA");
    goto End;
  }
  WIDE_LOG_OK(pszOperation, u"GetAdaptersInfo (Get size)");

  if (dwRetCode != ERROR_NO_DATA) {
    pbyAdapters = new (std::nothrow) BYTE[nAdaptersSize + 1]();
    if (pbyAdapters == nullptr) {
      hResult = E_OUTOFMEMORY;
      WIDE_LOG_FAILED(pszOperation, u"New buffer", hResult, u"NULL == pbyAdapters");
      goto End;
    }
    WIDE_LOG_OK(pszOperation, u"New buffer");
    auto* pstAdaptersInfo = reinterpret_cast<IP_ADAPTER_INFO*>(pbyAdapters);
    dwRetCode = GetAdaptersInfo(pstAdaptersInfo, &nAdaptersSize);
    if (dwRetCode != ERROR_SUCCESS) {
      hResult = LastErrorToHResult();
      WIDE_LOG_FAILED(pszOperation, u"GetAdaptersInfo (Get value)", hResult, u"dwRetCode != ERROR_SUCCESS");
      goto End;
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
  }

  pszMacInfo = new (std::nothrow) char[MAC_LIST_CAPACITY + 1]();
  if (pszMacInfo == nullptr) {
    hResult = E_OUTOFMEMORY;
    WIDE_LOG_FAILED(pszOperation, u"New buffer", hResult, u"NULL == pszMacInfo");
    goto End;
  }
  WIDE_LOG_OK(pszOperation, u"New buffer");
  JoinGroupLists(pszGroupLists, pszMacInfo);
  *ppszMacInfo = pszMacInfo;

End:
  delete[] pbyAdapters;
  delete[] pszGroupLists;
  return hResult;
}

HRESULT GetMacType(const IP_ADAPTER_INFO* pstAdaptersInfo, int* pnMacType) {
  const char16_t* pszOperation = u"GetMacType";
  if (pstAdaptersInfo == nullptr) {
    WIDE_LOG_FAILED(pszOperation, u"Check pstAdaptersInfo", E_INVALIDARG, u"NULL == pstAdaptersInfo");
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

  HKEY hClassKey = nullptr;
  LONG lStatus = RegOpenKeyExW(HKEY_LOCAL_MACHINE, NET_CLASS_KEY, 0, KEY_READ, &hClassKey);
  if (lStatus != static_cast<LONG>(ERROR_SUCCESS)) {
    WIDE_LOG_FAILED(pszOperation, u"RegOpenKey", StatusToHResult(lStatus), u"lStatus != ERROR_SUCCESS");
    return false;
  }
  WIDE_LOG_OK(pszOperation, u"RegOpenKey");

  bool bPhysical = false;
  HKEY hSubKey = nullptr;
  char16_t szSubKeyName[CLASS_KEY_NAME_CHARS] = {};
  for (DWORD dwIndex = 0;; ++dwIndex) {
    DWORD cchName = CLASS_KEY_NAME_CHARS;
    if (RegEnumKeyExW(hClassKey, dwIndex, szSubKeyName, &cchName, nullptr, nullptr, nullptr, nullptr) !=
        static_cast<LONG>(ERROR_SUCCESS))
      break;
    char16_t szSubKeyPath[CLASS_KEY_NAME_CHARS] = {};
    bool bPathFits = FormatSubKeyPath(szSubKeyName, szSubKeyPath);
    std::memset(szSubKeyName, 0, sizeof szSubKeyName);
    // A subkey whose path would not fit is skipped.
    if (!bPathFits) continue;

    if (hSubKey != nullptr) RegCloseKey(hSubKey);
    hSubKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, szSubKeyPath, 0, KEY_READ, &hSubKey) !=
        static_cast<LONG>(ERROR_SUCCESS)) {
      hSubKey = nullptr;
      continue;
    }

    char16_t szInstanceId[NET_CFG_INSTANCE_ID_BYTES / sizeof(char16_t) + 1] = {};
    DWORD cbInstanceId = NET_CFG_INSTANCE_ID_BYTES;
    DWORD dwType = 0;
    if (RegQueryValueExW(hSubKey, u"NetCfgInstanceId", nullptr, &dwType,
                         reinterpret_cast<BYTE*>(szInstanceId), &cbInstanceId) != static_cast<LONG>(ERROR_SUCCESS))
      continue;
    // The instance id in the system's narrow code page.
    char szNarrowId[NET_CFG_INSTANCE_ID_BYTES * 2] = {};
    if (WideCharToMultiByte(CP_UTF8, 0, szInstanceId, -1, szNarrowId, sizeof szNarrowId, nullptr,
                            nullptr) == 0)
      continue;
    if (strcasecmp(szNarrowId, pszAdapterName) != 0) continue;

    DWORD dwCharacteristics = 0;
    DWORD cbCharacteristics = sizeof dwCharacteristics;
    if (RegQueryValueExW(hSubKey, u"Characteristics", nullptr, &dwType,
                         reinterpret_cast<BYTE*>(&dwCharacteristics),
                         &cbCharacteristics) == static_cast<LONG>(ERROR_SUCCESS))
      bPhysical = (dwCharacteristics & PHYSICAL_CHARACTERISTICS) == PHYSICAL_CHARACTERISTICS;
    break;
  }
  if (hSubKey != nullptr) RegCloseKey(hSubKey);
  RegCloseKey(hClassKey);
  return bPhysical;
}
