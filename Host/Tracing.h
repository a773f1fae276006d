// Step logging and tracing: the host's only diagnostics.
//
// Every message goes to the trace provider TraceControlGuid and reaches a
// consumer only when a trace session has enabled the provider with the flag the
// message is sent under. A trace point whose flag is off costs one test of the
// enable state (TraceEnabled), so the macros below test before they build
// anything.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "platform/Etw.h"
#include "platform/WinTypes.h"
#include "resources/trace/TraceFlags.h"
#include "resources/trace/TraceKinds.h"

// {5C8F2A58-369A-44F0-9235-C05ECB1DD73E}
extern const GUID TraceControlGuid;

// Message series: step log lines, function traces, and one per source module
// for its value traces (resources/trace/Series.def).
#define TRACE_SERIES(name, text, d1, d2, d3, ...) extern const GUID TraceSeries_##name;
#include "resources/trace/Series.def"
#undef TRACE_SERIES

// One message of the trace descriptions: its series, its number, the flag it
// is sent under, and the kinds of its values as template arguments.
template <TraceKind... Kinds>
struct TraceMessageId {
  const GUID* pSeries;
  USHORT nNumber;
  ULONG dwFlag;
};

// A named constant per message row (resources/trace/*.def), per series:
// TraceMsg::IOStream::ReadFailed.
namespace TraceMsg {
using namespace TraceKindNames;
}  // namespace TraceMsg
#define TRACE_MESSAGE(series, number, name, flag, text, ...)                              \
  namespace TraceMsg::series {                                                            \
  inline constexpr TraceMessageId<__VA_ARGS__> name{&TraceSeries_##series, number, flag}; \
  }
#include "resources/trace/TraceMessageFiles.inc"
#undef TRACE_MESSAGE

// The provider's enable state; the control callback writes it while the host's
// threads read it, each field as one atomic unit.
struct TraceEnableState {
  std::atomic<std::uint64_t> ullRegistrationHandle{0};
  std::atomic<std::uint64_t> ullLoggerHandle{0};
  std::atomic<ULONG> dwEnableFlags{0};
  std::atomic<UCHAR> byEnableLevel{0};
};
extern TraceEnableState g_stTraceEnableState;
// Set between TraceStart and TraceEnd.
extern std::atomic<bool> g_bTraceActive;

inline bool TraceEnabled(ULONG dwFlag) {
  return (g_stTraceEnableState.dwEnableFlags.load(std::memory_order_relaxed) & dwFlag) != 0 &&
         g_bTraceActive.load(std::memory_order_relaxed);
}

// Tracing start: registers the provider and attaches to the global logger
// session when one is configured for it. Called once by wmain, first.
void TraceStart();
// Tracing end: unregisters the provider. No trace point fires afterwards.
void TraceEnd();
// The provider's control callback (TraceStart registers it with
// g_stTraceEnableState as its context): an enable stores the session's logger
// handle, flags and level, a disable stores 0 in all three, and any other
// request is answered with ERROR_INVALID_PARAMETER and changes nothing.
ULONG TraceControlCallback(WMIDPREQUESTCODE nRequestCode, void* pContext, ULONG* pnBufferSize,
                           void* pBuffer);

// Send finished narrow lines: step log series 10 under TRACE_FLAG_INFO, and 11
// under TRACE_FLAG_ERROR.
void TraceLogOk(const char* pszLine);
void TraceLogFailed(const char* pszLine);
// Sends pszText then the value: function series 13 under
// TRACE_FLAG_HRESULT_ERROR when hValue is negative, else 14 under
// TRACE_FLAG_INFO.
void TraceHResult(HRESULT hValue, const char16_t* pszText);

// Scope object: traces entry and exit of an operation under
// TRACE_FLAG_FUNCTION and keeps the thread's last error unchanged.
class TraceHelper {
 public:
  explicit TraceHelper(const char16_t* pszFunctionName);
  virtual ~TraceHelper();
  TraceHelper(const TraceHelper&) = delete;
  TraceHelper& operator=(const TraceHelper&) = delete;

 private:
  const char16_t* m_pszFunctionName;
};

// Step log lines, each built in a 512-unit buffer (at most 511 characters).
void LogLineOk(const char* pszFile, int nLine, const char* pszOperation, const char* pszStep);
void LogLineFailed(const char* pszFile, int nLine, const char* pszOperation, const char* pszStep,
                   std::int32_t nStatus, const char* pszReason);
// LogLineFailed followed by " Openssl <text of the crypto library's latest error>".
void LogLineFailedOpenssl(const char* pszFile, int nLine, const char* pszOperation,
                          const char* pszStep, std::int32_t nStatus, const char* pszReason);
// "%ws - %ws", sent through TraceHResult with 0.
void WideLogLineOk(const char16_t* pszOperation, const char16_t* pszStep);
// "[%ws(%d):] %ws - %ws [Reason:%ws]", sent through TraceHResult with hResult.
void WideLogLineFailed(const char16_t* pszFile, int nLine, const char16_t* pszOperation,
                       const char16_t* pszStep, HRESULT hResult, const char16_t* pszReason);

// One typed value of a trace message: its bytes as sent.
struct TraceArg {
  const void* pData;
  std::size_t cbData;
};
TraceArg MakeTraceArg(const std::int32_t& nValue);
TraceArg MakeTraceArg(const std::uint32_t& nValue);
TraceArg MakeTraceArg(const std::int64_t& nValue);
TraceArg MakeTraceArg(const std::uint64_t& nValue);
TraceArg MakeTraceArg(const char* pszText);      // null: "NULL"
TraceArg MakeTraceArg(const char16_t* pszText);  // null: u"NULL", empty: u"<NULL>"
inline TraceArg MakeTraceArg(char* pszText) {
  return MakeTraceArg(static_cast<const char*>(pszText));
}
inline TraceArg MakeTraceArg(char16_t* pszText) {
  return MakeTraceArg(static_cast<const char16_t*>(pszText));
}

// Sends one message of a series with its values in order (no test of flags;
// a message with more than TRACE_MAX_VALUES values is not sent).
void TraceSendMessage(const GUID& stSeries, USHORT nNumber, std::initializer_list<TraceArg> args);

// Whether a value of type T may stand for a value of kind K: a text of its
// width, or an integer of the kind's size. MakeTraceArg picks the bytes sent.
template <TraceKind K, typename T>
constexpr bool TraceValueFitsKind() {
  using Value = std::remove_cvref_t<T>;
  if constexpr (K == TraceKind::STR)
    return std::is_convertible_v<const T&, const char*>;
  else if constexpr (K == TraceKind::WSTR)
    return std::is_convertible_v<const T&, const char16_t*>;
  else if constexpr (K == TraceKind::INT64)
    return std::is_integral_v<Value> && sizeof(Value) == 8;
  else
    return std::is_integral_v<Value> && sizeof(Value) == 4;
}

// Sends a message with its values; the caller has tested its flag.
template <TraceKind... Kinds, typename... Values>
void TraceSendValues(const TraceMessageId<Kinds...>& stMessage, const Values&... values) {
  static_assert(sizeof...(Values) == sizeof...(Kinds),
                "the values do not match the message row's kinds");
  static_assert(sizeof...(Values) <= TRACE_MAX_VALUES,
                "a message carries at most TRACE_MAX_VALUES values");
  if constexpr (sizeof...(Values) == sizeof...(Kinds))
    static_assert((TraceValueFitsKind<Kinds, Values>() && ...),
                  "a value is not of its kind in the message row");
  TraceSendMessage(*stMessage.pSeries, stMessage.nNumber, {MakeTraceArg(values)...});
}

// --- Macros used by host and agent code -----------------------------------

// The source file named in step lines: this file's name, unless a file that
// holds part of a module defines TOVEL_SOURCE_FILE as the module's file name
// before including this header.
#define TOVEL_WIDE_(s) u"" s
#ifndef TOVEL_SOURCE_FILE
#define TOVEL_SOURCE_FILE __FILE_NAME__
#endif
#define TOVEL_WIDE_SOURCE_FILE TOVEL_WIDE_(TOVEL_SOURCE_FILE)

// The line of the call to a helper that logs a step for its caller, as the
// default of the helper's last parameter (int nCallerLine =
// TOVEL_CALLER_LINE): there the compiler gives the line of the call, so that
// the step line names that call and not the helper.
#define TOVEL_CALLER_LINE __builtin_LINE()

// Narrow step lines with this source file's name and the line of the step;
// the _AT forms take the line.
#define LOG_OK_AT(line, op, step)                                                      \
  do {                                                                                 \
    if (TraceEnabled(TRACE_FLAG_INFO)) LogLineOk(TOVEL_SOURCE_FILE, (line), op, step); \
  } while (0)
#define LOG_FAILED_AT(line, op, step, status, reason)                     \
  do {                                                                    \
    if (TraceEnabled(TRACE_FLAG_ERROR))                                   \
      LogLineFailed(TOVEL_SOURCE_FILE, (line), op, step, status, reason); \
  } while (0)
#define LOG_FAILED_OPENSSL_AT(line, op, step, status, reason)                    \
  do {                                                                           \
    if (TraceEnabled(TRACE_FLAG_ERROR))                                          \
      LogLineFailedOpenssl(TOVEL_SOURCE_FILE, (line), op, step, status, reason); \
  } while (0)
#define LOG_OK(op, step) LOG_OK_AT(__LINE__, op, step)
#define LOG_FAILED(op, step, status, reason) LOG_FAILED_AT(__LINE__, op, step, status, reason)
#define LOG_FAILED_OPENSSL(op, step, status, reason) \
  LOG_FAILED_OPENSSL_AT(__LINE__, op, step, status, reason)

// Wide step lines. The failed form carries the status in HRESULT form; the OK
// form names no line.
#define WIDE_LOG_OK(op, step)                                   \
  do {                                                          \
    if (TraceEnabled(TRACE_FLAG_INFO)) WideLogLineOk(op, step); \
  } while (0)
#define WIDE_LOG_FAILED_AT(line, op, step, hresult, reason)                         \
  do {                                                                              \
    if (TraceEnabled((hresult) < 0 ? TRACE_FLAG_HRESULT_ERROR : TRACE_FLAG_INFO))   \
      WideLogLineFailed(TOVEL_WIDE_SOURCE_FILE, (line), op, step, hresult, reason); \
  } while (0)
#define WIDE_LOG_FAILED(op, step, hresult, reason) \
  WIDE_LOG_FAILED_AT(__LINE__, op, step, hresult, reason)

// A trace point of a named message: TRACE_VALUES(TraceMsg::IOStream::ReadFailed, nError),
// or TRACE_POINT(TraceMsg::IOStream::ConversationOver) for one without values.
#define TRACE_VALUES(message, ...)                                                           \
  do {                                                                                       \
    if (TraceEnabled((message).dwFlag)) TraceSendValues(message __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)
#define TRACE_POINT(message) TRACE_VALUES(message)
