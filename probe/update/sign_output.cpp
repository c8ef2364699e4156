#include <algorithm>

#include "probe/common/text.h"
#include "probe/update/sign_report.h"

namespace probe {

namespace {

namespace sig = quorvane::signatures;

// The text buffer's text is shown up to this many bytes.
constexpr std::size_t kShownText = 48;
// Signatures not made, and problems of the check, shown; the rest counted.
constexpr std::size_t kShownLines = 8;

std::string Shown(const std::string& text) {
  return text.size() <= kShownText ? LuaQuote(text) : LuaQuote(text.substr(0, kShownText)) + "...";
}

void Lines(const std::vector<std::string>& lines, std::string* out) {
  for (std::size_t i = 0; i < lines.size() && i < kShownLines; ++i) *out += "  " + lines[i] + "\n";
  if (lines.size() > kShownLines) {
    *out += Format("  ... %u more\n", static_cast<unsigned>(lines.size() - kShownLines));
  }
}

void TextHeader(const SignReport& r, std::string* out) {
  const Report& c = r.check;
  *out += "Profile  " + c.profile.path + ", section " + LuaQuote(r.section) + "\n";
  *out += Format("Process  %u", static_cast<unsigned>(c.process.pid)) +
          (c.process.name.empty() ? "" : " (" + c.process.name + ")") + ": " +
          LuaEscape(c.profile.module) + " at " + Hex(r.module.base) +
          Format(", 0x%X bytes\n", static_cast<unsigned>(r.module.size));
}

void TextCheck(const SignReport& r, std::string* out) {
  const LiveCheck& live = r.live;
  if (!live.Passed()) {
    *out += "Check    the profile is not right for this host:\n";
    Lines(live.problems, out);
    return;
  }
  *out += "Check    types " + TypeList(live.reached) + " reach a plausible record";
  if (!live.without_fields.empty()) *out += " (" + TypeList(live.without_fields) + " without fields)";
  *out += "\n         the text buffer holds " + Shown(live.buffer_text) + "\n";
}

void TextModule(const SignReport& r, std::string* out) {
  const sig::PeImage& image = r.module.image;
  *out += "Module   " + BuildText(image.time_date_stamp, image.file_version) + "; " +
          ImageSummary(image) + "\n";
}

void TextOffsets(const SignReport& r, std::string* out) {
  const AddressTable& t = r.check.table;
  const std::uint32_t values[] = {t.object_address_list, t.object_data_offset,
                                  t.text_buffer_address};
  *out += "\n                   offset      references  signatures\n";
  for (int i = 0; i < sig::kOffsetCount; ++i) {
    const auto o = static_cast<sig::Offset>(i);
    *out += Format("%-17s  %s  %10u  %10u", sig::OffsetName(o), Hex(values[i]).c_str(),
                   static_cast<unsigned>(r.References(o)), static_cast<unsigned>(r.Signatures(o)));
    if (r.signing.left_out[i] > 0) {
      *out += Format("  (%u more references left out)", static_cast<unsigned>(r.signing.left_out[i]));
    }
    *out += "\n";
  }
  std::vector<std::string> not_signed;
  for (const sig::NotSigned& n : r.signing.not_signed) {
    not_signed.push_back(std::string(sig::OffsetName(n.reference.offset)) + " at RVA " +
                         Hex(n.reference.rva) + " not signed: " + n.why);
  }
  Lines(not_signed, out);
  if (r.references.undecided > 0) {
    *out += Format("  %u words that hold an offset lie where no instruction could be told apart\n",
                   static_cast<unsigned>(r.references.undecided));
  }
}

void TextWritten(const SignReport& r, std::string* out) {
  *out += Format("\nSigned: %u signatures in ", static_cast<unsigned>(r.signing.signatures.size())) +
          r.out;
  if (r.replaced) {
    *out += r.replaced_section.empty()
                ? " (replacing an earlier signature file)"
                : " (replacing the signatures of " + LuaQuote(r.replaced_section) + ")";
  }
  *out += "\nAfter the host's next update:\n  quorvane-probe update PID|EXE --signatures \"" +
          r.out + "\"\n";
}

}  // namespace

std::size_t SignReport::References(sig::Offset o) const {
  return static_cast<std::size_t>(
      std::count_if(references.references.begin(), references.references.end(),
                    [o](const sig::Reference& ref) { return ref.offset == o; }));
}

std::size_t SignReport::Signatures(sig::Offset o) const {
  return static_cast<std::size_t>(
      std::count_if(signing.signatures.begin(), signing.signatures.end(),
                    [o](const sig::Signature& s) { return s.offset == o; }));
}

std::string SignTextOutput(const SignReport& r) {
  std::string out;
  TextHeader(r, &out);
  TextCheck(r, &out);
  if (!r.checked) return out + "Not signed.\n";
  TextModule(r, &out);
  TextOffsets(r, &out);
  if (!r.written) return out + "\nNot signed: update needs all three offsets.\n";
  TextWritten(r, &out);
  return out;
}

}  // namespace probe
