// Method dispatch and handlers.
#include "Host/nmMessageSigning.h"

#include <memory>

#include "Host/JSONUtility.h"
#include "Host/Misc.h"
#include "Host/StatusCodes.h"
#include "Host/TovelKitHost.h"
#include "Host/Tracing.h"
#include "agent/TovelAgent.h"
#include "platform/Bstr.h"
#include "resources/Version.h"

namespace {

// The whole texts must match, ASCII letters compared without case.
bool EqualsIgnoringCase(const char* pszA, const char* pszB) {
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  for (; *pszA != '\0' && *pszB != '\0'; ++pszA, ++pszB)
    if (lower(static_cast<unsigned char>(*pszA)) != lower(static_cast<unsigned char>(*pszB)))
      return false;
  return *pszA == *pszB;
}

// The step line of one step of a handler, at the caller's line: the failed
// line with hResult and the reason when bFailed, the OK line otherwise. True
// when it succeeded.
bool HandlerStep(const char16_t* pszOp, const char16_t* pszStep, bool bFailed, HRESULT hResult,
                 const char16_t* pszReason, int nCallerLine = TOVEL_CALLER_LINE) {
  if (bFailed) {
    WIDE_LOG_FAILED_AT(nCallerLine, pszOp, pszStep, hResult, pszReason);
    return false;
  }
  WIDE_LOG_OK(pszOp, pszStep);
  return true;
}

// The step of a call that returned hResult, at the caller's line: true when
// it succeeded.
bool HResultStep(const char16_t* pszOp, const char16_t* pszStep, HRESULT hResult,
                 int nCallerLine = TOVEL_CALLER_LINE) {
  return HandlerStep(pszOp, pszStep, FAILED(hResult), hResult, u"FAILED(hResult)", nCallerLine);
}

// The agent's text as UTF-8 into *pspUTF8, logged as the step pszStep at the
// caller's line. Returns the conversion's status.
HRESULT UTF8Step(const char16_t* pszOp, const char16_t* pszStep, BSTR bstrText,
                 std::unique_ptr<char[]>* pspUTF8, int nCallerLine = TOVEL_CALLER_LINE) {
  char* pszUTF8 = nullptr;
  const HRESULT hResult = UTF16ToUTF8(bstrText, &pszUTF8, nullptr);
  pspUTF8->reset(pszUTF8);
  HResultStep(pszOp, pszStep, hResult, nCallerLine);
  return hResult;
}

// The outcome of "GetMacAddress": 0 with the address text in *pspUTF8MacAddress,
// or the status of the step that failed.
int GetMacAddressText(cJSON* pJSONArgs, CTovelAgent* pobjTovelAgent,
                      std::unique_ptr<char[]>* pspUTF8MacAddress) {
  const char16_t* const kOp = u"nmGetMacAddress";
  // The params value and the agent are given, and the params value has one child.
  if (!HandlerStep(kOp, u"Check parameter(pArgs)", pJSONArgs == nullptr, E_INVALIDARG,
                   u"NULL == pJSONArgs") ||
      !HandlerStep(kOp, u"Check parameter(pobjTovelAgent)", pobjTovelAgent == nullptr, E_INVALIDARG,
                   u"NULL == pobjTovelAgent") ||
      !HandlerStep(kOp, u"Check parameter(Args count)", cJSON_GetArraySize(pJSONArgs) != 1,
                   E_INVALIDARG, u"1 != nArgsCount"))
    return -1;

  char* pszBase64ServerCert = nullptr;
  const int nResult = ConverJSONArrayItemtoNULLEndString(pJSONArgs, 0, &pszBase64ServerCert);
  const std::unique_ptr<char[]> spBase64ServerCert(pszBase64ServerCert);
  if (nResult != 0) {
    WIDE_LOG_FAILED(kOp, u"ConverJSONArrayItemtoNULLEndString", StatusToHResult(nResult),
                    u"PELLUM_OK != nResult");
    return nResult;
  }
  WIDE_LOG_OK(kOp, u"ConverJSONArrayItemtoNULLEndString");
  TRACE_VALUES(TraceMsg::nmMessageSigning::Certificate, pszBase64ServerCert);

  char16_t* pszUTF16ServerCert = nullptr;
  HRESULT hResult = UTF8ToUTF16(pszBase64ServerCert, &pszUTF16ServerCert, nullptr);
  const std::unique_ptr<char16_t[]> spUTF16ServerCert(pszUTF16ServerCert);
  if (!HResultStep(kOp, u"UTF8ToUTF16(pszBase64ServerCert)", hResult)) return hResult;
  TRACE_VALUES(TraceMsg::nmMessageSigning::CertificateUtf16, pszUTF16ServerCert);

  BSTR bstrMacAddress = nullptr;
  hResult = pobjTovelAgent->GetMacAddress(pszUTF16ServerCert, &bstrMacAddress);
  const UniqueBstr spMacAddress(bstrMacAddress);
  if (!HResultStep(kOp, u"GetMacAddress", hResult)) return hResult;
  TRACE_VALUES(TraceMsg::nmMessageSigning::MacResult, bstrMacAddress);

  hResult = UTF8Step(kOp, u"UTF16ToUTF8(bstrMacAddress)", bstrMacAddress, pspUTF8MacAddress);
  if (FAILED(hResult)) return hResult;
  const char* pszUTF8MacAddress = pspUTF8MacAddress->get();
  TRACE_VALUES(TraceMsg::nmMessageSigning::MacResultUtf8, pszUTF8MacAddress);
  return 0;
}

// The outcome of "GetLastErrorDesc": 0 with the description in *pspUTF8Desc,
// or the status of the step that failed.
int GetLastErrorDescText(cJSON* pJSONArgs, CTovelAgent* pobjTovelAgent,
                         std::unique_ptr<char[]>* pspUTF8Desc) {
  const char16_t* const kOp = u"nmGetLastErrorDesc";
  // The params value and the agent are given, and the params value has no child.
  if (!HandlerStep(kOp, u"Check parameter(pArgs)", pJSONArgs == nullptr, E_INVALIDARG,
                   u"NULL == pJSONArgs") ||
      !HandlerStep(kOp, u"Check parameter(pobjTovelAgent)", pobjTovelAgent == nullptr, E_INVALIDARG,
                   u"NULL == pobjTovelAgent") ||
      !HandlerStep(kOp, u"Check parameter(Args count)", cJSON_GetArraySize(pJSONArgs) != 0,
                   E_INVALIDARG, u"0 != nArgsCount"))
    return E_INVALIDARG;

  BSTR bstrDesc = nullptr;
  HRESULT hResult = pobjTovelAgent->GetLastErrorDesc(&bstrDesc);
  const UniqueBstr spDesc(bstrDesc);
  if (!HResultStep(kOp, u"GetLastErrorDesc", hResult)) return hResult;
  TRACE_VALUES(TraceMsg::nmMessageSigning::ErrorDescription, bstrDesc);

  hResult = UTF8Step(kOp, u"UTF16ToUTF8", bstrDesc, pspUTF8Desc);
  return FAILED(hResult) ? hResult : 0;
}

}  // namespace

int Invoke(const char* pszFuncName, cJSON* pParams, cJSON** ppResponseJSON) {
  TraceHelper trace(u"Invoke");
  CTovelAgent* pobjTovelAgent = g_pobjTovelAgent;
  TRACE_VALUES(TraceMsg::nmMessageSigning::InvokeFunction, pszFuncName);

  if (EqualsIgnoringCase(pszFuncName, "GetMacAddress"))
    return nmGetMacAddress(ppResponseJSON, pParams, pobjTovelAgent);
  if (EqualsIgnoringCase(pszFuncName, "GetLastErrorDesc"))
    return nmGetLastErrorDesc(ppResponseJSON, pParams, pobjTovelAgent);
  if (EqualsIgnoringCase(pszFuncName, "GetVersion")) return nmGetVersion(ppResponseJSON);

  TRACE_POINT(TraceMsg::nmMessageSigning::NoSuchMethod);
  return -1;
}

int nmGetMacAddress(cJSON** ppResponseJSON, cJSON* pJSONArgs, CTovelAgent* pobjTovelAgent) {
  TraceHelper trace(u"nmGetMacAddress");
  std::unique_ptr<char[]> spUTF8MacAddress;
  const int nStatus = GetMacAddressText(pJSONArgs, pobjTovelAgent, &spUTF8MacAddress);
  ConstructResponseJSON(ppResponseJSON, "GetMacAddress", nStatus, spUTF8MacAddress.get());
  return 0;
}

int nmGetLastErrorDesc(cJSON** ppResponseJSON, cJSON* pJSONArgs, CTovelAgent* pobjTovelAgent) {
  TraceHelper trace(u"nmGetLastErrorDesc");
  std::unique_ptr<char[]> spUTF8Desc;
  const int nStatus = GetLastErrorDescText(pJSONArgs, pobjTovelAgent, &spUTF8Desc);
  ConstructResponseJSON(ppResponseJSON, "GetLastErrorDesc", nStatus, spUTF8Desc.get());
  return 0;
}

int nmGetVersion(cJSON** ppResponseJSON) {
  TraceHelper trace(u"nmGetVersion");
  ConstructResponseJSON(ppResponseJSON, "GetVersion", 0, TOVEL_VERSION_TEXT);
  return 0;
}
