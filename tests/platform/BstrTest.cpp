// System strings: the length prefix, terminator and embedded zeros.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/Bstr.h"
#include "platform/Threads.h"

namespace {

// The 32-bit byte length stored just before the text.
std::uint32_t BytePrefix(BSTR bstr) {
  std::uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(bstr) - 4, sizeof prefix);
  return prefix;
}

// Leaves a freed block full of nonzero bytes where the next allocation of
// that size is likely to land, so that a terminator or zeroing left out
// shows (the sanitizer build fills new blocks by itself).
void DirtyTheHeap(std::size_t units) {
  const std::size_t bytes = 4 + 2 * units + 2;
  void* block = std::malloc(bytes);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0xA5, bytes);
  std::free(block);
}

TEST(BstrTest, CopiesTextWithPrefixAndTerminator) {
  struct Case {
    const char* name;
    std::u16string text;  // as SysAllocStringLen receives it
  } const cases[] = {
      {"empty", u""},
      {"ASCII", u"hello"},
      {"surrogate pair", u"a\U0001F600b"},
      {"embedded zeros", std::u16string(u"a\0b\0\0", 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const UINT length = static_cast<UINT>(c.text.size());
    DirtyTheHeap(length);
    UniqueBstr bstr(SysAllocStringLen(c.text.data(), length));
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringLen(bstr.get()), length);
    EXPECT_EQ(BytePrefix(bstr.get()), length * 2);
    EXPECT_EQ(std::u16string(bstr.get(), length), c.text);
    EXPECT_EQ(bstr.get()[length], u'\0');
  }
}

TEST(BstrTest, AllocStringStopsAtTheFirstZero) {
  UniqueBstr bstr(SysAllocString(u"ab\0cd"));
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr.get()), 2u);
  EXPECT_EQ(std::u16string(bstr.get()), u"ab");

  UniqueBstr empty(SysAllocString(u""));
  ASSERT_NE(empty, nullptr);  // an empty text is a string, not null
  EXPECT_EQ(SysStringLen(empty.get()), 0u);
  EXPECT_EQ(empty.get()[0], u'\0');
}

TEST(BstrTest, WithoutTextTheUnitsAreZero) {
  DirtyTheHeap(6);
  UniqueBstr bstr(SysAllocStringLen(nullptr, 6));
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr.get()), 6u);
  EXPECT_EQ(std::u16string(bstr.get(), 7), std::u16string(7, u'\0'));
}

TEST(BstrTest, NullInputs) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);  // must be harmless
}

TEST(BstrTest, LengthBeyondThePrefixFails) {
  for (UINT length : {0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(SysAllocStringLen(nullptr, length), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_OUTOFMEMORY);
  }
}

}  // namespace
