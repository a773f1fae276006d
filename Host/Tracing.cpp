// Step logging and tracing: provider start and end, the control callback, the
// global logger session, step line formats and the message senders.
#include "Host/Tracing.h"

#include <openssl/err.h>

#include <cstdio>
#include <cstring>

#include "platform/Etw.h"
#include "platform/Registry.h"
#include "platform/Threads.h"

// {5C8F2A58-369A-44F0-9235-C05ECB1DD73E}
const GUID TraceControlGuid = {
    0x5c8f2a58, 0x369a, 0x44f0, {0x92, 0x35, 0xc0, 0x5e, 0xcb, 0x1d, 0xd7, 0x3e}};

#define TRACE_SERIES(name, text, d1, d2, d3, ...) \
  const GUID TraceSeries_##name = {d1, d2, d3, {__VA_ARGS__}};
#include "resources/trace/Series.def"
#undef TRACE_SERIES

TraceEnableState g_stTraceEnableState;
std::atomic<bool> g_bTraceActive{false};

namespace {

constexpr ULONG TRACE_MESSAGE_FLAGS = TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID |
                                      TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;
static_assert(TRACE_MESSAGE_FLAGS == 0x2B);

// Step lines are built in buffers of this many characters, terminator included.
constexpr std::size_t LOG_LINE_CHARS = 512;

const char16_t g_szGlobalLoggerKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger";
// TraceControlGuid in lower case without braces: the provider's subkey there.
const char16_t g_szTraceControlGuidKey[] = u"5c8f2a58-369a-44f0-9235-c05ecb1dd73e";

// Opens a subkey for reading; null when it cannot be opened.
UniqueHkey OpenKeyForReading(HKEY hParent, const char16_t* pszSubKey) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(hParent, pszSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return nullptr;
  return UniqueHkey(hKey);
}

bool ReadRegistryDword(HKEY hKey, const char16_t* pszName, DWORD* pdwValue) {
  DWORD dwType = 0;
  DWORD dwValue = 0;
  DWORD cbValue = sizeof(dwValue);
  if (RegQueryValueExW(hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dwValue),
                       &cbValue) != ERROR_SUCCESS ||
      dwType != REG_DWORD || cbValue != sizeof(dwValue))
    return false;
  *pdwValue = dwValue;
  return true;
}

// Follows the global logger session when the registry configures it for this
// provider. Every failure just leaves tracing off.
void AttachToGlobalLogger() {
  UniqueHkey hGlobalLogger = OpenKeyForReading(HKEY_LOCAL_MACHINE, g_szGlobalLoggerKey);
  DWORD dwStart = 0;
  if (hGlobalLogger == nullptr || !ReadRegistryDword(hGlobalLogger.get(), u"Start", &dwStart) ||
      dwStart != 1)
    return;
  DWORD dwFlags = 0;
  DWORD dwLevel = 0;
  UniqueHkey hProvider = OpenKeyForReading(hGlobalLogger.get(), g_szTraceControlGuidKey);
  if (hProvider != nullptr) {
    if (!ReadRegistryDword(hProvider.get(), u"Flags", &dwFlags)) dwFlags = 0;
    if (!ReadRegistryDword(hProvider.get(), u"Level", &dwLevel)) dwLevel = 0;
  }
  EVENT_TRACE_PROPERTIES stProperties{};
  stProperties.Wnode.BufferSize = sizeof(stProperties);
  stProperties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  ULONG ulResult = ControlTraceW(0, u"GlobalLogger", &stProperties, EVENT_TRACE_CONTROL_QUERY);
  if (ulResult != ERROR_SUCCESS && ulResult != ERROR_MORE_DATA) return;
  TRACEHANDLE hLogger = stProperties.Wnode.HistoricalContext;
  g_stTraceEnableState.ullLoggerHandle.store(hLogger);
  if (hLogger != 0) {
    g_stTraceEnableState.byEnableLevel.store(static_cast<UCHAR>(dwLevel & 0xFF));
    g_stTraceEnableState.dwEnableFlags.store(dwFlags & 0x7FFFFFFF);
  }
}

// The text sent for a narrow value: "NULL" for a null text.
const char* NarrowOrNull(const char* pszText) { return pszText != nullptr ? pszText : "NULL"; }

// Builds a wide line in a fixed buffer, cutting it at LOG_LINE_CHARS - 1 units.
class WideLine {
 public:
  WideLine& Append(const char16_t* pszText) {
    for (const char16_t* p = pszText != nullptr ? pszText : u"(null)";
         *p != 0 && m_nLength < LOG_LINE_CHARS - 1; ++p)
      m_szLine[m_nLength++] = *p;
    return *this;
  }
  WideLine& AppendDecimal(int nValue) {
    char szDigits[16];
    std::snprintf(szDigits, sizeof(szDigits), "%d", nValue);
    for (const char* p = szDigits; *p != 0 && m_nLength < LOG_LINE_CHARS - 1; ++p)
      m_szLine[m_nLength++] = *p;
    return *this;
  }
  const char16_t* Text() const { return m_szLine; }

 private:
  char16_t m_szLine[LOG_LINE_CHARS] = {};
  std::size_t m_nLength = 0;
};

// snprintf prints a null text as undefined behaviour; lines show it as "(null)".
const char* LineText(const char* pszText) { return pszText != nullptr ? pszText : "(null)"; }

}  // namespace

ULONG TraceControlCallback(WMIDPREQUESTCODE nRequestCode, void* pContext, ULONG*, void* pBuffer) {
  auto* pstState = static_cast<TraceEnableState*>(pContext);
  switch (nRequestCode) {
    case WMI_ENABLE_EVENTS: {
      TRACEHANDLE hLogger = GetTraceLoggerHandle(pBuffer);
      ULONG dwFlags = GetTraceEnableFlags(hLogger);
      UCHAR byLevel = GetTraceEnableLevel(hLogger);
      pstState->ullLoggerHandle.store(hLogger);
      pstState->byEnableLevel.store(byLevel);
      pstState->dwEnableFlags.store(dwFlags);
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
      pstState->dwEnableFlags.store(0);
      pstState->byEnableLevel.store(0);
      pstState->ullLoggerHandle.store(0);
      return ERROR_SUCCESS;
    default: return ERROR_INVALID_PARAMETER;
  }
}

void TraceStart() {
  g_stTraceEnableState.ullRegistrationHandle.store(0);
  g_stTraceEnableState.ullLoggerHandle.store(0);
  g_stTraceEnableState.dwEnableFlags.store(0);
  g_stTraceEnableState.byEnableLevel.store(0);
  g_bTraceActive.store(true);

  TRACE_GUID_REGISTRATION stRegistration{&TraceControlGuid, nullptr};
  TRACEHANDLE hRegistration = 0;
  if (RegisterTraceGuidsW(&TraceControlCallback, &g_stTraceEnableState, &TraceControlGuid, 1,
                          &stRegistration, nullptr, nullptr, &hRegistration) == ERROR_SUCCESS)
    g_stTraceEnableState.ullRegistrationHandle.store(hRegistration);
  if (g_stTraceEnableState.ullLoggerHandle.load() == 0) AttachToGlobalLogger();
}

void TraceEnd() {
  TRACEHANDLE hRegistration = g_stTraceEnableState.ullRegistrationHandle.exchange(0);
  if (hRegistration != 0) UnregisterTraceGuids(hRegistration);
  g_bTraceActive.store(false);
}

void TraceSendMessage(const GUID& stSeries, USHORT nNumber, std::initializer_list<TraceArg> args) {
  if (!g_bTraceActive.load(std::memory_order_relaxed)) return;
  TRACEHANDLE hLogger = g_stTraceEnableState.ullLoggerHandle.load(std::memory_order_relaxed);
  if (hLogger == 0 || args.size() > TRACE_MAX_VALUES) return;
  // Unused slots hold a null pointer, which ends the value list.
  const void* vtrData[TRACE_MAX_VALUES] = {};
  std::size_t vtrLength[TRACE_MAX_VALUES] = {};
  std::size_t i = 0;
  for (const TraceArg& arg : args) {
    vtrData[i] = arg.pData;
    vtrLength[i++] = arg.cbData;
  }
  TraceMessage(hLogger, TRACE_MESSAGE_FLAGS, &stSeries, nNumber, vtrData[0], vtrLength[0],
               vtrData[1], vtrLength[1], vtrData[2], vtrLength[2], vtrData[3], vtrLength[3],
               vtrData[4], vtrLength[4], vtrData[5], vtrLength[5], vtrData[6], vtrLength[6],
               vtrData[7], vtrLength[7], static_cast<const void*>(nullptr));
}

TraceArg MakeTraceArg(const std::int32_t& nValue) { return {&nValue, sizeof(nValue)}; }
TraceArg MakeTraceArg(const std::uint32_t& nValue) { return {&nValue, sizeof(nValue)}; }
TraceArg MakeTraceArg(const std::int64_t& nValue) { return {&nValue, sizeof(nValue)}; }
TraceArg MakeTraceArg(const std::uint64_t& nValue) { return {&nValue, sizeof(nValue)}; }

TraceArg MakeTraceArg(const char* pszText) {
  const char* pszSent = NarrowOrNull(pszText);
  return {pszSent, std::strlen(pszSent) + 1};
}

TraceArg MakeTraceArg(const char16_t* pszText) {
  const char16_t* pszSent = pszText == nullptr ? u"NULL" : (*pszText == 0 ? u"<NULL>" : pszText);
  std::size_t nLength = 0;
  while (pszSent[nLength] != 0) ++nLength;
  return {pszSent, (nLength + 1) * sizeof(char16_t)};
}

void TraceLogOk(const char* pszLine) { TRACE_VALUES(TraceMsg::StepLog::LineOk, pszLine); }

void TraceLogFailed(const char* pszLine) { TRACE_VALUES(TraceMsg::StepLog::LineFailed, pszLine); }

void TraceHResult(HRESULT hValue, const char16_t* pszText) {
  if (hValue < 0)
    TRACE_VALUES(TraceMsg::Function::HResultNegative, pszText, hValue);
  else
    TRACE_VALUES(TraceMsg::Function::HResult, pszText, hValue);
}

TraceHelper::TraceHelper(const char16_t* pszFunctionName) : m_pszFunctionName(pszFunctionName) {
  DWORD dwLastError = GetLastError();
  TRACE_VALUES(TraceMsg::Function::Entry, m_pszFunctionName);
  SetLastError(dwLastError);
}

TraceHelper::~TraceHelper() {
  DWORD dwLastError = GetLastError();
  TRACE_VALUES(TraceMsg::Function::Exit, m_pszFunctionName);
  SetLastError(dwLastError);
}

void LogLineOk(const char* pszFile, int nLine, const char* pszOperation, const char* pszStep) {
  char szLine[LOG_LINE_CHARS] = {};
  std::snprintf(szLine, sizeof(szLine), "[%s(%d)]:(%s -- %s)\t\t--OK\n", LineText(pszFile), nLine,
                LineText(pszOperation), LineText(pszStep));
  TraceLogOk(szLine);
}

void LogLineFailed(const char* pszFile, int nLine, const char* pszOperation, const char* pszStep,
                   std::int32_t nStatus, const char* pszReason) {
  char szLine[LOG_LINE_CHARS] = {};
  std::snprintf(szLine, sizeof(szLine), "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n",
                LineText(pszFile), nLine, LineText(pszOperation), LineText(pszStep),
                static_cast<unsigned>(nStatus), LineText(pszReason));
  TraceLogFailed(szLine);
}

void LogLineFailedOpenssl(const char* pszFile, int nLine, const char* pszOperation,
                          const char* pszStep, std::int32_t nStatus, const char* pszReason) {
  // The crypto library's text of its latest error, formatted into a buffer of
  // our own so that both threads may do this; the error queue stays as it is.
  char szOpenssl[256] = {};
  ERR_error_string_n(ERR_peek_last_error(), szOpenssl, sizeof(szOpenssl));
  char szLine[LOG_LINE_CHARS] = {};
  std::snprintf(szLine, sizeof(szLine),
                "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s] Openssl %s\n",
                LineText(pszFile), nLine, LineText(pszOperation), LineText(pszStep),
                static_cast<unsigned>(nStatus), LineText(pszReason), szOpenssl);
  TraceLogFailed(szLine);
}

void WideLogLineOk(const char16_t* pszOperation, const char16_t* pszStep) {
  WideLine line;
  line.Append(pszOperation).Append(u" - ").Append(pszStep);
  TraceHResult(0, line.Text());
}

void WideLogLineFailed(const char16_t* pszFile, int nLine, const char16_t* pszOperation,
                       const char16_t* pszStep, HRESULT hResult, const char16_t* pszReason) {
  WideLine line;
  line.Append(u"[").Append(pszFile).Append(u"(").AppendDecimal(nLine).Append(u"):] ");
  line.Append(pszOperation)
      .Append(u" - ")
      .Append(pszStep)
      .Append(u" [Reason:")
      .Append(pszReason)
      .Append(u"]");
  TraceHResult(hResult, line.Text());
}
