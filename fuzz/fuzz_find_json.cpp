// The find's report (probe/find: FindJsonOutput and FindTextOutput) made as
// the find makes it, without a host: a scan's result from the input as the
// finder ranks it (fake_scan.h), the change watches asked for polled as the
// input's host changes, the verdict concluded (find_verdict.h), with any
// bytes in the section, the process's and module's names, the markers, the
// new texts and the checks' notes, in Latin-1 or code page 932.
// Properties:
//  - the JSON report is valid JSON in valid UTF-8, and every string that
//    comes from outside reads back as the text given;
//  - its verdicts agree: `ok` exactly when every offset asked for is found
//    (one reason for each one that is not); each `answer` is "found"
//    exactly when its offsets are in `found`, "not_found" only when the
//    scan's was; `scan_answer` is the scan's; `settled_by` is null exactly
//    when nothing was found, "scan" for the scan's own answer (no change
//    watched), "change" exactly when the change chose, "scan_and_change"
//    exactly when it confirmed the scan's answer; a change that settled
//    nothing leaves nothing found; the offsets found are the scan's first
//    candidate's, or the one contender the change saw change;
//  - the text report says what the JSON says where both say it: the section
//    `[name]` uncommented exactly when `ok`, with the offsets found; every
//    reason as a comment line; the contenders marked `*`; what each change
//    came to; the scan's answer confirmed only where the scan had one.
#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fake_scan.h"
#include "finder/change_watch.h"
#include "fuzz_support.h"
#include "json_reader.h"
#include "probe/common/system_text.h"
#include "probe/common/text.h"
#include "probe/find/find_change.h"
#include "probe/find/find_output.h"
#include "probe/find/find_verdict.h"
#include "readers/layouts.h"

namespace {

using probe_test::Json;

std::string Text(FuzzedDataProvider& in, std::size_t most) {
  std::string text = in.ConsumeRandomLengthString(most);
  return text.substr(0, text.find('\0'));  // as a command line or the system gives it
}

void Expect(const Json& j, const std::string& ansi, const std::string& what) {
  FUZZ_CHECK(j.type == Json::kString && j.str == probe::AnsiToUtf8(ansi), what);
}

const char* AnswerName(finder::Answer a) {
  static const char* const kNames[] = {"not_asked", "found", "ambiguous", "not_found"};
  return kNames[static_cast<int>(a)];
}

// The report as the find fills it before it concludes.
probe::FindReport MakeReport(FuzzedDataProvider& in, const fuzz::FakeScan& scan) {
  probe::FindReport r;
  std::string section = Text(in, 32);
  if (section.empty() || probe::HasBracketOrBreak(section)) section = "Found";  // refused by find
  r.options.section = section;
  r.options.has_buffer = scan.request().buffer_marker;
  r.options.buffer_text = scan.buffer_text();
  r.options.max_offset = scan.request().max_data_offset;
  r.process.pid = in.ConsumeIntegral<std::uint32_t>();
  // A file name: no control characters.
  for (const char c : Text(in, 32)) {
    if (static_cast<unsigned char>(c) >= 0x20) r.process.name += c;
  }
  r.module = Text(in, 32);
  for (std::size_t k = 0; k < scan.request().objects.size(); ++k) {
    const finder::ObjectMarker& m = scan.request().objects[k];
    const quorvane::FieldSpec& f = quorvane::FindLayout(m.type)->fields[m.field];
    r.markers.push_back({scan.texts()[k], f.kind == quorvane::FieldKind::kWideText, m.type,
                         f.name, f.offset});
  }
  r.result = scan.result();
  r.seconds = in.ConsumeIntegralInRange(0, 100000) / 100.0;
  r.change.wait_seconds = in.ConsumeIntegralInRange(0u, 2u);
  if (scan.object_change().asked) r.change.object_ask = scan.object_change();
  if (scan.buffer_change().asked) r.change.buffer_ask = scan.buffer_change();
  return r;
}

// The watches, polled as the find polls them while the input's host
// changes, to the end of the wait.
void WatchChanges(FuzzedDataProvider& in, fuzz::FakeScan& scan, probe::FindReport* r) {
  probe::StartWatches(scan.request(), r->result, &r->change);
  const std::uint64_t wait_ms = r->change.wait_seconds * 1000u;
  std::uint64_t now = 0;
  const int polls = in.ConsumeIntegralInRange(0, 8);
  for (int n = 0; n <= polls; ++n) {
    if (n < polls) {
      scan.Change(in);
      if (n > 0) now += in.ConsumeIntegralInRange<std::uint64_t>(0, 2 * finder::kWatchIntervalMs);
    } else {
      now = std::max(now, wait_ms);
    }
    if (r->change.object_ask.asked) r->change.object.Poll(now);
    if (r->change.buffer_ask.asked) r->change.buffer.Poll(now);
  }
}

// One offset's verdicts in the JSON (`object` or `text_buffer`), with the
// offsets found.
void CheckVerdict(const Json& v, const Json& found, const char* first_key, const char* second_key,
                  bool found_here, finder::Answer scan_answer, const probe::ChangeAsk& ask) {
  const std::string answer = v["answer"].str;
  FUZZ_CHECK(answer == "found" || answer == "ambiguous" || answer == "not_found", answer);
  FUZZ_CHECK((answer == "found") == found_here && (answer == "found") == (found[first_key].type == Json::kNumber),
             std::string("answer ") + answer + " against the offsets found");
  FUZZ_CHECK(second_key == nullptr || found[second_key].type == found[first_key].type,
             "the pair found together");
  FUZZ_CHECK(v["scan_answer"].str == AnswerName(scan_answer), "scan_answer");
  FUZZ_CHECK(answer != "not_found" || v["scan_answer"].str == "not_found",
             "not_found after a scan that found something");
  const Json& change = v["change"];
  FUZZ_CHECK((change.type == Json::kNull) == !ask.asked, "a change asked for");
  const std::string settled = change["settled"].str;
  const std::string by = v["settled_by"].type == Json::kNull ? "" : v["settled_by"].str;
  FUZZ_CHECK((by.empty()) == (answer != "found"), "settled_by null exactly when nothing is found");
  FUZZ_CHECK((by == "change") == (settled == "chosen") &&
                 (by == "scan_and_change") == (settled == "confirmed"),
             "settled_by " + by + " against the change's " + settled);
  FUZZ_CHECK(by != "scan" || ((!ask.asked || settled == "not_watched") && v["scan_answer"].str == "found"),
             "settled by the scan: " + settled + ", scan " + v["scan_answer"].str);
  FUZZ_CHECK((settled != "confirmed" || v["scan_answer"].str == "found") &&
                 (settled != "chosen" || v["scan_answer"].str != "found"),
             "the change " + settled + " after a scan that says " + v["scan_answer"].str);
  if (settled == "refused" || settled == "several_changed" || settled == "conflict" ||
      settled == "no_change") {
    FUZZ_CHECK(answer != "found", "found after a change that settled nothing: " + settled);
  }
  FUZZ_CHECK(settled != "refused" || !change["refused"].str.empty(), "what refused the place");
  FUZZ_CHECK(settled != "not_watched" || !change["not_watched"].str.empty(), "why not watched");
  if (answer != "found") return;
  // The offsets found: the scan's first candidate, or the contender that changed.
  const Json* from = &v["candidates"][0];
  if (by == "change" || by == "scan_and_change") {
    std::size_t changed = 0;
    for (const Json& p : change["watched"].items) {
      if (p["contender"].boolean && p["reading"].str == "new") {
        ++changed;
        from = &p;
      }
    }
    FUZZ_CHECK(changed == 1, "settled by a change with " + std::to_string(changed) +
                                 " contenders changed");
  }
  FUZZ_CHECK((*from)[first_key].number == found[first_key].number &&
                 (second_key == nullptr || (*from)[second_key].number == found[second_key].number),
             std::string("the offsets found are not the answer's: ") + first_key);
}

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// The lines that start with `start` and have `then` at byte `at`.
std::size_t CountLines(const std::string& text, const std::string& start, std::size_t at,
                       const std::string& then) {
  std::size_t n = 0;
  for (std::size_t from = 0; from < text.size();) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(from, end - from);
    n += line.compare(0, start.size(), start) == 0 && line.compare(at, then.size(), then) == 0;
    from = end + 1;
  }
  return n;
}

bool HasLineStarting(const std::string& text, const std::string& start) {
  return ("\n" + text).find("\n" + start) != std::string::npos;
}

// How the text's summary of a change starts, for what the JSON says it came
// to.
std::string SummaryStart(const std::string& settled, const finder::ChangeWatch& watch) {
  const std::string places = watch.objects() ? "candidate" : "place";
  if (settled == "chosen") return "; settled by the change: ";
  if (settled == "confirmed") return "; the change confirms the scan's answer: ";
  if (settled == "refused") return "; of the ";
  if (settled == "several_changed") {
    return "; " + std::to_string(watch.changed_contenders()) + " " + places + "s changed to ";
  }
  if (settled == "conflict") return "; conflict: ";
  if (settled == "no_change") return "; no " + places + " changed in ";
  return "; not watched: ";
}

void CheckText(const std::string& text, const Json& j, const probe::FindReport& r) {
  const bool ok = j["ok"].boolean;
  const std::string comment = ok ? "" : "; ";
  FUZZ_CHECK(HasLine(text, comment + "[" + r.options.section + "]") &&
                 !HasLine(text, (ok ? "; " : "") + std::string("[") + r.options.section + "]"),
             "the section's line against ok");
  const Json& found = j["found"];
  for (const char* key : {"ObjectAddressList", "ObjectDataOffset", "TextBufferAddress"}) {
    const bool shown = found[key].type == Json::kNumber;
    const std::string line =
        comment + key + "=" + probe::Hex(static_cast<std::uint32_t>(found[key].number));
    FUZZ_CHECK(!shown || HasLine(text, line), std::string("the text lacks ") + line);
    FUZZ_CHECK(shown || text.find("\n" + comment + key + "=") == std::string::npos,
               std::string("the text gives ") + key + ", the JSON does not");
  }
  for (const std::string& reason : r.reasons) {
    FUZZ_CHECK(HasLine(text, "; " + reason), "a reason not in the text: " + reason);
  }
  const finder::FindResult& f = r.result;
  if (!r.markers.empty() && text.find("(list, offset) candidates from slots") != std::string::npos) {
    // ";   * ObjectAddressList=0x... ObjectDataOffset=0x...  score N: ..."
    FUZZ_CHECK(CountLines(text, ";   * ObjectAddressList=0x", 62, "  score ") ==
                   std::min<std::size_t>(f.object_contenders, 8),
               "the contenders marked in the text");
  }
  if (r.options.has_buffer) {
    // ";   * at 0x...: TextBufferAddress=0x..."
    FUZZ_CHECK(CountLines(text, ";   * at 0x", 19, ": TextBufferAddress=0x") ==
                   std::min<std::size_t>(f.buffer_contenders, 8),
               "the buffer places marked in the text");
  }
  for (const auto& [ask, watch, key] :
       {std::make_tuple(&r.change.object_ask, &r.change.object, "object"),
        std::make_tuple(&r.change.buffer_ask, &r.change.buffer, "text_buffer")}) {
    const std::string title = "; change of " + probe::LuaQuote(ask->from) + " to " +
                              probe::LuaQuote(ask->to) + " (" + ask->where + ")";
    FUZZ_CHECK(HasLineStarting(text, title) == ask->asked, "a change's title");
    if (!ask->asked) continue;
    const std::string settled = j[key]["change"]["settled"].str;
    FUZZ_CHECK(HasLineStarting(text, SummaryStart(settled, *watch)),
               "the text does not say what the change came to: " + settled);
  }
  FUZZ_CHECK(!HasLineStarting(text, SummaryStart("confirmed", r.change.object)) ||
                 j["object"]["scan_answer"].str == "found" ||
                 j["text_buffer"]["scan_answer"].str == "found",
             "a change confirms an answer the scan did not have");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::SetCodePage(in.ConsumeBool() ? fuzz::CodePage::k932 : fuzz::CodePage::kLatin1);
  fuzz::FakeScan scan(in);
  probe::FindReport r = MakeReport(in, scan);
  WatchChanges(in, scan, &r);
  probe::Conclude(&r);

  const std::string text = probe::FindTextOutput(r);
  const std::string json = probe::FindJsonOutput(r);
  FUZZ_CHECK(fuzz::IsValidUtf8(json), json);
  Json j;
  std::string error;
  FUZZ_CHECK(probe_test::ParseJson(json, &j, &error), error + "\n" + json);

  Expect(j["section"], r.options.section, "section");
  Expect(j["process"]["name"], r.process.name, "process.name");
  Expect(j["module"]["name"], r.module, "module.name");
  FUZZ_CHECK(j["reasons"].size() == r.reasons.size(), "reasons");
  for (std::size_t i = 0; i < r.reasons.size(); ++i) Expect(j["reasons"][i], r.reasons[i], "a reason");
  const bool all_found = (r.markers.empty() || r.object_found) && (!r.options.has_buffer || r.buffer_found);
  const std::size_t asked = (r.markers.empty() ? 0 : 1) + (r.options.has_buffer ? 1 : 0);
  const std::size_t found = (r.object_found ? 1 : 0) + (r.buffer_found ? 1 : 0);
  FUZZ_CHECK(j["ok"].boolean == all_found && r.reasons.size() == asked - found,
             "ok, the reasons and the offsets found");

  const Json& jo = j["object"];
  FUZZ_CHECK((jo.type == Json::kNull) == r.markers.empty(), "object");
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    Expect(jo["markers"][k]["text"], r.markers[k].text, "a marker");
  }
  for (std::size_t i = 0; i < r.result.candidates.size(); ++i) {
    const finder::Candidate& c = r.result.candidates[i];
    FUZZ_CHECK(jo["candidates"][i]["contender"].boolean == (i < r.result.object_contenders),
               "a candidate's contender flag");
    for (std::size_t t = 0; t < c.checks.size(); ++t) {
      if (!c.checks[t].note.empty()) Expect(jo["candidates"][i]["types"][t]["note"], c.checks[t].note, "a note");
    }
  }
  if (!r.markers.empty()) {
    CheckVerdict(jo, j["found"], "ObjectAddressList", "ObjectDataOffset", r.object_found,
                 r.result.object_answer, r.change.object_ask);
  }
  const Json& jb = j["text_buffer"];
  FUZZ_CHECK((jb.type == Json::kNull) == !r.options.has_buffer, "text_buffer");
  if (r.options.has_buffer) {
    Expect(jb["marker"], r.options.buffer_text, "the buffer marker");
    CheckVerdict(jb, j["found"], "TextBufferAddress", nullptr, r.buffer_found,
                 r.result.buffer_answer, r.change.buffer_ask);
  }
  for (const auto& [ask, key] : {std::make_pair(&r.change.object_ask, "object"),
                                 std::make_pair(&r.change.buffer_ask, "text_buffer")}) {
    if (!ask->asked) continue;
    Expect(j[key]["change"]["from"], ask->from, "a change's from");
    Expect(j[key]["change"]["to"], ask->to, "a change's to");
  }
  CheckText(text, j, r);
  return 0;
}
