// The program's string table.
#include "resources/StringTable.h"

#include <cstring>

#include "platform/Threads.h"
#include "platform/Unicode.h"

namespace {

constexpr ResourceText kStringTable[] = {
    {IDS_NO_KEY_USAGE, u"Specified certificate doesn't contain key usage attribute.",
     u"指定证书不含有密钥用途属性"},
    {IDS_CERT_TIME_INVALID, u"Certificate in certificate chain is time invalid",
     u"证书链中某个证书时间无效"},
    {IDS_CERT_REVOKED, u"Certificate is in offline CRL", u"证书在离线的CRL列表中"},
    {IDS_CERT_CHAIN_INCOMPLETE, u"Certificate chain is not integrated", u"证书链不完整"},
    {IDS_INVALID_CERT_USAGE, u"Invalid certificate usage.", u"无效的证书用法"},
    {IDS_INVALID_KEY_ALGORITHM, u"Invalid key algorithm.", u"无效的密钥算法"},
};

}  // namespace

std::span<const ResourceText> ProgramStringTable() { return kStringTable; }

int LoadStringW(HINSTANCE /*hInstance*/, UINT uID, char16_t* lpBuffer, int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax < 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char16_t* pszText = FindResourceText(kStringTable, uID, GetResourceLanguage());
  if (pszText == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  std::size_t nLength = wcslen16(pszText);
  if (nLength > static_cast<std::size_t>(cchBufferMax - 1))
    nLength = static_cast<std::size_t>(cchBufferMax - 1);
  std::memcpy(lpBuffer, pszText, nLength * sizeof(char16_t));
  lpBuffer[nLength] = u'\0';
  return static_cast<int>(nLength);
}
