// The find's bracket check for the section name it prints, with any bytes as
// the name, in code page 932. The name is pasted into a profile as
// "[name]"; the system reads the profile in the ANSI code page, character by
// character. A name the check lets through must come back from that line
// whole: the line decodes to '[', the name's characters, ']', and none of
// those characters is a bracket or a line break; nor is any byte of it a
// line break (an editor or a console splits the line there, whatever the
// code page makes of the byte before). Any other name is never refused.
#include "fuzz_support.h"
#include "probe/common/system_text.h"

namespace {

bool Breaks(char16_t c) { return c == u'[' || c == u']' || c == u'\r' || c == u'\n'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::SetCodePage(fuzz::CodePage::k932);
  const std::string name(reinterpret_cast<const char*>(data), size);
  if (name.empty() || name.find('\0') != std::string::npos) return 0;  // no such argument
  const bool refused = probe::HasBracketOrBreak(name);

  const std::u16string line = fuzz::DecodeAnsi("[" + name + "]");
  const std::u16string alone = fuzz::DecodeAnsi(name);
  bool whole = line.size() == alone.size() + 2 && line.front() == u'[' && line.back() == u']' &&
               line.compare(1, alone.size(), alone) == 0;
  for (const char16_t c : alone) whole = whole && !Breaks(c);
  whole = whole && name.find_first_of("\r\n") == std::string::npos;
  FUZZ_CHECK(refused == !whole, refused ? "refused a name that reads back whole"
                                        : "let through a name whose line breaks");
  return 0;
}
