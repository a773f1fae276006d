#include "tests/support/TestHex.h"

#include <stdexcept>

namespace testsupport {

namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

Bytes FromHex(std::string_view hex) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    if (IsSpace(c)) continue;
    const int digit = DigitValue(c);
    if (digit < 0) throw std::invalid_argument("not a hex digit in \"" + std::string(hex) + "\"");
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0)
    throw std::invalid_argument("odd number of hex digits in \"" + std::string(hex) + "\"");
  return out;
}

std::string ToHex(const uint8_t* data, size_t len, HexCase letters) {
  const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (size_t i = 0; i < len; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

}  // namespace testsupport
