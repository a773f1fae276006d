#include "tests/support/ErrorQueue.h"

#include <cstdio>

#include <openssl/err.h>

namespace testsupport {

std::vector<ErrorEntry> DrainErrors() {
  std::vector<ErrorEntry> entries;
  const char* data = nullptr;
  int flags = 0;
  unsigned long code;
  while ((code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) != 0) {
    ErrorEntry entry{ERR_GET_LIB(code), ERR_GET_REASON(code), "", std::nullopt};
    if (data != nullptr && (flags & ERR_TXT_STRING) != 0) {
      entry.data = data;
      int func = 0;
      if (std::sscanf(data, "func=%d", &func) == 1) {
        entry.func = func;
      }
    }
    entries.push_back(entry);
  }
  return entries;
}

}  // namespace testsupport
