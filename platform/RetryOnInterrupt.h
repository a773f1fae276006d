// Repeating a system call a signal interrupted: one helper for platform/ and
// for the tools outside the library stack.
#pragma once

#include <cerrno>

namespace tovel {

// Repeats a system call that a signal handler interrupted (-1 with EINTR).
template <class Call>
auto RetryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace tovel
