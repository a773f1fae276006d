// Method dispatch and the handlers of "GetMacAddress", "GetLastErrorDesc" and
// "GetVersion".
#pragma once

#include <cjson/cJSON.h>

class CTovelAgent;

// Calls the handler whose method name equals pszFuncName ignoring ASCII case.
// Returns the handler's result (0), or -1 with no response object when the
// name matches no method.
int Invoke(const char* pszFuncName, cJSON* pParams, cJSON** ppResponseJSON);

// Each handler builds the response object into *ppResponseJSON and returns 0;
// the method's outcome is the response's errorcode.
int nmGetMacAddress(cJSON** ppResponseJSON, cJSON* pJSONArgs, CTovelAgent* pobjTovelAgent);
int nmGetLastErrorDesc(cJSON** ppResponseJSON, cJSON* pJSONArgs, CTovelAgent* pobjTovelAgent);
int nmGetVersion(cJSON** ppResponseJSON);
