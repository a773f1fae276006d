// The host process: entry, worker thread, watchdog and the request road.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/WinTypes.h"

class CTovelAgent;
struct CertPolicy;

// The worker is ended when it has waited for or worked on one request for
// longer than this.
constexpr __time64_t MSG_HANDLE_TIME_LIMIT = 600;
constexpr DWORD WATCHDOG_PAUSE_MS = 1000;

// State shared by the watchdog and the worker; it lives in wmain's frame.
struct MsgThreadContext {
  __time64_t lastTime;                // the worker's last stamp (guarded by mutex)
  __time64_t now;                     // the watchdog's latest reading (guarded by mutex)
  std::atomic<std::uint8_t> running;  // 1 while the worker's loop runs
  HANDLE mutex;
  // Set by the worker right after it clears running, so that the watchdog's
  // pause ends at once (a manual-reset event; null: the pause is a sleep).
  HANDLE workerEnded;
};

extern HMODULE g_hInstance;
extern CTovelAgent* g_pobjTovelAgent;

int wmain(int argc, char16_t** argv, char16_t** envp);

// The certificate policy wmain hands its agent in a test build of the program
// (borrowed: it outlives the program); null, the default, is
// BuiltInCertPolicy(). Safe to call from a static initializer.
void SetAgentCertPolicyForTesting(const CertPolicy* pstPolicy);

// The worker's thread routine; pContext is the MsgThreadContext.
DWORD MsgHandleProc(LPVOID pContext);

// Turns one request text into one response text (new array, delete[] by the
// caller). Returns 0; the response is null only when memory ran out.
int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg);

// The watchdog loop: checks at once, then after every pause of dwPauseMs,
// which the worker's end signal (workerEnded) cuts short. Returns the exit
// code; *pbTimeLimitPassed tells whether it ended because the worker was idle
// or busy for more than MSG_HANDLE_TIME_LIMIT seconds.
int RunWatchdog(MsgThreadContext* pstContext, DWORD dwPauseMs, bool* pbTimeLimitPassed);
