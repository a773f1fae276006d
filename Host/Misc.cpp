// Text conversion, Base64 and list splitting.
#include "Host/Misc.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "Host/StatusCodes.h"
#include "Host/Tracing.h"
#include "platform/Unicode.h"

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The largest input whose encoded length still fits a signed 32-bit count.
constexpr int kMaxBase64EncodeInput = INT_MAX / 4;

// A zeroed array of n elements, or null (traced) when memory runs out.
template <typename T>
std::unique_ptr<T[]> NewZeroedArray(std::size_t n) {
  std::unique_ptr<T[]> sp(new (std::nothrow) T[n]());
  if (sp == nullptr) TraceHResult(E_OUTOFMEMORY, u"New Memory");
  return sp;
}

// Value of a Base64 character, or -1 for any other byte.
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

HRESULT Base64EncodeEx(const BYTE* pbyData, int nDataLen, char** ppszBase64, int* pnBase64Len) {
  TraceHelper trace(u"Base64EncodeEx");
  if (ppszBase64 == nullptr || pnBase64Len == nullptr) return E_POINTER;
  if (nDataLen < 0 || nDataLen > kMaxBase64EncodeInput) return E_INVALIDARG;

  // 4 * ceil(n / 3), as floor(4n / 3) + (n mod 3) rounded up to a multiple of 4.
  int nRequired = (4 * nDataLen) / 3 + nDataLen % 3;
  nRequired = (nRequired + 3) & ~3;

  std::unique_ptr<char[]> spOut = NewZeroedArray<char>(static_cast<std::size_t>(nRequired) + 1);
  if (spOut == nullptr) return E_OUTOFMEMORY;

  if (pbyData == nullptr) {
    TRACE_POINT(TraceMsg::Misc::Base64EncodeNoInput);
    *ppszBase64 = nullptr;
    *pnBase64Len = nRequired;
    return S_OK;
  }

  char* p = spOut.get();
  int i = 0;
  for (; i + 3 <= nDataLen; i += 3) {
    const unsigned b0 = pbyData[i], b1 = pbyData[i + 1], b2 = pbyData[i + 2];
    *p++ = kBase64Alphabet[b0 >> 2];
    *p++ = kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *p++ = kBase64Alphabet[((b1 & 0xF) << 2) | (b2 >> 6)];
    *p++ = kBase64Alphabet[b2 & 0x3F];
  }
  const int nRest = nDataLen - i;
  if (nRest > 0) {
    const unsigned b0 = pbyData[i];
    const unsigned b1 = nRest == 2 ? pbyData[i + 1] : 0;
    *p++ = kBase64Alphabet[b0 >> 2];
    *p++ = kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *p++ = nRest == 2 ? kBase64Alphabet[(b1 & 0xF) << 2] : '=';
    *p++ = '=';
  }

  *ppszBase64 = spOut.release();
  *pnBase64Len = nRequired;
  TRACE_VALUES(TraceMsg::Misc::Base64EncodedChars, nRequired);
  return S_OK;
}

HRESULT Base64DecodeEx(const char* pszBase64, int nBase64Len, BYTE** ppbyData, int* pnDataLen) {
  TraceHelper trace(u"Base64DecodeEx");
  if (nBase64Len <= 0) {
    TRACE_VALUES(TraceMsg::Misc::Base64DecodeLengthRefused, nBase64Len);
    return E_FAIL;
  }
  if (ppbyData == nullptr || pnDataLen == nullptr) return E_POINTER;

  // Every 4 characters give at most 3 bytes, so the text's length suffices.
  std::unique_ptr<BYTE[]> spOut = NewZeroedArray<BYTE>(static_cast<std::size_t>(nBase64Len));
  if (spOut == nullptr) return E_OUTOFMEMORY;

  if (pszBase64 == nullptr) {
    TRACE_POINT(TraceMsg::Misc::Base64DecodeNoInput);
    *ppbyData = nullptr;
    *pnDataLen = nBase64Len;
    return S_OK;
  }

  const auto* pbyIn = reinterpret_cast<const unsigned char*>(pszBase64);
  int nRead = 0;
  int nWritten = 0;
  while (nRead < nBase64Len && pbyIn[nRead] != 0) {
    // Collect up to four alphabet characters, skipping everything else.
    std::uint32_t dwBits = 0;
    int nCollected = 0;
    while (nCollected < 4 && nRead < nBase64Len) {
      const int nValue = Base64Value(pbyIn[nRead++]);
      if (nValue < 0) continue;
      dwBits = (dwBits << 6) | static_cast<std::uint32_t>(nValue);
      ++nCollected;
    }
    // k characters carry 6k bits: floor(6k / 8) whole bytes from the top.
    dwBits <<= 6 * (4 - nCollected);
    const int nBytes = (6 * nCollected) / 8;
    for (int j = 0; j < nBytes; ++j) spOut[nWritten++] = static_cast<BYTE>(dwBits >> (16 - 8 * j));
  }

  *ppbyData = spOut.release();
  *pnDataLen = nWritten;
  TRACE_VALUES(TraceMsg::Misc::Base64DecodedBytes, nWritten);
  return S_OK;
}

HRESULT UTF16ToUTF8(const char16_t* pszUTF16, char** ppszUTF8, int* pnUTF8Len) {
  TraceHelper trace(u"UTF16ToUTF8");
  if (pszUTF16 == nullptr || ppszUTF8 == nullptr) return E_POINTER;

  const std::size_t nUnits = wcslen16(pszUTF16) + 1;
  if (nUnits > static_cast<std::size_t>(INT_MAX))
    return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
  const int nBytes = WideCharToMultiByte(CP_UTF8, 0, pszUTF16, static_cast<int>(nUnits), nullptr, 0,
                                         nullptr, nullptr);
  if (nBytes == 0) return LastErrorToFailure();

  // Handed over before the conversion: the caller releases it also when that fails.
  char* const pszOut = NewZeroedArray<char>(static_cast<std::size_t>(nBytes)).release();
  if (pszOut == nullptr) return E_OUTOFMEMORY;
  *ppszUTF8 = pszOut;

  if (WideCharToMultiByte(CP_UTF8, 0, pszUTF16, static_cast<int>(nUnits), pszOut, nBytes, nullptr,
                          nullptr) == 0)
    return LastErrorToFailure();
  if (pnUTF8Len != nullptr) *pnUTF8Len = nBytes - 1;
  return S_OK;
}

HRESULT UTF8ToUTF16(const char* pszUTF8, char16_t** ppszUTF16, int* pnUTF16Len) {
  TraceHelper trace(u"UTF8ToUTF16");
  if (pszUTF8 == nullptr || ppszUTF16 == nullptr) return E_POINTER;

  const std::size_t nBytes = std::strlen(pszUTF8) + 1;
  if (nBytes > static_cast<std::size_t>(INT_MAX))
    return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
  const int nInLen = static_cast<int>(nBytes);
  TRACE_VALUES(TraceMsg::Misc::Utf8Input, pszUTF8);
  TRACE_VALUES(TraceMsg::Misc::Utf8Bytes, nInLen);

  const int nUnits = MultiByteToWideChar(CP_UTF8, 0, pszUTF8, nInLen, nullptr, 0);
  TRACE_VALUES(TraceMsg::Misc::Utf16Units, nUnits);
  if (nUnits == 0) return LastErrorToFailure();

  // Handed over before the conversion: the caller releases it also when that fails.
  char16_t* const pszOut = NewZeroedArray<char16_t>(static_cast<std::size_t>(nUnits)).release();
  if (pszOut == nullptr) return E_OUTOFMEMORY;
  *ppszUTF16 = pszOut;

  const int nConverted = MultiByteToWideChar(CP_UTF8, 0, pszUTF8, nInLen, pszOut, nUnits);
  const HRESULT hResult = nConverted == 0 ? LastErrorToFailure() : S_OK;
  TRACE_VALUES(TraceMsg::Misc::Utf16Output, pszOut);
  if (FAILED(hResult)) return hResult;
  if (pnUTF16Len != nullptr) *pnUTF16Len = nUnits - 1;
  return S_OK;
}

std::unique_ptr<char[]> CopyText(const char* pchText, std::size_t nLen) {
  std::unique_ptr<char[]> spCopy(new (std::nothrow) char[nLen + 1]);
  if (spCopy == nullptr) return nullptr;
  std::memcpy(spCopy.get(), pchText, nLen);
  spCopy[nLen] = '\0';
  return spCopy;
}

std::unique_ptr<char[]> CopyText(const char* pszText) {
  return CopyText(pszText, std::strlen(pszText));
}

int SplitString(const char* pszStr, const char* pszSplit, std::vector<char*>& vtrTokens) {
  if (pszSplit == nullptr) {
    LOG_FAILED("SplitString", "Check parameter(split)", -1, "NULL == pszSplit");
    return -1;
  }
  // An empty delimiter would match everywhere without moving on.
  if (*pszSplit == '\0') {
    LOG_FAILED("SplitString", "Check parameter(split)", -1, "0 == strlen(pszSplit)");
    return -1;
  }
  LOG_OK("SplitString", "Check parameter(split)");
  if (pszStr == nullptr || *pszStr == '\0') return 0;

  // A copy to cut up: each delimiter found is overwritten with a terminator.
  std::unique_ptr<char[]> spCopy = CopyText(pszStr);
  if (spCopy == nullptr) {
    LOG_FAILED("SplitString", "strdup(pszStr)", -1, "NULL == pszCopy");
    return -1;
  }
  LOG_OK("SplitString", "strdup(pszStr)");

  const std::size_t nSplitLen = std::strlen(pszSplit);
  for (char* pszPiece = spCopy.get();;) {
    char* pszNext = std::strstr(pszPiece, pszSplit);
    if (pszNext != nullptr) *pszNext = '\0';
    if (*pszPiece != '\0') {
      std::unique_ptr<char[]> spToken = CopyText(pszPiece);
      if (spToken == nullptr) return -1;
      try {
        vtrTokens.push_back(nullptr);  // the place first, so that handing over cannot fail
      } catch (const std::bad_alloc&) {
        return -1;
      }
      vtrTokens.back() = spToken.release();
    }
    if (pszNext == nullptr) return 0;
    pszPiece = pszNext + nSplitLen;
  }
}

void FreeStringList(std::vector<char*>& vtrTokens) {
  for (char* pszToken : vtrTokens) delete[] pszToken;
  vtrTokens.clear();
}
