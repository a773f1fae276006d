// The crypto library's error queue of the calling thread, as the tests read it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// One entry of the queue.
struct ErrorEntry {
  int lib = 0;
  int reason = 0;
  std::string data;         // the entry's text data, "" without one
  std::optional<int> func;  // from data of the form "func=<code>"
};

// Takes every entry off the queue, oldest first.
std::vector<ErrorEntry> DrainErrors();

}  // namespace testsupport
