// System strings: [32-bit byte length][UTF-16 text][zero unit], allocated with
// malloc so that allocation failure is a null result, never an exception.
#include "platform/Bstr.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/LastError.h"
#include "platform/Unicode.h"

using tovel::FailWithLastError;

namespace {

using LengthPrefix = std::uint32_t;
static_assert(sizeof(LengthPrefix) == 4, "the byte length before the text is 32 bits");

// Longest text whose byte length and terminator still fit the 32-bit prefix.
constexpr UINT kMaxLength = (UINT32_MAX - sizeof(LengthPrefix) - sizeof(char16_t)) / 2;

unsigned char* PrefixOf(BSTR bstr) {
  return reinterpret_cast<unsigned char*>(bstr) - sizeof(LengthPrefix);
}

}  // namespace

BSTR SysAllocString(const char16_t* text) {
  if (text == nullptr) return nullptr;
  const std::size_t length = wcslen16(text);
  if (length > kMaxLength) return FailWithLastError<BSTR>(ERROR_OUTOFMEMORY, nullptr);
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

BSTR SysAllocStringLen(const char16_t* text, UINT length) {
  if (length > kMaxLength) return FailWithLastError<BSTR>(ERROR_OUTOFMEMORY, nullptr);
  const std::size_t bytes = std::size_t{length} * sizeof(char16_t);
  auto* block =
      static_cast<unsigned char*>(std::malloc(sizeof(LengthPrefix) + bytes + sizeof(char16_t)));
  if (block == nullptr) return FailWithLastError<BSTR>(ERROR_OUTOFMEMORY, nullptr);
  const LengthPrefix prefix = static_cast<LengthPrefix>(bytes);
  std::memcpy(block, &prefix, sizeof prefix);
  auto* textStart = block + sizeof(LengthPrefix);
  // Without a text the units are zeroed rather than left undefined.
  if (text != nullptr)
    std::memcpy(textStart, text, bytes);
  else
    std::memset(textStart, 0, bytes);
  std::memset(textStart + bytes, 0, sizeof(char16_t));
  return reinterpret_cast<BSTR>(textStart);
}

UINT SysStringLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  LengthPrefix prefix;
  std::memcpy(&prefix, PrefixOf(bstr), sizeof prefix);
  return prefix / sizeof(char16_t);
}

void SysFreeString(BSTR bstr) {
  if (bstr != nullptr) std::free(PrefixOf(bstr));
}
