// Text conversion between UTF-8 and UTF-16, Base64, and list splitting.
//
// Every operation hands its result over in a new array (new[]) that the
// caller owns and releases with delete[], also when the operation fails after
// handing it over.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/WinTypes.h"

// UTF-16 to UTF-8. Returns 0; E_POINTER for a null text (outputs untouched);
// E_OUTOFMEMORY; otherwise the converter's error as an HRESULT (never 0).
// *ppszUTF8 receives the zero-terminated text, *pnUTF8Len its length in bytes.
HRESULT UTF16ToUTF8(const char16_t* pszUTF16, char** ppszUTF8, int* pnUTF8Len);
// UTF-8 to UTF-16, with the same statuses; *pnUTF16Len counts code units.
HRESULT UTF8ToUTF16(const char* pszUTF8, char16_t** ppszUTF16, int* pnUTF16Len);

// Standard Base64 with "=" padding and no line breaks. Returns 0; a null
// input gives a null *ppszBase64 (with status 0).
HRESULT Base64EncodeEx(const BYTE* pbyData, int nDataLen, char** ppszBase64, int* pnBase64Len);
// Decodes, skipping every character outside the alphabet. Returns 0, or
// E_FAIL for a length of 0 or less (outputs untouched); a null text gives a
// null *ppbyData (with status 0).
HRESULT Base64DecodeEx(const char* pszBase64, int nBase64Len, BYTE** ppbyData, int* pnDataLen);

// A new array holding the nLen characters at pchText and a terminator, or
// null when memory runs out.
std::unique_ptr<char[]> CopyText(const char* pchText, std::size_t nLen);
// A new array holding a copy of the zero-terminated pszText, or null.
std::unique_ptr<char[]> CopyText(const char* pszText);

// Appends the non-empty pieces of pszStr between occurrences of pszSplit to
// vtrTokens, each a new array. Returns 0, or -1 (null or empty delimiter, or
// no memory); tokens appended before a failure stay in the list.
int SplitString(const char* pszStr, const char* pszSplit, std::vector<char*>& vtrTokens);
// Releases every token of the list and empties it.
void FreeStringList(std::vector<char*>& vtrTokens);
