#include "probe/common/command.h"

#include <cstdio>

namespace probe {

void Note(const std::string& message) {
  std::fprintf(stderr, "quorvane-probe: %s\n", message.c_str());
  std::fflush(stderr);
}

int Fail(const std::string& message) {
  Note(message);
  return kExitCannot;
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace probe
