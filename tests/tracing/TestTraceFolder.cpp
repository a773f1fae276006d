// The tracing folder of a test program: a folder in the build tree, so that
// its hosts and sessions meet no other process on the machine (a strong
// definition in place of the platform's weak one).
#include "platform/EtwShared.h"

const char* g_pszTraceFolder = TOVEL_TEST_TRACE_FOLDER;
