// Private to platform/: the one way a stand-in reports a failure through the
// thread's last error.
#pragma once

#include <type_traits>

#include "platform/Threads.h"

namespace tovel {

// Sets the thread's last error and hands back the call's failure value. The
// result type is always spelled out, FailWithLastError<BOOL>(error, FALSE):
// it is not deduced from the value.
template <class T>
T FailWithLastError(DWORD error, std::type_identity_t<T> result) {
  SetLastError(error);
  return result;
}

// The same for a call whose result is the error itself.
inline DWORD FailWithLastError(DWORD error) { return FailWithLastError<DWORD>(error, error); }

}  // namespace tovel
