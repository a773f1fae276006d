// Private to platform/: helpers for the POSIX calls the stand-ins are built on.
// RetryOnInterrupt and UniqueFd have headers of their own, which the tools use
// too.
#pragma once

#include <dirent.h>

#include "platform/RetryOnInterrupt.h"
#include "platform/UniqueFd.h"
#include "platform/UniquePtr.h"

TOVEL_DEFINE_DELETER(DIR, closedir);
