// The validity-time parser. The first byte picks the type (even: UTCTime,
// odd: GeneralizedTime), the rest is the text. The result must be the one an
// independent reading of the layout gives: YYMMDDhhmm (UTCTime, 11 to 17
// characters) or YYYYMMDDhhmm (13 or more), optional seconds with an optional
// fraction, then 'Z' or +hhmm / -hhmm; the fields read as UTC (out-of-range
// fields carrying over), refused before 1970 or after the year 3000, then
// the offset taken off. The machine's time zone must not matter: the harness
// runs in one with daylight saving.
#include <openssl/asn1.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "agent/CertificateOperations.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr std::int64_t kLastTime = 32535215999LL;  // 3000-12-31 23:59:59 UTC

std::optional<int> Digits(std::string_view text, std::size_t nPos, int nCount) {
  if (nPos + nCount > text.size()) return std::nullopt;
  int nValue = 0;
  for (int i = 0; i < nCount; ++i) {
    const char c = text[nPos + i];
    if (c < '0' || c > '9') return std::nullopt;
    nValue = nValue * 10 + (c - '0');
  }
  return nValue;
}

std::int64_t LeapsBefore(std::int64_t nYear) {  // leap years in [1, nYear)
  const std::int64_t y = nYear - 1;
  return y / 4 - y / 100 + y / 400;
}

// Seconds since 1970 of the fields read as UTC, months and days carrying.
std::int64_t FieldsAsUtc(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond) {
  static const int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const std::int64_t nMonths =
      std::int64_t{nYear} * 12 + nMonth - 1;  // nMonth 0 gives -1: year before
  const std::int64_t y = nMonths >= 0 ? nMonths / 12 : -((11 - nMonths) / 12);
  const int m = static_cast<int>(nMonths - y * 12);
  const bool bLeap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  const std::int64_t nDays = 365 * (y - 1970) + (LeapsBefore(y) - LeapsBefore(1970)) +
                             kDaysBefore[m] + (bLeap && m >= 2 ? 1 : 0) + nDay - 1;
  return nDays * 86400 + std::int64_t{nHour} * 3600 + nMinute * 60 + nSecond;
}

std::optional<std::int64_t> Reference(std::string_view text, bool bUtc) {
  if (bUtc ? (text.size() < 11 || text.size() > 17) : text.size() < 13) return std::nullopt;
  std::size_t nPos = 0;
  int nYear = 0;
  if (bUtc) {
    const auto yy = Digits(text, 0, 2);
    if (!yy) return std::nullopt;
    nYear = *yy < 50 ? 2000 + *yy : 1900 + *yy;
    nPos = 2;
  } else {
    const auto yyyy = Digits(text, 0, 4);
    if (!yyyy) return std::nullopt;
    nYear = *yyyy;
    nPos = 4;
  }
  int rgnField[4];
  for (int& nField : rgnField) {
    const auto v = Digits(text, nPos, 2);
    if (!v) return std::nullopt;
    nField = *v;
    nPos += 2;
  }
  if (nPos >= text.size()) return std::nullopt;
  int nSecond = 0;
  if (text[nPos] != 'Z' && text[nPos] != '+' && text[nPos] != '-') {
    const auto ss = Digits(text, nPos, 2);
    if (!ss) return std::nullopt;
    nSecond = *ss;
    nPos += 2;
    if (nPos < text.size() && text[nPos] == '.') {
      ++nPos;
      while (nPos < text.size() && text[nPos] >= '0' && text[nPos] <= '9') ++nPos;
    }
  }
  if (nPos >= text.size()) return std::nullopt;
  const char chZone = text[nPos++];
  std::int64_t nOffset = 0;
  if (chZone == '+' || chZone == '-') {
    const auto hh = Digits(text, nPos, 2), mm = Digits(text, nPos + 2, 2);
    if (!hh || !mm) return std::nullopt;
    nOffset = (chZone == '+' ? 1 : -1) * (std::int64_t{*hh} * 3600 + *mm * 60);
  } else if (chZone != 'Z') {
    return std::nullopt;
  }
  const std::int64_t t =
      FieldsAsUtc(nYear, rgnField[0], rgnField[1], rgnField[2], rgnField[3], nSecond);
  if (t < 0 || t > kLastTime) return std::nullopt;
  return t - nOffset;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "America/New_York", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyData, std::size_t nSize) {
  if (nSize == 0) return 0;
  const bool bUtc = pbyData[0] % 2 == 0;
  const std::string_view text(reinterpret_cast<const char*>(pbyData) + 1, nSize - 1);
  ASN1_STRING* pTime = ASN1_STRING_type_new(bUtc ? V_ASN1_UTCTIME : V_ASN1_GENERALIZEDTIME);
  fuzz::Check(
      pTime != nullptr && ASN1_STRING_set(pTime, text.data(), static_cast<int>(text.size())) == 1,
      "no ASN.1 string");
  __time64_t tResult = 12345;
  const ResultCode nResult = ASN1_TIME_To_UTCTime(pTime, &tResult);
  ASN1_STRING_free(pTime);
  const std::optional<std::int64_t> expected = Reference(text, bUtc);
  if (!expected) {
    fuzz::Check(nResult != PELLUM_OK, "accepted a time the layout refuses", text);
    fuzz::Check(tResult == 0, "a refused time left a result", text);
  } else {
    fuzz::Check(nResult == PELLUM_OK, "refused a well-formed time", text);
    fuzz::Check(tResult == *expected, "converted a time to the wrong seconds", text);
  }
  return 0;
}
