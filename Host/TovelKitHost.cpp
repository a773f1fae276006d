// The host process: start-up, the worker loop, the watchdog and teardown.
#include "Host/TovelKitHost.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <memory>
#include <new>

#include "Host/IOStream.h"
#include "Host/JSONUtility.h"
#include "Host/Tracing.h"
#include "Host/nmMessageSigning.h"
#include "agent/TovelAgent.h"
#include "platform/Crt.h"
#include "platform/Module.h"
#include "platform/Threads.h"

HMODULE g_hInstance = nullptr;
CTovelAgent* g_pobjTovelAgent = nullptr;

namespace {

// The policy a test build sets; constant-initialised, so a setter that runs in
// another file's static initializer finds it ready.
constinit const CertPolicy* g_pstAgentCertPolicy = nullptr;

// Stamps the worker's activity; false when the mutex could not be taken.
bool StampActivity(MsgThreadContext* pstContext) {
  if (WaitForSingleObject(pstContext->mutex, INFINITE) != WAIT_OBJECT_0) return false;
  pstContext->lastTime = pstContext->now = _time64(nullptr);
  ReleaseMutex(pstContext->mutex);
  return true;
}

// The time limit has passed: the worker may be anywhere, holding any lock, and
// a single thread cannot be stopped safely here, so the whole process ends at
// once. Nothing that could wait on the worker runs.
[[noreturn]] void EndAtTimeLimit() {
  const std::uint32_t dwTerminated = TRUE;
  TRACE_VALUES(TraceMsg::TovelKitHost::WorkerEnded, dwTerminated);
  LOG_OK("wmain", "TerminateThread");
  TraceEnd();
  ExitProcessNow(0);
}

// Deletes the agent and clears g_pobjTovelAgent, which pointed to it.
void DeleteAgent(CTovelAgent* pobjTovelAgent) {
  // The agent has no virtual destructor; the object is exactly a CTovelAgent.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
  delete pobjTovelAgent;
#pragma GCC diagnostic pop
  g_pobjTovelAgent = nullptr;
}
using UniqueAgent = std::unique_ptr<CTovelAgent, decltype(&DeleteAgent)>;

// wmain's steps from start-up to the watchdog's end; returns the exit code.
// The context stays in wmain's frame: a worker that still runs uses it.
int RunHost(MsgThreadContext* pstContext) {
  // Released in the reverse order of these declarations: the worker's thread
  // handle, the agent, the mutex, the end signal.
  UniqueHandle hWorkerEnded;
  UniqueHandle hMutex;
  UniqueAgent spAgent(nullptr, DeleteAgent);
  UniqueHandle hWorkingThread;

  g_hInstance = GetModuleHandleW(nullptr);
  if (g_hInstance == nullptr) {
    LOG_FAILED("wmain", "GetModuleHandleW", 0, "NULL == g_hInstance");
    return 0;
  }
  LOG_OK("wmain", "GetModuleHandleW");

  const LONG nIntegrity = VerifyOwnImageIntegrity();
  if (nIntegrity != 0) {
    LOG_FAILED("wmain", "VerifyOwnImageIntegrity", nIntegrity, "0 != nResult");
    return nIntegrity;
  }
  LOG_OK("wmain", "VerifyOwnImageIntegrity");

  // The host has no configuration beyond build-time values: the crypto
  // library's configuration file, which its first object lookup would
  // load, is never read.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  const CertPolicy& stPolicy =
      g_pstAgentCertPolicy != nullptr ? *g_pstAgentCertPolicy : BuiltInCertPolicy();
  spAgent.reset(new (std::nothrow) CTovelAgent(stPolicy));
  g_pobjTovelAgent = spAgent.get();
  if (g_pobjTovelAgent == nullptr) {
    LOG_FAILED("wmain", "new CScriptablePluginObject", 0, "NULL == g_pobjTovelAgent");
    return 0;
  }
  LOG_OK("wmain", "new CScriptablePluginObject");

  const int nResult = SetTranslationMode();
  if (nResult != 0) {
    LOG_FAILED("wmain", "SetTranslationMode", nResult, "PELLUM_OK != nResult");
    return -1;
  }
  LOG_OK("wmain", "SetTranslationMode");

  pstContext->lastTime = pstContext->now = _time64(nullptr);
  pstContext->running.store(1);
  hMutex.reset(CreateMutexW(nullptr, FALSE, nullptr));
  hWorkerEnded.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  pstContext->mutex = hMutex.get();
  pstContext->workerEnded = hWorkerEnded.get();
  hWorkingThread.reset(CreateThread(nullptr, 0, MsgHandleProc, pstContext, 0, nullptr));
  if (hWorkingThread == nullptr) {
    const DWORD dwError = GetLastError();
    LOG_FAILED("wmain", "CreateThread", static_cast<int>(dwError), "NULL == hWorkingThread");
    return static_cast<int>(dwError);
  }
  LOG_OK("wmain", "CreateThread");

  bool bTimeLimitPassed = false;
  const int nExitCode = RunWatchdog(pstContext, WATCHDOG_PAUSE_MS, &bTimeLimitPassed);
  if (bTimeLimitPassed) EndAtTimeLimit();
  // Only a worker that has ended its loop gives up its thread handle; the
  // thread itself is not waited for. One that still runs keeps it.
  if (pstContext->running.load() != 0) static_cast<void>(hWorkingThread.release());
  return nExitCode;
}

}  // namespace

int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg) {
  TraceHelper trace(u"ParseAndRespondRequest");
  TRACE_VALUES(TraceMsg::TovelKitHost::Request, pszRequestMsg);

  char* pszFuncName = nullptr;
  cJSON* pParams = nullptr;
  char* pszRandomId = nullptr;
  int nResult = ParseRequestMsgToJSON(pszRequestMsg, &pszFuncName, &pParams, &pszRandomId);
  const std::unique_ptr<char[]> spFuncName(pszFuncName);
  const tovel::UniquePtr<cJSON> spParams(pParams);
  const std::unique_ptr<char[]> spRandomId(pszRandomId);
  TRACE_VALUES(TraceMsg::TovelKitHost::ParseStatus, nResult);

  cJSON* pResponseJSON = nullptr;
  if (nResult == 0) {
    nResult = Invoke(pszFuncName, pParams, &pResponseJSON);
    TRACE_VALUES(TraceMsg::TovelKitHost::InvokeStatus, nResult);
  }
  const tovel::UniquePtr<cJSON> spResponseJSON(pResponseJSON);
  nResult = ConvertJSONToResponseMsg(pszFuncName, pszRandomId, pResponseJSON, ppszResponseMsg);
  TRACE_VALUES(TraceMsg::TovelKitHost::ConvertStatus, nResult);
  return 0;
}

DWORD MsgHandleProc(LPVOID pContext) {
  TraceHelper trace(u"MsgHandleProc");
  auto* pstContext = static_cast<MsgThreadContext*>(pContext);
  std::uint32_t nLength = 0;
  int nResult = 0;

  // Each turn's request and response are released as the turn ends.
  for (;;) {
    if (!StampActivity(pstContext)) {
      nResult = -1;
      LOG_FAILED("MsgHandleProc", "WaitForSingleObject", nResult, "WAIT_OBJECT_0 != nResult");
      break;
    }
    LOG_OK("MsgHandleProc", "WaitForSingleObject");

    char* pszRequestMsg = nullptr;
    nResult = ReadFromNativeMessaging(&pszRequestMsg, _fileno(stdin), &nLength);
    const std::unique_ptr<char[]> spRequestMsg(pszRequestMsg);
    if (nResult != 0) {
      LOG_FAILED("MsgHandleProc", "ReadFromNativeMessaging", nResult, "PELLUM_OK != nResult");
      break;
    }
    LOG_OK("MsgHandleProc", "ReadFromNativeMessaging");
    TRACE_VALUES(TraceMsg::TovelKitHost::ReceivedRequest, pszRequestMsg);

    if (nLength == 0) {
      TRACE_POINT(TraceMsg::TovelKitHost::ConversationOver);
      break;
    }

    char* pszResponseMsg = nullptr;
    nResult = ParseAndRespondRequest(pszRequestMsg, &pszResponseMsg);
    const std::unique_ptr<char[]> spResponseMsg(pszResponseMsg);
    if (nResult != 0) {
      TRACE_VALUES(TraceMsg::TovelKitHost::NothingSent, nResult);
      continue;
    }
    if (pszResponseMsg == nullptr) {
      // Memory ran out while answering: no response can be sent, so the
      // conversation ends rather than leave the browser waiting.
      nResult = E_OUTOFMEMORY;
      LOG_FAILED("MsgHandleProc", "ParseAndRespondRequest", nResult, "NULL == pszResponseMsg");
      break;
    }
    TRACE_VALUES(TraceMsg::TovelKitHost::Response, pszResponseMsg);

    nResult = WriteToNativeMessaging(pszResponseMsg, _fileno(stdout));
    if (nResult != 0) {
      LOG_FAILED("MsgHandleProc", "WriteToNativeMessaging", nResult, "PELLUM_OK != nResult");
      break;
    }
    LOG_OK("MsgHandleProc", "WriteToNativeMessaging");
  }

  // The context lives in wmain's frame, which may be gone once running is 0:
  // the end signal's handle is taken first.
  const HANDLE hWorkerEnded = pstContext->workerEnded;
  pstContext->running.store(0);
  if (hWorkerEnded != nullptr) SetEvent(hWorkerEnded);
  return static_cast<DWORD>(nResult);
}

int RunWatchdog(MsgThreadContext* pstContext, DWORD dwPauseMs, bool* pbTimeLimitPassed) {
  *pbTimeLimitPassed = false;
  for (;;) {
    if (WaitForSingleObject(pstContext->mutex, INFINITE) != WAIT_OBJECT_0) {
      LOG_FAILED("wmain", "WaitForSingleObject", -1, "WAIT_OBJECT_0 != dwResult");
      return -1;
    }
    LOG_OK("wmain", "WaitForSingleObject");
    pstContext->now = _time64(nullptr);
    const __time64_t now = pstContext->now;
    const __time64_t lastTime = pstContext->lastTime;
    ReleaseMutex(pstContext->mutex);

    if (now - lastTime > MSG_HANDLE_TIME_LIMIT) {
      const auto dwNow = static_cast<std::uint32_t>(now);
      const auto dwLastTime = static_cast<std::uint32_t>(lastTime);
      TRACE_VALUES(TraceMsg::TovelKitHost::TimeLimitPassed, dwNow);
      TRACE_VALUES(TraceMsg::TovelKitHost::WorkerLastStamp, dwLastTime);
      *pbTimeLimitPassed = true;
      return 0;
    }
    if (pstContext->running.load() != 1) return 0;
    if (pstContext->workerEnded == nullptr ||
        WaitForSingleObject(pstContext->workerEnded, dwPauseMs) == WAIT_FAILED)
      Sleep(dwPauseMs);
  }
}

int wmain(int /*argc*/, char16_t** /*argv*/, char16_t** /*envp*/) {
  MsgThreadContext stContext{};
  TraceStart();
  TRACE_POINT(TraceMsg::TovelKitHost::Start);
  const int nExitCode = RunHost(&stContext);
  TraceEnd();
  return nExitCode;
}

void SetAgentCertPolicyForTesting(const CertPolicy* pstPolicy) { g_pstAgentCertPolicy = pstPolicy; }
