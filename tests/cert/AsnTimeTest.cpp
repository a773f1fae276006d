// The validity-time conversion: forms, offsets, the 1950 rule, carries, the
// accepted range, and independence from the machine's time zone.
#include <gtest/gtest.h>

#include <openssl/asn1.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "agent/CertificateOperations.h"
#include "agent/TovelAgent.h"
#include "platform/Crt.h"
#include "tests/cert/TestPki.h"

namespace {

using namespace std::chrono;

std::int64_t Utc(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0) {
  const sys_seconds t =
      sys_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss};
  return t.time_since_epoch().count();
}

// An ASN.1 time of the given type holding the text as is (no validation).
tovel::UniquePtr<ASN1_TIME> RawTime(int type, const std::string& text) {
  tovel::UniquePtr<ASN1_TIME> t(ASN1_STRING_type_new(type));
  EXPECT_EQ(1, ASN1_STRING_set(t.get(), text.data(), static_cast<int>(text.size())));
  return t;
}

constexpr int kUtc = V_ASN1_UTCTIME;
constexpr int kGen = V_ASN1_GENERALIZEDTIME;

struct TimeCase {
  int type;
  const char* text;
  std::optional<std::int64_t> expected;  // nullopt: -1 and tUTCTime 0
};

const TimeCase kTimeCases[] = {
    {kUtc, "4912312359Z", Utc(2049, 12, 31, 23, 59)},
    {kUtc, "5001010000Z", std::nullopt},  // 1950: before 1970
    {kUtc, "6912312359Z", std::nullopt},
    {kUtc, "7001010000Z", Utc(1970, 1, 1)},
    {kUtc, "200101000000+0800", Utc(2019, 12, 31, 16)},
    {kUtc, "200101000000-0130", Utc(2020, 1, 1, 1, 30)},
    {kGen, "20200101000000.999Z", Utc(2020, 1, 1)},
    {kGen, "20200101000000Z", Utc(2020, 1, 1)},
    {kGen, "20200101000000.Z", Utc(2020, 1, 1)},
    {kUtc, "2001010000Z", Utc(2020, 1, 1)},
    {kUtc, "2001010000+0100", Utc(2019, 12, 31, 23)},
    {kUtc, "20010100005", std::nullopt},         // one seconds digit, no zone
    {kUtc, "2001010000", std::nullopt},          // 10 characters
    {kUtc, "200101000000+08000", std::nullopt},  // 18 characters
    {kGen, "202001010000", std::nullopt},        // 12 characters
    {kGen, "202001010000Z", Utc(2020, 1, 1)},    // 13 characters, no seconds
    {kUtc, "200101000000,5Z", std::nullopt},     // comma for the fraction
    {kUtc, "200101000000+08", std::nullopt},     // two offset digits
    {kUtc, "2001010a0000Z", std::nullopt},       // letter in a digit's place
    {kUtc, "200101000000X", std::nullopt},       // unknown zone designator
    {kUtc, "2001010000+", std::nullopt},
    {kUtc, "201301000000Z", Utc(2021, 1, 1)},       // month 13 carries
    {kUtc, "200100000000Z", Utc(2019, 12, 31)},     // day 00 carries back
    {kGen, "20200101246000Z", Utc(2020, 1, 2, 1)},  // hour 24, minute 60
    {kGen, "20200229120000Z", Utc(2020, 2, 29, 12)},
    {kUtc, "200101000000Zjunk", Utc(2020, 1, 1)},  // characters after the zone ignored
    {kGen, "30001231235959Z", Utc(3000, 12, 31, 23, 59, 59)},
    {kGen, "30010101000000Z", std::nullopt},  // after the year 3000
    {kGen, "19691231235959Z", std::nullopt},
    {kGen, "19700101000000+0100", Utc(1970, 1, 1) - 3600},
    {kGen, "21000101000000+9959", Utc(2100, 1, 1) - (99 * 3600 + 59 * 60)},  // no range test
};

// Runs the table under one TZ setting and restores the previous one.
void RunTimeCasesUnder(const char* tz) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", tz, 1);
  tzset();
  for (const TimeCase& c : kTimeCases) {
    SCOPED_TRACE(std::string("TZ=") + tz + " type " + std::to_string(c.type) + " " + c.text);
    auto t = RawTime(c.type, c.text);
    __time64_t tUTCTime = 12345;
    ResultCode nResult = ASN1_TIME_To_UTCTime(t.get(), &tUTCTime);
    if (c.expected) {
      EXPECT_EQ(PELLUM_OK, nResult);
      EXPECT_EQ(*c.expected, tUTCTime);
    } else {
      EXPECT_EQ(-1, nResult);
      EXPECT_EQ(0, tUTCTime);
    }
  }
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(AsnTime, ConvertsEveryFormInAnyTimeZone) {
  for (const char* tz : {"UTC0", "CST-8", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3",
                         "<+1345>-13:45", "<-11>11"})
    RunTimeCasesUnder(tz);
}

// The getters and the clock check over one certificate with fixed times.
class CertTimeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    key_ = testpki::MakeKey(testpki::KeyType::Rsa1024);
    testpki::CertSpec spec;
    spec.subject = {{"CN", "time.test.invalid"}};
    spec.notBefore = Utc(2020, 1, 1, 8);
    spec.notAfter = Utc(2052, 6, 30, 23, 59, 59);  // GeneralizedTime from 2050 on
    cert_ = testpki::Issue(spec, key_.get(), nullptr, key_.get());
  }
  static void TearDownTestSuite() {
    cert_.reset();
    key_.reset();
  }
  void TearDown() override { SetTimeSourceForTesting({}); }
  static inline testpki::Key key_;
  static inline testpki::Cert cert_;
};

TEST_F(CertTimeTest, GettersReadBothEnds) {
  __time64_t tNotBefore = 0, tNotAfter = 0;
  ASSERT_EQ(PELLUM_OK, GetX509NotBefore(cert_.get(), &tNotBefore));
  ASSERT_EQ(PELLUM_OK, GetX509NotAfter(cert_.get(), &tNotAfter));
  EXPECT_EQ(Utc(2020, 1, 1, 8), tNotBefore);
  EXPECT_EQ(Utc(2052, 6, 30, 23, 59, 59), tNotAfter);
}

TEST_F(CertTimeTest, BothEndsOfThePeriodAreInside) {
  const struct {
    std::int64_t now;
    ResultCode expected;
  } cases[] = {
      {Utc(2020, 1, 1, 8) - 1, E_CERT_TIME_INVALID},
      {Utc(2020, 1, 1, 8), PELLUM_OK},
      {Utc(2030, 1, 1), PELLUM_OK},
      {Utc(2052, 6, 30, 23, 59, 59), PELLUM_OK},
      {Utc(2052, 6, 30, 23, 59, 59) + 1, E_CERT_TIME_INVALID},
      {-1, -1},  // the clock cannot be read
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.now);
    SetTimeSourceForTesting([&] { return static_cast<__time64_t>(c.now); });
    EXPECT_EQ(c.expected, VerifyCertTime(cert_.get()));
  }
}

}  // namespace
