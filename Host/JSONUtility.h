// Requests and responses in JSON.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>

#include "platform/WinTypes.h"

// Parses a request: its "function" (string), "params" (any value) and optional
// "randomId" (string), members found by name ignoring ASCII case, the first
// match winning. Returns 0 and hands out, into each out place that is given,
// a new copy of the name (delete[]), a deep copy of params (cJSON_Delete) and
// a new copy of randomId (delete[]; left as is when the request has none).
// Returns ERROR_INVALID_PARAMETER for a null or empty text, -1 for anything
// else that fails; then nothing is handed out.
int ParseRequestMsgToJSON(const char* pszRequestMsg, char** ppszUTF8FuncName, cJSON** ppParamsArray,
                          char** ppszUTF8RandomId);

// Builds the response object {"function", "errorcode", "result"}: "result" is
// false for a nonzero status, else pszResult when given. Returns 0,
// ERROR_INVALID_PARAMETER for a null or empty name, or E_JSON_CREATE_FAILED.
// The object goes to *ppResponseJSON (cJSON_Delete), or is deleted when no
// out place is given.
int ConstructResponseJSON(cJSON** ppResponseJSON, const char* pszFuncName, std::int32_t nStatus,
                          const char* pszResult);

// Prints the response: the object (with "randomId" appended when the request
// carried a non-empty one) without formatting, or, with no object, the
// fallback response. Returns 0; the new text goes to *ppszResponseMsg
// (delete[]) and is null only when memory ran out.
int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg);

// Copies the text of element nIndex of pJSONArray (a string, or an object's
// "param" string member) into a new array (delete[]). Returns 0,
// ERROR_INVALID_PARAMETER when the index lies outside the elements, or
// E_JSON_INVALID_TYPE.
int ConverJSONArrayItemtoNULLEndString(cJSON* pJSONArray, int nIndex, char** ppszNULLEndString);
