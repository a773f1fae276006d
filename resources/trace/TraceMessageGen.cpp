// Writes the trace message descriptions (see README.md in this folder) from
// the series and message rows, which are compiled into this program.
//
// Usage: trace_message_gen <output file>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"
#include "resources/trace/TraceFlags.h"
#include "resources/trace/TraceKinds.h"

namespace {

using namespace TraceKindNames;

enum SeriesIndex {
#define TRACE_SERIES(name, ...) SeriesIndex_##name,
#include "resources/trace/Series.def"
#undef TRACE_SERIES
};

struct SeriesRow {
  const char* name;
  const char* guid;
};
const SeriesRow kSeries[] = {
#define TRACE_SERIES(name, text, ...) {#name, text},
#include "resources/trace/Series.def"
#undef TRACE_SERIES
};

struct MessageRow {
  SeriesIndex series;
  int number;
  ULONG flag;
  const char* flagName;
  const char* text;
  std::vector<TraceKind> kinds;
  const char* file;
};
const MessageRow kMessages[] = {
#define TRACE_MESSAGE(series, number, name, flag, text, ...) \
  {SeriesIndex_##series, number, flag, #flag, text, {__VA_ARGS__}, __FILE__},
#include "resources/trace/TraceMessageFiles.inc"
#undef TRACE_MESSAGE
};

// An empty string when the row is sound, else what is wrong with it.
std::string CheckRow(const MessageRow& row) {
  if (row.number < 0 || row.number > 0xFFFF) return "number out of range";
  if (row.flag != TRACE_FLAG_ERROR && row.flag != TRACE_FLAG_HRESULT_ERROR &&
      row.flag != TRACE_FLAG_INFO && row.flag != TRACE_FLAG_FUNCTION)
    return "flag is not one trace flag";
  if (row.kinds.size() > TRACE_MAX_VALUES)
    return "more than " + std::to_string(TRACE_MAX_VALUES) + " values";
  std::string text = row.text;
  if (text.find_first_of("\t\r\n") != std::string::npos) return "text holds a tab or line break";
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '%' || text[i + 1] < '0' || text[i + 1] > '9') continue;
    std::size_t end = i + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    unsigned long index = std::stoul(text.substr(i + 1, end - i - 1));
    if (index == 0 || index > row.kinds.size())
      return "text names %" + std::to_string(index) + " beyond the values";
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: trace_message_gen <output file>\n";
    return 2;
  }
  std::map<std::pair<int, int>, const MessageRow*> ordered;
  bool ok = true;
  for (const MessageRow& row : kMessages) {
    std::string problem = CheckRow(row);
    if (problem.empty() &&
        !ordered.emplace(std::make_pair(static_cast<int>(row.series), row.number), &row).second)
      problem = "number used twice in its series";
    if (!problem.empty()) {
      std::cerr << row.file << ": " << kSeries[row.series].name << " " << row.number << ": "
                << problem << "\n";
      ok = false;
    }
  }
  if (!ok) return 1;

  std::ofstream out(argv[1], std::ios::trunc);
  out << "# Trace message descriptions, generated from resources/trace/*.def.\n";
  for (const SeriesRow& series : kSeries)
    out << "series\t" << series.guid << "\t" << series.name << "\n";
  for (const auto& [key, row] : ordered) {
    out << "message\t" << kSeries[row->series].guid << "\t" << row->number << "\t" << row->flagName
        << "\t";
    if (row->kinds.empty()) out << "-";
    for (std::size_t i = 0; i < row->kinds.size(); ++i)
      out << (i ? "," : "") << TraceKindName(row->kinds[i]);
    out << "\t" << row->text << "\n";
  }
  out.close();
  if (!out) {
    std::cerr << "trace_message_gen: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
