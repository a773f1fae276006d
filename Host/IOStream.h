// The message channel: one frame per message on standard input and output,
// a 32-bit little-endian byte count followed by that many bytes of UTF-8 JSON.
#pragma once

#include <cstdint>

#include "platform/WinTypes.h"

// The largest response sent; a longer one is replaced by the lone count
// 0xFFFFFFFF.
constexpr std::uint32_t MAX_RESPONSE_SIZE = 0x100000;
// The largest message a browser sends to a host. A larger count is refused
// before anything is allocated for it.
constexpr std::uint32_t MAX_REQUEST_SIZE = 64u * 1024 * 1024;

// Puts standard input, then standard output into binary mode. Returns 0, or
// -1 when a stream cannot be switched.
int SetTranslationMode();

// Reads one frame from fd. Returns 0 with a new zero-terminated message in
// *ppszInputMsg (delete[] by the caller) and its byte count in *pnLength; 0
// with no message and length 0 when the browser has ended the conversation
// (count 0 or 0xFFFFFFFF, or input ended at a frame boundary); otherwise a
// nonzero status, with the out places untouched. Either out place may be null.
int ReadFromNativeMessaging(char** ppszInputMsg, int fd, std::uint32_t* pnLength);

// Writes pszText as one frame to fd. Returns 0, or -1 when the frame could not
// be written whole or the text is longer than MAX_RESPONSE_SIZE.
int WriteToNativeMessaging(const char* pszText, int fd);
