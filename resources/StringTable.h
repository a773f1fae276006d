// The program's string table: message texts by id in English (1033) and
// Chinese (2052).
#pragma once

#include <span>

#include "platform/Resources.h"
#include "platform/WinTypes.h"

// Ids of the texts the program reads (the low 16 bits of its own status codes).
constexpr UINT IDS_NO_KEY_USAGE = 4128;
constexpr UINT IDS_CERT_TIME_INVALID = 4145;
constexpr UINT IDS_CERT_REVOKED = 4146;
constexpr UINT IDS_CERT_CHAIN_INCOMPLETE = 4147;
constexpr UINT IDS_INVALID_CERT_USAGE = 8225;
constexpr UINT IDS_INVALID_KEY_ALGORITHM = 9217;

std::span<const ResourceText> ProgramStringTable();

// Copies the text of uID, in the language GetResourceLanguage() picks, into
// lpBuffer: at most cchBufferMax - 1 characters and a terminator. Returns the
// number of characters copied; 0 with nothing written and the last error
// ERROR_RESOURCE_NAME_NOT_FOUND when the table has no such id, or
// ERROR_INVALID_PARAMETER for a null buffer or a size below 1. The program has
// one module, so every instance handle reads the same table.
int LoadStringW(HINSTANCE hInstance, UINT uID, char16_t* lpBuffer, int cchBufferMax);
