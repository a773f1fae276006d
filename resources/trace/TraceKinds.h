// Kinds of the values of a trace message (see README.md in this folder).
#pragma once

#include <cstddef>

enum class TraceKind : unsigned char { INT32, HEX32, INT64, STR, WSTR };

// The most values one message carries.
constexpr std::size_t TRACE_MAX_VALUES = 8;

// The bare names the .def rows use for the kinds; code that expands rows
// brings them into scope with a using-directive.
namespace TraceKindNames {
inline constexpr TraceKind INT32 = TraceKind::INT32;
inline constexpr TraceKind HEX32 = TraceKind::HEX32;
inline constexpr TraceKind INT64 = TraceKind::INT64;
inline constexpr TraceKind STR = TraceKind::STR;
inline constexpr TraceKind WSTR = TraceKind::WSTR;
}  // namespace TraceKindNames

// The name of a kind in the .def rows and the description file.
constexpr const char* TraceKindName(TraceKind kind) {
  switch (kind) {
    case TraceKind::INT32: return "INT32";
    case TraceKind::HEX32: return "HEX32";
    case TraceKind::INT64: return "INT64";
    case TraceKind::STR: return "STR";
    case TraceKind::WSTR: return "WSTR";
  }
  return "?";
}
