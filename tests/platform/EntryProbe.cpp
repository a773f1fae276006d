// Reports what the process entry handed to wmain, one line per item, each
// text as hexadecimal UTF-16 units:
//   argc=<n>
//   arg=<units>            for every argument
//   env=<units>            for every environment entry starting "TOVEL_PROBE"
//   pipe=<result>,<errno>  a write to descriptor 3, whose reader is closed
// and returns 42.
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/Crt.h"

namespace {

std::string Hex(const char16_t* text) {
  std::string out;
  char unit[8];
  for (; *text != u'\0'; ++text) {
    std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(*text));
    out += unit;
  }
  return out;
}

void Emit(const std::string& line) {
  const std::string text = line + "\n";
  _write(1, text.data(), static_cast<unsigned>(text.size()));
}

}  // namespace

int wmain(int argc, char16_t** argv, char16_t** envp) {
  Emit("argc=" + std::to_string(argc));
  for (int i = 0; i < argc; ++i) Emit("arg=" + Hex(argv[i]));
  const std::u16string prefix = u"TOVEL_PROBE";
  for (char16_t** entry = envp; *entry != nullptr; ++entry)
    if (std::u16string(*entry).starts_with(prefix)) Emit("env=" + Hex(*entry));
  const int result = _write(3, "x", 1);
  Emit("pipe=" + std::to_string(result) + "," + std::to_string(result < 0 ? errno : 0));
  return 42;
}
