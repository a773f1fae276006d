// System strings (BSTR): a 32-bit byte length before the UTF-16 text, which is
// zero-terminated. Allocated and freed only through these calls.
#pragma once

#include <memory>

#include "platform/WinTypes.h"

using BSTR = char16_t*;

// A copy of a zero-terminated text; null for a null text, or with the last
// error ERROR_OUTOFMEMORY when memory runs out.
BSTR SysAllocString(const char16_t* text);
// length units copied from text (zeros included), or zeroed when text is null;
// a terminator always follows. Null with ERROR_OUTOFMEMORY when memory runs out.
BSTR SysAllocStringLen(const char16_t* text, UINT length);
// The length in code units from the prefix (embedded zeros count); 0 for null.
UINT SysStringLen(BSTR bstr);
void SysFreeString(BSTR bstr);  // null is ignored

// An owned system string. BSTR is a plain char16_t pointer, so it has a named
// deleter rather than a Deleter<char16_t> that would claim every wide buffer.
struct SysStringFree {
  void operator()(BSTR bstr) const noexcept { SysFreeString(bstr); }
};
using UniqueBstr = std::unique_ptr<char16_t, SysStringFree>;
