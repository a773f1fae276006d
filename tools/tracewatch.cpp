// tracewatch: starts a trace session, enables the host's trace provider and
// prints every message it receives, decoded with the build's trace message
// descriptions.
//
//   tracewatch [--session-name NAME] [--flags N] [--level N] [--pid N]
//              [--count N] [--seconds N] [--messages FILE]
//
// --flags 0 only listens (for a session that the host finds by name, such as
// the global logger). Stops after --count messages, after --seconds, or on
// SIGINT/SIGTERM. It sees the hosts of its own user only.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Host/Tracing.h"
#include "platform/EtwSession.h"
#include "platform/Unicode.h"

#ifndef TOVEL_TRACE_MESSAGES
#define TOVEL_TRACE_MESSAGES "/usr/share/tovelhost/trace-messages.txt"
#endif
#ifndef TOVEL_TRACE_MESSAGES_INSTALLED
#define TOVEL_TRACE_MESSAGES_INSTALLED "../share/tovelhost/trace-messages.txt"
#endif

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

// An installed tracewatch finds the descriptions installed beside it (a
// relative place is taken from the program's folder); one in the build tree
// reads the build's file.
std::string DefaultMessagesFile() {
  std::error_code error;
  std::filesystem::path installed = TOVEL_TRACE_MESSAGES_INSTALLED;
  if (installed.is_relative()) {
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return TOVEL_TRACE_MESSAGES;
    installed = self.parent_path() / installed;
  }
  if (std::filesystem::is_regular_file(installed, error))
    return installed.lexically_normal().string();
  return TOVEL_TRACE_MESSAGES;
}

struct Options {
  std::string sessionName = "TovelTrace";
  unsigned long flags = 0xF;
  unsigned long level = 5;
  long pid = -1;
  long count = -1;
  long seconds = -1;
  std::string messagesFile = DefaultMessagesFile();
};

struct Description {
  std::vector<std::string> kinds;
  std::string text;
};

struct Descriptions {
  std::map<std::string, std::string> seriesNames;  // by GUID text
  std::map<std::pair<std::string, int>, Description> messages;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    char* end = nullptr;
    if (name == "--session-name") {
      options->sessionName = value;
      continue;
    }
    if (name == "--messages") {
      options->messagesFile = value;
      continue;
    }
    long long number = std::strtoll(value, &end, 0);
    if (end == value || *end != 0 || number < 0) return false;
    if (name == "--flags")
      options->flags = static_cast<unsigned long>(number);
    else if (name == "--level")
      options->level = static_cast<unsigned long>(number);
    else if (name == "--pid")
      options->pid = static_cast<long>(number);
    else if (name == "--count")
      options->count = static_cast<long>(number);
    else if (name == "--seconds")
      options->seconds = static_cast<long>(number);
    else
      return false;
  }
  return options->flags <= 0xFFFFFFFFul && options->level <= 0xFF;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> parts;
  std::stringstream in(line);
  for (std::string part; std::getline(in, part, '\t');) parts.push_back(part);
  return parts;
}

bool LoadDescriptions(const std::string& file, Descriptions* out) {
  std::ifstream in(file);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> parts = SplitTabs(line);
    if (parts.size() == 3 && parts[0] == "series") {
      out->seriesNames[parts[1]] = parts[2];
    } else if (parts.size() >= 5 && parts[0] == "message") {
      Description description;
      description.text = parts.size() > 5 ? parts[5] : "";
      if (parts[4] != "-") {
        std::stringstream kinds(parts[4]);
        for (std::string kind; std::getline(kinds, kind, ',');) description.kinds.push_back(kind);
      }
      out->messages[{parts[1], std::stoi(parts[2])}] = description;
    }
  }
  return true;
}

std::string WideToUtf8(const std::vector<std::uint8_t>& bytes) {
  std::u16string wide(bytes.size() / 2, u'\0');
  std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
  return Utf16ToUtf8(std::u16string_view(wide).substr(0, wide.find(u'\0')));
}

// Takes one value of a kind from the front of data; false when it is not there.
bool TakeValue(const std::string& kind, std::vector<std::uint8_t>* data, std::string* shown) {
  std::size_t used = 0;
  char buffer[32];
  if (kind == "INT32" || kind == "HEX32") {
    if (data->size() < 4) return false;
    std::int32_t value;
    std::memcpy(&value, data->data(), 4);
    std::snprintf(buffer, sizeof buffer, kind == "INT32" ? "%d" : "%08x", value);
    *shown = buffer;
    used = 4;
  } else if (kind == "INT64") {
    if (data->size() < 8) return false;
    long long value;
    std::memcpy(&value, data->data(), 8);
    *shown = std::to_string(value);
    used = 8;
  } else if (kind == "STR") {
    auto zero = std::find(data->begin(), data->end(), 0);
    *shown = std::string(data->begin(), zero);
    used = zero == data->end() ? data->size() : static_cast<std::size_t>(zero - data->begin()) + 1;
  } else if (kind == "WSTR") {
    while (used + 1 < data->size() && ((*data)[used] != 0 || (*data)[used + 1] != 0)) used += 2;
    *shown = WideToUtf8(std::vector<std::uint8_t>(data->begin(), data->begin() + used));
    used = std::min(used + 2, data->size());
  } else {
    return false;
  }
  data->erase(data->begin(), data->begin() + used);
  return true;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

// The message text with its values, or nothing when the record does not fit
// the description. Values travel as one field each, or joined in one field.
std::optional<std::string> Render(const Description& description, const TraceRecord& record) {
  std::vector<std::string> values;
  bool joined = record.fields.size() == 1 && description.kinds.size() > 1;
  if (!joined && record.fields.size() != description.kinds.size()) return std::nullopt;
  std::vector<std::uint8_t> data = joined ? record.fields[0] : std::vector<std::uint8_t>{};
  for (std::size_t i = 0; i < description.kinds.size(); ++i) {
    if (!joined) data = record.fields[i];
    std::string shown;
    if (!TakeValue(description.kinds[i], &data, &shown)) return std::nullopt;
    values.push_back(shown);
  }
  std::string out;
  const std::string& text = description.text;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::size_t end = i + 1;
    while (text[i] == '%' && end < text.size() &&
           std::isdigit(static_cast<unsigned char>(text[end])))
      ++end;
    if (end > i + 1) {
      std::size_t index = std::stoul(text.substr(i + 1, end - i - 1));
      out += index >= 1 && index <= values.size() ? values[index - 1] : text.substr(i, end - i);
      i = end - 1;
    } else {
      out += text[i];
    }
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

void Print(const Descriptions& descriptions, const TraceRecord& record) {
  std::time_t seconds = static_cast<std::time_t>(record.timestampNs / 1000000000ull);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%06llu", local.tm_hour, local.tm_min,
                local.tm_sec,
                static_cast<unsigned long long>(record.timestampNs % 1000000000ull / 1000));
  std::string guid = FormatGuid(record.series);
  auto name = descriptions.seriesNames.find(guid);
  std::string series = name != descriptions.seriesNames.end() ? name->second : "{" + guid + "}";
  std::cout << stamp << " " << record.processId << " " << record.threadId << " " << series << "#"
            << record.number << " ";
  auto description = descriptions.messages.find({guid, record.number});
  std::optional<std::string> text;
  if (description != descriptions.messages.end()) text = Render(description->second, record);
  if (text) {
    std::cout << *text;
  } else {
    std::cout << "raw";
    for (const auto& field : record.fields) std::cout << " " << Hex(field);
  }
  std::cout << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::cerr
        << "usage: tracewatch [--session-name NAME] [--flags N] [--level N] [--pid N] [--count N]"
           " [--seconds N] [--messages FILE]\n";
    return 2;
  }
  Descriptions descriptions;
  const bool described = LoadDescriptions(options.messagesFile, &descriptions);
  if (!described)
    std::cerr << "tracewatch: no message descriptions in " << options.messagesFile
              << "; printing raw\n";

  DWORD error = 0;
  auto session = TraceSession::Start(options.sessionName, &error);
  if (!session) {
    // What keeps the user's tracing folder from use, for the user to have mended.
    const std::string problem = error == ERROR_ACCESS_DENIED ? TraceFolderProblem() : "";
    std::cerr << "tracewatch: cannot start session " << options.sessionName << " (error " << error
              << ")" << (problem.empty() ? "" : ": ") << problem << "\n";
    return 1;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  if (options.flags != 0 &&
      session->EnableProvider(TraceControlGuid, static_cast<ULONG>(options.flags),
                              static_cast<UCHAR>(options.level)) != ERROR_SUCCESS) {
    std::cerr << "tracewatch: cannot enable the provider\n";
    return 1;
  }
  std::cerr << "tracewatch: session " << options.sessionName << " listening";
  if (described) std::cerr << ", messages described by " << options.messagesFile;
  std::cerr << std::endl;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
  long printed = 0;
  while (!g_stop && (options.count < 0 || printed < options.count)) {
    if (options.seconds >= 0 && std::chrono::steady_clock::now() >= deadline) break;
    auto record = session->Receive(std::chrono::milliseconds(200));
    if (!record ||
        (options.pid >= 0 && record->processId != static_cast<std::uint32_t>(options.pid)))
      continue;
    Print(descriptions, *record);
    ++printed;
  }
  return 0;
}
