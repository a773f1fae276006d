#include "resources/Version.h"

// The version text as the host reports it.
extern const char g_szVersionText[] = TOVEL_VERSION_TEXT;
