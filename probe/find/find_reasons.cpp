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
      "scan or the scoring came to it (freed or protected since), and the evidence may have "
      "been there: run find again",
      static_cast<double>(bytes) / 1024.0);
}

// What each refusal says: after "but " for the one place that changed,
// after "not watched: " when it refuses every contender, and what to do.
struct RefusalWords {
  finder::Refusal refusal;
  const char* code;  // in the JSON
  const char* changed;
  const char* unwatched;
  const char* advice;
};
constexpr RefusalWords kRefusalWords[] = {
    {finder::Refusal::kNone, "", "", "", ""},
    {finder::Refusal::kMarkerNotReached, "marker_not_reached",
     "it does not reach every marker given", "no contender reaches every marker given",
     "see why a marker is not reached"},
    {finder::Refusal::kNotPlausible, "not_plausible", "the records do not decode plausibly under it",
     "no contender decodes the records plausibly", "see the candidates listed"},
    {finder::Refusal::kEvidenceCut, "evidence_cut",
     "evidence was dropped at a cap, and the live one may be among it",
     "evidence was dropped at a cap, and what the change would pick among may miss the live one",
     "choose a longer, rarer marker"},
    {finder::Refusal::kMemoryLost, "memory_lost",
     "memory was lost during the scan, and the live one may have been there",
     "memory that the memory map listed as readable could not be read during the scan, and "
     "what the change would pick among may miss the live one",
     "run find again"},
    {finder::Refusal::kSharedRecord, "shared_record",
     "another pointer of the same structure leads to the same record and scores alike: which "
     "of the two the host means as the current object, a change does not say",
     "the contenders are pointers of one structure to the same record: a change tells which "
     "place is live, not which of two pointers the host means",
     "give a second marker (--text MARKER --type N) in a record that only one of them reaches"},
    {finder::Refusal::kTextBefore, "text_before",
     "it has something other than a NUL unit right before the marker: a change tells which "
     "place is the buffer, not where the buffer starts",
     "the place left has something other than a NUL unit right before the marker: a change "
     "tells which place is the buffer, never where it starts",
     "clear the buffer, type the marker alone and run find again"},
};

const RefusalWords& WordsFor(finder::Refusal refusal) {
  for (const RefusalWords& words : kRefusalWords) {
    if (words.refusal == refusal) return words;
  }
  return kRefusalWords[0];
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

bool Reaches(const finder::Candidate& c, std::size_t k) {
  for (const int m : c.markers) {
    if (static_cast<std::size_t>(m) == k) return true;
  }
  return false;
}

// The markers given that the best candidate does not reach: the first one
// named, with where it was found, and how many more there are.
std::string MarkerNotReached(const FindReport& r) {
  const FindResult& f = r.result;
  const finder::Candidate& best = f.candidates.front();
  std::vector<std::size_t> unreached;
  std::vector<std::string> reached;
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    if (Reaches(best, k)) {
      reached.push_back(r.markers[k].text);
    } else {
      unreached.push_back(k);
    }
  }
  const std::size_t k = unreached.front();
  const MarkerInfo& m = r.markers[k];
  const std::vector<finder::MarkerHit>& hits = f.object_hits[k].hits;
  const std::string marker = "the marker " + LuaQuote(m.text) +
                             Format(" (type %d field \"%s\")", static_cast<int>(m.type), m.field);
  std::string what;
  if (hits.empty()) {
    what = marker + Format(" is nowhere in the %.1f MiB of readable memory", Mib(f.total_bytes)) +
           ", and the answer must reach every marker given: check it for a typo, or leave it out";
  } else {
    bool anywhere = false;
    for (const finder::Candidate& c : f.candidates) anywhere = anywhere || Reaches(c, k);
    what = marker + Format(" was found (%u hit%s, the first at 0x%08X, record 0x%08X)",
                           static_cast<unsigned>(hits.size()), hits.size() == 1 ? "" : "s",
                           static_cast<unsigned>(hits.front().address),
                           static_cast<unsigned>(hits.front().address - m.field_offset));
    what += anywhere ? ", but no (list, offset) pair that reaches it also reaches " +
                           QuotedList(reached) +
                           ", and the answer must reach every marker given: check that each "
                           "marked object is the current one of its type"
                     : Format(", but no (list, offset) pair leads to its record through type "
                              "%d's slot, and the answer must reach every marker given: check "
                              "--type and --field, and that the object is the current one",
                              static_cast<int>(m.type));
  }
  if (unreached.size() > 1) {
    what += Format(" (and %u more marker%s not reached)",
                   static_cast<unsigned>(unreached.size() - 1), unreached.size() == 2 ? "" : "s");
  }
  return what;
}

// Two pointers of one structure to the same record lead the scan alike.
std::string SharedRecord(const FindResult& f, std::size_t other) {
  const finder::Candidate& c = f.candidates.front();
  return Format("ObjectDataOffset=0x%08X and 0x%08X (ObjectAddressList=0x%08X) are two "
                "pointers of one structure (0x%08X) to the same record (0x%08X), and nothing "
                "the scan saw tells which the host reads as the current object; none picked: ",
                static_cast<unsigned>(c.data_offset),
                static_cast<unsigned>(f.candidates[other].data_offset),
                static_cast<unsigned>(c.list), static_cast<unsigned>(c.structure),
                static_cast<unsigned>(c.record)) +
         WordsFor(finder::Refusal::kSharedRecord).advice +
         " (--then cannot tell them apart: both lead to the record that changes)";
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
    case finder::Missing::kMarkerNotReached: return MarkerNotReached(r);
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
    const std::size_t other = finder::SharedRecordOf(f, 0);
    if (other != finder::kNotShared) return pair + SharedRecord(f, other);
    return pair + Format(
                      "%u candidates score alike (best %d, next %d); none picked: see the "
                      "candidates listed first, or tell them apart with --then MARKER2 (change "
                      "the marked text in the host when asked: the live list's record changes, "
                      "copies keep the old text)",
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

const char* RefusalCode(finder::Refusal refusal) { return WordsFor(refusal).code; }

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
    case Settled::kRefused:
      return "of the " + alike + ", only " + WatchedPlaceText(watch, result, watch.answer()) +
             " now reads " + LuaQuote(ask.to) + ", but " + WordsFor(watch.refusal()).changed;
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
      return watch.unwatched() == finder::Unwatched::kRefused
                 ? std::string("not watched: ") + WordsFor(watch.refusal()).unwatched
                 : std::string("not watched: the scan left no candidate to settle");
    case Settled::kWatching: break;
  }
  return "still watching";
}

std::string ChangeReason(const ChangeAsk& ask, const ChangeWatch& watch, const FindResult& result,
                         std::uint32_t wait_seconds, const std::string& head) {
  switch (watch.settled()) {
    case Settled::kRefused:
    case Settled::kSeveral:
    case Settled::kConflict:
    case Settled::kNoChange: break;
    default: return "";
  }
  if (!ask.asked) return "";
  std::string advice;
  if (watch.settled() == Settled::kRefused) {
    advice = WordsFor(watch.refusal()).advice;
  } else if (watch.settled() == Settled::kNoChange) {
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
