// Requests and responses in JSON.
#include "Host/JSONUtility.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "Host/IOStream.h"
#include "Host/Tracing.h"
#include "Host/StatusCodes.h"
#include "platform/Unicode.h"

namespace {

constexpr int kStatusInvalidParameter = 87;  // ERROR_INVALID_PARAMETER

// A new zeroed array holding a copy of pszText, or null.
char* CopyText(const char* pszText) {
  const std::size_t nLen = std::strlen(pszText);
  char* pszCopy = new (std::nothrow) char[nLen + 1]();
  if (pszCopy != nullptr) std::memcpy(pszCopy, pszText, nLen);
  return pszCopy;
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
    case '"': case '\\': case '\b': case '\f': case '\n': case '\r': case '\t': return 2;
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
  std::string strOut = WellFormedUtf8(std::string_view(pszText, strnlen(pszText, MAX_RESPONSE_SIZE + 1)));
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
char* MakeFallbackResponse(const char* pszFuncName, const char* pszRandomId) {
  const HRESULT hError = NTE_INTERNAL_ERROR;
  try {
    const std::string strName = EscapeJsonText(EchoText(pszFuncName).c_str());
    if (pszRandomId != nullptr && *pszRandomId != '\0') {
      const std::string strRandomId = EscapeJsonText(EchoText(pszRandomId).c_str());
      const std::size_t nSize = strName.size() + strRandomId.size() + 76;
      char* pszOut = new (std::nothrow) char[nSize]();
      if (pszOut != nullptr)
        std::snprintf(pszOut, nSize,
                      "{\"function\":\"%s\", \"errorcode\":%d, \"result\":false, \"randomId\":\"%s\"}",
                      strName.c_str(), hError, strRandomId.c_str());
      return pszOut;
    }
    const std::size_t nSize = strName.size() + 59;
    char* pszOut = new (std::nothrow) char[nSize]();
    if (pszOut != nullptr)
      std::snprintf(pszOut, nSize, "{\"function\":\"%s\", \"errorcode\":%d, \"result\":false}",
                    strName.c_str(), hError);
    return pszOut;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

int ParseRequestMsgToJSON(const char* pszRequestMsg, char** ppszUTF8FuncName,
                          cJSON** ppParamsArray, char** ppszUTF8RandomId) {
  TraceHelper trace(u"ParseRequestMsgToJSON");
  const char* const kOp = "ParseRequestMsgToJSON";

  if (pszRequestMsg == nullptr || *pszRequestMsg == '\0') {
    LOG_FAILED(kOp, "Check Parameters(pszRequestMsg)", kStatusInvalidParameter,
               "(NULL == pszRequestMsg || 0 == strlen(pszRequestMsg))");
    return kStatusInvalidParameter;
  }
  LOG_OK(kOp, "Check Parameters(pszRequestMsg)");

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

  cJSON* pJsonRoot = cJSON_Parse(pszRequestMsg);
  if (pJsonRoot == nullptr) {
    LOG_FAILED(kOp, "cJSON_Parse(pszRequestMsg)", -1, "NULL == pJsonRoot");
    return -1;
  }
  LOG_OK(kOp, "cJSON_Parse(pszRequestMsg)");

  int nResult = -1;
  char* pszFuncName = nullptr;
  char* pszRandomId = nullptr;
  cJSON* pParamsCopy = nullptr;
  do {
    // cJSON_GetObjectItem compares names ignoring ASCII case; the first wins.
    cJSON* pFunction = cJSON_GetObjectItem(pJsonRoot, "function");
    if (pFunction == nullptr) {
      LOG_FAILED(kOp, "cJSON_GetObjectItem(function)", -1, "NULL == pFunction");
      break;
    }
    LOG_OK(kOp, "cJSON_GetObjectItem(function)");

    const char* pszUTF8FuncName = cJSON_GetStringValue(pFunction);
    if (pszUTF8FuncName == nullptr) {
      LOG_FAILED(kOp, "cJSON_GetObjectItem(pszUTF8FuncName)", -1, "NULL == pszUTF8FuncName");
      break;
    }
    LOG_OK(kOp, "cJSON_GetObjectItem(pszUTF8FuncName)");
    TRACE_VALUES(TraceMsg::JSONUtility::RequestFunction, pszUTF8FuncName);

    cJSON* pParamsArray = cJSON_GetObjectItem(pJsonRoot, "params");
    if (pParamsArray == nullptr) {
      LOG_FAILED(kOp, "cJSON_GetObjectItem(param)", -1, "NULL == pParamsArray");
      break;
    }
    LOG_OK(kOp, "cJSON_GetObjectItem(param)");

    cJSON* pRandomId = cJSON_GetObjectItem(pJsonRoot, "randomId");
    const char* pszUTF8RandomId = nullptr;
    if (pRandomId != nullptr) {
      pszUTF8RandomId = cJSON_GetStringValue(pRandomId);
      if (pszUTF8RandomId == nullptr) {
        LOG_FAILED(kOp, "cJSON_GetObjectItem(pszUTF8RandomId)", -1, "NULL == pszUTF8RandomId");
        break;
      }
      LOG_OK(kOp, "cJSON_GetObjectItem(pszUTF8RandomId)");
      TRACE_VALUES(TraceMsg::JSONUtility::RequestRandomId, pszUTF8RandomId);
    }

    // Make every copy first, so that the three parts are handed out together
    // or not at all.
    bool bCopied = true;
    if (pszUTF8RandomId != nullptr && ppszUTF8RandomId != nullptr) {
      pszRandomId = CopyText(pszUTF8RandomId);
      bCopied = pszRandomId != nullptr;
      if (bCopied) LOG_OK(kOp, "New memory");
    }
    if (bCopied && ppszUTF8FuncName != nullptr) {
      pszFuncName = CopyText(pszUTF8FuncName);
      bCopied = pszFuncName != nullptr;
      if (bCopied) LOG_OK(kOp, "New memory");
    }
    if (bCopied && ppParamsArray != nullptr) {
      pParamsCopy = cJSON_Duplicate(pParamsArray, 1);
      bCopied = pParamsCopy != nullptr;
    }
    if (!bCopied) {
      LOG_FAILED(kOp, "New memory", static_cast<int>(E_OUTOFMEMORY), "out of memory");
      break;
    }

    if (ppszUTF8RandomId != nullptr && pszRandomId != nullptr) *ppszUTF8RandomId = pszRandomId;
    if (ppszUTF8FuncName != nullptr) *ppszUTF8FuncName = pszFuncName;
    if (ppParamsArray != nullptr) *ppParamsArray = pParamsCopy;
    pszRandomId = pszFuncName = nullptr;
    pParamsCopy = nullptr;
    nResult = 0;
  } while (false);

  delete[] pszFuncName;
  delete[] pszRandomId;
  cJSON_Delete(pParamsCopy);
  cJSON_Delete(pJsonRoot);
  return nResult;
}

int ConstructResponseJSON(cJSON** ppResponseJSON, const char* pszFuncName, std::int32_t nStatus,
                          const char* pszResult) {
  TraceHelper trace(u"ConstructResponseJSON");
  const char* const kOp = "ConstructResponseJSON";

  if (pszFuncName == nullptr || *pszFuncName == '\0') {
    LOG_FAILED(kOp, "Check Parameters(pszFuncName)", kStatusInvalidParameter,
               "(NULL == pszFuncName || 0 == strlen(pszFuncName))");
    return kStatusInvalidParameter;
  }
  LOG_OK(kOp, "Check Parameters(pszFuncName)");

  cJSON* pResponseJSON = cJSON_CreateObject();
  if (pResponseJSON == nullptr) {
    LOG_FAILED(kOp, "cJSON_CreateObject", E_JSON_CREATE_FAILED, "NULL == pResponseJSON");
    return E_JSON_CREATE_FAILED;
  }
  LOG_OK(kOp, "cJSON_CreateObject");

  cJSON_AddStringToObject(pResponseJSON, "function", pszFuncName);
  cJSON_AddNumberToObject(pResponseJSON, "errorcode", static_cast<double>(nStatus));
  if (nStatus != 0) {
    cJSON_AddFalseToObject(pResponseJSON, "result");
  } else if (pszResult != nullptr) {
    TRACE_VALUES(TraceMsg::JSONUtility::ResponseResult, pszResult);
    cJSON_AddStringToObject(pResponseJSON, "result", pszResult);
  }

  if (ppResponseJSON != nullptr)
    *ppResponseJSON = pResponseJSON;
  else
    cJSON_Delete(pResponseJSON);
  return 0;
}

int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId,
                             cJSON* pResponseJSON, char** ppszResponseMsg) {
  TraceHelper trace(u"ConvertJSONToResponseMsg");
  TRACE_VALUES(TraceMsg::JSONUtility::ResponseRandomId, pszRandomId);
  TRACE_VALUES(TraceMsg::JSONUtility::ResponseFunction, pszFuncName);

  const bool bHasRandomId = pszRandomId != nullptr && *pszRandomId != '\0';
  char* pszResponseMsg = nullptr;
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
      pszResponseMsg = CopyText(pszPrinted);
      cJSON_free(pszPrinted);
    }
  } else {
    pszResponseMsg = MakeFallbackResponse(pszFuncName != nullptr ? pszFuncName : "",
                                          bHasRandomId ? pszRandomId : nullptr);
  }

  if (ppszResponseMsg != nullptr)
    *ppszResponseMsg = pszResponseMsg;
  else
    delete[] pszResponseMsg;
  return 0;
}

int ConverJSONArrayItemtoNULLEndString(cJSON* pJSONArray, int nIndex, char** ppszNULLEndString) {
  TraceHelper trace(u"ConverJSONArrayItemtoNULLEndString");
  const char* const kOp = "ConverJSONArrayItemtoNULLEndString";

  if (pJSONArray == nullptr || nIndex < 0) {
    LOG_FAILED(kOp, "Check Parameters(pJSONArray)", kStatusInvalidParameter,
               "(NULL == pJSONArray || nIndex < 0)");
    return kStatusInvalidParameter;
  }
  LOG_OK(kOp, "Check Parameters(pJSONArray)");

  // Elements of an array, members of an object, none for any other value.
  const int nCount = cJSON_GetArraySize(pJSONArray);
  TRACE_VALUES(TraceMsg::JSONUtility::ParameterCount, nCount);
  if (nCount == 0 || nCount <= nIndex) {
    LOG_FAILED(kOp, "Check Parameters(JSONArray nIndex)", kStatusInvalidParameter,
               "(0 == nCount || nCount <= nIndex)");
    return kStatusInvalidParameter;
  }
  LOG_OK(kOp, "Check Parameters(JSONArray nIndex)");

  cJSON* pJSONItem = cJSON_GetArrayItem(pJSONArray, nIndex);
  LOG_OK(kOp, "cJSON_GetArrayItem");

  const char* pszText = nullptr;
  if (cJSON_IsObject(pJSONItem)) {
    pszText = cJSON_GetStringValue(cJSON_GetObjectItem(pJSONItem, "param"));
    if (pszText == nullptr) {
      LOG_FAILED(kOp, "cJSON_GetObjectItem(type)", E_JSON_INVALID_TYPE, "cJSON_String != nItemType");
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

  char* pszCopy = CopyText(pszText);
  if (pszCopy == nullptr) {
    LOG_FAILED(kOp, "New memory", E_OUTOFMEMORY, "NULL == pszNULLEndString");
    return E_OUTOFMEMORY;
  }
  LOG_OK(kOp, "New memory");
  if (ppszNULLEndString != nullptr)
    *ppszNULLEndString = pszCopy;
  else
    delete[] pszCopy;
  return 0;
}
