// Private to platform/: helpers for the POSIX calls the stand-ins are built on.
// RetryOnInterrupt and UniqueFd have headers of their own, which the tools use
// too.
#pragma once

#include <dirent.h>
#include <ifaddrs.h>
#include <limits.h>
#include <pthread.h>

#include <algorithm>
#include <cstddef>

#include "platform/RetryOnInterrupt.h"
#include "platform/UniqueFd.h"
#include "platform/UniquePtr.h"

TOVEL_DEFINE_DELETER(DIR, closedir);
TOVEL_DEFINE_DELETER(ifaddrs, freeifaddrs);

namespace tovel {

// Starts a detached thread running entry(arg); 0 or the pthread error. A
// stack size of 0 takes the default; a request below the system's least is
// rounded up rather than refused.
inline int StartDetached(std::size_t stackBytes, void* (*entry)(void*), void* arg) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (rc == 0 && stackBytes != 0)
    rc = pthread_attr_setstacksize(
        &attr, std::max(stackBytes, static_cast<std::size_t>(PTHREAD_STACK_MIN)));
  pthread_t thread;
  if (rc == 0) rc = pthread_create(&thread, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  return rc;
}

}  // namespace tovel
