// The probe's system services for the fuzz targets: texts only. The ANSI
// code page is Latin-1, like the fake platform's WideToAnsi, or a model of
// code page 932's byte structure (fuzz_support.h). Nothing else of
// platform/tool_system.h is used by what the targets link.
#include <string>

#include "fuzz_support.h"
#include "platform/tool_system.h"

namespace quorvane {

std::u16string AnsiToWide(const std::string& ansi) {
  return fuzz::DecodeAnsi(ansi);
}

std::string WideToUtf8(const std::u16string& wide) {
  std::string out;
  out.reserve(3 * wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    unsigned code = wide[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (wide[++i] - 0xDC00u);
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;  // an unpaired surrogate, as the system replaces it
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::string SystemErrorMessage(unsigned long error) {
  return "fake system error " + std::to_string(error) + ".\r\n";
}

}  // namespace quorvane
