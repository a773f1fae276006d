// The message channel on standard input and output.
#include "Host/IOStream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "Host/Tracing.h"
#include "platform/Crt.h"
#include "platform/WinError.h"

namespace {

constexpr std::uint32_t kEndOfConversation = 0xFFFFFFFFu;
constexpr int kCountSize = 4;

static_assert(sizeof(std::uint32_t) == kCountSize, "the frame count is 32 bits");

// Reads exactly nSize bytes. Returns the number read before input ended (less
// than nSize only at end of input), or -1 with errno set.
long ReadFully(int fd, unsigned char* pbyBuffer, std::uint32_t nSize) {
  std::uint32_t nReceived = 0;
  while (nReceived < nSize) {
    const int nRead = _read(fd, pbyBuffer + nReceived, nSize - nReceived);
    if (nRead < 0) return -1;
    if (nRead == 0) break;
    nReceived += static_cast<std::uint32_t>(nRead);
  }
  return static_cast<long>(nReceived);
}

// Writes all nSize bytes, continuing after partial writes.
bool WriteFully(int fd, const unsigned char* pbyBuffer, std::uint32_t nSize) {
  std::uint32_t nSent = 0;
  while (nSent < nSize) {
    const int nWritten = _write(fd, pbyBuffer + nSent, nSize - nSent);
    if (nWritten <= 0) return false;
    nSent += static_cast<std::uint32_t>(nWritten);
  }
  return true;
}

const char* const kWriteOp = "WriteToNativeMessaging";

// A frame buffer of nSize bytes, its "New memory" step logged at the caller's
// line; null when memory runs out.
std::unique_ptr<unsigned char[]> NewFrame(std::uint32_t nSize,
                                          int nCallerLine = TOVEL_CALLER_LINE) {
  std::unique_ptr<unsigned char[]> spFrame(new (std::nothrow) unsigned char[nSize]);
  if (spFrame == nullptr) {
    LOG_FAILED_AT(nCallerLine, kWriteOp, "New memory", -1, "!pbyWriteBuf");
    return nullptr;
  }
  LOG_OK_AT(nCallerLine, kWriteOp, "New memory");
  return spFrame;
}

// Writes the whole frame, its "write" step logged at the caller's line.
bool SendFrame(int fd, const unsigned char* pbyFrame, std::uint32_t nSize,
               int nCallerLine = TOVEL_CALLER_LINE) {
  if (!WriteFully(fd, pbyFrame, nSize)) {
    LOG_FAILED_AT(nCallerLine, kWriteOp, "write", -1, "nWriteSize != nWriteBufSize");
    return false;
  }
  LOG_OK_AT(nCallerLine, kWriteOp, "write");
  return true;
}

}  // namespace

int SetTranslationMode() {
  TraceHelper trace(u"SetTranslationMode");
  const int nMode = _O_BINARY;
  TRACE_VALUES(TraceMsg::IOStream::TranslationMode, nMode);
  LOG_OK("SetTranslationMode", "Check Parameters(nMode)");

  int nResult = _setmode(_fileno(stdin), nMode);
  if (nResult == -1) {
    LOG_FAILED("SetTranslationMode", "_setmode(stdin)", -1, "-1 == nResult");
    return -1;
  }
  LOG_OK("SetTranslationMode", "_setmode(stdin)");
  TRACE_VALUES(TraceMsg::IOStream::PreviousStdinMode, nResult);

  nResult = _setmode(_fileno(stdout), nMode);
  if (nResult == -1) {
    LOG_FAILED("SetTranslationMode", "_setmode(stdout)", -1, "-1 == nResult");
    return -1;
  }
  LOG_OK("SetTranslationMode", "_setmode(stdout)");
  TRACE_VALUES(TraceMsg::IOStream::PreviousStdoutMode, nResult);
  return 0;
}

int ReadFromNativeMessaging(char** ppszInputMsg, int fd, std::uint32_t* pnLength) {
  TraceHelper trace(u"ReadFromNativeMessaging");

  unsigned char byCount[kCountSize] = {};
  const long nCountRead = ReadFully(fd, byCount, kCountSize);
  if (nCountRead < 0) {
    const int nError = errno;
    TRACE_VALUES(TraceMsg::IOStream::ReadFailed, nError);
    LOG_FAILED("ReadFromNativeMessaging", "_read(count)", nError, "-1 == nReadSize");
    return nError != 0 ? nError : -1;
  }
  if (nCountRead > 0 && nCountRead < kCountSize) {
    LOG_FAILED("ReadFromNativeMessaging", "_read(count)", ERROR_HANDLE_EOF,
               "nReadSize != sizeof(nCount)");
    return ERROR_HANDLE_EOF;
  }

  const std::uint32_t nCount =
      static_cast<std::uint32_t>(byCount[0]) | static_cast<std::uint32_t>(byCount[1]) << 8 |
      static_cast<std::uint32_t>(byCount[2]) << 16 | static_cast<std::uint32_t>(byCount[3]) << 24;
  if (nCount == 0 || nCount == kEndOfConversation) {
    TRACE_POINT(TraceMsg::IOStream::ConversationOver);
    if (ppszInputMsg != nullptr) *ppszInputMsg = nullptr;
    if (pnLength != nullptr) *pnLength = 0;
    return 0;
  }
  if (nCount > MAX_REQUEST_SIZE) {
    LOG_FAILED("ReadFromNativeMessaging", "Check count", -1, "nCount > MAX_REQUEST_SIZE");
    return -1;
  }

  std::unique_ptr<char[]> spInputMsg(new (std::nothrow) char[static_cast<std::size_t>(nCount) + 1]);
  if (spInputMsg == nullptr) {
    LOG_FAILED("ReadFromNativeMessaging", "New memory", -1, "!pszInputMsg");
    return -1;
  }
  LOG_OK("ReadFromNativeMessaging", "New memory");
  std::memset(spInputMsg.get(), 0, static_cast<std::size_t>(nCount) + 1);

  const long nReceived = ReadFully(fd, reinterpret_cast<unsigned char*>(spInputMsg.get()), nCount);
  if (nReceived < 0) {
    const int nError = errno;
    TRACE_VALUES(TraceMsg::IOStream::ReadFailed, nError);
    return nError != 0 ? nError : -1;
  }
  if (static_cast<std::uint32_t>(nReceived) != nCount) {
    LOG_FAILED("ReadFromNativeMessaging", "_read", ERROR_HANDLE_EOF, "nReceived != nCount");
    return ERROR_HANDLE_EOF;
  }

  if (ppszInputMsg != nullptr) *ppszInputMsg = spInputMsg.release();
  if (pnLength != nullptr) *pnLength = nCount;
  return 0;
}

int WriteToNativeMessaging(const char* pszText, int fd) {
  TraceHelper trace(u"WriteToNativeMessaging");
  const std::size_t nLen = std::strlen(pszText);

  // Too large to send: the lone count 0xFFFFFFFF tells the browser so, and the
  // write fails even when those four bytes went out.
  if (nLen > MAX_RESPONSE_SIZE) {
    const std::unique_ptr<unsigned char[]> spEndCount = NewFrame(kCountSize);
    if (spEndCount != nullptr) {
      std::memset(spEndCount.get(), 0xFF, kCountSize);
      SendFrame(fd, spEndCount.get(), kCountSize);
    }
    return -1;
  }

  const std::uint32_t nWriteBufSize = static_cast<std::uint32_t>(nLen) + kCountSize;
  const std::unique_ptr<unsigned char[]> spWriteBuf = NewFrame(nWriteBufSize);
  if (spWriteBuf == nullptr) return -1;
  // The count goes first, least significant byte first, in the same write.
  for (int i = 0; i < kCountSize; ++i) spWriteBuf[i] = static_cast<unsigned char>(nLen >> (8 * i));
  std::memcpy(spWriteBuf.get() + kCountSize, pszText, nLen);
  return SendFrame(fd, spWriteBuf.get(), nWriteBufSize) ? 0 : -1;
}
