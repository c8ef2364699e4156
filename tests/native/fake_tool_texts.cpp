// The probe's system services as the native tests of its commands use them:
// texts in Latin-1 (the fake platform's ANSI code page), whole files from
// the build machine's file system, paths taken as they are.
#include <fstream>
#include <iterator>
#include <string>

#include "platform/tool_system.h"

namespace quorvane {

std::u16string AnsiToWide(const std::string& ansi) {
  std::u16string wide;
  for (const char c : ansi) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  return wide;
}

std::string WideToUtf8(const std::u16string& wide) {
  std::string out;
  for (const char16_t unit : wide) {
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | unit >> 6);
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | unit >> 12);
      out += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

std::string SystemErrorMessage(unsigned long error) {
  return "fake system error " + std::to_string(error) + ".";
}

bool FullPathName(const std::string& path, std::string* full) {
  *full = path;
  return !path.empty();
}

bool ReadWholeFile(const std::string& path, std::size_t max_size, std::string* bytes,
                   unsigned long* error) {
  std::ifstream in(path, std::ios::binary);
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  *error = !in.good() && !in.eof() ? 2 : 223;
  return in.good() || (in.eof() && bytes->size() <= max_size);
}

}  // namespace quorvane
