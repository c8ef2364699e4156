#include "probe/common/files.h"

#include "platform/tool_system.h"
#include "probe/common/system_text.h"

namespace probe {

bool ReadNamedFile(const std::string& path, const char* what, std::size_t max_size,
                   std::string* full, std::string* bytes, std::string* error) {
  if (!quorvane::FullPathName(path, full)) {
    *error = std::string("bad path for ") + what + ": " + path;
    return false;
  }
  unsigned long code = 0;
  if (quorvane::ReadWholeFile(*full, max_size, bytes, &code)) return true;
  *error = std::string("cannot read ") + what + " " + *full + ": " + ErrorText(code);
  return false;
}

}  // namespace probe
