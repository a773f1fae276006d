// Requests and responses in JSON.
#include "Host/JSONUtility.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "Host/IOStream.h"
#include "Host/Misc.h"
#include "Host/StatusCodes.h"
#include "Host/Tracing.h"
#include "platform/Unicode.h"
#include "platform/UniquePtr.h"

namespace {

// The parameter step of a text that must be given and not empty, logged at
// the caller's line: false, with the step failed for ERROR_INVALID_PARAMETER,
// when it is not.
bool CheckTextGiven(const char* pszOp, const char* pszText, const char* pszStep,
                    const char* pszReason, int nCallerLine = TOVEL_CALLER_LINE) {
  if (pszText == nullptr || *pszText == '\0') {
    LOG_FAILED_AT(nCallerLine, pszOp, pszStep, ERROR_INVALID_PARAMETER, pszReason);
    return false;
  }
  LOG_OK_AT(nCallerLine, pszOp, pszStep);
  return true;
}

// A request may make this many JSON values and member names beyond its own
// share: every kTextBytesPerToken bytes of its text grant one more. A parse
// tree takes at most about 112 bytes per value or name, and the deep copy of
// params as much again, so the request's parse and copy stay within a few
// times its size. Requests a browser sends hold a handful of values.
constexpr std::size_t kBaseTokenAllowance = 4096;
constexpr std::size_t kTextBytesPerToken = 64;

// The number of values and member names a parse of the text would make:
// every string (value or member name), number, literal, array and object
// counts once. Counted without parsing; text that is no JSON counts too, as
// the parser would read it until it stops. *pnLength is the text's length.
std::size_t CountJsonTokens(const char* pszText, std::size_t* pnLength) {
  std::size_t nTokens = 0;
  bool bInString = false;
  bool bInScalar = false;
  const char* p = pszText;
  for (; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (bInString) {
      if (c == '\\' && p[1] != '\0')
        ++p;
      else if (c == '"')
        bInString = false;
      continue;
    }
    const bool bScalarChar = std::isalnum(c) || c == '+' || c == '-' || c == '.';
    if (bScalarChar && !bInScalar) ++nTokens;
    bInScalar = bScalarChar;
    if (c == '"') {
      bInString = true;
      ++nTokens;
    } else if (c == '[' || c == '{') {
      ++nTokens;
    }
  }
  *pnLength = static_cast<std::size_t>(p - pszText);
  return nTokens;
}

// The bytes one byte of a string takes when printed: the double quote, the
// backslash and the bytes below 0x20 escaped, every other byte as it is.
std::size_t PrintedLength(unsigned char c) {
  switch (c) {
    case '"':
    case '\\':
    case '\b':
    case '\f':
    case '\n':
    case '\r':
    case '\t': return 2;
    default: return c < 0x20 ? 6 : 1;
  }
}

// A text of the request as a response carries it back: well-formed UTF-8,
// each maximal ill-formed subpart replaced by U+FFFD, as the UTF-16
// conversion replaces it. A text that can never come back whole (its printed
// form alone is longer than the largest response) is cut to a prefix that
// already makes every response holding it too long to send, so that nothing
// larger is built for it.
std::string EchoText(const char* pszText) {
  // Every byte of the text gives at least one byte of the result.
  std::string strOut =
      WellFormedUtf8(std::string_view(pszText, strnlen(pszText, MAX_RESPONSE_SIZE + 1)));
  std::size_t nPrinted = 0;
  for (std::size_t i = 0; i < strOut.size(); ++i) {
    const auto c = static_cast<unsigned char>(strOut[i]);
    if ((c & 0xC0) != 0x80 && nPrinted > MAX_RESPONSE_SIZE) {  // cut before a character
      strOut.resize(i);
      break;
    }
    nPrinted += PrintedLength(c);
  }
  return strOut;
}

// pszText escaped as the printed object escapes strings: the double quote,
// the backslash and every byte below 0x20; other bytes as they are.
std::string EscapeJsonText(const char* pszText) {
  std::string strOut;
  for (const char* p = pszText; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    switch (c) {
      case '"': strOut += "\\\""; break;
      case '\\': strOut += "\\\\"; break;
      case '\b': strOut += "\\b"; break;
      case '\f': strOut += "\\f"; break;
      case '\n': strOut += "\\n"; break;
      case '\r': strOut += "\\r"; break;
      case '\t': strOut += "\\t"; break;
      default:
        if (c < 0x20) {
          char szEscape[8];
          std::snprintf(szEscape, sizeof szEscape, "\\u%04x", c);
          strOut += szEscape;
        } else {
          strOut += static_cast<char>(c);
        }
    }
  }
  return strOut;
}

// The fixed response for a request that names no method or could not be
// parsed. Name and randomId are escaped so that the text stays one valid
// object whatever the request held.
std::unique_ptr<char[]> MakeFallbackResponse(const char* pszFuncName, const char* pszRandomId) {
  const HRESULT hError = NTE_INTERNAL_ERROR;
  try {
    std::string strOut = "{\"function\":\"" + EscapeJsonText(EchoText(pszFuncName).c_str()) +
                         "\", \"errorcode\":" + std::to_string(hError) + ", \"result\":false";
    if (pszRandomId != nullptr && *pszRandomId != '\0')
      strOut += ", \"randomId\":\"" + EscapeJsonText(EchoText(pszRandomId).c_str()) + "\"";
    strOut += "}";
    return CopyText(strOut.c_str());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

int ParseRequestMsgToJSON(const char* pszRequestMsg, char** ppszUTF8FuncName, cJSON** ppParamsArray,
                          char** ppszUTF8RandomId) {
  TraceHelper trace(u"ParseRequestMsgToJSON");
  const char* const kOp = "ParseRequestMsgToJSON";

  if (!CheckTextGiven(kOp, pszRequestMsg, "Check Parameters(pszRequestMsg)",
                      "(NULL == pszRequestMsg || 0 == strlen(pszRequestMsg))"))
    return ERROR_INVALID_PARAMETER;

  // Only bytes 0x01 to 0x20 stand before the value; the JSON library would
  // skip a byte-order mark as well.
  if (std::strncmp(pszRequestMsg, "\xEF\xBB\xBF", 3) == 0) {
    LOG_FAILED(kOp, "cJSON_Parse(pszRequestMsg)", -1, "NULL == pJsonRoot");
    return -1;
  }
  // A request that would make far more values than its size warrants is
  // refused before it is parsed, as one that cannot be parsed.
  std::size_t nTextLength = 0;
  const std::size_t nTokens = CountJsonTokens(pszRequestMsg, &nTextLength);
  if (nTokens > kBaseTokenAllowance + nTextLength / kTextBytesPerToken) {
    LOG_FAILED(kOp, "cJSON_Parse(pszRequestMsg)", -1, "nValueCount > nMaxValueCount");
    return -1;
  }

  const tovel::UniquePtr<cJSON> spJsonRoot(cJSON_Parse(pszRequestMsg));
  if (spJsonRoot == nullptr) {
    LOG_FAILED(kOp, "cJSON_Parse(pszRequestMsg)", -1, "NULL == pJsonRoot");
    return -1;
  }
  LOG_OK(kOp, "cJSON_Parse(pszRequestMsg)");

  // cJSON_GetObjectItem compares names ignoring ASCII case; the first wins.
  cJSON* pFunction = cJSON_GetObjectItem(spJsonRoot.get(), "function");
  if (pFunction == nullptr) {
    LOG_FAILED(kOp, "cJSON_GetObjectItem(function)", -1, "NULL == pFunction");
    return -1;
  }
  LOG_OK(kOp, "cJSON_GetObjectItem(function)");

  const char* pszUTF8FuncName = cJSON_GetStringValue(pFunction);
  if (pszUTF8FuncName == nullptr) {
    LOG_FAILED(kOp, "cJSON_GetObjectItem(pszUTF8FuncName)", -1, "NULL == pszUTF8FuncName");
    return -1;
  }
  LOG_OK(kOp, "cJSON_GetObjectItem(pszUTF8FuncName)");
  TRACE_VALUES(TraceMsg::JSONUtility::RequestFunction, pszUTF8FuncName);

  cJSON* pParamsArray = cJSON_GetObjectItem(spJsonRoot.get(), "params");
  if (pParamsArray == nullptr) {
    LOG_FAILED(kOp, "cJSON_GetObjectItem(param)", -1, "NULL == pParamsArray");
    return -1;
  }
  LOG_OK(kOp, "cJSON_GetObjectItem(param)");

  cJSON* pRandomId = cJSON_GetObjectItem(spJsonRoot.get(), "randomId");
  const char* pszUTF8RandomId = nullptr;
  if (pRandomId != nullptr) {
    pszUTF8RandomId = cJSON_GetStringValue(pRandomId);
    if (pszUTF8RandomId == nullptr) {
      LOG_FAILED(kOp, "cJSON_GetObjectItem(pszUTF8RandomId)", -1, "NULL == pszUTF8RandomId");
      return -1;
    }
    LOG_OK(kOp, "cJSON_GetObjectItem(pszUTF8RandomId)");
    TRACE_VALUES(TraceMsg::JSONUtility::RequestRandomId, pszUTF8RandomId);
  }

  // Make every copy first, so that the three parts are handed out together
  // or not at all.
  std::unique_ptr<char[]> spRandomId;
  std::unique_ptr<char[]> spFuncName;
  tovel::UniquePtr<cJSON> spParamsCopy;
  bool bCopied = true;
  if (pszUTF8RandomId != nullptr && ppszUTF8RandomId != nullptr) {
    spRandomId = CopyText(pszUTF8RandomId);
    bCopied = spRandomId != nullptr;
    if (bCopied) LOG_OK(kOp, "New memory");
  }
  if (bCopied && ppszUTF8FuncName != nullptr) {
    spFuncName = CopyText(pszUTF8FuncName);
    bCopied = spFuncName != nullptr;
    if (bCopied) LOG_OK(kOp, "New memory");
  }
  if (bCopied && ppParamsArray != nullptr) {
    spParamsCopy.reset(cJSON_Duplicate(pParamsArray, 1));
    bCopied = spParamsCopy != nullptr;
  }
  if (!bCopied) {
    LOG_FAILED(kOp, "New memory", static_cast<int>(E_OUTOFMEMORY), "out of memory");
    return -1;
  }

  if (spRandomId != nullptr) *ppszUTF8RandomId = spRandomId.release();
  if (ppszUTF8FuncName != nullptr) *ppszUTF8FuncName = spFuncName.release();
  if (ppParamsArray != nullptr) *ppParamsArray = spParamsCopy.release();
  return 0;
}

int ConstructResponseJSON(cJSON** ppResponseJSON, const char* pszFuncName, std::int32_t nStatus,
                          const char* pszResult) {
  TraceHelper trace(u"ConstructResponseJSON");
  const char* const kOp = "ConstructResponseJSON";

  if (!CheckTextGiven(kOp, pszFuncName, "Check Parameters(pszFuncName)",
                      "(NULL == pszFuncName || 0 == strlen(pszFuncName))"))
    return ERROR_INVALID_PARAMETER;

  tovel::UniquePtr<cJSON> spResponseJSON(cJSON_CreateObject());
  if (spResponseJSON == nullptr) {
    LOG_FAILED(kOp, "cJSON_CreateObject", E_JSON_CREATE_FAILED, "NULL == pResponseJSON");
    return E_JSON_CREATE_FAILED;
  }
  LOG_OK(kOp, "cJSON_CreateObject");

  cJSON* const pResponseJSON = spResponseJSON.get();
  cJSON_AddStringToObject(pResponseJSON, "function", pszFuncName);
  cJSON_AddNumberToObject(pResponseJSON, "errorcode", static_cast<double>(nStatus));
  if (nStatus != 0) {
    cJSON_AddFalseToObject(pResponseJSON, "result");
  } else if (pszResult != nullptr) {
    TRACE_VALUES(TraceMsg::JSONUtility::ResponseResult, pszResult);
    cJSON_AddStringToObject(pResponseJSON, "result", pszResult);
  }

  if (ppResponseJSON != nullptr) *ppResponseJSON = spResponseJSON.release();
  return 0;
}

int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg) {
  TraceHelper trace(u"ConvertJSONToResponseMsg");
  TRACE_VALUES(TraceMsg::JSONUtility::ResponseRandomId, pszRandomId);
  TRACE_VALUES(TraceMsg::JSONUtility::ResponseFunction, pszFuncName);

  const bool bHasRandomId = pszRandomId != nullptr && *pszRandomId != '\0';
  std::unique_ptr<char[]> spResponseMsg;
  if (pResponseJSON != nullptr) {
    if (bHasRandomId) {
      try {
        cJSON_AddStringToObject(pResponseJSON, "randomId", EchoText(pszRandomId).c_str());
      } catch (const std::bad_alloc&) {
        // Appending is not checked: without memory the member is missing.
      }
    }
    // The printed text comes from the JSON library's allocator; the caller
    // releases the response with delete[], so it is copied.
    char* pszPrinted = cJSON_PrintUnformatted(pResponseJSON);
    if (pszPrinted != nullptr) {
      spResponseMsg = CopyText(pszPrinted);
      cJSON_free(pszPrinted);
    }
  } else {
    spResponseMsg = MakeFallbackResponse(pszFuncName != nullptr ? pszFuncName : "",
                                         bHasRandomId ? pszRandomId : nullptr);
  }

  if (ppszResponseMsg != nullptr) *ppszResponseMsg = spResponseMsg.release();
  return 0;
}

int ConverJSONArrayItemtoNULLEndString(cJSON* pJSONArray, int nIndex, char** ppszNULLEndString) {
  TraceHelper trace(u"ConverJSONArrayItemtoNULLEndString");
  const char* const kOp = "ConverJSONArrayItemtoNULLEndString";

  if (pJSONArray == nullptr || nIndex < 0) {
    LOG_FAILED(kOp, "Check Parameters(pJSONArray)", ERROR_INVALID_PARAMETER,
               "(NULL == pJSONArray || nIndex < 0)");
    return ERROR_INVALID_PARAMETER;
  }
  LOG_OK(kOp, "Check Parameters(pJSONArray)");

  // Elements of an array, members of an object, none for any other value.
  const int nCount = cJSON_GetArraySize(pJSONArray);
  TRACE_VALUES(TraceMsg::JSONUtility::ParameterCount, nCount);
  if (nCount == 0 || nCount <= nIndex) {
    LOG_FAILED(kOp, "Check Parameters(JSONArray nIndex)", ERROR_INVALID_PARAMETER,
               "(0 == nCount || nCount <= nIndex)");
    return ERROR_INVALID_PARAMETER;
  }
  LOG_OK(kOp, "Check Parameters(JSONArray nIndex)");

  cJSON* pJSONItem = cJSON_GetArrayItem(pJSONArray, nIndex);
  LOG_OK(kOp, "cJSON_GetArrayItem");

  const char* pszText = nullptr;
  if (cJSON_IsObject(pJSONItem)) {
    pszText = cJSON_GetStringValue(cJSON_GetObjectItem(pJSONItem, "param"));
    if (pszText == nullptr) {
      LOG_FAILED(kOp, "cJSON_GetObjectItem(type)", E_JSON_INVALID_TYPE,
                 "cJSON_String != nItemType");
      return E_JSON_INVALID_TYPE;
    }
    LOG_OK(kOp, "cJSON_GetObjectItem(type)");
    LOG_OK(kOp, "cJSON_GetObjectItem(valuestring)");
  } else if (cJSON_IsString(pJSONItem) && pJSONItem->valuestring != nullptr) {
    pszText = pJSONItem->valuestring;
    LOG_OK(kOp, "JSONItem(type)");
    LOG_OK(kOp, "JSONItem(valuestring)");
  } else {
    LOG_FAILED(kOp, "JSONItem(type)", E_JSON_INVALID_TYPE, "cJSON_String != pJSONItem->type");
    return E_JSON_INVALID_TYPE;
  }

  std::unique_ptr<char[]> spCopy = CopyText(pszText);
  if (spCopy == nullptr) {
    LOG_FAILED(kOp, "New memory", E_OUTOFMEMORY, "NULL == pszNULLEndString");
    return E_OUTOFMEMORY;
  }
  LOG_OK(kOp, "New memory");
  if (ppszNULLEndString != nullptr) *ppszNULLEndString = spCopy.release();
  return 0;
}
