// The process entry: hands the arguments and the environment to wmain as
// UTF-16 and returns its result as the exit status.
#include <csignal>
#include <string>
#include <vector>

#include "platform/Crt.h"
#include "platform/Unicode.h"

extern char** environ;

int wmain(int argc, char16_t** argv, char16_t** envp);

namespace {

// The texts as UTF-16 and a null-terminated array of pointers to them.
class WideTexts {
 public:
  explicit WideTexts(char* const* texts) {
    for (; texts != nullptr && *texts != nullptr; ++texts) texts_.push_back(Utf8ToUtf16(*texts));
    for (auto& text : texts_) pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
  }
  char16_t** Pointers() { return pointers_.data(); }

 private:
  std::vector<std::u16string> texts_;
  std::vector<char16_t*> pointers_;
};

}  // namespace

// Before anything of the program opens a file, static objects included: a
// closed descriptor 0 or 1 keeps its number free of other files, and start-up
// then ends with -1 when it cannot set binary mode on it.
__attribute__((constructor(101))) static void ReserveStandardDescriptorsFirst() {
  ReserveStandardDescriptors();
}

int main(int argc, char** argv) {
  // A reader that has gone away must show up as EPIPE from a write, not end
  // the process.
  std::signal(SIGPIPE, SIG_IGN);
  WideTexts arguments(argv);
  WideTexts environment(environ);
  return wmain(argc, arguments.Pointers(), environment.Pointers());
}
