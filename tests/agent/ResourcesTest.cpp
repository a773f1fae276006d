// The string table, the system's message texts and the language choice.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/Resources.h"
#include "platform/Threads.h"
#include "resources/StringTable.h"
#include "tests/agent/LocaleScope.h"

namespace {

using agenttest::LocaleScope;

TEST(ResourceLanguageTest, FromLocaleName) {
  struct LocaleCase {
    const char* locale;
    WORD expected;
  };
  const LocaleCase cases[] = {
      {"zh_CN.UTF-8", 2052}, {"zh_CN", 2052},   {"zh", 2052},        {"zh_SG.GB2312", 2052},
      {"zh_TW.UTF-8", 2052}, {"zh-Hans", 2052}, {"zh@pinyin", 2052}, {"en_US.UTF-8", 1033},
      {"C", 1033},           {"POSIX", 1033},   {"C.UTF-8", 1033},   {"de_DE", 1033},
      {"zu_ZA", 1033},       {"zhx", 1033},     {"", 1033},          {nullptr, 1033},
  };
  for (const LocaleCase& row : cases) {
    SCOPED_TRACE(row.locale == nullptr ? "(null)" : row.locale);
    EXPECT_EQ(ResourceLanguageFromLocale(row.locale), row.expected);
  }
}

TEST(ResourceLanguageTest, FromTheEnvironmentInPrecedenceOrder) {
  struct EnvCase {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    WORD expected;
  };
  const EnvCase cases[] = {
      {nullptr, nullptr, nullptr, 1033},
      {nullptr, nullptr, "zh_CN.UTF-8", 2052},
      {nullptr, "en_US.UTF-8", "zh_CN.UTF-8", 1033},
      {"zh_CN.UTF-8", "en_US.UTF-8", "en_US.UTF-8", 2052},
      {"", "", "zh_CN.UTF-8", 2052},  // empty values do not count
  };
  for (const EnvCase& row : cases) {
    SCOPED_TRACE(testing::Message() << (row.lcAll ? row.lcAll : "-") << " / "
                                    << (row.lcMessages ? row.lcMessages : "-") << " / "
                                    << (row.lang ? row.lang : "-"));
    LocaleScope scope(row.lcAll, row.lcMessages, row.lang);
    EXPECT_EQ(GetResourceLanguage(), row.expected);
  }
}

struct StringCase {
  UINT id;
  const char16_t* english;
  const char16_t* chinese;
};
const StringCase kStrings[] = {
    {4128, u"Specified certificate doesn't contain key usage attribute.",
     u"指定证书不含有密钥用途属性"},
    {4145, u"Certificate in certificate chain is time invalid", u"证书链中某个证书时间无效"},
    {4146, u"Certificate is in offline CRL", u"证书在离线的CRL列表中"},
    {4147, u"Certificate chain is not integrated", u"证书链不完整"},
    {8225, u"Invalid certificate usage.", u"无效的证书用法"},
    {9217, u"Invalid key algorithm.", u"无效的密钥算法"},
};

std::u16string Load(UINT id, int cchMax = 511) {
  char16_t szBuffer[512] = {};
  int nLen = LoadStringW(nullptr, id, szBuffer, cchMax);
  EXPECT_EQ(static_cast<std::size_t>(nLen), std::u16string(szBuffer).size());
  return szBuffer;
}

TEST(LoadStringWTest, TextsInBothLanguages) {
  for (const StringCase& row : kStrings) {
    SCOPED_TRACE(row.id);
    {
      LocaleScope english(nullptr, nullptr, "en_US.UTF-8");
      EXPECT_EQ(Load(row.id), row.english);
    }
    {
      LocaleScope chinese(nullptr, nullptr, "zh_CN.UTF-8");
      EXPECT_EQ(Load(row.id), row.chinese);
    }
  }
}

TEST(LoadStringWTest, UnknownIdsWriteNothing) {
  LocaleScope english(nullptr, nullptr, "C");
  for (UINT id : {0u, 102u, 4097u, 8230u, 65535u, 0x3202u}) {
    SCOPED_TRACE(id);
    char16_t szBuffer[8] = {u'x', 0};
    SetLastError(0);
    EXPECT_EQ(LoadStringW(nullptr, id, szBuffer, 8), 0);
    EXPECT_EQ(szBuffer[0], u'x');
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  }
}

TEST(LoadStringWTest, CutsToTheBuffer) {
  LocaleScope english(nullptr, nullptr, "C");
  EXPECT_EQ(Load(9217, 8), u"Invalid");
  EXPECT_EQ(Load(9217, 1), u"");
  char16_t szBuffer[4] = {};
  EXPECT_EQ(LoadStringW(nullptr, 9217, szBuffer, 0), 0);
  EXPECT_EQ(LoadStringW(nullptr, 9217, nullptr, 4), 0);
}

TEST(FormatMessageWTest, SystemTextsByCodeAndLanguage) {
  struct MessageCase {
    DWORD code;
    const char16_t* english;
    const char16_t* chinese;
  };
  const MessageCase cases[] = {
      {0, u"The operation completed successfully.\r\n", u"操作成功完成。\r\n"},
      {87, u"The parameter is incorrect.\r\n", u"参数错误。\r\n"},
      {0x80070057u, u"The parameter is incorrect.\r\n", u"参数错误。\r\n"},
      {0x8007000Du, u"The data is invalid.\r\n", u"数据无效。\r\n"},
      {0x80071770u, u"The specified file could not be encrypted.\r\n", u"无法加密指定的文件。\r\n"},
      {0x8007000Eu, u"Not enough memory resources are available to complete this operation.\r\n",
       u"存储空间不足，无法完成此操作。\r\n"},
      {0x80004005u, u"Unspecified error\r\n", u"未指定的错误\r\n"},
  };
  for (const MessageCase& row : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << row.code);
    for (auto [locale, expected] :
         {std::pair{"en_US.UTF-8", row.english}, std::pair{"zh_CN.UTF-8", row.chinese}}) {
      LocaleScope scope(nullptr, nullptr, locale);
      char16_t szBuffer[512] = {};
      DWORD nLen =
          FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, row.code, 0, szBuffer, 511, nullptr);
      EXPECT_EQ(std::u16string(szBuffer), expected);
      EXPECT_EQ(nLen, std::u16string(expected).size());
    }
    char16_t szChinese[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, row.code, 2052, szChinese, 511, nullptr);
    EXPECT_EQ(std::u16string(szChinese), row.chinese) << "an explicit language wins";
  }
}

TEST(FormatMessageWTest, Failures) {
  struct FailureCase {
    const char* name;
    DWORD flags;
    DWORD code;
    DWORD language;
    DWORD size;
    DWORD expectedError;
  };
  const FailureCase cases[] = {
      {"no text for the code", FORMAT_MESSAGE_FROM_SYSTEM, 0x80070FFFu, 0, 511,
       ERROR_MR_MID_NOT_FOUND},
      {"an own code has no system text", FORMAT_MESSAGE_FROM_SYSTEM, 0xA0072401u, 0, 511,
       ERROR_MR_MID_NOT_FOUND},
      {"a language without texts", FORMAT_MESSAGE_FROM_SYSTEM, 0, 1031, 511,
       ERROR_RESOURCE_LANG_NOT_FOUND},
      {"text and terminator do not fit", FORMAT_MESSAGE_FROM_SYSTEM, 0, 0, 10,
       ERROR_INSUFFICIENT_BUFFER},
      {"not from the system", 0, 0, 0, 511, ERROR_INVALID_PARAMETER},
  };
  LocaleScope english(nullptr, nullptr, "C");
  for (const FailureCase& row : cases) {
    SCOPED_TRACE(row.name);
    char16_t szBuffer[512] = {u'x', 0};
    SetLastError(0);
    EXPECT_EQ(
        FormatMessageW(row.flags, nullptr, row.code, row.language, szBuffer, row.size, nullptr),
        0u);
    EXPECT_EQ(GetLastError(), row.expectedError);
    EXPECT_EQ(szBuffer[0], u'x');
  }
}

}  // namespace
