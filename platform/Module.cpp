// Module handles over the dynamic loader, and the image check.
#include "platform/Module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "platform/LastError.h"
#include "platform/Unicode.h"

using tovel::FailWithLastError;

namespace {

// The loader's handle of the main program; it stays valid for the life of the
// process.
HMODULE OwnExecutable() {
  static HMODULE handle = ::dlopen(nullptr, RTLD_LAZY);
  return handle;
}

// Path of the running executable, or empty.
std::string OwnExecutablePath() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

HMODULE GetModuleHandleW(const char16_t* moduleName) {
  if (moduleName == nullptr) {
    HMODULE handle = OwnExecutable();
    return handle != nullptr ? handle : FailWithLastError<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  }

  const std::string name = Utf16ToUtf8(moduleName);  // empty when it cannot be converted
  if (name.empty()) return FailWithLastError<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  // The executable by its path or file name.
  const std::string exe = OwnExecutablePath();
  if (!exe.empty() && (name == exe || name == exe.substr(exe.rfind('/') + 1)))
    return OwnExecutable();

  // A shared object only when it is already loaded; the reference that
  // RTLD_NOLOAD takes is given back at once, the object stays loaded.
  HMODULE handle = ::dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return FailWithLastError<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  ::dlclose(handle);
  return handle;
}

// No platform code signing exists on Linux; there is nothing to check.
LONG VerifyOwnImageIntegrity() { return 0; }
