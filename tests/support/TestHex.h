// Hex conversions shared by the test programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// Hex digits of either case; whitespace between groups is skipped. Any other
// character or an odd number of digits throws std::invalid_argument, so that
// a mistyped test vector fails loudly instead of shifting every later byte.
Bytes FromHex(std::string_view hex);

enum class HexCase { Lower, Upper };

std::string ToHex(const uint8_t* data, size_t len, HexCase letters = HexCase::Lower);
inline std::string ToHex(const Bytes& bytes, HexCase letters = HexCase::Lower) {
  return ToHex(bytes.data(), bytes.size(), letters);
}

}  // namespace testsupport
