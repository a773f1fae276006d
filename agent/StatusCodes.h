// Statuses of the agent's plain operations.
//
// A ResultCode is a signed 32-bit status: 0 is success, -1 a generic failure,
// system error numbers (87 for an invalid parameter), HRESULTs and the own
// codes of the form 0xA007xxxx, which agent/TovelAgent.h declares.
#pragma once

#include <cstdint>

using ResultCode = std::int32_t;

constexpr ResultCode PELLUM_OK = 0;
