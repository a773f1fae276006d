// Every status number of the Windows interfaces the stand-ins answer with, and
// the HRESULT tests. Defined here once; the interface headers include this.
#pragma once

#include "platform/WinTypes.h"

// HRESULTs.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT NTE_INTERNAL_ERROR = static_cast<HRESULT>(0x8009002Du);

// System error numbers (the thread's last error).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_WMI_INSTANCE_NOT_FOUND = 4201;
constexpr DWORD ERROR_ENCRYPTION_FAILED = 6000;

// Numbers the other interfaces answer with.
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_BAD_LENGTH = 24;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;

// Certificate and ASN.1 decoding statuses.
constexpr DWORD CRYPT_E_ASN1_CORRUPT = 0x80093103u;  // malformed (corrupted) encoding
constexpr DWORD CRYPT_E_ASN1_EOD = 0x80093102u;      // no data, or data ends early
constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310Bu;   // not the expected ASN.1 type
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004u;     // no such extension

inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }

inline constexpr HRESULT HRESULT_FROM_WIN32(DWORD e) {
  return static_cast<HRESULT>(e) <= 0 ? static_cast<HRESULT>(e)
                                      : static_cast<HRESULT>((e & 0x0000FFFFu) | 0x80070000u);
}
