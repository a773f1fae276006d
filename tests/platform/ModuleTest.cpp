// Module handles of the running program and of loaded libraries.
#include <limits.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/Module.h"
#include "platform/Threads.h"

namespace {

std::u16string Widen(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::string OwnPath() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

TEST(ModuleTest, OwnExecutableByNullPathOrFileName) {
  const HMODULE own = GetModuleHandleW(nullptr);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(GetModuleHandleW(nullptr), own);

  const std::string path = OwnPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(GetModuleHandleW(Widen(path).c_str()), own);
  EXPECT_EQ(GetModuleHandleW(Widen(path.substr(path.rfind('/') + 1)).c_str()), own);
}

TEST(ModuleTest, LoadedLibrariesOnly) {
  struct Case {
    const char16_t* name;
    bool loaded;
  } const cases[] = {
      {u"libc.so.6", true},
      {u"libstdc++.so.6", true},
      {u"libtovel-no-such-module.so", false},
      {u"", false},
  };
  const HMODULE own = GetModuleHandleW(nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
    SetLastError(ERROR_SUCCESS);
    const HMODULE module = GetModuleHandleW(c.name);
    if (c.loaded) {
      EXPECT_NE(module, nullptr);
      EXPECT_NE(module, own);
      EXPECT_EQ(GetModuleHandleW(c.name), module);
    } else {
      EXPECT_EQ(module, nullptr);
      EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    }
  }
}

}  // namespace
