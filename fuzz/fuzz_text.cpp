// Base64 and the UTF-8 / UTF-16 conversions. The first byte picks the
// property, the rest is the input:
//   0  Base64: encoding then decoding gives the bytes back; the text is
//      canonical (alphabet, "=" only as the final padding, 4 * ceil(n / 3)).
//   1  Base64: decoding any text gives what the skipping decoder described in
//      Misc.h gives (a reference here), and re-encoding that round-trips.
//   2  UTF-16 to UTF-8: the output is well-formed UTF-8; well-formed input
//      comes back unchanged through UTF-8 to UTF-16.
//   3  UTF-8 to UTF-16: the output is well-formed UTF-16, and back to UTF-8
//      it is the input with each maximal ill-formed subpart replaced by U+FFFD.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "Host/Misc.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(std::string_view bytes) {
  char* pszText = nullptr;
  int nLen = -1;
  fuzz::Check(Base64EncodeEx(reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<int>(bytes.size()), &pszText, &nLen) == 0,
              "Base64EncodeEx failed");
  fuzz::Check(
      pszText != nullptr && nLen >= 0 && std::strlen(pszText) == static_cast<std::size_t>(nLen),
      "Base64EncodeEx output and length disagree");
  std::string text(pszText, static_cast<std::size_t>(nLen));
  delete[] pszText;
  return text;
}

// Decodes the first nLen bytes of text; the array is nLen bytes, the rest zero.
std::string Decode(std::string_view text) {
  BYTE* pbyData = nullptr;
  int nLen = -1;
  fuzz::Check(Base64DecodeEx(text.data(), static_cast<int>(text.size()), &pbyData, &nLen) == 0,
              "Base64DecodeEx failed", text);
  fuzz::Check(pbyData != nullptr && nLen >= 0 && static_cast<std::size_t>(nLen) <= text.size(),
              "Base64DecodeEx count out of range", text);
  for (std::size_t i = static_cast<std::size_t>(nLen); i < text.size(); ++i)
    fuzz::Check(pbyData[i] == 0, "Base64DecodeEx left bytes past its count", text);
  std::string bytes(reinterpret_cast<const char*>(pbyData), static_cast<std::size_t>(nLen));
  delete[] pbyData;
  return bytes;
}

// The decoder's rule: groups of up to 4 alphabet characters, everything else
// skipped; a zero byte at a group's start ends the text.
std::string ReferenceDecode(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\0') break;
    std::uint32_t nBits = 0;
    int k = 0;
    while (k < 4 && i < text.size()) {
      const char* pszHit = text[i] != '\0' ? std::strchr(kAlphabet, text[i]) : nullptr;
      ++i;
      if (pszHit == nullptr) continue;
      nBits = (nBits << 6) | static_cast<std::uint32_t>(pszHit - kAlphabet);
      ++k;
    }
    nBits <<= 6 * (4 - k);
    for (int nByte = 0; nByte < k * 6 / 8; ++nByte)
      out.push_back(static_cast<char>(nBits >> (16 - 8 * nByte)));
  }
  return out;
}

void Base64RoundTrip(std::string_view bytes) {
  const std::string text = Encode(bytes);
  fuzz::Check(text.size() == (bytes.size() + 2) / 3 * 4, "Base64 length is not 4 * ceil(n / 3)",
              bytes);
  const std::size_t nPad = bytes.size() % 3 == 0 ? 0 : 3 - bytes.size() % 3;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool bPad = i >= text.size() - nPad;
    fuzz::Check(bPad ? text[i] == '=' : std::strchr(kAlphabet, text[i]) != nullptr,
                "Base64 text not canonical", text);
  }
  if (!text.empty())
    fuzz::Check(Decode(text) == bytes, "Base64 round trip changed the bytes", bytes);
}

void Base64DecodeAny(std::string_view text) {
  if (text.empty()) return;
  const std::string bytes = Decode(text);
  fuzz::Check(bytes == ReferenceDecode(text), "Base64DecodeEx differs from the skipping rule",
              text);
  const std::string again = Encode(bytes);
  if (!again.empty())
    fuzz::Check(Decode(again) == bytes, "re-encoded Base64 does not round-trip", text);
}

std::string ToUtf8(const char16_t* pszText) {
  char* pszUtf8 = nullptr;
  int nLen = -1;
  const HRESULT hResult = UTF16ToUTF8(pszText, &pszUtf8, &nLen);
  fuzz::Check(hResult == 0 && pszUtf8 != nullptr, "UTF16ToUTF8 failed");
  fuzz::Check(nLen >= 0 && std::strlen(pszUtf8) == static_cast<std::size_t>(nLen),
              "UTF16ToUTF8 length wrong");
  std::string text(pszUtf8, static_cast<std::size_t>(nLen));
  delete[] pszUtf8;
  return text;
}

std::u16string ToUtf16(const char* pszText) {
  char16_t* pszUtf16 = nullptr;
  int nLen = -1;
  const HRESULT hResult = UTF8ToUTF16(pszText, &pszUtf16, &nLen);
  fuzz::Check(hResult == 0 && pszUtf16 != nullptr, "UTF8ToUTF16 failed", pszText);
  fuzz::Check(nLen >= 0 && std::u16string_view(pszUtf16).size() == static_cast<std::size_t>(nLen),
              "UTF8ToUTF16 length wrong", pszText);
  std::u16string text(pszUtf16, static_cast<std::size_t>(nLen));
  delete[] pszUtf16;
  return text;
}

void Utf16Direction(std::string_view bytes) {
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8));
  const std::u16string_view input(wide.c_str());  // up to the first zero unit
  const std::string narrow = ToUtf8(wide.c_str());
  const std::string_view detail(reinterpret_cast<const char*>(input.data()), input.size() * 2);
  fuzz::Check(fuzz::IsWellFormedUtf8(narrow), "UTF16ToUTF8 wrote ill-formed UTF-8", detail);
  if (fuzz::IsWellFormedUtf16(input))
    fuzz::Check(ToUtf16(narrow.c_str()) == input, "UTF-16 round trip changed the text", detail);
}

void Utf8Direction(std::string_view bytes) {
  const std::string input(bytes.data(), ::strnlen(bytes.data(), bytes.size()));
  const std::u16string wide = ToUtf16(input.c_str());
  fuzz::Check(fuzz::IsWellFormedUtf16(wide), "UTF8ToUTF16 wrote ill-formed UTF-16", input);
  fuzz::Check(ToUtf8(wide.c_str()) == fuzz::ReplaceIllFormedUtf8(input),
              "UTF-8 round trip is not the input with U+FFFD per ill-formed subpart", input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyData, std::size_t nSize) {
  if (nSize == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(pbyData) + 1, nSize - 1);
  switch (pbyData[0] % 4) {
    case 0: Base64RoundTrip(input); break;
    case 1: Base64DecodeAny(input); break;
    case 2: Utf16Direction(input); break;
    default: Utf8Direction(input); break;
  }
  return 0;
}
