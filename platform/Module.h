// The loader: module handles, the system library lookup and the integrity
// check of the program's image.
#pragma once

#include "platform/WinTypes.h"

// With a null name: the handle of the program's own executable.
HMODULE GetModuleHandleW(const char16_t* moduleName);

// Checks the code signature of the program's own executable. There is no
// platform code signing on Linux: the check always succeeds with 0.
LONG VerifyOwnImageIntegrity();

// A tiny stand-in for loading a system library and finding its entry points:
// it knows "advapi32" (with or without ".dll", any case) with "TraceMessage"
// and "TraceMessageVa" (platform/Etw.h). Others fail with ERROR_MOD_NOT_FOUND
// and ERROR_PROC_NOT_FOUND.
using FARPROC = void (*)();
HMODULE LoadLibraryW(const char16_t* fileName);
FARPROC GetProcAddress(HMODULE module, const char* procName);
BOOL FreeLibrary(HMODULE module);
// Test seam: while set, GetProcAddress finds neither trace-message entry point.
void HideTraceMessageEntriesForTesting(bool hide);
