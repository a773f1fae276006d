// Sets LC_ALL, LC_MESSAGES and LANG for one scope (null: unset) and puts the
// earlier values back afterwards.
#pragma once

#include <stdlib.h>

#include <array>
#include <optional>
#include <string>

namespace agenttest {

class LocaleScope {
 public:
  LocaleScope(const char* lcAll, const char* lcMessages, const char* lang) {
    const std::array<const char*, 3> values = {lcAll, lcMessages, lang};
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      if (const char* old = getenv(kNames[i])) saved_[i] = old;
      Set(kNames[i], values[i]);
    }
  }
  ~LocaleScope() {
    for (std::size_t i = 0; i < kNames.size(); ++i)
      Set(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }
  LocaleScope(const LocaleScope&) = delete;
  LocaleScope& operator=(const LocaleScope&) = delete;

 private:
  static void Set(const char* name, const char* value) {
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  static constexpr std::array<const char*, 3> kNames = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::array<std::optional<std::string>, 3> saved_;
};

}  // namespace agenttest
