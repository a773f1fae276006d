// Event tracing stand-in: the provider side.
//
// A provider registers under a control GUID. Trace sessions (EtwSession.h),
// possibly in other processes, enable it with a flag word and a level; the
// provider's control callback hears of every change on a watcher thread, and
// once during registration when a session already enables it. Messages go to
// the enabling session's logger handle as single datagrams, sent without
// blocking and without a lock; a message nobody receives is lost.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "platform/WinTypes.h"

using TRACEHANDLE = ULONG64;

// Request codes of the control callback.
enum WMIDPREQUESTCODE : ULONG {
  WMI_ENABLE_EVENTS = 4,
  WMI_DISABLE_EVENTS = 5,
};
// The control callback: the request, the context given at registration, and
// the request's buffer (a WNODE_HEADER; GetTraceLoggerHandle reads it).
using WMIDPREQUEST = ULONG (*)(WMIDPREQUESTCODE requestCode, void* requestContext,
                               ULONG* bufferSize, void* buffer);

constexpr ULONG WNODE_FLAG_TRACED_GUID = 0x00020000;

// The common head of control requests and of session properties.
struct WNODE_HEADER {
  ULONG BufferSize;           // bytes of the whole record
  ULONG Flags;                // WNODE_FLAG_*
  ULONG64 HistoricalContext;  // the session's logger handle
  GUID Guid;
  ULONG64 TimeStamp;
  ULONG ClientContext;
  ULONG Reserved;
};
static_assert(sizeof(WNODE_HEADER) == 48);

struct TRACE_GUID_REGISTRATION {
  const GUID* Guid;
  HANDLE RegHandle;
};

// Registers a provider. Exactly one trace-GUID registration is supported; the
// image path and resource name must be null. When a session already enables
// controlGuid, the callback runs with WMI_ENABLE_EVENTS before this returns.
// Returns ERROR_SUCCESS or ERROR_INVALID_PARAMETER / ERROR_ACCESS_DENIED (the
// user's tracing folder or the provider's control block is a link or
// another user's). A control block that cannot be made yet (no room for it)
// is looked for again about once a second.
ULONG RegisterTraceGuidsW(WMIDPREQUEST requestAddress, void* requestContext,
                          const GUID* controlGuid, ULONG guidCount,
                          TRACE_GUID_REGISTRATION* traceGuidReg, const char16_t* mofImagePath,
                          const char16_t* mofResourceName, TRACEHANDLE* registrationHandle);
// Stops the provider's watcher (no callback runs after this returns) and
// forgets the registration. ERROR_INVALID_HANDLE for an unknown handle.
ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle);

// Inside the control callback: the logger handle of the request's buffer, and
// that session's enable flags and level for this provider. 0 with the last
// error ERROR_INVALID_HANDLE when unknown.
TRACEHANDLE GetTraceLoggerHandle(void* buffer);
ULONG GetTraceEnableFlags(TRACEHANDLE loggerHandle);
UCHAR GetTraceEnableLevel(TRACEHANDLE loggerHandle);

// Message flags: which fields a message carries besides its values.
constexpr ULONG TRACE_MESSAGE_SEQUENCE = 0x01;
constexpr ULONG TRACE_MESSAGE_GUID = 0x02;
constexpr ULONG TRACE_MESSAGE_COMPONENTID = 0x04;
constexpr ULONG TRACE_MESSAGE_TIMESTAMP = 0x08;
constexpr ULONG TRACE_MESSAGE_SYSTEMINFO = 0x20;

// Sends one message: after the number come (const void* data, size_t bytes)
// pairs, ended by a null data pointer. Returns ERROR_SUCCESS, or with the
// same value as the last error: ERROR_INVALID_HANDLE (logger 0),
// ERROR_INVALID_PARAMETER (too many values), ERROR_INSUFFICIENT_BUFFER (too big),
// ERROR_WMI_INSTANCE_NOT_FOUND (no such session) or ERROR_NOT_ENOUGH_MEMORY
// (the session's queue is full). Never blocks.
ULONG TraceMessage(TRACEHANDLE loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                   USHORT messageNumber, ...);
ULONG TraceMessageVa(TRACEHANDLE loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                     USHORT messageNumber, va_list messageArgList);

// Session properties as a query fills them. A record of exactly this size has
// no room for the session name: the query then answers ERROR_MORE_DATA after
// filling in the fixed part.
struct EVENT_TRACE_PROPERTIES {
  WNODE_HEADER Wnode;  // in: BufferSize, Flags; out: HistoricalContext
  ULONG Reserved[16];
  ULONG LogFileNameOffset;
  ULONG LoggerNameOffset;  // where the session name (UTF-16) is written, 0: nowhere
};
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120);

constexpr ULONG EVENT_TRACE_CONTROL_QUERY = 0;

// Queries a running session by name (the handle argument is unused). Only
// EVENT_TRACE_CONTROL_QUERY is supported. Returns ERROR_SUCCESS,
// ERROR_MORE_DATA (fixed part filled, no room for the name),
// ERROR_WMI_INSTANCE_NOT_FOUND, ERROR_BAD_LENGTH, ERROR_INVALID_PARAMETER or
// ERROR_NOT_SUPPORTED.
ULONG ControlTraceW(TRACEHANDLE sessionHandle, const char16_t* sessionName,
                    EVENT_TRACE_PROPERTIES* properties, ULONG controlCode);

// "5c8f2a58-369a-44f0-9235-c05ecb1dd73e": lower case, no braces.
std::string FormatGuid(const GUID& guid);
// Parses that form, with or without braces, in any case.
bool ParseGuid(const std::string& text, GUID* guid);
