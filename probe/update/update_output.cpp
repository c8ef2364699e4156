#include <map>

#include "probe/common/section.h"
#include "probe/common/text.h"
#include "probe/update/update_report.h"
#include "probe/walk/walk_output.h"

namespace probe {

namespace {

namespace sig = quorvane::signatures;

// The text buffer's text is shown up to this many bytes.
constexpr std::size_t kShownText = 48;

void Line(std::string* out, const std::string& text) {
  *out += text.empty() ? ";\n" : "; " + text + "\n";
}

// "signature 3 (ObjectDataOffset at RVA 0x00001234 when signed: mov ...)"
std::string SignatureName(const UpdateReport& r, std::size_t index) {
  const sig::Signature& s = r.file.signatures[index];
  return Format("signature %u (", static_cast<unsigned>(index + 1)) + sig::OffsetName(s.offset) +
         " at RVA " + Hex(s.rva) + " when signed: " + s.instruction + ")";
}

std::string OffsetLine(const UpdateReport& r, int i) {
  const sig::OffsetVerdict& v = r.verdict.per[i];
  const std::string value = v.given ? Hex(v.value) : "not given";
  return Format("%-17s  %-10s (was %s): %u signatures, %u matched, %u agree, %u disagree",
                sig::OffsetName(static_cast<sig::Offset>(i)), value.c_str(),
                Hex(r.file.offsets.value[i]).c_str(), static_cast<unsigned>(v.signatures),
                static_cast<unsigned>(v.matched), static_cast<unsigned>(v.agreed),
                static_cast<unsigned>(v.disagreed)) +
         (v.given ? "" : ": " + v.why);
}

// The signatures of offset `o` that did not count or read different
// values, by what they did: "1 2 7 read 0x1A58; 5 reads 0x1D28; 3 4
// matched nowhere; 9 matched more than once".
std::string WhichSignatures(const UpdateReport& r, sig::Offset o) {
  std::map<std::uint32_t, std::vector<std::size_t>> reads;
  std::vector<std::size_t> nowhere, several;
  for (std::size_t k = 0; k < r.file.signatures.size(); ++k) {
    if (r.file.signatures[k].offset != o) continue;
    const sig::SignatureMatch& m = r.matching.matches[k];
    (m.count == 0 ? nowhere : m.count > 1 ? several : reads[m.value]).push_back(k + 1);
  }
  const auto numbers = [](const std::vector<std::size_t>& list) {
    std::string text;
    for (const std::size_t n : list) text += (text.empty() ? "" : " ") + std::to_string(n);
    return text;
  };
  std::vector<std::string> parts;
  if (reads.size() > 1) {
    for (const auto& [value, list] : reads) {
      parts.push_back(numbers(list) + (list.size() == 1 ? " reads " : " read ") +
                      Format("0x%X", static_cast<unsigned>(value)));
    }
  }
  if (!nowhere.empty()) parts.push_back(numbers(nowhere) + " matched nowhere");
  if (!several.empty()) parts.push_back(numbers(several) + " matched more than once");
  return Join(parts, "; ");
}

void TextSection(const UpdateReport& r, std::string* out) {
  const bool given = r.SectionGiven();
  if (!given) {
    *out += "; No section: the host's code does not give every offset, or the live check "
            "refuses them.\n";
  }
  SectionOffsets found;
  for (int i = 0; i < sig::kOffsetCount; ++i) {
    found.value[i] = r.verdict.per[i].value;
    found.given[i] = r.verdict.per[i].given;
  }
  *out += SectionLines(r.options.section, found, !given);
  if (given && !r.module.live) {
    Line(out, "Not checked against a running host: read from the module file alone. Check the "
              "section with quorvane-probe PROFILE PID once that release runs.");
  }
}

void TextSource(const UpdateReport& r, std::string* out) {
  const sig::PeImage& image = r.module.image;
  if (r.module.live) {
    Line(out, Format("quorvane-probe update in process %u", static_cast<unsigned>(r.process.pid)) +
                  (r.process.name.empty() ? "" : " (" + r.process.name + ")") + ": " +
                  LuaEscape(r.file.module) + " at " + Hex(r.module.base) +
                  Format(", 0x%X bytes", static_cast<unsigned>(r.module.size)));
  } else {
    Line(out, "quorvane-probe update of the module file " + r.module.path + ": preferred base " +
                  Hex(image.image_base) +
                  Format(", 0x%X bytes", static_cast<unsigned>(image.size_of_image)));
  }
  const bool same = image.time_date_stamp != 0 && image.time_date_stamp == r.file.time_date_stamp;
  Line(out, BuildText(image.time_date_stamp, image.file_version) +
                (same ? " (as when signed: the same build?)" : "") + "; " + ImageSummary(image));
  Line(out, "signatures: " + r.signatures_path +
                Format(": %u of ", static_cast<unsigned>(r.file.signatures.size())) +
                LuaEscape(r.file.module) + ", section " + LuaQuote(r.file.section) +
                " (" + BuildText(r.file.time_date_stamp, r.file.file_version) + ")");
  Line(out, Format("matched in one pass over the code in %.1f ms", r.seconds * 1000));
}

void TextOffsets(const UpdateReport& r, std::string* out) {
  for (int i = 0; i < sig::kOffsetCount; ++i) {
    Line(out, "");
    Line(out, OffsetLine(r, i));
    for (std::size_t k = 0; k < r.file.signatures.size(); ++k) {
      if (static_cast<int>(r.file.signatures[k].offset) != i) continue;
      const std::string why = SignatureWhy(r, k);
      if (!why.empty()) Line(out, "  " + SignatureName(r, k) + ": " + why);
    }
  }
}

std::string Shown(const std::string& text) {
  return text.size() <= kShownText ? LuaQuote(text) : LuaQuote(text.substr(0, kShownText)) + "...";
}

void TextLiveCheck(const UpdateReport& r, std::string* out) {
  Line(out, "");
  if (!r.live.Passed()) {
    Line(out, "live check: not passed");
    for (const std::string& problem : r.live.problems) Line(out, "  " + problem);
    return;
  }
  Line(out, "live check: types " + TypeList(r.live.reached) +
                " reach a plausible record (each that had one when signed does)");
  Line(out, "  the text buffer holds " + Shown(r.live.buffer_text) +
                " and starts where a buffer starts");
}

}  // namespace

std::string SignatureWhy(const UpdateReport& r, std::size_t index) {
  for (const sig::SignatureFailure& f : r.verdict.failures) {
    if (f.signature == index) return f.why;
  }
  return "";
}

const char* SignatureResult(const UpdateReport& r, std::size_t index) {
  const sig::SignatureMatch& m = r.matching.matches[index];
  if (m.count == 0) return "matched_nowhere";
  if (m.count > 1) return "matched_more_than_once";
  const sig::OffsetVerdict& v = r.verdict.per[static_cast<int>(r.file.signatures[index].offset)];
  if (v.disagreed > 0) return "disagrees";
  return v.given ? "agrees" : "matched";
}

std::vector<std::string> UpdateReasons(const UpdateReport& r) {
  std::vector<std::string> reasons;
  if (r.SectionGiven()) {
    if (!r.module.live) {
      reasons.push_back("not checked against a running host: check the section with "
                        "quorvane-probe PROFILE PID once that release runs");
    }
    return reasons;
  }
  for (int i = 0; i < sig::kOffsetCount; ++i) {
    const sig::OffsetVerdict& v = r.verdict.per[i];
    if (v.given) continue;
    const std::string which = WhichSignatures(r, static_cast<sig::Offset>(i));
    reasons.push_back(std::string(sig::OffsetName(static_cast<sig::Offset>(i))) +
                      ": not given: " + v.why + (which.empty() ? "" : "; signatures " + which));
  }
  for (const std::string& problem : r.live.problems) reasons.push_back("live check: " + problem);
  reasons.push_back("no section: find the offsets with markers instead (quorvane-probe find "
                    "--help says how)");
  return reasons;
}

std::string UpdateTextOutput(const UpdateReport& r) {
  std::string out;
  TextSection(r, &out);
  TextSource(r, &out);
  TextOffsets(r, &out);
  if (r.live_checked) {
    TextLiveCheck(r, &out);
    out += CommentedWalks(r.walks, r.table);
  }
  return out;
}

}  // namespace probe
