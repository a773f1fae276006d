// Status numbers of the host and the agent, and the rules that turn a status
// or the thread's last error into an HRESULT. The system's own numbers are in
// platform/WinError.h.
#pragma once

#include <cstdint>

#include "platform/WinError.h"

// A ResultCode is a signed 32-bit status of the agent's plain operations: 0 is
// success, -1 a generic failure, system error numbers (ERROR_INVALID_PARAMETER),
// HRESULTs and the own codes below.
using ResultCode = std::int32_t;

constexpr ResultCode PELLUM_OK = 0;

// Own status codes: severity, customer bit 0x20000000 and facility 7; the low
// 16 bits are the id of the code's text in the string table.
constexpr HRESULT E_NO_KEY_USAGE = static_cast<HRESULT>(0xA0071020u);
constexpr HRESULT E_CERT_TIME_INVALID = static_cast<HRESULT>(0xA0071031u);
constexpr HRESULT E_CERT_REVOKED = static_cast<HRESULT>(0xA0071032u);
constexpr HRESULT E_CERT_CHAIN_INCOMPLETE = static_cast<HRESULT>(0xA0071033u);
constexpr HRESULT E_INVALID_CERT_USAGE = static_cast<HRESULT>(0xA0072021u);
constexpr HRESULT E_INVALID_KEY_ALGORITHM = static_cast<HRESULT>(0xA0072401u);
constexpr HRESULT E_JSON_CREATE_FAILED = static_cast<HRESULT>(0xA0073202u);
constexpr HRESULT E_JSON_INVALID_TYPE = static_cast<HRESULT>(0xA0073204u);

// The bit that marks an own code, whose text is in the string table.
constexpr DWORD OWN_STATUS_BIT = 0x20000000u;

// E_CERT_REVOKED as the revocation check raises it, before the HRESULT form.
constexpr ResultCode E_CERT_REVOKED_RAW = 0x20001032;

// The HRESULT form of a status: a positive own code (OWN_STATUS_BIT) becomes
// (c & 0xFFFF) | 0xA0070000, any other positive code (c & 0xFFFF) | 0x80070000;
// zero and negative statuses stay.
HRESULT StatusToHResult(std::int32_t nStatus);

// The thread's last error as a failure: HRESULT_FROM_WIN32 of it, and E_FAIL
// when a failing call left no error number.
HRESULT LastErrorToFailure();

// The thread's last error in the HRESULT form of StatusToHResult (own codes
// keep their facility); E_FAIL when a failing call left no error number.
HRESULT LastErrorToHResult();
