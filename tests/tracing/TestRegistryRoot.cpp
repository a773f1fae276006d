// The registry root of a test program: a folder in the build tree that the
// tests fill (a strong definition in place of the platform's weak one).
#include "platform/Registry.h"

const char* g_pszRegistryRoot = TOVEL_TEST_REGISTRY_ROOT;
