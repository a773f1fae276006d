// Trace flags of the host's provider: a message reaches a session only when
// the session has enabled the flag the message is sent under. The .def rows
// name one of these for each message.
#pragma once

#include "platform/WinTypes.h"

constexpr ULONG TRACE_FLAG_ERROR = 0x1;          // narrow failed lines, failure values
constexpr ULONG TRACE_FLAG_HRESULT_ERROR = 0x2;  // TraceHResult with a negative value
constexpr ULONG TRACE_FLAG_INFO = 0x4;           // OK lines, values of normal operation
constexpr ULONG TRACE_FLAG_FUNCTION = 0x8;       // TraceHelper entry and exit
