// Private to platform/: helpers for the POSIX calls the stand-ins are built on.
#pragma once

#include <unistd.h>

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
