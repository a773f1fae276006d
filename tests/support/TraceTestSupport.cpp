#include "tests/support/TraceTestSupport.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

namespace tracetest {

std::string UniqueSessionName(const std::string& tag) {
  static std::atomic<int> counter{0};
  return tag + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

std::vector<TraceRecord> ReceiveUntil(TraceSession& session, std::uint32_t pid,
                                      const std::function<bool(const TraceRecord&)>& last,
                                      std::chrono::milliseconds timeout) {
  std::vector<TraceRecord> records;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto record = session.Receive(left);
    if (!record) break;
    if (record->processId != pid) continue;
    records.push_back(*record);
    if (last(records.back())) break;
  }
  return records;
}

std::vector<TraceRecord> Drain(TraceSession& session, std::uint32_t pid,
                               std::chrono::milliseconds quiet) {
  std::vector<TraceRecord> records;
  while (auto record = session.Receive(quiet))
    if (record->processId == pid) records.push_back(*record);
  return records;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::string NarrowField(const std::vector<std::uint8_t>& field) {
  if (field.empty() || field.back() != 0) return {};
  return std::string(field.begin(), field.end() - 1);
}

std::u16string WideField(const std::vector<std::uint8_t>& field) {
  if (field.size() < 2 || field.size() % 2 != 0 || field[field.size() - 1] != 0 ||
      field[field.size() - 2] != 0)
    return {};
  std::u16string text(field.size() / 2 - 1, u'\0');
  std::memcpy(text.data(), field.data(), text.size() * 2);
  return text;
}

std::int32_t Int32Field(const std::vector<std::uint8_t>& field) {
  std::int32_t value = 0;
  if (field.size() == sizeof(value)) std::memcpy(&value, field.data(), sizeof(value));
  return value;
}

std::vector<std::uint8_t> NarrowBytes(const std::string& text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

std::vector<std::uint8_t> WideBytes(const std::u16string& text) {
  std::vector<std::uint8_t> bytes((text.size() + 1) * 2, 0);
  std::memcpy(bytes.data(), text.data(), text.size() * 2);
  return bytes;
}

void WriteFile(const std::filesystem::path& file, const std::string& content) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::trunc) << content;
}

}  // namespace tracetest
