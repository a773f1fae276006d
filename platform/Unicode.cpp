// UTF-8 / UTF-16 conversion.
//
// Malformed input is replaced, never refused:
//  - UTF-8: each maximal subpart of an ill-formed sequence becomes one U+FFFD
//    (the practice the Unicode Standard recommends, chapter 3, "U+FFFD
//    Substitution of Maximal Subparts"). A byte that cannot start a sequence
//    (80-BF, C0, C1, F5-FF) is one subpart on its own; a valid start followed
//    by valid continuations and then a bad or missing byte is one subpart, and
//    the bad byte is decoded afresh. Overlongs, encoded surrogates and values
//    above U+10FFFF are caught at their second byte, so E0 80 80 gives three
//    U+FFFD and ED A0 80 three.
//  - UTF-16: every surrogate that is not part of a high-low pair becomes one
//    U+FFFD (EF BF BD in UTF-8).
#include "platform/Unicode.h"

#include <climits>
#include <cstring>
#include <stdexcept>

#include "platform/LastError.h"
#include "platform/Threads.h"

using tovel::FailWithLastError;

namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Utf8 {
  using Unit = char;

  // Decodes the sequence at text[0] (count > 0 units) into codePoint and
  // returns the number of units it took.
  static std::size_t Decode(const char* text, std::size_t count, char32_t& codePoint) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const unsigned char lead = bytes[0];
    if (lead < 0x80) {
      codePoint = lead;
      return 1;
    }
    // Continuations needed and the range of the first one (Unicode's table of
    // well-formed UTF-8 byte sequences); later ones are always 80-BF.
    std::size_t need;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
      codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      codePoint = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // no overlongs
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      codePoint = lead & 0x07;
      if (lead == 0xF0) low = 0x90;   // no overlongs
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      codePoint = kReplacement;
      return 1;
    }
    for (std::size_t i = 1; i <= need; ++i) {
      if (i >= count || bytes[i] < low || bytes[i] > high) {
        codePoint = kReplacement;
        return i;
      }
      codePoint = (codePoint << 6) | (bytes[i] & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    return need + 1;
  }

  static std::size_t Length(char32_t codePoint) {
    return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
  }

  static void Encode(char32_t codePoint, char* out) {
    auto* bytes = reinterpret_cast<unsigned char*>(out);
    switch (Length(codePoint)) {
      case 1: bytes[0] = static_cast<unsigned char>(codePoint); break;
      case 2:
        bytes[0] = static_cast<unsigned char>(0xC0 | (codePoint >> 6));
        bytes[1] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
        break;
      case 3:
        bytes[0] = static_cast<unsigned char>(0xE0 | (codePoint >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
        break;
      default:
        bytes[0] = static_cast<unsigned char>(0xF0 | (codePoint >> 18));
        bytes[1] = static_cast<unsigned char>(0x80 | ((codePoint >> 12) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
        bytes[3] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
        break;
    }
  }
};

struct Utf16 {
  using Unit = char16_t;

  static bool IsHigh(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
  static bool IsLow(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

  static std::size_t Decode(const char16_t* text, std::size_t count, char32_t& codePoint) {
    const char16_t unit = text[0];
    if (IsHigh(unit) && count > 1 && IsLow(text[1])) {
      codePoint = 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{text[1]} - 0xDC00);
      return 2;
    }
    codePoint = (IsHigh(unit) || IsLow(unit)) ? kReplacement : unit;
    return 1;
  }

  static std::size_t Length(char32_t codePoint) { return codePoint < 0x10000 ? 1 : 2; }

  static void Encode(char32_t codePoint, char16_t* out) {
    if (codePoint < 0x10000) {
      out[0] = static_cast<char16_t>(codePoint);
      return;
    }
    codePoint -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (codePoint >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
  }
};

// Converts count units (count > 0). A zero capacity asks for the size.
template <class From, class To>
int Transcode(const typename From::Unit* in, std::size_t count, typename To::Unit* out,
              int capacity) {
  std::size_t needed = 0;
  for (std::size_t i = 0; i < count;) {
    char32_t codePoint;
    i += From::Decode(in + i, count - i, codePoint);
    needed += To::Length(codePoint);
    if (needed > static_cast<std::size_t>(INT_MAX))
      return FailWithLastError<int>(ERROR_INVALID_PARAMETER, 0);
  }
  if (capacity == 0) return static_cast<int>(needed);
  if (needed > static_cast<std::size_t>(capacity))
    return FailWithLastError<int>(ERROR_INSUFFICIENT_BUFFER, 0);

  for (std::size_t i = 0; i < count;) {
    char32_t codePoint;
    i += From::Decode(in + i, count - i, codePoint);
    To::Encode(codePoint, out);
    out += To::Length(codePoint);
  }
  return static_cast<int>(needed);
}

// The checks both directions share; 0 when the call may go on.
DWORD CheckArguments(UINT codePage, DWORD flags, const void* in, int inCount, const void* out,
                     int outCount) {
  if (codePage != CP_UTF8) return ERROR_INVALID_PARAMETER;
  if (flags != 0) return ERROR_INVALID_FLAGS;
  if (in == nullptr || inCount == 0 || inCount < -1 || outCount < 0) return ERROR_INVALID_PARAMETER;
  if (outCount > 0 && out == nullptr) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* multiByte, int cbMultiByte,
                        char16_t* wideChar, int cchWideChar) {
  if (DWORD error = CheckArguments(codePage, flags, multiByte, cbMultiByte, wideChar, cchWideChar))
    return FailWithLastError<int>(error, 0);
  const std::size_t count =
      cbMultiByte == -1 ? std::strlen(multiByte) + 1 : static_cast<std::size_t>(cbMultiByte);
  return Transcode<Utf8, Utf16>(multiByte, count, wideChar, cchWideChar);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const char16_t* wideChar, int cchWideChar,
                        char* multiByte, int cbMultiByte, const char* defaultChar,
                        BOOL* usedDefaultChar) {
  if (DWORD error = CheckArguments(codePage, flags, wideChar, cchWideChar, multiByte, cbMultiByte))
    return FailWithLastError<int>(error, 0);
  if (defaultChar != nullptr || usedDefaultChar != nullptr)
    return FailWithLastError<int>(ERROR_INVALID_PARAMETER, 0);
  const std::size_t count =
      cchWideChar == -1 ? wcslen16(wideChar) + 1 : static_cast<std::size_t>(cchWideChar);
  return Transcode<Utf16, Utf8>(wideChar, count, multiByte, cbMultiByte);
}

std::size_t wcslen16(const char16_t* text) {
  if (text == nullptr) return 0;
  std::size_t length = 0;
  while (text[length] != u'\0') ++length;
  return length;
}

std::string WellFormedUtf8(std::string_view text) {
  if (text.empty()) return std::string();
  const int needed = Transcode<Utf8, Utf8>(text.data(), text.size(), nullptr, 0);
  if (needed == 0) throw std::length_error("WellFormedUtf8: result too long");
  std::string out(static_cast<std::size_t>(needed), '\0');
  Transcode<Utf8, Utf8>(text.data(), text.size(), out.data(), needed);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int size = static_cast<int>(text.size());
  const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (count <= 0) return {};
  std::u16string wide(static_cast<std::size_t>(count), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), count);
  return wide;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int size = static_cast<int>(text.size());
  const int count =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return {};
  std::string narrow(static_cast<std::size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), count, nullptr, nullptr);
  return narrow;
}
