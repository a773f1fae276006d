// Message texts by id in English and Chinese: the lookup behind the program's
// string table (LoadStringW, resources/StringTable.h) and the system's message
// texts (FormatMessageW).
#pragma once

#include <span>

#include "platform/WinTypes.h"

constexpr WORD LANGID_ENGLISH_US = 1033;
constexpr WORD LANGID_CHINESE_SIMPLIFIED = 2052;

constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

// One message: its id and its text in each language.
struct ResourceText {
  DWORD dwId;
  const char16_t* pszEnglish;
  const char16_t* pszChinese;
};

// The language of the process's messages, as the platform's resource lookup
// picks it: Chinese (2052) when the locale the process runs in (the first set
// of LC_ALL, LC_MESSAGES, LANG) is a Chinese one, else English (1033).
WORD GetResourceLanguage();
// The same choice for one locale name ("zh_CN.UTF-8", "en_US", "C", ...).
WORD ResourceLanguageFromLocale(const char* pszLocale);

// The text of dwId in wLanguage (2052 or 1033), or null when the table has no
// such id.
const char16_t* FindResourceText(std::span<const ResourceText> table, DWORD dwId, WORD wLanguage);

// The system's message text of dwMessageId (a system error number, or an
// HRESULT; 0x8007xxxx reads as error xxxx). Only FORMAT_MESSAGE_FROM_SYSTEM,
// optionally with FORMAT_MESSAGE_IGNORE_INSERTS, and no source or arguments;
// dwLanguageId 0 takes GetResourceLanguage(). Copies the text and a terminator
// into lpBuffer (nSize characters) and returns its length; 0 with the last
// error ERROR_MR_MID_NOT_FOUND (no text), ERROR_RESOURCE_LANG_NOT_FOUND (a
// language other than 1033 and 2052), ERROR_INSUFFICIENT_BUFFER (the text and
// its terminator do not fit; nothing is written) or ERROR_INVALID_PARAMETER.
DWORD FormatMessageW(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     char16_t* lpBuffer, DWORD nSize, void* pArguments);
