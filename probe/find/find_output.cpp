#include "probe/find/find_output.h"

#include "probe/common/section.h"
#include "probe/common/text.h"
#include "probe/find/find_reasons.h"
#include "probe/walk/walk_output.h"

namespace probe {

namespace {

using finder::Candidate;
using finder::ChangeWatch;
using finder::FindResult;
using finder::Outcome;
using finder::Reading;
using finder::Settled;
using finder::WatchedPlace;

// Candidates, hits and watched places shown; the JSON has them all.
constexpr std::size_t kShownCandidates = 8;
constexpr std::size_t kShownHits = 8;
constexpr std::size_t kShownPlaces = 8;

void Line(std::string* out, const std::string& text) {
  *out += text.empty() ? ";\n" : "; " + text + "\n";
}

void MoreLine(std::string* out, std::size_t shown, std::size_t total) {
  if (total > shown)
    Line(out,
         Format("  ... %u more (--json lists them all)", static_cast<unsigned>(total - shown)));
}

// The section as it goes into a profile; every line a comment when
// something asked for was not found, followed by the reasons.
void TextSection(const FindReport& r, std::string* out) {
  const bool complete = r.reasons.empty();
  if (!complete) *out += "; No section: something asked for was not found or is ambiguous.\n";
  const SectionOffsets found{
      {r.table.object_address_list, r.table.object_data_offset, r.table.text_buffer_address},
      {r.object_found, r.object_found, r.buffer_found}};
  *out += SectionLines(r.options.section, found, !complete);
  for (const std::string& reason : r.reasons) Line(out, reason);
}

void TextScan(const FindReport& r, std::string* out) {
  const FindResult& f = r.result;
  Line(out, Format("quorvane-probe find in process %u%s: %s at 0x%08X, image 0x%X bytes",
                   static_cast<unsigned>(r.process.pid),
                   r.process.name.empty() ? "" : (" (" + r.process.name + ")").c_str(),
                   LuaEscape(r.module).c_str(), static_cast<unsigned>(f.module_base),
                   static_cast<unsigned>(f.module_size)));
  Line(out,
       Format("scanned %.1f MiB of readable memory in %u regions (%.1f MiB read in all) in %.1f s",
              Mib(f.total_bytes), static_cast<unsigned>(f.regions), Mib(f.bytes_read), r.seconds) +
           (f.lost_bytes > 0 ? Format("; %.1f KiB listed as readable could not be read",
                                      static_cast<double>(f.lost_bytes) / 1024.0)
                             : ""));
}

// Each --text marker's hits; how many there were in all.
std::size_t TextMarkerHits(const FindReport& r, std::string* out) {
  std::size_t hits = 0;
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    const MarkerInfo& m = r.markers[k];
    const finder::MarkerHits& found = r.result.object_hits[k];
    hits += found.hits.size();
    Line(out, "");
    Line(out, MarkerTitle(m) + Format(": %u hit%s%s", static_cast<unsigned>(found.hits.size()),
                                      found.hits.size() == 1 ? "" : "s",
                                      found.cut ? " (more not kept)" : ""));
    for (std::size_t i = 0; i < found.hits.size() && i < kShownHits; ++i) {
      const finder::MarkerHit& h = found.hits[i];
      Line(out, Format("  at 0x%08X: record 0x%08X%s", static_cast<unsigned>(h.address),
                       static_cast<unsigned>(h.address - m.field_offset),
                       h.in_module ? " (in the module's image)" : ""));
    }
    MoreLine(out, kShownHits, found.hits.size());
  }
  return hits;
}

void TextPointers(const FindResult& f, std::string* out) {
  Line(out, Format("pointers to those records: %u%s", static_cast<unsigned>(f.pointers.size()),
                   f.pointers_cut ? " (more not kept)" : ""));
  for (std::size_t i = 0; i < f.pointers.size() && i < kShownHits; ++i) {
    Line(out, Format("  at 0x%08X -> 0x%08X", static_cast<unsigned>(f.pointers[i].address),
                     static_cast<unsigned>(f.pointers[i].record)));
  }
  MoreLine(out, kShownHits, f.pointers.size());
}

// A candidate in two lines: its offsets and score, and the hops from its slot.
void TextCandidate(const FindReport& r, std::size_t i, std::string* out) {
  const FindResult& f = r.result;
  const Candidate& c = f.candidates[i];
  const std::string reach = r.markers.size() > 1 ? Format(", reaches %u of %u markers",
                                                          static_cast<unsigned>(c.markers.size()),
                                                          static_cast<unsigned>(r.markers.size()))
                                                 : "";
  Line(out,
       Format("  %s ObjectAddressList=0x%08X ObjectDataOffset=0x%08X  score %d: %d plausible, "
              "%d implausible, %d unreadable, %d empty, %d zero or without fields%s",
              i < f.object_contenders ? "*" : " ", static_cast<unsigned>(c.list),
              static_cast<unsigned>(c.data_offset), c.score, c.Count(Outcome::kPlausible),
              c.Count(Outcome::kImplausible), c.Count(Outcome::kUnreadable),
              c.Count(Outcome::kEmptySlot) + c.Count(Outcome::kNoRecord),
              c.Count(Outcome::kNoEvidence), reach.c_str()));
  const std::int32_t type = r.markers[static_cast<std::size_t>(c.markers.front())].type;
  Line(out, Format("      slot 0x%08X (module + 0x%08X + 4 x %d) -> structure 0x%08X; record "
                   "pointer 0x%08X (structure + 0x%X) -> record 0x%08X",
                   static_cast<unsigned>(c.slot), static_cast<unsigned>(c.list),
                   static_cast<int>(type), static_cast<unsigned>(c.structure),
                   static_cast<unsigned>(c.pointer), static_cast<unsigned>(c.data_offset),
                   static_cast<unsigned>(c.record)));
}

void TextCandidates(const FindReport& r, std::string* out) {
  const FindResult& f = r.result;
  Line(out, Format("(list, offset) candidates from slots in the image: %u%s; score = types that "
                   "decode plausibly - those that do not",
                   static_cast<unsigned>(f.candidates.size()),
                   f.candidates_cut ? " (more not kept)" : ""));
  for (std::size_t i = 0; i < f.candidates.size() && i < kShownCandidates; ++i) {
    TextCandidate(r, i, out);
  }
  MoreLine(out, kShownCandidates, f.candidates.size());
  if (f.object_contenders > 1) Line(out, "  * scores alike: no clear winner");
}

// The markers' hits, the pointers to their records, the candidates.
void TextObjectEvidence(const FindReport& r, std::string* out) {
  if (TextMarkerHits(r, out) == 0) return;
  TextPointers(r.result, out);
  if (!r.result.candidates.empty()) TextCandidates(r, out);
}

void TextBufferEvidence(const FindReport& r, std::string* out) {
  const FindResult& f = r.result;
  Line(out, "");
  Line(out,
       Format("buffer marker %s (UTF-16): %u hit%s, %u in the image",
              LuaQuote(r.options.buffer_text).c_str(), static_cast<unsigned>(f.buffer_hits.size()),
              f.buffer_hits.size() == 1 ? "" : "s", static_cast<unsigned>(f.buffers.size())));
  for (std::size_t i = 0; i < f.buffers.size() && i < kShownCandidates; ++i) {
    const finder::BufferCandidate& b = f.buffers[i];
    Line(out, Format("  %s at 0x%08X: TextBufferAddress=0x%08X%s%s",
                     i < f.buffer_contenders ? "*" : " ",
                     static_cast<unsigned>(b.address), static_cast<unsigned>(b.offset),
                     b.starts ? "" : " (text before it)", b.terminated ? "" : " (text after it)"));
  }
  MoreLine(out, kShownCandidates, f.buffers.size());
}

std::string ReadingText(const ChangeAsk& ask, const WatchedPlace& p) {
  switch (p.reading) {
    case Reading::kNew: return "now reads " + LuaQuote(ask.to) + Format(" at 0x%08X", p.at);
    case Reading::kOld: return "still reads " + LuaQuote(ask.from) + Format(" at 0x%08X", p.at);
    case Reading::kOther: return Format("reads another text at 0x%08X", p.at);
    case Reading::kUnreadable:
      return p.at == 0 ? std::string("leads to no record")
                       : Format("cannot be read at 0x%08X", p.at);
  }
  return "?";
}

// The places watched: the contenders, and the candidates ranked lower that
// changed when no contender did (the evidence of a conflict); the rest
// counted.
void TextWatchedPlaces(const ChangeAsk& ask, const ChangeWatch& watch, const FindResult& result,
                       std::string* out) {
  const bool conflict = watch.settled() == Settled::kConflict;
  std::size_t shown = 0, rest = 0, rest_changed = 0;
  for (const WatchedPlace& p : watch.places()) {
    const bool changed = p.reading == Reading::kNew;
    if (!p.contender && !(conflict && changed && shown < kShownPlaces)) {
      ++rest;
      rest_changed += changed ? 1 : 0;
      continue;
    }
    shown += p.contender ? 0 : 1;
    Line(out, std::string("  ") + (p.contender ? "*" : " ") + " " +
                  WatchedPlaceText(watch, result, p.index) +
                  (p.contender ? "" : " (ranked lower)") + "  " + ReadingText(ask, p));
  }
  if (rest > 0) {
    Line(out, Format("  ... %u more watched, ranked lower, %u of them now reading ",
                     static_cast<unsigned>(rest), static_cast<unsigned>(rest_changed)) +
                  LuaQuote(ask.to) + " (--json lists them all)");
  }
}

// The evidence of each change asked for.
void TextChanges(const FindReport& r, std::string* out) {
  const ChangeResults& change = r.change;
  for (const auto& [ask, watch] : AskedWatches(change)) {
    if (!ask.asked) continue;
    Line(out, "");
    std::string title = "change of " + LuaQuote(ask.from) + " to " + LuaQuote(ask.to) + " (" +
                        ask.where + ")";
    if (watch.settled() != Settled::kNotWatched) {
      title += ": watched " + WatchedCount(watch.places().size(), watch.objects()) +
               Format(" for %.1f s", static_cast<double>(watch.elapsed_ms()) / 1000.0);
    }
    Line(out, title);
    TextWatchedPlaces(ask, watch, r.result, out);
    Line(out, ChangeSummary(ask, watch, r.result, change.wait_seconds));
  }
}

}  // namespace

std::string FindTextOutput(const FindReport& r) {
  std::string out;
  TextSection(r, &out);
  TextScan(r, &out);
  if (!r.markers.empty()) TextObjectEvidence(r, &out);
  if (r.options.has_buffer) TextBufferEvidence(r, &out);
  TextChanges(r, &out);
  if (!r.walks.empty()) out += CommentedWalks(r.walks, r.table);
  return out;
}

}  // namespace probe
