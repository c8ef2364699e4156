#include "probe/find/find_reasons.h"

#include <vector>

#include "probe/common/text.h"

namespace probe {

using finder::Answer;
using finder::ChangeWatch;
using finder::FindResult;
using finder::Settled;
using finder::WatchedPlace;

namespace {

std::string QuotedList(const std::vector<std::string>& texts) {
  std::string out;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    out += (i == 0 ? "" : i + 1 == texts.size() ? " and " : ", ") + LuaQuote(texts[i]);
  }
  return out;
}

std::string LostReason(std::uint64_t bytes) {
  return Format(
      "%.1f KiB of memory that the memory map listed as readable could not be read when the "
      "scan came to it (freed or protected since), and the evidence may have been there: "
      "run find again",
      static_cast<double>(bytes) / 1024.0);
}

// A marker too common: those whose hits were cut, by name; or, when the
// pointers or candidates were cut, the marker.
std::string TooCommon(const std::vector<std::string>& common) {
  return Format("the marker %s too common (more than %u hits, %u pointers or %u candidates "
                "kept): choose a longer, rarer one",
                (common.empty() ? std::string("is")
                                : QuotedList(common) + (common.size() == 1 ? " is" : " are"))
                    .c_str(),
                static_cast<unsigned>(finder::kMaxMarkerHits),
                static_cast<unsigned>(finder::kMaxPointers),
                static_cast<unsigned>(finder::kMaxCandidates));
}

// Where the chain from the markers to a list slot broke off.
std::string ObjectMissing(const FindReport& r) {
  const FindResult& f = r.result;
  std::vector<std::string> missing;
  std::size_t hits = 0;
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    if (f.object_hits[k].hits.empty()) missing.push_back(r.markers[k].text);
    hits += f.object_hits[k].hits.size();
  }
  const MarkerInfo& first = r.markers.front();
  switch (f.object_missing) {
    case finder::Missing::kNoMarker:
      return (missing.size() == 1 ? "the marker " : "the markers ") + QuotedList(missing) +
             Format(" %s nowhere in the %.1f MiB of readable memory",
                    missing.size() == 1 ? "is" : "are", Mib(f.total_bytes)) +
             ": check that the host shows an object of type " + std::to_string(first.type) +
             " whose " + first.field + " is exactly the marker and that it is the current one";
    case finder::Missing::kNoPointer:
      return Format(
          "the markers were found %u times, but no 4-aligned pointer leads to a record around "
          "them (marker - field offset): check --type and --field, and that the objects are "
          "the current ones",
          static_cast<unsigned>(hits));
    case finder::Missing::kNoSlot:
      return Format(
          "%u pointers to the markers' records were found, but no word of %s's image points up "
          "to 0x%X bytes below one: check --module, or try a larger --max-offset",
          static_cast<unsigned>(f.pointers.size()), LuaEscape(r.module).c_str(),
          static_cast<unsigned>(r.options.max_offset));
    case finder::Missing::kNoPlausible:
      return "no candidate decodes the records plausibly; see the candidates listed";
    case finder::Missing::kNone: break;
  }
  return "not found";
}

// The first watched place that reads the new text, the contenders first.
const WatchedPlace* FirstChanged(const ChangeWatch& watch, bool contender) {
  for (const WatchedPlace& p : watch.places()) {
    if (p.contender == contender && p.reading == finder::Reading::kNew) return &p;
  }
  return nullptr;
}

// The summary of a conflict: no contender changed, one ranked lower did.
std::string ConflictSummary(const ChangeAsk& ask, const ChangeWatch& watch,
                            const FindResult& result, const std::string& alike) {
  const WatchedPlace* lower = FirstChanged(watch, false);
  const std::string was =
      watch.contenders() == 1
          ? "the scan's answer " + WatchedPlaceText(watch, result, watch.places().front().index) +
                " did not change"
          : "none of the " + alike + " changed";
  return "conflict: " + was + ", but " + WatchedPlaceText(watch, result, lower->index) +
         ", which the scan ranked lower, now reads " + LuaQuote(ask.to) +
         "; a change never overrules the scan";
}

}  // namespace

std::string MarkerTitle(const MarkerInfo& m) {
  return Format("text marker %s (%s, type %d field \"%s\", record + %u)", LuaQuote(m.text).c_str(),
                m.wide ? "UTF-16" : "ANSI", static_cast<int>(m.type), m.field,
                static_cast<unsigned>(m.field_offset));
}

std::string ObjectReason(const FindReport& r) {
  const FindResult& f = r.result;
  const std::string pair = "ObjectAddressList and ObjectDataOffset: ";
  std::vector<std::string> common;
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    if (f.object_hits[k].cut) common.push_back(r.markers[k].text);
  }
  if (!common.empty() || f.pointers_cut || f.candidates_cut) return pair + TooCommon(common);
  if (f.lost_bytes > 0) return pair + LostReason(f.lost_bytes);
  if (f.object_answer == Answer::kAmbiguous) {
    return pair + Format(
                      "%u candidates score alike (best %d, next %d); none picked: "
                      "see the candidates listed first",
                      static_cast<unsigned>(f.object_contenders), f.candidates[0].score,
                      f.candidates[1].score);
  }
  return pair + ObjectMissing(r);
}

std::string BufferReason(const FindReport& r) {
  const FindResult& f = r.result;
  const std::string head = "TextBufferAddress: ";
  if (f.buffer_hits_cut) {
    return head + "the buffer marker " + LuaQuote(r.options.buffer_text) +
           Format(" is too common (more than %u hits kept): choose a longer, rarer one",
                  static_cast<unsigned>(finder::kMaxMarkerHits));
  }
  if (f.lost_image_bytes > 0) return head + LostReason(f.lost_image_bytes);
  if (f.buffer_text_before) {
    const finder::BufferCandidate& b = f.buffers.front();
    return head + "the buffer marker " + LuaQuote(r.options.buffer_text) +
           Format(" has something other than a NUL unit right before it (at 0x%08X, module + "
                  "0x%X): text typed before it, or a variable the buffer follows; which, the "
                  "memory does not say: clear the buffer, type the marker alone and run find "
                  "again",
                  static_cast<unsigned>(b.address), static_cast<unsigned>(b.offset));
  }
  if (f.buffer_answer == Answer::kAmbiguous) {
    return head + Format("%u places in %s's image hold the buffer marker alike; none picked",
                         static_cast<unsigned>(f.buffer_contenders), LuaEscape(r.module).c_str());
  }
  std::size_t elsewhere = 0;
  for (const finder::MarkerHit& h : f.buffer_hits) elsewhere += h.in_module ? 0 : 1;
  std::string reason =
      head + "the buffer marker " + LuaQuote(r.options.buffer_text) +
      Format(" is not in %s's image (0x%08X, 0x%X bytes)", LuaEscape(r.module).c_str(),
             static_cast<unsigned>(f.module_base), static_cast<unsigned>(f.module_size));
  if (elsewhere > 0) {
    return reason + Format(
                        ", only %u times elsewhere: type it where the host keeps its text "
                        "buffer, not in another text",
                        static_cast<unsigned>(elsewhere));
  }
  return reason + ": check that it is typed in the host's text buffer, exactly";
}

std::string WatchedPlaceText(const ChangeWatch& watch, const FindResult& result, std::size_t index) {
  if (watch.objects()) {
    const finder::Candidate& c = result.candidates[index];
    return Format("ObjectAddressList=0x%08X ObjectDataOffset=0x%08X",
                  static_cast<unsigned>(c.list), static_cast<unsigned>(c.data_offset));
  }
  return Format("TextBufferAddress=0x%08X", static_cast<unsigned>(result.buffers[index].offset));
}

std::string WatchedCount(std::size_t n, bool objects) {
  const char* what = objects ? "candidate" : "place";
  return Format("%u %s%s", static_cast<unsigned>(n), what, n == 1 ? "" : "s");
}

std::string ChangePrompt(const ChangeAsk& ask, const ChangeWatch& watch,
                         std::uint32_t wait_seconds) {
  return "now change " + LuaQuote(ask.from) + " to " + LuaQuote(ask.to) + " in the host (" +
         ask.where + "); watching " + WatchedCount(watch.places().size(), watch.objects()) +
         Format(" for up to %u s", static_cast<unsigned>(wait_seconds));
}

std::string ChangeSummary(const ChangeAsk& ask, const ChangeWatch& watch, const FindResult& result,
                          std::uint32_t wait_seconds) {
  const bool objects = watch.objects();
  const std::string alike = WatchedCount(watch.contenders(), objects) + " the scan left alike";
  switch (watch.settled()) {
    case Settled::kChosen:
      return "settled by the change: of the " + alike + ", only " +
             WatchedPlaceText(watch, result, watch.answer()) + " now reads " + LuaQuote(ask.to);
    case Settled::kConfirmed:
      return "the change confirms the scan's answer: " +
             WatchedPlaceText(watch, result, watch.answer()) + " now reads " + LuaQuote(ask.to);
    case Settled::kSeveral:
      return Format("%u %s changed", static_cast<unsigned>(watch.changed_contenders()),
                    objects ? "candidates" : "places") +
             " to " + LuaQuote(ask.to) + " (of the " + alike + "): the change separates nothing";
    case Settled::kConflict: return ConflictSummary(ask, watch, result, alike);
    case Settled::kNoChange:
      return Format("no %s changed in %u s: none of the %u watched reads ",
                    objects ? "candidate" : "place", static_cast<unsigned>(wait_seconds),
                    static_cast<unsigned>(watch.places().size())) +
             LuaQuote(ask.to);
    case Settled::kNotWatched:
      return watch.unwatched() == finder::Unwatched::kEvidenceCut
                 ? std::string("not watched: evidence was dropped at a cap, and what the "
                               "change would pick among may miss the live one")
                 : std::string("not watched: the scan left no candidate to settle");
    case Settled::kWatching: break;
  }
  return "still watching";
}

std::string ChangeReason(const ChangeAsk& ask, const ChangeWatch& watch, const FindResult& result,
                         std::uint32_t wait_seconds, const std::string& head) {
  switch (watch.settled()) {
    case Settled::kSeveral:
    case Settled::kConflict:
    case Settled::kNoChange: break;
    default: return "";
  }
  if (!ask.asked) return "";
  std::string advice;
  if (watch.settled() == Settled::kNoChange) {
    advice = "change " + LuaQuote(ask.from) + " to " + LuaQuote(ask.to) + " in the host (" +
             ask.where + ") while the probe watches (--wait gives more time)";
  } else if (watch.settled() == Settled::kConflict) {
    advice = "check that the change was made in the current object, not in a copy";
  } else {
    advice = "see the candidates listed";
  }
  return head + ChangeSummary(ask, watch, result, wait_seconds) + "; none picked: " + advice;
}

}  // namespace probe
