// Threads, the unnamed mutex and event, waits, sleeps and the thread's last error.
#pragma once

#include <cstddef>

#include "platform/UniquePtr.h"
#include "platform/WinTypes.h"

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Starts a detached thread running routine(parameter) at once. stackSize 0
// takes the default; only 0 is supported for the flags (others fail with
// ERROR_NOT_SUPPORTED). The routine's result is not kept. *threadId, when
// given, receives a process-unique number. Returns the handle, or null with the
// last error set (ERROR_NOT_ENOUGH_MEMORY when no thread can be made).
HANDLE CreateThread(void* security, std::size_t stackSize, LPTHREAD_START_ROUTINE routine,
                    LPVOID parameter, DWORD creationFlags, DWORD* threadId);
// A thread cannot be stopped safely from outside on this platform: this always
// fails with ERROR_NOT_SUPPORTED. Callers end the whole process instead.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
// Ends the process at once with the given code: no destructors, no atexit.
[[noreturn]] void ExitProcessNow(int exitCode);

// An unnamed, recursive, owner-tracked mutex (name must be null).
HANDLE CreateMutexW(void* security, BOOL initialOwner, const char16_t* name);
BOOL ReleaseMutex(HANDLE mutex);
// An unnamed manual-reset event (manualReset must be TRUE, name null): set,
// every wait for it succeeds until it is reset.
HANDLE CreateEventW(void* security, BOOL manualReset, BOOL initialState, const char16_t* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Waits for a mutex (WAIT_OBJECT_0 once the caller owns it) or an event
// (WAIT_OBJECT_0 once it is set); WAIT_TIMEOUT when the time runs out
// (INFINITE never does). WAIT_FAILED with
// ERROR_INVALID_HANDLE for a null, closed or non-handle value, and with
// ERROR_NOT_SUPPORTED for a thread handle (waiting for a thread's end is not
// offered). A mutex whose owner ended while holding it is not detected.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Closes a mutex or thread handle (a thread handle is only released, the
// thread goes on). A thread still waiting for a closed mutex keeps it alive.
BOOL CloseHandle(HANDLE handle);
// An owned thread, event or mutex handle.
TOVEL_DEFINE_DELETER(void, CloseHandle);
using UniqueHandle = tovel::UniquePtr<void>;

void Sleep(DWORD milliseconds);

// The calling thread's last error; each thread has its own, 0 at its start.
DWORD GetLastError();
void SetLastError(DWORD error);

// The system error number for a C runtime error number (errno, or a pthread
// result). Never 0: 0 and unknown numbers give ERROR_GEN_FAILURE.
DWORD Win32ErrorFromErrno(int errnoValue);
