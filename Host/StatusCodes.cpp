#include "Host/StatusCodes.h"

#include "platform/Threads.h"

HRESULT StatusToHResult(std::int32_t nStatus) {
  if (nStatus <= 0) return nStatus;
  std::uint32_t uCode = static_cast<std::uint32_t>(nStatus) & 0xFFFF;
  return static_cast<HRESULT>(uCode | ((nStatus & OWN_STATUS_BIT) ? 0xA0070000u : 0x80070000u));
}

HRESULT LastErrorToFailure() {
  const HRESULT hResult = HRESULT_FROM_WIN32(GetLastError());
  return FAILED(hResult) ? hResult : E_FAIL;
}

HRESULT LastErrorToHResult() {
  const HRESULT hResult = StatusToHResult(static_cast<std::int32_t>(GetLastError()));
  return hResult == S_OK ? E_FAIL : hResult;
}
