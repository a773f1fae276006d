// Certificate primitives on crypto-library objects.
#include "agent/CertificateOperations.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>

#include "Host/Misc.h"
#include "Host/Tracing.h"
#include "agent/TovelAgent.h"
#include "platform/Crt.h"

namespace {

// True when the bytes begin with a certificate in DER, whatever follows it.
// Leaves the error queue as it was.
bool BeginsWithDerCertificate(const BYTE* pbyData, int nDataLen) {
  ERR_set_mark();
  const unsigned char* pbyCursor = pbyData;
  const tovel::UniquePtr<X509> spCert(d2i_X509(nullptr, &pbyCursor, nDataLen));
  ERR_pop_to_mark();
  return spCert != nullptr;
}

// The latest instant the conversion accepts: 3000-12-31 23:59:59 UTC.
constexpr __time64_t kLastConvertibleTime = 32535215999LL;

// Days from 1970-01-01 to the first day of the given month (month 1 to 12) of
// a proleptic Gregorian year.
__time64_t DaysFromCivil(__time64_t nYear, int nMonth) {
  nYear -= nMonth <= 2;
  const __time64_t nEra = (nYear >= 0 ? nYear : nYear - 399) / 400;
  const __time64_t nYearOfEra = nYear - nEra * 400;
  const __time64_t nDayOfYear = (153 * (nMonth + (nMonth > 2 ? -3 : 9)) + 2) / 5;
  const __time64_t nDayOfEra = nYearOfEra * 365 + nYearOfEra / 4 - nYearOfEra / 100 + nDayOfYear;
  return nEra * 146097 + nDayOfEra - 719468;
}

// Broken-down fields read as UTC to seconds since 1970. Fields out of range
// carry into the larger units (month 13 is January of the next year, day 0 the
// last day of the month before). -1 before 1970 or after the year 3000.
__time64_t FieldsToUTCSeconds(int nYear, int nMonth, int nDay, int nHour, int nMinute,
                              int nSecond) {
  const __time64_t nMonths = static_cast<__time64_t>(nYear) * 12 + (nMonth - 1);
  const __time64_t nNormYear = nMonths >= 0 ? nMonths / 12 : (nMonths - 11) / 12;
  const int nNormMonth = static_cast<int>(nMonths - nNormYear * 12) + 1;
  const __time64_t nDays = DaysFromCivil(nNormYear, nNormMonth) + (nDay - 1);
  const __time64_t tSeconds = nDays * 86400 + nHour * 3600 + nMinute * 60 + nSecond;
  if (tSeconds < 0 || tSeconds > kLastConvertibleTime) return -1;
  return tSeconds;
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Reads nCount digits at pby[nPos] as one number; false when they run past
// nLength or one is not a digit.
bool ReadDigits(const unsigned char* pby, int nLength, int nPos, int nCount, int* pnValue) {
  if (nPos + nCount > nLength) return false;
  int nValue = 0;
  for (int i = 0; i < nCount; ++i) {
    if (!IsDigit(pby[nPos + i])) return false;
    nValue = nValue * 10 + (pby[nPos + i] - '0');
  }
  *pnValue = nValue;
  return true;
}

// Parses the layout after the length check. Fields out: year (full), month,
// day, hour, minute, second and the zone offset in seconds.
struct TimeFields {
  int nYear, nMonth, nDay, nHour, nMinute, nSecond;
  __time64_t tZoneOffset;
};

bool ParseASN1TimeText(const unsigned char* pby, int nLength, bool bUTCTime, TimeFields* pst) {
  int nPos = 0;
  if (bUTCTime) {
    int nYY = 0;
    if (!ReadDigits(pby, nLength, nPos, 2, &nYY)) return false;
    pst->nYear = nYY < 50 ? 2000 + nYY : 1900 + nYY;
    nPos += 2;
  } else {
    if (!ReadDigits(pby, nLength, nPos, 4, &pst->nYear)) return false;
    nPos += 4;
  }
  int* rgpnFields[] = {&pst->nMonth, &pst->nDay, &pst->nHour, &pst->nMinute};
  for (int* pnField : rgpnFields) {
    if (!ReadDigits(pby, nLength, nPos, 2, pnField)) return false;
    nPos += 2;
  }
  if (nPos >= nLength) return false;
  pst->nSecond = 0;
  if (pby[nPos] != 'Z' && pby[nPos] != '+' && pby[nPos] != '-') {
    if (!ReadDigits(pby, nLength, nPos, 2, &pst->nSecond)) return false;
    nPos += 2;
    if (nPos < nLength && pby[nPos] == '.') {
      ++nPos;
      while (nPos < nLength && IsDigit(pby[nPos])) ++nPos;
    }
  }
  if (nPos >= nLength) return false;
  const unsigned char chZone = pby[nPos++];
  if (chZone == 'Z') {
    pst->tZoneOffset = 0;
    return true;
  }
  if (chZone != '+' && chZone != '-') return false;
  int nZoneHours = 0, nZoneMinutes = 0;
  if (!ReadDigits(pby, nLength, nPos, 2, &nZoneHours) ||
      !ReadDigits(pby, nLength, nPos + 2, 2, &nZoneMinutes))
    return false;
  const __time64_t tOffset = nZoneHours * 3600 + nZoneMinutes * 60;
  pst->tZoneOffset = chZone == '+' ? tOffset : -tOffset;
  return true;
}

}  // namespace

ResultCode ASN1_TIME_To_UTCTime(const ASN1_TIME* pASN1Time, __time64_t* ptUTCTime) {
  static const char* const kOp = "ASN1_TIME_To_UTCTime";
  *ptUTCTime = 0;
  const std::int32_t nType = ASN1_STRING_type(pASN1Time);
  const bool bUTCTime = nType == V_ASN1_UTCTIME;
  TRACE_VALUES(TraceMsg::CertificateOperations::Asn1TimeType, nType);
  const int nASN1TimeLength = ASN1_STRING_length(pASN1Time);
  const unsigned char* pbyText = ASN1_STRING_get0_data(pASN1Time);
  if (bUTCTime) {
    if ((nASN1TimeLength < 11) || (nASN1TimeLength > 17)) {
      LOG_FAILED(kOp, "Check ASN1TIME length.", -1,
                 "((nASN1TimeLength < 11) || (nASN1TimeLength > 17))");
      return -1;
    }
    LOG_OK(kOp, "Check ASN1TIME length.");
  } else {
    if (nASN1TimeLength < 13) {
      LOG_FAILED(kOp, "Check ASN1TIME format.", -1, "nASN1TimeLength < 13");
      return -1;
    }
    LOG_OK(kOp, "Check ASN1TIME format.");
  }
  if (TraceEnabled(TRACE_FLAG_INFO)) {
    char szDateTime[13] = {};
    std::memcpy(szDateTime, pbyText, bUTCTime ? 10 : 12);
    TRACE_VALUES(TraceMsg::CertificateOperations::Asn1TimeText, szDateTime);
  }
  TimeFields stFields{};
  if (!ParseASN1TimeText(pbyText, nASN1TimeLength, bUTCTime, &stFields)) {
    LOG_FAILED(kOp, "Check ASN1TIME format.", -1, "true");
    return -1;
  }
  TRACE_VALUES(TraceMsg::CertificateOperations::Asn1TimeFields, stFields.nYear, stFields.nMonth,
               stFields.nDay, stFields.nHour, stFields.nMinute, stFields.nSecond);
  const __time64_t tFieldsAsUTC =
      FieldsToUTCSeconds(stFields.nYear, stFields.nMonth, stFields.nDay, stFields.nHour,
                         stFields.nMinute, stFields.nSecond);
  if (-1 == tFieldsAsUTC) {
    LOG_FAILED(kOp, "mktime", -1, "-1 == tUTCTime");
    return -1;
  }
  LOG_OK(kOp, "mktime");
  *ptUTCTime = tFieldsAsUTC - stFields.tZoneOffset;
  return PELLUM_OK;
}

// The steps of GetX509NotBefore and GetX509NotAfter, each logged at the
// caller's line. The first takes the validity time from the certificate (the
// step pszGetStep): false when there is none.
static bool ValidityTimeStep(const ASN1_TIME* pASN1Time, const char* pszOperation,
                             const char* pszGetStep, int nCallerLine = TOVEL_CALLER_LINE) {
  if (pASN1Time == nullptr) {
    LOG_FAILED_OPENSSL_AT(nCallerLine, pszOperation, pszGetStep, -1, "NULL == pASN1Time");
    return false;
  }
  LOG_OK_AT(nCallerLine, pszOperation, pszGetStep);
  return true;
}

// The second converts it to seconds since 1970 in *ptOut.
static ResultCode ValidityTimeToUTCStep(const ASN1_TIME* pASN1Time, const char* pszOperation,
                                        __time64_t* ptOut, int nCallerLine = TOVEL_CALLER_LINE) {
  __time64_t tTime = 0;
  const ResultCode nResult = ASN1_TIME_To_UTCTime(pASN1Time, &tTime);
  if (PELLUM_OK != nResult) {
    LOG_FAILED_AT(nCallerLine, pszOperation, "ASN1_TIME_To_UTCTime", nResult,
                  "PELLUM_OK != nResult");
    return nResult;
  }
  LOG_OK_AT(nCallerLine, pszOperation, "ASN1_TIME_To_UTCTime");
  TRACE_VALUES(TraceMsg::CertificateOperations::SecondsSince1970, pszOperation, tTime);
  *ptOut = tTime;
  return PELLUM_OK;
}

ResultCode GetX509NotBefore(const X509* pX509, __time64_t* ptNotBefore) {
  const ASN1_TIME* pASN1Time = X509_get0_notBefore(pX509);
  if (!ValidityTimeStep(pASN1Time, "GetX509NotBefore", "X509_get_notBefore")) return -1;
  return ValidityTimeToUTCStep(pASN1Time, "GetX509NotBefore", ptNotBefore);
}

ResultCode GetX509NotAfter(const X509* pX509, __time64_t* ptNotAfter) {
  const ASN1_TIME* pASN1Time = X509_get0_notAfter(pX509);
  if (!ValidityTimeStep(pASN1Time, "GetX509NotAfter", "X509_get_notAfter")) return -1;
  return ValidityTimeToUTCStep(pASN1Time, "GetX509NotAfter", ptNotAfter);
}

ResultCode VerifyCertTime(const X509* pX509) {
  static const char* const kOp = "VerifyCertTime";
  const __time64_t tUTCTime = _time64(nullptr);
  if (-1 == tUTCTime) {
    LOG_FAILED(kOp, "time", -1, "-1 == tUTCTime");
    return -1;
  }
  LOG_OK(kOp, "time");
  TRACE_VALUES(TraceMsg::CertificateOperations::VerifyTimeNow, tUTCTime);

  __time64_t tNotBefore = 0;
  ResultCode nResult = GetX509NotBefore(pX509, &tNotBefore);
  if (PELLUM_OK != nResult) {
    LOG_FAILED(kOp, "GetX509NotBefore", nResult, "PELLUM_OK != nResult");
    return nResult;
  }
  LOG_OK(kOp, "GetX509NotBefore");
  if (tUTCTime < tNotBefore) {
    LOG_FAILED(kOp, "Check certificate validity NotBefore", E_CERT_TIME_INVALID,
               "(tUTCTime < tNotBefore)");
    return E_CERT_TIME_INVALID;
  }
  LOG_OK(kOp, "Check certificate validity NotBefore");

  __time64_t tNotAfter = 0;
  nResult = GetX509NotAfter(pX509, &tNotAfter);
  if (PELLUM_OK != nResult) {
    LOG_FAILED(kOp, "GetX509NotAfter", nResult, "PELLUM_OK != nResult");
    return nResult;
  }
  LOG_OK(kOp, "GetX509NotAfter");
  if (tUTCTime > tNotAfter) {
    LOG_FAILED(kOp, "Check certificate validity NotAfter", E_CERT_TIME_INVALID,
               "(tUTCTime > tNotAfter)");
    return E_CERT_TIME_INVALID;
  }
  LOG_OK(kOp, "Check certificate validity NotAfter");
  return PELLUM_OK;
}

ResultCode ConvertCertDataToX509(const BYTE* pbyCertData, int nCertDataLen, X509** ppX509Cert) {
  static const char* const kOp = "ConvertCertDataToX509";
  // A length of 0 or less never reaches the memory stream: -1 would make it
  // read the bytes as a zero-terminated text.
  if (pbyCertData == nullptr || nCertDataLen <= 0 || ppX509Cert == nullptr) {
    LOG_FAILED(kOp, "Check parameter", -1,
               "NULL == pbyCertData || nCertDataLen <= 0 || NULL == ppX509Cert");
    return -1;
  }
  tovel::UniquePtr<BIO> spCertBio(BIO_new_mem_buf(pbyCertData, nCertDataLen));
  if (spCertBio == nullptr) {
    LOG_FAILED(kOp, "BIO_new_mem_buf", -1, "NULL == pBIO_Cert");
    return -1;
  }
  LOG_OK(kOp, "BIO_new_mem_buf");
  // Bytes that begin with a DER certificate are read as DER, as every other
  // reader of certificate bytes reads them: a PEM block found after or inside
  // that certificate does not stand in for it.
  PemOrDer<X509> stCert = ReadPemOrDer(spCertBio.get(), PEM_read_bio_X509, d2i_X509_bio, [&] {
    return !BeginsWithDerCertificate(pbyCertData, nCertDataLen);
  });
  if (stCert.bReadDer) {
    if (stCert.spObject == nullptr) {
      LOG_FAILED(kOp, "d2i_X509_bio", -1, "NULL == pX509Cert");
      return -1;
    }
    LOG_OK(kOp, "d2i_X509_bio");
  }
  *ppX509Cert = stCert.spObject.release();
  return PELLUM_OK;
}

ResultCode VerifyCertChainByTrustedStore(X509_STORE* pX509Store, X509* pX509Cert) {
  static const char* const kOp = "VerifyCertChainByTrustedStore";
  tovel::UniquePtr<X509_STORE_CTX> spStoreCtx(X509_STORE_CTX_new());
  if (spStoreCtx == nullptr) {
    LOG_FAILED_OPENSSL(kOp, "X509_STORE_CTX_new", -1, "NULL == pX509StoreCtx");
    return -1;
  }
  LOG_OK(kOp, "X509_STORE_CTX_new");
  if (1 != X509_STORE_CTX_init(spStoreCtx.get(), pX509Store, pX509Cert, nullptr)) {
    LOG_FAILED_OPENSSL(kOp, "X509_STORE_CTX_init", -1, "1 != nResult");
    return -1;
  }
  LOG_OK(kOp, "X509_STORE_CTX_init");
  if (1 == X509_verify_cert(spStoreCtx.get())) return PELLUM_OK;
  const std::int32_t nError = X509_STORE_CTX_get_error(spStoreCtx.get());
  TRACE_VALUES(TraceMsg::CertificateOperations::ChainVerifyError, nError,
               X509_verify_cert_error_string(nError));
  // A failure that leaves no error number is a failure all the same.
  const ResultCode nStatus =
      (X509_V_ERR_CERT_NOT_YET_VALID == nError || X509_V_ERR_CERT_HAS_EXPIRED == nError)
          ? E_CERT_TIME_INVALID
          : E_CERT_CHAIN_INCOMPLETE;
  LOG_FAILED_OPENSSL(kOp, "X509_verify_cert", nStatus, "true");
  return nStatus;
}

ResultCode CheckX509KeyUsage(X509* pX509) {
  static const char* const kOp = "CheckX509KeyUsage";
  if (1 != X509_check_purpose(pX509, -1, 0)) {
    LOG_FAILED_OPENSSL(kOp, "X509_check_purpose fill data", -1, "1 != nResult");
    return -1;
  }
  LOG_OK(kOp, "X509_check_purpose fill data");
  X509_check_purpose(pX509, -1, -1);
  const std::uint32_t uExtensionFlag = X509_get_extension_flags(pX509);
  TRACE_VALUES(TraceMsg::CertificateOperations::ExtensionFlags, uExtensionFlag);
  if (!(uExtensionFlag & EXFLAG_KUSAGE)) {
    LOG_FAILED(kOp, "pX509->ex_flags & EXFLAG_KUSAGE", E_INVALID_CERT_USAGE,
               "!(uExtensionFlag & EXFLAG_KUSAGE)");
    return E_INVALID_CERT_USAGE;
  }
  LOG_OK(kOp, "pX509->ex_flags & EXFLAG_KUSAGE");
  X509_check_purpose(pX509, -1, -1);
  const std::uint32_t uKeyUsage = X509_get_key_usage(pX509);
  const std::uint32_t uRequired = KU_KEY_ENCIPHERMENT;
  TRACE_VALUES(TraceMsg::CertificateOperations::X509KeyUsage, uKeyUsage, uRequired);
  if (0 == (uKeyUsage & uRequired)) {
    LOG_FAILED(kOp, "Check x509 key usage", E_INVALID_CERT_USAGE, "0 == nResult");
    return E_INVALID_CERT_USAGE;
  }
  LOG_OK(kOp, "Check x509 key usage");
  return PELLUM_OK;
}

ResultCode GetX509SubjectCN(const X509* pX509, char** ppszSubjectCN, int* pnSubjectCNLen) {
  static const char* const kOp = "GetX509SubjectCN";
  const X509_NAME* pX509Name = X509_get_subject_name(pX509);
  if (pX509Name == nullptr) {
    LOG_FAILED_OPENSSL(kOp, "X509_get_subject_name", -1, "NULL == pX509Name");
    return -1;
  }
  LOG_OK(kOp, "X509_get_subject_name");
  const int nCNIndex = X509_NAME_get_index_by_NID(pX509Name, NID_commonName, -1);
  if (-1 == nCNIndex) {
    LOG_FAILED_OPENSSL(kOp, "X509_NAME_get_index_by_NID", -1, "-1 == nCNIndex");
    return -1;
  }
  LOG_OK(kOp, "X509_NAME_get_index_by_NID");
  const X509_NAME_ENTRY* pNameEntry = X509_NAME_get_entry(pX509Name, nCNIndex);
  if (pNameEntry == nullptr) {
    LOG_FAILED_OPENSSL(kOp, "X509_NAME_get_entry", -1, "NULL == pNameEntry");
    return -1;
  }
  LOG_OK(kOp, "X509_NAME_get_entry");
  unsigned char* pbyUTF8Out = nullptr;
  const int nSubjectCNLen = ASN1_STRING_to_UTF8(&pbyUTF8Out, X509_NAME_ENTRY_get_data(pNameEntry));
  const tovel::OpenSslPtr<unsigned char> spUTF8(pbyUTF8Out);
  if (nSubjectCNLen <= 0) {
    LOG_FAILED(kOp, "ASN1_STRING_to_UTF8", -1, "nSubjectCNLen <= 0");
    return -1;
  }
  LOG_OK(kOp, "ASN1_STRING_to_UTF8");
  std::unique_ptr<char[]> spSubjectCN = CopyText(reinterpret_cast<const char*>(spUTF8.get()),
                                                 static_cast<std::size_t>(nSubjectCNLen));
  if (!spSubjectCN) {
    LOG_FAILED(kOp, "New memory", -1, "!pszSubjectCN");
    return -1;
  }
  LOG_OK(kOp, "New memory");
  TRACE_VALUES(TraceMsg::CertificateOperations::SubjectCommonName,
               static_cast<const char*>(spSubjectCN.get()));
  *ppszSubjectCN = spSubjectCN.release();
  *pnSubjectCNLen = nSubjectCNLen;
  return PELLUM_OK;
}
