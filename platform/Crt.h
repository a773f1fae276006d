// C runtime stand-ins: low-level descriptor I/O, translation mode and the 64-bit clock.
#pragma once

#include <cstdio>
#include <functional>

#include "platform/WinTypes.h"

constexpr int _O_TEXT = 0x4000;
constexpr int _O_BINARY = 0x8000;

// Reads up to count bytes; returns the count read, 0 at end of input, or -1
// with errno set. Interrupted reads are retried.
int _read(int fd, void* buffer, unsigned int count);
// Writes up to count bytes; returns the count written or -1 with errno set
// (EPIPE for a closed reader: the process ignores SIGPIPE). Interrupted writes
// are retried.
int _write(int fd, const void* buffer, unsigned int count);
int _fileno(std::FILE* stream);
// Sets the translation mode (_O_BINARY or _O_TEXT) of a descriptor and
// returns the previous one (_O_TEXT until first set for the file the
// descriptor refers to), or -1 with errno EBADF/EINVAL. No byte is ever
// translated on this platform; the mode is only recorded. A standard
// descriptor that was closed when the process started cannot be set (EBADF).
int _setmode(int fd, int mode);

// Run first in the process, before anything opens a file: each of the
// standard descriptors 0, 1 and 2 that is closed gets a placeholder
// (/dev/null), so that no file opened later takes its number. A placeholder
// of 0 or 1 is no channel: _setmode, _read and _write refuse it with EBADF.
// When a placeholder cannot be made the process ends at once with exit code
// 255 (-1), having read and written nothing.
void ReserveStandardDescriptors();

// Seconds since 1970-01-01 00:00:00 UTC; also stored in *pTime when given.
__time64_t _time64(__time64_t* pTime);

// Test seam: replaces the clock behind _time64 (an empty function restores
// the system clock).
void SetTimeSourceForTesting(std::function<__time64_t()> source);
