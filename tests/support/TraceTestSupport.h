// Helpers shared by the tracing tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/EtwSession.h"

namespace tracetest {

using namespace std::chrono_literals;

// A session name no other test or process uses: "<tag>-<pid>-<counter>".
std::string UniqueSessionName(const std::string& tag);

// Receives the records that process pid sends until one satisfies last
// (included) or timeout passes.
std::vector<TraceRecord> ReceiveUntil(TraceSession& session, std::uint32_t pid,
                                      const std::function<bool(const TraceRecord&)>& last,
                                      std::chrono::milliseconds timeout = 10s);
// Receives every record of pid until none comes for quiet.
std::vector<TraceRecord> Drain(TraceSession& session, std::uint32_t pid,
                               std::chrono::milliseconds quiet = 200ms);

// Polls condition until it holds or timeout passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// A narrow text field without its terminator ("" when it has none).
std::string NarrowField(const std::vector<std::uint8_t>& field);
// A wide text field without its terminator.
std::u16string WideField(const std::vector<std::uint8_t>& field);
std::int32_t Int32Field(const std::vector<std::uint8_t>& field);
// The bytes of a text with its terminator, as a field holds it.
std::vector<std::uint8_t> NarrowBytes(const std::string& text);
std::vector<std::uint8_t> WideBytes(const std::u16string& text);

// Writes a file, making its folders.
void WriteFile(const std::filesystem::path& file, const std::string& content);

}  // namespace tracetest
