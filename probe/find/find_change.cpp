#include "probe/find/find_change.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "config/profile_keys.h"
#include "platform/host_scan.h"
#include "probe/common/text.h"
#include "probe/common/system_text.h"

namespace probe {

namespace {

using finder::ChangeWatch;
using finder::FindResult;
using finder::Reading;
using finder::Settled;
using finder::WatchedPlace;

// Candidates ranked lower shown in the text output of a conflict; the JSON
// has them all.
constexpr std::size_t kShownPlaces = 8;

const char* SettledName(Settled s) {
  switch (s) {
    case Settled::kWatching: return "watching";
    case Settled::kChosen: return "chosen";
    case Settled::kConfirmed: return "confirmed";
    case Settled::kSeveral: return "several_changed";
    case Settled::kConflict: return "conflict";
    case Settled::kNoChange: return "no_change";
    case Settled::kNotWatched: return "not_watched";
  }
  return "?";
}

const char* ReadingName(Reading r) {
  switch (r) {
    case Reading::kOld: return "old";
    case Reading::kNew: return "new";
    case Reading::kOther: return "other";
    case Reading::kUnreadable: return "unreadable";
  }
  return "?";
}

// "ObjectAddressList=0x... ObjectDataOffset=0x..." or "TextBufferAddress=0x...".
std::string Place(const ChangeWatch& watch, const FindResult& result, std::size_t index) {
  if (watch.objects()) {
    const finder::Candidate& c = result.candidates[index];
    return Format("ObjectAddressList=0x%08X ObjectDataOffset=0x%08X",
                  static_cast<unsigned>(c.list), static_cast<unsigned>(c.data_offset));
  }
  return Format("TextBufferAddress=0x%08X", static_cast<unsigned>(result.buffers[index].offset));
}

std::string ReadingText(const ChangeAsk& ask, const WatchedPlace& p, const Quoter& quote) {
  switch (p.reading) {
    case Reading::kNew: return "now reads " + quote(ask.to) + Format(" at 0x%08X", p.at);
    case Reading::kOld: return "still reads " + quote(ask.from) + Format(" at 0x%08X", p.at);
    case Reading::kOther: return Format("reads another text at 0x%08X", p.at);
    case Reading::kUnreadable:
      return p.at == 0 ? std::string("leads to no record")
                       : Format("cannot be read at 0x%08X", p.at);
  }
  return "?";
}

// The first watched place that reads the new text, the contenders first.
const WatchedPlace* FirstChanged(const ChangeWatch& watch, bool contender) {
  for (const WatchedPlace& p : watch.places()) {
    if (p.contender == contender && p.reading == Reading::kNew) return &p;
  }
  return nullptr;
}

std::string Candidates(std::size_t n, bool objects) {
  const char* what = objects ? "candidate" : "place";
  return Format("%u %s%s", static_cast<unsigned>(n), what, n == 1 ? "" : "s");
}

// What the watch came to, in words: the summary of the text output and the
// start of the reason on standard error.
std::string Summary(const ChangeAsk& ask, const ChangeWatch& watch, const FindResult& result,
                    std::uint32_t wait_seconds, const Quoter& quote) {
  const bool objects = watch.objects();
  const std::string alike = Candidates(watch.contenders(), objects) + " the scan left alike";
  switch (watch.settled()) {
    case Settled::kChosen:
      return "settled by the change: of the " + alike + ", only " +
             Place(watch, result, watch.answer()) + " now reads " + quote(ask.to);
    case Settled::kConfirmed:
      return "the change confirms the scan's answer: " + Place(watch, result, watch.answer()) +
             " now reads " + quote(ask.to);
    case Settled::kSeveral:
      return Format("%u %s changed", static_cast<unsigned>(watch.changed_contenders()),
                    objects ? "candidates" : "places") +
             " to " + quote(ask.to) + " (of the " + alike + "): the change separates nothing";
    case Settled::kConflict: {
      const WatchedPlace* lower = FirstChanged(watch, false);
      const std::string was =
          watch.contenders() == 1
              ? "the scan's answer " + Place(watch, result, watch.places().front().index) +
                    " did not change"
              : "none of the " + alike + " changed";
      return "conflict: " + was + ", but " + Place(watch, result, lower->index) +
             ", which the scan ranked lower, now reads " + quote(ask.to) +
             "; a change never overrules the scan";
    }
    case Settled::kNoChange:
      return Format("no %s changed in %u s: none of the %u watched reads ",
                    objects ? "candidate" : "place", static_cast<unsigned>(wait_seconds),
                    static_cast<unsigned>(watch.places().size())) +
             quote(ask.to);
    case Settled::kNotWatched:
      return watch.unwatched() == finder::Unwatched::kEvidenceCut
                 ? std::string("not watched: evidence was dropped at a cap, and what the "
                               "change would pick among may miss the live one")
                 : std::string("not watched: the scan left no candidate to settle");
    case Settled::kWatching: break;
  }
  return "still watching";
}

// Reads host memory only while the process runs; sleeps between polls.
bool Watch(ChangeResults* change) {
  std::vector<ChangeWatch*> watches;
  if (change->object_ask.asked) watches.push_back(&change->object);
  if (change->buffer_ask.asked) watches.push_back(&change->buffer);
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (!quorvane::HostProcessRunning()) return false;
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    bool watching = false;
    for (ChangeWatch* w : watches) {
      if (w->Poll(static_cast<std::uint64_t>(now.count())) == Settled::kWatching) watching = true;
    }
    if (!watching) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(finder::kWatchIntervalMs));
  }
  // What was read after the process ended is not to be trusted.
  return quorvane::HostProcessRunning();
}

}  // namespace

bool WatchChanges(const finder::FindRequest& request, const FindResult& result,
                  const Quoter& quote, ChangeResults* change) {
  const std::uint32_t wait_ms = change->wait_seconds * 1000u;
  const ChangeAsk& o = change->object_ask;
  const ChangeAsk& b = change->buffer_ask;
  if (o.asked) {
    change->object = ChangeWatch::ForObjects(request, result, o.marker, o.bytes, wait_ms);
  }
  if (b.asked) change->buffer = ChangeWatch::ForBuffer(request, result, b.bytes, wait_ms);
  bool any = false;
  for (const auto& [ask, watch] : {std::pair<const ChangeAsk&, const ChangeWatch&>{o, change->object},
                                   std::pair<const ChangeAsk&, const ChangeWatch&>{b, change->buffer}}) {
    if (!ask.asked || watch.settled() == Settled::kNotWatched) continue;
    any = true;
    std::fprintf(stderr,
                 "quorvane-probe: now change %s to %s in the host (%s); watching %s for up to "
                 "%u s\n",
                 quote(ask.from).c_str(), quote(ask.to).c_str(), ask.where.c_str(),
                 Candidates(watch.places().size(), watch.objects()).c_str(),
                 static_cast<unsigned>(change->wait_seconds));
  }
  std::fflush(stderr);
  return !any || Watch(change);
}

bool FoundAfterChange(const ChangeAsk& ask, const ChangeWatch& watch, bool scan_found,
                      std::size_t* index) {
  if (!ask.asked || watch.settled() == Settled::kNotWatched) return scan_found;
  if (watch.settled() != Settled::kChosen && watch.settled() != Settled::kConfirmed) return false;
  *index = watch.answer();
  return true;
}

std::string ChangeReason(const ChangeAsk& ask, const ChangeWatch& watch, const FindResult& result,
                         std::uint32_t wait_seconds, const std::string& head, const Quoter& quote) {
  switch (watch.settled()) {
    case Settled::kSeveral:
    case Settled::kConflict:
    case Settled::kNoChange: break;
    default: return "";
  }
  if (!ask.asked) return "";
  std::string advice;
  if (watch.settled() == Settled::kNoChange) {
    advice = "change " + quote(ask.from) + " to " + quote(ask.to) + " in the host (" + ask.where +
             ") while the probe watches (--wait gives more time)";
  } else if (watch.settled() == Settled::kConflict) {
    advice = "check that the change was made in the current object, not in a copy";
  } else {
    advice = "see the candidates listed";
  }
  return head + Summary(ask, watch, result, wait_seconds, quote) + "; none picked: " + advice;
}

std::vector<std::string> ChangeTextLines(const ChangeResults& change, const FindResult& result,
                                         const Quoter& quote) {
  std::vector<std::string> lines;
  for (const auto& [ask, watch] :
       {std::pair<const ChangeAsk&, const ChangeWatch&>{change.object_ask, change.object},
        std::pair<const ChangeAsk&, const ChangeWatch&>{change.buffer_ask, change.buffer}}) {
    if (!ask.asked) continue;
    lines.push_back("");
    std::string title = "change of " + quote(ask.from) + " to " + quote(ask.to) + " (" +
                        ask.where + ")";
    if (watch.settled() != Settled::kNotWatched) {
      title += ": watched " + Candidates(watch.places().size(), watch.objects()) +
               Format(" for %.1f s", static_cast<double>(watch.elapsed_ms()) / 1000.0);
    }
    lines.push_back(title);
    // The contenders, and the candidates ranked lower that changed when
    // no contender did: the evidence of a conflict.
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
      lines.push_back(std::string("  ") + (p.contender ? "*" : " ") + " " +
                      Place(watch, result, p.index) + (p.contender ? "" : " (ranked lower)") +
                      "  " + ReadingText(ask, p, quote));
    }
    if (rest > 0) {
      lines.push_back(Format("  ... %u more watched, ranked lower, %u of them now reading ",
                             static_cast<unsigned>(rest), static_cast<unsigned>(rest_changed)) +
                      quote(ask.to) + " (--json lists them all)");
    }
    lines.push_back(Summary(ask, watch, result, change.wait_seconds, quote));
  }
  return lines;
}

void JsonChange(const ChangeAsk& ask, const ChangeWatch& watch, const FindResult& result,
                bool scan_found, bool found, JsonWriter* j) {
  j->Key("settled_by");
  if (!found) {
    j->Null();
  } else if (!ask.asked || watch.settled() == Settled::kNotWatched) {
    j->String("scan");
  } else {
    j->String(scan_found ? "scan_and_change" : "change");
  }
  j->Key("change");
  if (!ask.asked) {
    j->Null();
    return;
  }
  j->BeginObject();
  j->StringField("from", AnsiToUtf8(ask.from));
  j->StringField("to", AnsiToUtf8(ask.to));
  j->StringField("settled", SettledName(watch.settled()));
  if (watch.settled() == Settled::kNotWatched) {
    j->StringField("not_watched", watch.unwatched() == finder::Unwatched::kEvidenceCut
                                      ? "evidence_cut"
                                      : "no_candidate");
  }
  j->NumberField("seconds", static_cast<double>(watch.elapsed_ms()) / 1000.0);
  j->Key("watched");
  j->BeginArray();
  for (const WatchedPlace& p : watch.places()) {
    j->BeginObject();
    if (watch.objects()) {
      j->UnsignedField(quorvane::kObjectAddressListKey, result.candidates[p.index].list);
      j->UnsignedField(quorvane::kObjectDataOffsetKey, result.candidates[p.index].data_offset);
    } else {
      j->UnsignedField(quorvane::kTextBufferAddressKey, result.buffers[p.index].offset);
    }
    j->BoolField("contender", p.contender);
    j->StringField("reading", ReadingName(p.reading));
    j->UnsignedField("address", p.at);
    j->EndObject();
  }
  j->EndArray();
  j->EndObject();
}

}  // namespace probe
