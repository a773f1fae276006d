// UTF-8 / UTF-16 conversion with the system converter's rules: without flags,
// malformed input is replaced by U+FFFD rather than refused.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"

constexpr UINT CP_UTF8 = 65001;

// Only CP_UTF8 with flags 0 is supported. Each maximal ill-formed UTF-8
// subpart and each unpaired UTF-16 surrogate becomes one U+FFFD.
//
// cbMultiByte == -1 converts up to and including the terminating zero; any
// other count converts exactly that many bytes, zeros included. cchWideChar
// == 0 asks for the needed count. Returns the number of code units written
// (or needed), or 0 with the last error set: ERROR_INVALID_PARAMETER (other
// code page, null input, count 0 or below -1, null output with a capacity, a
// result over INT_MAX units), ERROR_INVALID_FLAGS (flags other than 0) or
// ERROR_INSUFFICIENT_BUFFER (nothing is written then).
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* multiByte, int cbMultiByte,
                        char16_t* wideChar, int cchWideChar);
// The reverse; defaultChar and usedDefaultChar must be null for CP_UTF8.
int WideCharToMultiByte(UINT codePage, DWORD flags, const char16_t* wideChar, int cchWideChar,
                        char* multiByte, int cbMultiByte, const char* defaultChar,
                        BOOL* usedDefaultChar);

// The text as well-formed UTF-8: each maximal ill-formed subpart becomes one
// U+FFFD, as in the conversions above; well-formed text comes back unchanged.
// Throws std::length_error for a result over INT_MAX bytes.
std::string WellFormedUtf8(std::string_view text);

// UTF-8 text as UTF-16, converted as MultiByteToWideChar converts it; empty
// when the text is empty or cannot be converted.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-16 text as UTF-8, converted as WideCharToMultiByte converts it; empty
// when the text is empty or cannot be converted.
std::string Utf16ToUtf8(std::u16string_view text);

// Length of a zero-terminated UTF-16 text in code units; 0 for null.
std::size_t wcslen16(const char16_t* text);
