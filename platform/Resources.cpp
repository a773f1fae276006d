// Message lookup by id and language, and the system's message texts.
#include "platform/Resources.h"

#include <cstdlib>
#include <cstring>

#include "platform/LastError.h"
#include "platform/SystemMessages.h"
#include "platform/Threads.h"
#include "platform/Unicode.h"

using tovel::FailWithLastError;

WORD ResourceLanguageFromLocale(const char* pszLocale) {
  if (pszLocale == nullptr || std::strncmp(pszLocale, "zh", 2) != 0) return LANGID_ENGLISH_US;
  // "zh" alone or followed by a territory, code set or modifier.
  char chNext = pszLocale[2];
  return chNext == '\0' || chNext == '_' || chNext == '-' || chNext == '.' || chNext == '@'
             ? LANGID_CHINESE_SIMPLIFIED
             : LANGID_ENGLISH_US;
}

WORD GetResourceLanguage() {
  for (const char* pszName : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* pszValue = std::getenv(pszName);
    if (pszValue != nullptr && pszValue[0] != '\0') return ResourceLanguageFromLocale(pszValue);
  }
  return LANGID_ENGLISH_US;
}

const char16_t* FindResourceText(std::span<const ResourceText> table, DWORD dwId, WORD wLanguage) {
  for (const ResourceText& entry : table)
    if (entry.dwId == dwId)
      return wLanguage == LANGID_CHINESE_SIMPLIFIED ? entry.pszChinese : entry.pszEnglish;
  return nullptr;
}

DWORD FormatMessageW(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     char16_t* lpBuffer, DWORD nSize, void* pArguments) {
  if ((dwFlags & ~FORMAT_MESSAGE_IGNORE_INSERTS) != FORMAT_MESSAGE_FROM_SYSTEM ||
      lpSource != nullptr || pArguments != nullptr || lpBuffer == nullptr)
    return FailWithLastError<DWORD>(ERROR_INVALID_PARAMETER, 0);
  WORD wLanguage = dwLanguageId == 0 ? GetResourceLanguage() : static_cast<WORD>(dwLanguageId);
  if (dwLanguageId > 0xFFFF ||
      (wLanguage != LANGID_ENGLISH_US && wLanguage != LANGID_CHINESE_SIMPLIFIED))
    return FailWithLastError<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND, 0);
  const char16_t* pszText = FindResourceText(SystemMessageTable(), dwMessageId, wLanguage);
  if (pszText == nullptr && (dwMessageId & 0xFFFF0000u) == 0x80070000u)
    pszText = FindResourceText(SystemMessageTable(), dwMessageId & 0xFFFFu, wLanguage);
  if (pszText == nullptr) return FailWithLastError<DWORD>(ERROR_MR_MID_NOT_FOUND, 0);
  std::size_t nLength = wcslen16(pszText);
  if (nLength + 1 > nSize) return FailWithLastError<DWORD>(ERROR_INSUFFICIENT_BUFFER, 0);
  std::memcpy(lpBuffer, pszText, (nLength + 1) * sizeof(char16_t));
  return static_cast<DWORD>(nLength);
}
