#include "Host/Misc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string Encode(const std::string& in) {
  char* out = nullptr;
  int len = -1;
  EXPECT_EQ(S_OK, Base64EncodeEx(reinterpret_cast<const BYTE*>(in.data()),
                                 static_cast<int>(in.size()), &out, &len));
  std::string result = out ? std::string(out) : "<null>";
  EXPECT_EQ(static_cast<int>(result.size()), len);
  delete[] out;
  return result;
}

std::string Decode(const std::string& text, int len) {
  BYTE* out = nullptr;
  int count = -1;
  EXPECT_EQ(S_OK, Base64DecodeEx(text.c_str(), len, &out, &count));
  std::string result(reinterpret_cast<char*>(out), static_cast<std::size_t>(count));
  delete[] out;
  return result;
}

TEST(Base64Test, EncodesWithPaddingAndNoLineBreaks) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
      {"abcd", "YWJjZA=="},
      {std::string("\xff\xfe\x00", 3), "//4A"},
      {"Many hands make light work.", "TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsu"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.out, Encode(c.in));
  }
  const std::string longText = Encode(std::string(100, 'x'));
  EXPECT_EQ(std::string::npos, longText.find('\n'));
  EXPECT_EQ(136u, longText.size());
}

TEST(Base64Test, DecodeSkipsEverythingOutsideTheAlphabet) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"YWJj", "abc"}, {"YW Jj", "abc"}, {"Y\r\nWJj\n", "abc"},   {"YWJj==", "abc"},
      {"YQ==", "a"},   {"YQ", "a"},      {"YWI=", "ab"},          {"Y=W=J=j", "abc"},
      {"====", ""},    {"Y", ""},        {"\xc3\xa9YWJj", "abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.out, Decode(c.in, static_cast<int>(c.in.size())));
  }
}

TEST(Base64Test, DecodeStopsAtZeroByteOnGroupBoundaryOnly) {
  const std::string text("YWJj\0YWJj", 9);
  EXPECT_EQ("abc", Decode(text, 9));
  // Inside a group a zero byte is skipped like any foreign byte.
  const std::string inner("YW\0Jj", 5);
  EXPECT_EQ("abc", Decode(inner, 5));
  // The length bounds the read even without a terminator in reach.
  EXPECT_EQ("abc", Decode("YWJjYWJj", 4));
}

TEST(Base64Test, DecodeRoundTripsBinary) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  for (std::size_t n : {0u, 1u, 2u, 3u, 254u, 255u, 256u}) {
    const std::string in = bytes.substr(0, n);
    const std::string text = Encode(in);
    if (text.empty()) continue;
    EXPECT_EQ(in, Decode(text, static_cast<int>(text.size())));
  }
}

TEST(Base64Test, RefusalsAndNullInputs) {
  BYTE* data = reinterpret_cast<BYTE*>(0x1);
  int count = 7;
  EXPECT_EQ(E_FAIL, Base64DecodeEx("YWJj", 0, &data, &count));
  EXPECT_EQ(E_FAIL, Base64DecodeEx("YWJj", -4, &data, &count));
  EXPECT_EQ(reinterpret_cast<BYTE*>(0x1), data);  // untouched
  EXPECT_EQ(7, count);

  EXPECT_EQ(S_OK, Base64DecodeEx(nullptr, 8, &data, &count));
  EXPECT_EQ(nullptr, data);
  EXPECT_EQ(8, count);

  char* text = reinterpret_cast<char*>(0x1);
  int len = 0;
  EXPECT_EQ(S_OK, Base64EncodeEx(nullptr, 5, &text, &len));
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(8, len);
}

TEST(Utf8ConversionTest, RoundTripsAndMeasures) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"", u""},
      {"\xc3\xa9", u"\u00e9"},
      {"abc", u"abc"},
      {"\xe6\x97\xa0\xe6\x95\x88", u"\u65e0\u6548"},
      {"\xf0\x9f\x98\x80", u"\U0001F600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    char16_t* wide = nullptr;
    int wideLen = -1;
    ASSERT_EQ(S_OK, UTF8ToUTF16(c.utf8.c_str(), &wide, &wideLen));
    EXPECT_EQ(c.utf16, std::u16string(wide));
    EXPECT_EQ(static_cast<int>(c.utf16.size()), wideLen);

    char* narrow = nullptr;
    int narrowLen = -1;
    ASSERT_EQ(S_OK, UTF16ToUTF8(wide, &narrow, &narrowLen));
    EXPECT_EQ(c.utf8, std::string(narrow));
    EXPECT_EQ(static_cast<int>(c.utf8.size()), narrowLen);
    delete[] wide;
    delete[] narrow;
  }
}

TEST(Utf8ConversionTest, MalformedInputIsReplacedNotRefused) {
  char16_t* wide = nullptr;
  int wideLen = 0;
  ASSERT_EQ(S_OK, UTF8ToUTF16("a\xff"
                              "b",
                              &wide, &wideLen));
  EXPECT_EQ(u"a\uFFFDb", std::u16string(wide));
  delete[] wide;

  const char16_t lone[] = {u'x', 0xD800, u'y', 0};
  char* narrow = nullptr;
  int narrowLen = 0;
  ASSERT_EQ(S_OK, UTF16ToUTF8(lone, &narrow, &narrowLen));
  EXPECT_EQ("x\xef\xbf\xbdy", std::string(narrow));
  delete[] narrow;
}

TEST(Utf8ConversionTest, NullTextIsEPointerAndOutputsUntouched) {
  char* narrow = reinterpret_cast<char*>(0x1);
  int len = 5;
  EXPECT_EQ(E_POINTER, UTF16ToUTF8(nullptr, &narrow, &len));
  EXPECT_EQ(reinterpret_cast<char*>(0x1), narrow);
  EXPECT_EQ(5, len);
  char16_t* wide = nullptr;
  EXPECT_EQ(E_POINTER, UTF8ToUTF16(nullptr, &wide, &len));
  EXPECT_EQ(nullptr, wide);
}

TEST(CopyTextTest, CopiesTheCharactersGivenAndATerminator) {
  const char source[] = "ab\0cd|ef";
  const std::unique_ptr<char[]> counted = CopyText(source, 5);
  ASSERT_NE(nullptr, counted);
  EXPECT_EQ(0, std::memcmp(counted.get(), "ab\0cd\0", 6));
  const std::unique_ptr<char[]> terminated = CopyText(source + 3);
  ASSERT_NE(nullptr, terminated);
  EXPECT_STREQ("cd|ef", terminated.get());
  EXPECT_NE(source + 3, terminated.get());
  const std::unique_ptr<char[]> empty = CopyText(source, 0);
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ('\0', empty[0]);
}

TEST(SplitStringTest, AppendsNonEmptyPiecesInOrder) {
  const struct {
    const char* text;
    const char* delimiter;
    std::vector<std::string> tokens;
  } cases[] = {
      {"A|B", "|", {"A", "B"}},
      {"||A||B|", "|", {"A", "B"}},
      {"A", "|", {"A"}},
      {"", "|", {}},
      {"one--two---three", "--", {"one", "two", "-three"}},
      {"|", "|", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<char*> list;
    ASSERT_EQ(0, SplitString(c.text, c.delimiter, list));
    std::vector<std::string> got(list.begin(), list.end());
    EXPECT_EQ(c.tokens, got);
    FreeStringList(list);
  }
}

TEST(SplitStringTest, KeepsEarlierTokensAndRefusesBadDelimiters) {
  std::vector<char*> list;
  ASSERT_EQ(0, SplitString("x", "|", list));
  ASSERT_EQ(0, SplitString("y|z", "|", list));
  EXPECT_EQ(3u, list.size());
  EXPECT_STREQ("x", list[0]);
  EXPECT_STREQ("z", list[2]);
  EXPECT_EQ(0, SplitString(nullptr, "|", list));
  EXPECT_EQ(-1, SplitString("a|b", nullptr, list));
  EXPECT_EQ(-1, SplitString("a|b", "", list));
  EXPECT_EQ(3u, list.size());
  FreeStringList(list);
  EXPECT_TRUE(list.empty());
}

}  // namespace
