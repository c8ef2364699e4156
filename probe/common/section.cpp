#include "probe/common/section.h"

#include "config/profile_keys.h"
#include "probe/common/text.h"

namespace probe {

std::string SectionLines(const std::string& name, const SectionOffsets& offsets, bool commented) {
  const std::string start = commented ? "; " : "";
  std::string out = start + "[" + name + "]\n";
  for (int i = 0; i < 3; ++i) {
    if (offsets.given[i]) out += start + quorvane::kOffsetKeys[i] + "=" + Hex(offsets.value[i]) + "\n";
  }
  return out;
}

}  // namespace probe
