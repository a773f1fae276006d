// Private to platform/: the one way a stand-in reports a failure through the
// thread's last error.
#pragma once

#include "platform/Threads.h"

namespace tovel {

// Sets the thread's last error and hands back the call's failure value.
template <class T>
T FailWithLastError(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// The same for a call whose result is the error itself.
inline DWORD FailWithLastError(DWORD error) { return FailWithLastError(error, error); }

}  // namespace tovel
