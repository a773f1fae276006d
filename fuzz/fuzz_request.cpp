// The request road: one request text in, one response text out. Every
// response must be well-formed UTF-8 JSON: an object with exactly one
// "function" (a string), one "errorcode" (a number) and one "result".
#include <cjson/cJSON.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "Host/TovelKitHost.h"
#include "agent/TovelAgent.h"
#include "fuzz/FuzzPolicy.h"
#include "fuzz/FuzzSupport.h"

namespace {

int CountMembers(const cJSON* pObject, const char* pszName, int nType) {
  int nCount = 0;
  for (const cJSON* pItem = pObject->child; pItem != nullptr; pItem = pItem->next) {
    if (pItem->string == nullptr || std::strcmp(pItem->string, pszName) != 0) continue;
    fuzz::Check((pItem->type & 0xFF & nType) != 0, "response member has the wrong type", pszName);
    ++nCount;
  }
  return nCount;
}

// Checks the response to one request and returns its errorcode.
int CheckResponse(const std::string& request) {
  char* pszResponse = nullptr;
  fuzz::Check(ParseAndRespondRequest(request.c_str(), &pszResponse) == 0,
              "ParseAndRespondRequest failed");
  fuzz::Check(pszResponse != nullptr, "no response");
  const std::string response(pszResponse);
  delete[] pszResponse;

  // Echoed texts are copied byte for byte until that is fixed; an expected
  // run lets inputs with ill-formed UTF-8 pass so that it can look further.
  const bool bEchoExpected =
      fuzz::FaultExpected("utf8-echo") && !fuzz::IsWellFormedUtf8(request.c_str());
  if (!bEchoExpected)
    fuzz::Check(fuzz::IsWellFormedUtf8(response), "response is not well-formed UTF-8", response);

  const char* pszEnd = nullptr;
  cJSON* pJSON = cJSON_ParseWithOpts(response.c_str(), &pszEnd, 1);
  fuzz::Check(pJSON != nullptr && cJSON_IsObject(pJSON), "response is not a JSON object", response);
  fuzz::Check(CountMembers(pJSON, "function", cJSON_String) == 1, "not exactly one \"function\"",
              response);
  fuzz::Check(CountMembers(pJSON, "errorcode", cJSON_Number) == 1, "not exactly one \"errorcode\"",
              response);
  fuzz::Check(CountMembers(pJSON, "result", cJSON_String | cJSON_False) == 1,
              "not exactly one \"result\"", response);
  const int nErrorCode = cJSON_GetObjectItemCaseSensitive(pJSON, "errorcode")->valueint;
  cJSON_Delete(pJSON);
  return nErrorCode;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_pobjTovelAgent = new CTovelAgent(fuzz::SeedCertPolicy());
  fuzz::InstallFakeNetwork();
  // The road must reach the agent's success, or most of it goes unfuzzed.
  fuzz::Check(CheckResponse(fuzz::ReadSeedFile("request/mac-server")) == 0,
              "the seed GetMacAddress request fails");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyData, std::size_t nSize) {
  // The channel hands the worker a zero-terminated text: the request ends at
  // its first zero byte, as it does here.
  CheckResponse(std::string(reinterpret_cast<const char*>(pbyData), nSize));
  return 0;
}
