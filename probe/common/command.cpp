#include "probe/common/command.h"

#include <cstdio>

namespace probe {

int Fail(const std::string& message) {
  std::fprintf(stderr, "quorvane-probe: %s\n", message.c_str());
  return kExitCannot;
}

}  // namespace probe
