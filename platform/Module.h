// The loader: module handles and the integrity check of the program's image.
#pragma once

#include "platform/WinTypes.h"

// With a null name: the handle of the program's own executable.
HMODULE GetModuleHandleW(const char16_t* moduleName);

// Checks the code signature of the program's own executable. There is no
// platform code signing on Linux: the check always succeeds with 0.
LONG VerifyOwnImageIntegrity();
