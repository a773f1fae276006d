// Method dispatch and handlers.
#include "Host/nmMessageSigning.h"

#include "Host/JSONUtility.h"
#include "Host/Misc.h"
#include "Host/TovelKitHost.h"
#include "Host/StatusCodes.h"
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

// The parameter steps that both agent handlers begin with: the params value
// and the agent are given, and the params value has nExpectedCount children.
bool CheckHandlerArgs(const char16_t* pszOp, cJSON* pJSONArgs, CTovelAgent* pobjTovelAgent,
                      int nExpectedCount, const char16_t* pszCountReason) {
  if (pJSONArgs == nullptr) {
    WIDE_LOG_FAILED(pszOp, u"Check parameter(pArgs)", E_INVALIDARG, u"NULL == pJSONArgs");
    return false;
  }
  WIDE_LOG_OK(pszOp, u"Check parameter(pArgs)");

  if (pobjTovelAgent == nullptr) {
    WIDE_LOG_FAILED(pszOp, u"Check parameter(pobjTovelAgent)", E_INVALIDARG,
                    u"NULL == pobjTovelAgent");
    return false;
  }
  WIDE_LOG_OK(pszOp, u"Check parameter(pobjTovelAgent)");

  // Elements of an array, members of an object, none for any other value.
  if (cJSON_GetArraySize(pJSONArgs) != nExpectedCount) {
    WIDE_LOG_FAILED(pszOp, u"Check parameter(Args count)", E_INVALIDARG, pszCountReason);
    return false;
  }
  WIDE_LOG_OK(pszOp, u"Check parameter(Args count)");
  return true;
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
  const char16_t* const kOp = u"nmGetMacAddress";
  int nStatus = -1;
  char* pszBase64ServerCert = nullptr;
  char16_t* pszUTF16ServerCert = nullptr;
  BSTR bstrMacAddress = nullptr;
  char* pszUTF8MacAddress = nullptr;

  do {
    if (!CheckHandlerArgs(kOp, pJSONArgs, pobjTovelAgent, 1, u"1 != nArgsCount")) break;

    const int nResult = ConverJSONArrayItemtoNULLEndString(pJSONArgs, 0, &pszBase64ServerCert);
    if (nResult != 0) {
      nStatus = nResult;
      WIDE_LOG_FAILED(kOp, u"ConverJSONArrayItemtoNULLEndString", StatusToHResult(nResult),
                      u"PELLUM_OK != nResult");
      break;
    }
    WIDE_LOG_OK(kOp, u"ConverJSONArrayItemtoNULLEndString");
    TRACE_VALUES(TraceMsg::nmMessageSigning::Certificate, pszBase64ServerCert);

    HRESULT hResult = UTF8ToUTF16(pszBase64ServerCert, &pszUTF16ServerCert, nullptr);
    if (FAILED(hResult)) {
      nStatus = hResult;
      WIDE_LOG_FAILED(kOp, u"UTF8ToUTF16(pszBase64ServerCert)", hResult, u"FAILED(hResult)");
      break;
    }
    WIDE_LOG_OK(kOp, u"UTF8ToUTF16(pszBase64ServerCert)");
    TRACE_VALUES(TraceMsg::nmMessageSigning::CertificateUtf16, pszUTF16ServerCert);

    hResult = pobjTovelAgent->GetMacAddress(pszUTF16ServerCert, &bstrMacAddress);
    if (FAILED(hResult)) {
      nStatus = hResult;
      WIDE_LOG_FAILED(kOp, u"GetMacAddress", hResult, u"FAILED(hResult)");
      break;
    }
    WIDE_LOG_OK(kOp, u"GetMacAddress");
    TRACE_VALUES(TraceMsg::nmMessageSigning::MacResult, bstrMacAddress);

    hResult = UTF16ToUTF8(bstrMacAddress, &pszUTF8MacAddress, nullptr);
    if (FAILED(hResult)) {
      nStatus = hResult;
      WIDE_LOG_FAILED(kOp, u"UTF16ToUTF8(bstrMacAddress)", hResult, u"FAILED(hResult)");
      break;
    }
    WIDE_LOG_OK(kOp, u"UTF16ToUTF8(bstrMacAddress)");
    TRACE_VALUES(TraceMsg::nmMessageSigning::MacResultUtf8, pszUTF8MacAddress);
    nStatus = 0;
  } while (false);

  ConstructResponseJSON(ppResponseJSON, "GetMacAddress", nStatus, pszUTF8MacAddress);
  delete[] pszBase64ServerCert;
  delete[] pszUTF16ServerCert;
  SysFreeString(bstrMacAddress);
  delete[] pszUTF8MacAddress;
  return 0;
}

int nmGetLastErrorDesc(cJSON** ppResponseJSON, cJSON* pJSONArgs, CTovelAgent* pobjTovelAgent) {
  TraceHelper trace(u"nmGetLastErrorDesc");
  const char16_t* const kOp = u"nmGetLastErrorDesc";
  int nStatus = E_INVALIDARG;
  BSTR bstrDesc = nullptr;
  char* pszUTF8Desc = nullptr;

  do {
    if (!CheckHandlerArgs(kOp, pJSONArgs, pobjTovelAgent, 0, u"0 != nArgsCount")) break;

    HRESULT hResult = pobjTovelAgent->GetLastErrorDesc(&bstrDesc);
    if (FAILED(hResult)) {
      nStatus = hResult;
      WIDE_LOG_FAILED(kOp, u"GetLastErrorDesc", hResult, u"FAILED(hResult)");
      break;
    }
    WIDE_LOG_OK(kOp, u"GetLastErrorDesc");
    TRACE_VALUES(TraceMsg::nmMessageSigning::ErrorDescription, bstrDesc);

    hResult = UTF16ToUTF8(bstrDesc, &pszUTF8Desc, nullptr);
    if (FAILED(hResult)) {
      nStatus = hResult;
      WIDE_LOG_FAILED(kOp, u"UTF16ToUTF8", hResult, u"FAILED(hResult)");
      break;
    }
    WIDE_LOG_OK(kOp, u"UTF16ToUTF8");
    nStatus = 0;
  } while (false);

  ConstructResponseJSON(ppResponseJSON, "GetLastErrorDesc", nStatus, pszUTF8Desc);
  SysFreeString(bstrDesc);
  delete[] pszUTF8Desc;
  return 0;
}

int nmGetVersion(cJSON** ppResponseJSON) {
  TraceHelper trace(u"nmGetVersion");
  ConstructResponseJSON(ppResponseJSON, "GetVersion", 0, TOVEL_VERSION_TEXT);
  return 0;
}
