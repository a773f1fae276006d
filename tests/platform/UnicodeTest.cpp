// UTF-8 / UTF-16 conversion: well-formed text, every class of malformed
// input, sizing calls, buffers and argument checks.
#include <iconv.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Threads.h"
#include "platform/Unicode.h"

namespace {

// Converts with a sizing call first, as callers do; checks that the sizing
// call and the conversion agree.
std::u16string ToUtf16(const std::string& bytes) {
  const int count = static_cast<int>(bytes.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), count, nullptr, 0);
  EXPECT_GT(units, 0);
  std::u16string out(static_cast<std::size_t>(units), u'\0');
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), count, out.data(), units), units);
  return out;
}

std::string ToUtf8(const std::u16string& text) {
  const int count = static_cast<int>(text.size());
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), count, nullptr, 0, nullptr, nullptr);
  EXPECT_GT(bytes, 0);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  EXPECT_EQ(
      WideCharToMultiByte(CP_UTF8, 0, text.data(), count, out.data(), bytes, nullptr, nullptr),
      bytes);
  return out;
}

// Well-formed sequences of every length and at each boundary of the
// Unicode Standard's table of well-formed UTF-8 byte sequences.
struct WellFormed {
  const char* name;
  std::string utf8;
  std::u16string utf16;
} const kWellFormed[] = {
    {"ASCII", "A~", u"A~"},
    {"U+007F", "\x7F", u"\u007F"},
    {"U+0080", "\xC2\x80", u"\u0080"},
    {"U+00E9", "\xC3\xA9", u"\u00E9"},
    {"U+07FF", "\xDF\xBF", u"\u07FF"},
    {"U+0800", "\xE0\xA0\x80", u"\u0800"},
    {"U+20AC", "\xE2\x82\xAC", u"\u20AC"},
    {"U+D7FF", "\xED\x9F\xBF", u"\uD7FF"},
    {"U+E000", "\xEE\x80\x80", u"\uE000"},
    {"U+FFFF", "\xEF\xBF\xBF", u"\uFFFF"},
    {"U+10000", "\xF0\x90\x80\x80", u"\U00010000"},
    {"U+1F600", "\xF0\x9F\x98\x80", u"\U0001F600"},
    {"U+10FFFF", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    {"mixed", "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z", u"a\u00E9\u4E2D\U0001F600z"},
    {"embedded zero", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
};

TEST(UnicodeTest, WellFormedTextConvertsBothWays) {
  for (const WellFormed& c : kWellFormed) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToUtf16(c.utf8), c.utf16);
    EXPECT_EQ(ToUtf8(c.utf16), c.utf8);
    EXPECT_EQ(WellFormedUtf8(c.utf8), c.utf8);
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8);
  }
  EXPECT_EQ(WellFormedUtf8(""), "");
  EXPECT_EQ(Utf16ToUtf8(u""), "");
}

// Each maximal ill-formed subpart gives one U+FFFD; the byte that ended a
// subpart is decoded afresh.
TEST(UnicodeTest, MalformedUtf8IsReplacedPerMaximalSubpart) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string expected;
  } const cases[] = {
      {"lone continuation", "a\x80z", u"a\uFFFDz"},
      {"two continuations", "\x80\xBF", u"\uFFFD\uFFFD"},
      {"C0 overlong", "\xC0\x80", u"\uFFFD\uFFFD"},
      {"C1 overlong", "\xC1\xBF", u"\uFFFD\uFFFD"},
      {"E0 overlong", "\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"E0 overlong, top", "\xE0\x9F\xBF", u"\uFFFD\uFFFD\uFFFD"},
      {"F0 overlong", "\xF0\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"high surrogate in UTF-8", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"low surrogate in UTF-8", "\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},
      {"surrogate pair in UTF-8", "\xED\xA0\xBD\xED\xB8\x80",
       u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"F5 lead", "\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"FE and FF", "\xFE\xFF", u"\uFFFD\uFFFD"},
      {"truncated 2-byte at end", "a\xC3", u"a\uFFFD"},
      {"truncated 3-byte at end", "a\xE2\x82", u"a\uFFFD"},
      {"truncated 4-byte at end", "\xF0\x9F\x98", u"\uFFFD"},
      {"truncated, then ASCII", "\xE2\x82z", u"\uFFFDz"},
      {"truncated, then a new sequence", "\xC3\xC3\xA9", u"\uFFFD\u00E9"},
      {"truncated 4-byte, then 4-byte", "\xF0\x9F\x98\xF0\x9F\x98\x80", u"\uFFFD\U0001F600"},
      {"truncated by a zero byte", std::string("\xE2\x82\0z", 4), std::u16string(u"\uFFFD\0z", 3)},
      {"valid around invalid", "\xC3\xA9\xFF\xC3\xA9", u"\u00E9\uFFFD\u00E9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToUtf16(c.utf8), c.expected);
    // Repaired in place: the same replacements, without the way through UTF-16.
    EXPECT_EQ(WellFormedUtf8(c.utf8), ToUtf8(c.expected));
  }
}

TEST(UnicodeTest, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::string kFffd = "\xEF\xBF\xBD";
  struct Case {
    const char* name;
    std::u16string utf16;
    std::string expected;
  } const cases[] = {
      {"pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {"lone high", u"a\xD800z", "a" + kFffd + "z"},
      {"lone low", u"a\xDC00z", "a" + kFffd + "z"},
      {"high at the end", u"a\xDBFF", "a" + kFffd},
      {"low before high", u"\xDC00\xD800", kFffd + kFffd},
      {"two highs, then a low", u"\xD800\xD800\xDC00", kFffd + "\xF0\x90\x80\x80"},
      {"high, zero, low", std::u16string(u"\xD800\0\xDC00", 3),
       kFffd + std::string(1, '\0') + kFffd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToUtf8(c.utf16), c.expected);
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.expected);
  }
}

// Every Unicode scalar value, against the C library's own converter.
TEST(UnicodeTest, EveryScalarValueMatchesAnIndependentConverter) {
  std::u16string all;
  for (char32_t codePoint = 1; codePoint <= 0x10FFFF; ++codePoint) {
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) continue;
    if (codePoint < 0x10000) {
      all.push_back(static_cast<char16_t>(codePoint));
    } else {
      all.push_back(static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10)));
      all.push_back(static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF)));
    }
  }
  iconv_t converter = ::iconv_open("UTF-8", "UTF-16LE");
  ASSERT_NE(converter, reinterpret_cast<iconv_t>(-1));
  std::string expected(all.size() * 3, '\0');
  char* in = reinterpret_cast<char*>(all.data());
  std::size_t inLeft = all.size() * sizeof(char16_t);
  char* out = expected.data();
  std::size_t outLeft = expected.size();
  ASSERT_NE(::iconv(converter, &in, &inLeft, &out, &outLeft), static_cast<std::size_t>(-1));
  ::iconv_close(converter);
  expected.resize(expected.size() - outLeft);

  const std::string utf8 = ToUtf8(all);
  EXPECT_TRUE(utf8 == expected);
  EXPECT_TRUE(ToUtf16(utf8) == all);
}

TEST(UnicodeTest, MinusOneLengthIncludesTheTerminator) {
  const char* utf8 = "h\xC3\xA9llo";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0), 6);
  char16_t wide[8];
  std::fill(std::begin(wide), std::end(wide), u'#');
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 8), 6);
  EXPECT_EQ(std::u16string(wide, 6), std::u16string(u"h\u00E9llo\0", 6));
  EXPECT_EQ(wide[6], u'#');

  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"h\u00E9llo", -1, nullptr, 0, nullptr, nullptr), 7);
  char narrow[9];
  std::fill(std::begin(narrow), std::end(narrow), '#');
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"h\u00E9llo", -1, narrow, 9, nullptr, nullptr), 7);
  EXPECT_EQ(std::string(narrow, 7), std::string("h\xC3\xA9llo\0", 7));
  EXPECT_EQ(narrow[7], '#');

  // An empty text is just its terminator.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "", -1, nullptr, 0), 1);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"", -1, nullptr, 0, nullptr, nullptr), 1);
}

TEST(UnicodeTest, SizingCallWritesNothing) {
  char16_t wide[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 0), 2);
  EXPECT_EQ(wide[0], u'#');
  char narrow[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\xD83D\xDE00", 2, narrow, 0, nullptr, nullptr), 4);
  EXPECT_EQ(narrow[0], '#');
}

TEST(UnicodeTest, InsufficientBufferFailsAndWritesNothing) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
  } const cases[] = {
      {"ASCII", "abc", u"abc"},
      {"surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"3-byte", "a\xE2\x82\xAC", u"a\u20AC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int units = static_cast<int>(c.utf16.size());
    std::u16string wide(c.utf16.size(), u'#');
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, c.utf8.data(), static_cast<int>(c.utf8.size()),
                                  wide.data(), units - 1),
              0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(wide, std::u16string(c.utf16.size(), u'#'));

    const int bytes = static_cast<int>(c.utf8.size());
    std::string narrow(c.utf8.size(), '#');
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, c.utf16.data(), units, narrow.data(), bytes - 1,
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(narrow, std::string(c.utf8.size(), '#'));
  }
}

TEST(UnicodeTest, RefusedArguments) {
  char16_t wide[8];
  char narrow[8];
  BOOL usedDefault = FALSE;
  struct Case {
    const char* name;
    UINT codePage;
    DWORD flags;
    bool nullInput;
    int inCount;
    bool nullOutput;
    int outCount;
    DWORD expected;
  } const cases[] = {
      {"other code page", 1252, 0, false, 2, false, 8, ERROR_INVALID_PARAMETER},
      {"flags", CP_UTF8, 0x8, false, 2, false, 8, ERROR_INVALID_FLAGS},
      {"null input", CP_UTF8, 0, true, 2, false, 8, ERROR_INVALID_PARAMETER},
      {"null input, -1", CP_UTF8, 0, true, -1, false, 8, ERROR_INVALID_PARAMETER},
      {"input count 0", CP_UTF8, 0, false, 0, false, 8, ERROR_INVALID_PARAMETER},
      {"input count -2", CP_UTF8, 0, false, -2, false, 8, ERROR_INVALID_PARAMETER},
      {"negative output size", CP_UTF8, 0, false, 2, false, -1, ERROR_INVALID_PARAMETER},
      {"null output with a size", CP_UTF8, 0, false, 2, true, 8, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(c.codePage, c.flags, c.nullInput ? nullptr : "ab", c.inCount,
                                  c.nullOutput ? nullptr : wide, c.outCount),
              0);
    EXPECT_EQ(GetLastError(), c.expected);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(c.codePage, c.flags, c.nullInput ? nullptr : u"ab", c.inCount,
                                  c.nullOutput ? nullptr : narrow, c.outCount, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), c.expected);
  }
  // The default character has no meaning for UTF-8.
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ab", 2, narrow, 8, "?", nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ab", 2, narrow, 8, nullptr, &usedDefault), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(UnicodeTest, Wcslen16) {
  EXPECT_EQ(wcslen16(u""), 0u);
  EXPECT_EQ(wcslen16(u"abc"), 3u);
  EXPECT_EQ(wcslen16(u"\U0001F600"), 2u);
  EXPECT_EQ(wcslen16(u"ab\0cd"), 2u);
  EXPECT_EQ(wcslen16(nullptr), 0u);
}

}  // namespace
