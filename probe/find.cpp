#include "probe/find.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "finder/finder.h"
#include "module/lua_api.h"
#include "platform/host_scan.h"
#include "platform/remote_process.h"
#include "probe/json.h"
#include "probe/numbers.h"
#include "probe/find_change.h"
#include "probe/output.h"
#include "probe/process.h"
#include "probe/profile.h"
#include "probe/walk.h"
#include "probe/system_text.h"

namespace probe {

namespace {

using finder::Answer;
using finder::Candidate;
using finder::FindResult;
using finder::Outcome;

constexpr int kFound = 0;
constexpr int kNotFound = 1;
constexpr int kBadUse = 2;

// Larger offsets would make nearly every word of an image a candidate.
constexpr std::uint32_t kMaxMaxOffset = 0x100000;
constexpr long long kMaxWaitSeconds = 3600;
// Candidates shown in the text output; the JSON has them all.
constexpr std::size_t kShownCandidates = 8;
constexpr std::size_t kShownHits = 8;

const char kUsage[] =
    "usage: quorvane-probe find PID|EXE --module NAME --text MARKER\n"
    "                           [--buffer-text MARKER] [--section NAME]\n"
    "                           [--profile OLD.ini] [--type N] [--field NAME]\n"
    "                           [--max-offset N] [--json]\n"
    "                           [--then MARKER2] [--buffer-then MARKER2] [--wait SECONDS]\n"
    "\n"
    "Finds ObjectAddressList, ObjectDataOffset and TextBufferAddress in a running\n"
    "host. First make a text object in the host whose text is a marker of your\n"
    "choosing (say QV-7f3a) and make it the current one; for the text buffer,\n"
    "type a second marker where the host keeps that buffer. The probe then\n"
    "searches the host's readable memory (reading only) for the markers, for\n"
    "pointers to the records they lie in and for a list slot in the module's\n"
    "image that leads to those pointers, and ranks every (list, offset) pair by\n"
    "how well all record types decode under it.\n"
    "\n"
    "  --module NAME       the host module (default: Module of --profile)\n"
    "  --text MARKER       the wide text of a type 3 record (searched as UTF-16);\n"
    "                      may be given more than once: the answer must reach\n"
    "                      every marker's record through its type's slot\n"
    "  --type N            the --text before it is in a string field of type N's\n"
    "                      record instead: its wide text (UTF-16), else its first\n"
    "                      string field (searched in the ANSI code page)\n"
    "  --field NAME        that string field of type N (e.g. --type 80 --field param)\n"
    "  --buffer-text MARKER  the text buffer's text (UTF-16, in the module's image)\n"
    "  --section NAME      the section's name (default: Found)\n"
    "  --profile OLD.ini   an older profile: its Module, and its offsets as hints;\n"
    "                      among equally good candidates the nearest come first\n"
    "  --max-offset N      ObjectDataOffset is tried from 1 to N (0x... or decimal;\n"
    "                      default 0x1000, at most 0x100000); record pointers and\n"
    "                      list slots are looked for in 4-aligned words only\n"
    "  --json              print the result as JSON, with every candidate\n"
    "  --then MARKER2      when asked after the scan, change the --text marker before\n"
    "                      it to MARKER2 in the host: the probe re-reads the\n"
    "                      candidates' records, and where the scan left several\n"
    "                      alike, the one that now reads MARKER2 is the live list\n"
    "                      (undo copies keep the old text). A change never\n"
    "                      overrules the scan: if its one answer does not change,\n"
    "                      or nothing does, nothing is picked (exit 1)\n"
    "  --buffer-then MARKER2  the same for the --buffer-text marker\n"
    "  --wait SECONDS      how long to watch for the change (default 60, at most 3600)\n"
    "\n"
    "Standard output gets the section as it goes into a profile, then the\n"
    "evidence as ; comments: the marker hits, the pointer hops, the candidates\n"
    "and the walk of every type under the offsets found. When something is not\n"
    "found or is ambiguous (a marker so common that hits were dropped counts as\n"
    "ambiguous), every line is a comment and the candidates are listed; no\n"
    "section is picked. Progress goes to standard error.\n"
    "\n"
    "Exit status: 0 everything asked for found with one clear answer, 1 something\n"
    "not found or ambiguous (one line per offset on standard error), 2 bad\n"
    "arguments, a process that cannot be examined, a module that is not loaded or\n"
    "a process that exited during the scan.\n";

// One --text marker and where it is: --type and --field belong to the
// --text before them (given before any --text, to the first one).
struct TextOption {
  std::string text;
  std::int32_t type = 3;
  bool has_type = false;
  std::string field;
  bool has_field = false;
  std::string then;  // --then: what the author changes it to
  bool has_then = false;
};

struct FindOptions {
  bool help = false;
  bool json = false;
  std::string target;
  std::string module;
  std::vector<TextOption> texts;
  bool has_buffer = false;
  std::string buffer_text, section = "Found", profile;
  std::uint32_t max_offset = finder::kDefaultMaxDataOffset;
  std::string buffer_then;
  bool has_buffer_then = false;
  std::uint32_t wait_seconds = finder::kDefaultWaitSeconds;
  bool has_wait = false;
};

// Texts of the user's are quoted the way the walks quote the host's
// strings: a line break in them never starts a line of the output.
std::string Quote(const std::string& text) { return LuaQuote(text); }

bool ParseNumber(const std::string& text, int base, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, base);
  if (*end != '\0' || errno == ERANGE || value < min || value > max) return false;
  *out = value;
  return true;
}

// Whether two markers could be told apart where either stands: different,
// neither part of the other.
bool Distinct(const std::string& a, const std::string& b) {
  return a.find(b) == std::string::npos && b.find(a) == std::string::npos;
}

// --then belongs to the --text marker before it; one marker is changed at a
// time.
bool ParseThen(const std::string& value, FindOptions* o, std::string* error) {
  if (o->texts.empty()) {
    *error = "--then says what a --text marker becomes: give it after that --text";
    return false;
  }
  for (const TextOption& t : o->texts) {
    if (t.has_then) {
      *error = "--then given twice: one --text marker is changed at a time";
      return false;
    }
  }
  o->texts.back().then = value;
  o->texts.back().has_then = true;
  return true;
}

bool CheckChangeOptions(const FindOptions& o, std::string* error) {
  bool then = false;
  for (const TextOption& t : o.texts) {
    if (!t.has_then) continue;
    then = true;
    if (t.then.empty() || !Distinct(t.text, t.then)) {
      *error = "--then needs a marker that differs from its --text marker, neither part of the other";
      return false;
    }
  }
  if (o.has_buffer_then) {
    if (!o.has_buffer) {
      *error = "--buffer-then says what the --buffer-text marker becomes; no --buffer-text given";
      return false;
    }
    if (o.buffer_then.empty() || !Distinct(o.buffer_text, o.buffer_then)) {
      *error = "--buffer-then needs a marker that differs from --buffer-text, neither part of the "
               "other";
      return false;
    }
  }
  if (o.has_wait && !then && !o.has_buffer_then) {
    *error = "--wait says how long to watch for --then or --buffer-then; neither given";
    return false;
  }
  return true;
}

bool ParseFindArguments(int argc, char** argv, FindOptions* o, std::string* error) {
  TextOption pending;  // --type and --field before any --text
  for (int i = 1; i < argc; ++i) {
    TextOption& where = o->texts.empty() ? pending : o->texts.back();
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    const std::size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
      has_value = true;
    }
    const auto take = [&](const char* what) {
      if (has_value) return true;
      if (i + 1 == argc) {
        *error = arg + " needs " + what;
        return false;
      }
      value = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h" || arg == "/?") {
      o->help = true;
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--module") {
      if (!take("a module name")) return false;
      o->module = value;
    } else if (arg == "--text") {
      if (!take("a marker")) return false;
      TextOption text = o->texts.empty() ? pending : TextOption();
      text.text = value;
      o->texts.push_back(text);
    } else if (arg == "--buffer-text") {
      if (!take("a marker")) return false;
      o->buffer_text = value;
      o->has_buffer = true;
    } else if (arg == "--section") {
      if (!take("a section name")) return false;
      o->section = value;
    } else if (arg == "--profile") {
      if (!take("a profile")) return false;
      o->profile = value;
    } else if (arg == "--field") {
      if (!take("a field name")) return false;
      if (where.has_field) {
        *error = "--field given twice for one --text marker";
        return false;
      }
      where.field = value;
      where.has_field = true;
    } else if (arg == "--type") {
      long long n = 0;
      if (!take("a type index")) return false;
      if (!ParseNumber(value, 10, INT32_MIN, INT32_MAX, &n)) {
        *error = "--type needs a type index, not " + Quote(value);
        return false;
      }
      if (where.has_type) {
        *error = "--type given twice for one --text marker";
        return false;
      }
      where.type = static_cast<std::int32_t>(n);
      where.has_type = true;
    } else if (arg == "--max-offset") {
      if (!take("a number")) return false;
      if (!ParseCount(value, 1, kMaxMaxOffset, &o->max_offset)) {
        *error = "--max-offset needs a number from 1 to 0x100000, not " + Quote(value);
        return false;
      }
    } else if (arg == "--then") {
      if (!take("a marker")) return false;
      if (!ParseThen(value, o, error)) return false;
    } else if (arg == "--buffer-then") {
      if (!take("a marker")) return false;
      o->buffer_then = value;
      o->has_buffer_then = true;
    } else if (arg == "--wait") {
      long long n = 0;
      if (!take("a number of seconds")) return false;
      if (!ParseNumber(value, 10, 1, kMaxWaitSeconds, &n)) {
        *error = "--wait needs a number of seconds from 1 to 3600, not " + Quote(value);
        return false;
      }
      o->wait_seconds = static_cast<std::uint32_t>(n);
      o->has_wait = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else if (o->target.empty()) {
      o->target = arg;
    } else {
      *error = "too many arguments (" + arg + ")";
      return false;
    }
  }
  if (o->help) return true;
  if (o->target.empty()) {
    *error = "find needs a process (PID or EXE)";
    return false;
  }
  if (o->texts.empty() && !o->has_buffer) {
    *error = "find needs a marker: --text MARKER, --buffer-text MARKER or both";
    return false;
  }
  if ((pending.has_type || pending.has_field) && o->texts.empty()) {
    *error = "--type and --field say where a --text marker is; no --text given";
    return false;
  }
  for (const TextOption& t : o->texts) {
    if (t.text.empty()) {
      *error = "a marker cannot be empty";
      return false;
    }
    // Each marker would be found where the other one is.
    if (o->has_buffer && !Distinct(t.text, o->buffer_text)) {
      *error = "--text and --buffer-text need two different markers, neither part of the other";
      return false;
    }
  }
  if (o->has_buffer && o->buffer_text.empty()) {
    *error = "a marker cannot be empty";
    return false;
  }
  if (o->module.empty() && o->profile.empty()) {
    *error = "find needs --module NAME (or --profile OLD.ini with a Module)";
    return false;
  }
  if (o->section.empty() || HasBracketOrBreak(o->section)) {
    *error = "--section needs a name without brackets or line breaks";
    return false;
  }
  return CheckChangeOptions(*o, error);
}

// The field of a --text marker: the named one, else the wide text, else
// the first string field. -1 with `error` when the layout has none.
int MarkerField(const TextOption& o, std::string* error) {
  const quorvane::RecordLayout* layout = quorvane::FindLayout(o.type);
  if (layout == nullptr) {
    *error = "type " + std::to_string(o.type) + " has no record layout";
    return -1;
  }
  int first_string = -1;
  for (int i = 0; i < layout->count; ++i) {
    const quorvane::FieldSpec& f = layout->fields[i];
    const bool text =
        f.kind == quorvane::FieldKind::kString || f.kind == quorvane::FieldKind::kWideText;
    if (!text) continue;
    if (o.has_field) {
      if (o.field == f.name) return i;
      continue;
    }
    if (f.kind == quorvane::FieldKind::kWideText) return i;
    if (first_string < 0) first_string = i;
  }
  if (first_string >= 0) return first_string;
  *error = o.has_field ? "type " + std::to_string(o.type) + " has no string field " + Quote(o.field)
                       : "type " + std::to_string(o.type) + " has no string field for a marker";
  return -1;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "quorvane-probe: %s\n", message.c_str());
  return kBadUse;
}

double Mib(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// Progress on standard error once a find has taken a second, then every
// second.
class ProgressLine {
 public:
  ProgressLine() : start_(Clock::now()), next_(start_ + std::chrono::seconds(1)) {}
  void Update(std::uint64_t done, std::uint64_t total) {
    const Clock::time_point now = Clock::now();
    if (now < next_) return;
    next_ = now + std::chrono::seconds(1);
    std::fprintf(stderr, "quorvane-probe: scanned %.1f of %.1f MiB\n", Mib(done), Mib(total));
    std::fflush(stderr);
  }
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point start_, next_;
};

struct MarkerInfo {
  std::string text;  // as given
  bool wide = true;
  std::int32_t type = 3;
  const char* field = "text";
  std::uint32_t field_offset = 48;
};

// Everything the output needs.
struct FindReport {
  FindOptions options;
  ProcessInfo process;
  std::string module;
  std::vector<MarkerInfo> markers;  // the --text markers, in order
  FindResult result;
  double seconds = 0;
  std::vector<std::string> reasons;  // one per offset not found, for stderr
  bool object_found = false, buffer_found = false;
  AddressTable table;  // the offsets found
  std::vector<Walk> walks;
  ChangeResults change;  // --then and --buffer-then
};

const char* AnswerName(Answer a) {
  switch (a) {
    case Answer::kNotAsked: return "not_asked";
    case Answer::kFound: return "found";
    case Answer::kAmbiguous: return "ambiguous";
    case Answer::kNotFound: return "not_found";
  }
  return "?";
}

const char* OutcomeName(Outcome o) {
  switch (o) {
    case Outcome::kPlausible: return "plausible";
    case Outcome::kImplausible: return "implausible";
    case Outcome::kEmptySlot: return "empty_slot";
    case Outcome::kNoRecord: return "no_record";
    case Outcome::kUnreadable: return "unreadable";
    case Outcome::kNoEvidence: return "no_evidence";
  }
  return "?";
}

std::string MarkerTitle(const MarkerInfo& m) {
  return Format("text marker %s (%s, type %d field \"%s\", record + %u)", Quote(m.text).c_str(),
                m.wide ? "UTF-16" : "ANSI", static_cast<int>(m.type), m.field,
                static_cast<unsigned>(m.field_offset));
}

std::string QuotedList(const std::vector<std::string>& texts) {
  std::string out;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    out += (i == 0 ? "" : i + 1 == texts.size() ? " and " : ", ") + Quote(texts[i]);
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

std::string ObjectReason(const FindReport& r) {
  const FindResult& f = r.result;
  const std::string pair = "ObjectAddressList and ObjectDataOffset: ";
  std::vector<std::string> common, missing;
  std::size_t hits = 0;
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    if (f.object_hits[k].cut) common.push_back(r.markers[k].text);
    if (f.object_hits[k].hits.empty()) missing.push_back(r.markers[k].text);
    hits += f.object_hits[k].hits.size();
  }
  if (!common.empty() || f.pointers_cut || f.candidates_cut) {
    return pair + Format(
                      "the marker %s too common (more than %u hits, %u pointers or %u "
                      "candidates kept): choose a longer, rarer one",
                      (common.empty() ? std::string("is")
                                      : QuotedList(common) + (common.size() == 1 ? " is" : " are"))
                          .c_str(),
                      static_cast<unsigned>(finder::kMaxMarkerHits),
                      static_cast<unsigned>(finder::kMaxPointers),
                      static_cast<unsigned>(finder::kMaxCandidates));
  }
  if (f.lost_bytes > 0) return pair + LostReason(f.lost_bytes);
  if (f.object_answer == Answer::kAmbiguous) {
    return pair + Format(
                      "%u candidates score alike (best %d, next %d); none picked: "
                      "see the candidates listed first",
                      static_cast<unsigned>(f.object_contenders), f.candidates[0].score,
                      f.candidates[1].score);
  }
  const MarkerInfo& first = r.markers.front();
  switch (f.object_missing) {
    case finder::Missing::kNoMarker:
      return pair + (missing.size() == 1 ? "the marker " : "the markers ") + QuotedList(missing) +
             Format(" %s nowhere in the %.1f MiB of readable memory",
                    missing.size() == 1 ? "is" : "are", Mib(f.total_bytes)) +
             ": check that the host shows an object of type " + std::to_string(first.type) +
             " whose " + first.field + " is exactly the marker and that it is the current one";
    case finder::Missing::kNoPointer:
      return pair + Format(
                        "the markers were found %u times, but no 4-aligned pointer leads to a "
                        "record around them (marker - field offset): check --type and --field, "
                        "and that the objects are the current ones",
                        static_cast<unsigned>(hits));
    case finder::Missing::kNoSlot:
      return pair + Format(
                        "%u pointers to the markers' records were found, but no word of %s's "
                        "image points up to 0x%X bytes below one: check --module, or try a "
                        "larger --max-offset",
                        static_cast<unsigned>(f.pointers.size()), LuaEscape(r.module).c_str(),
                        static_cast<unsigned>(r.options.max_offset));
    case finder::Missing::kNoPlausible:
      return pair + "no candidate decodes the records plausibly; see the candidates listed";
    case finder::Missing::kNone: break;
  }
  return pair + "not found";
}

std::string BufferReason(const FindReport& r) {
  const FindResult& f = r.result;
  const std::string head = "TextBufferAddress: ";
  if (f.buffer_hits_cut) {
    return head + "the buffer marker " + Quote(r.options.buffer_text) +
           Format(" is too common (more than %u hits kept): choose a longer, rarer one",
                  static_cast<unsigned>(finder::kMaxMarkerHits));
  }
  if (f.lost_image_bytes > 0) return head + LostReason(f.lost_image_bytes);
  if (f.buffer_text_before) {
    const finder::BufferCandidate& b = f.buffers.front();
    return head + "the buffer marker " + Quote(r.options.buffer_text) +
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
      head + "the buffer marker " + Quote(r.options.buffer_text) +
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

// ------------------------------------------------------------ text output

void Line(std::string* out, const std::string& text) {
  *out += text.empty() ? ";\n" : "; " + text + "\n";
}

void MoreLine(std::string* out, std::size_t shown, std::size_t total) {
  if (total > shown)
    Line(out,
         Format("  ... %u more (--json lists them all)", static_cast<unsigned>(total - shown)));
}

void TextObjectEvidence(const FindReport& r, std::string* out) {
  const FindResult& f = r.result;
  std::size_t hits = 0;
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    const MarkerInfo& m = r.markers[k];
    const finder::MarkerHits& found = f.object_hits[k];
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
  if (hits == 0) return;
  Line(out, Format("pointers to those records: %u%s", static_cast<unsigned>(f.pointers.size()),
                   f.pointers_cut ? " (more not kept)" : ""));
  for (std::size_t i = 0; i < f.pointers.size() && i < kShownHits; ++i) {
    Line(out, Format("  at 0x%08X -> 0x%08X", static_cast<unsigned>(f.pointers[i].address),
                     static_cast<unsigned>(f.pointers[i].record)));
  }
  MoreLine(out, kShownHits, f.pointers.size());
  if (f.candidates.empty()) return;
  Line(out, Format("(list, offset) candidates from slots in the image: %u%s; score = types that "
                   "decode plausibly - those that do not",
                   static_cast<unsigned>(f.candidates.size()),
                   f.candidates_cut ? " (more not kept)" : ""));
  for (std::size_t i = 0; i < f.candidates.size() && i < kShownCandidates; ++i) {
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
  MoreLine(out, kShownCandidates, f.candidates.size());
  if (f.object_contenders > 1) Line(out, "  * scores alike: no clear winner");
}

void TextBufferEvidence(const FindReport& r, std::string* out) {
  const FindResult& f = r.result;
  Line(out, "");
  Line(out,
       Format("buffer marker %s (UTF-16): %u hit%s, %u in the image",
              Quote(r.options.buffer_text).c_str(), static_cast<unsigned>(f.buffer_hits.size()),
              f.buffer_hits.size() == 1 ? "" : "s", static_cast<unsigned>(f.buffers.size())));
  for (std::size_t i = 0; i < f.buffers.size() && i < kShownCandidates; ++i) {
    const finder::BufferCandidate& b = f.buffers[i];
    Line(out, Format("  %s at 0x%08X: TextBufferAddress=0x%08X%s%s",
                     i < f.buffer_contenders && f.buffer_contenders > 1 ? "*" : " ",
                     static_cast<unsigned>(b.address), static_cast<unsigned>(b.offset),
                     b.starts ? "" : " (text before it)", b.terminated ? "" : " (text after it)"));
  }
  MoreLine(out, kShownCandidates, f.buffers.size());
}

std::string TextOutput(const FindReport& r) {
  const FindResult& f = r.result;
  const bool complete = r.reasons.empty();
  std::string out;
  // A section is written only when everything asked for was found.
  const std::string keys = complete ? "" : "; ";
  if (!complete) out += "; No section: something asked for was not found or is ambiguous.\n";
  out += keys + "[" + r.options.section + "]\n";
  if (r.object_found) {
    out += keys + "ObjectAddressList=" + Hex(r.table.object_address_list) + "\n";
    out += keys + "ObjectDataOffset=" + Hex(r.table.object_data_offset) + "\n";
  }
  if (r.buffer_found) out += keys + "TextBufferAddress=" + Hex(r.table.text_buffer_address) + "\n";
  for (const std::string& reason : r.reasons) Line(&out, reason);

  Line(&out,
       Format("quorvane-probe find in process %u%s: %s at 0x%08X, image 0x%X bytes",
              static_cast<unsigned>(r.process.pid),
              r.process.name.empty() ? "" : (" (" + r.process.name + ")").c_str(),
              LuaEscape(r.module).c_str(),
              static_cast<unsigned>(f.module_base), static_cast<unsigned>(f.module_size)));
  Line(&out,
       Format("scanned %.1f MiB of readable memory in %u regions (%.1f MiB read in all) in %.1f s",
              Mib(f.total_bytes), static_cast<unsigned>(f.regions), Mib(f.bytes_read), r.seconds) +
           (f.lost_bytes > 0 ? Format("; %.1f KiB listed as readable could not be read",
                                      static_cast<double>(f.lost_bytes) / 1024.0)
                             : ""));
  if (!r.markers.empty()) TextObjectEvidence(r, &out);
  if (r.options.has_buffer) TextBufferEvidence(r, &out);
  for (const std::string& line : ChangeTextLines(r.change, f, Quote)) Line(&out, line);
  if (!r.walks.empty()) {
    Line(&out, "");
    Line(&out, "The walks under the offsets found, as the module reads them:");
    for (const Walk& walk : r.walks) {
      const std::string lines = TextWalkLines(walk, r.table);
      std::size_t start = 0;
      while (start < lines.size()) {
        std::size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        const std::string line = lines.substr(start, end - start);
        if (!line.empty()) Line(&out, line);
        start = end + 1;
      }
    }
  }
  return out;
}

// ------------------------------------------------------------ JSON output

void JsonOffsetOrNull(JsonWriter* j, const char* key, bool found, std::uint32_t value) {
  j->Key(key);
  if (found) {
    j->Unsigned(value);
  } else {
    j->Null();
  }
}

void JsonHits(JsonWriter* j, const std::vector<finder::MarkerHit>& hits, std::uint32_t field_offset,
              bool with_record) {
  j->BeginArray();
  for (const finder::MarkerHit& h : hits) {
    j->BeginObject();
    j->Key("address");
    j->Unsigned(h.address);
    j->Key("in_module");
    j->Bool(h.in_module);
    if (with_record) {
      j->Key("record");
      j->Unsigned(h.address - field_offset);
    }
    j->EndObject();
  }
  j->EndArray();
}

void JsonCandidate(JsonWriter* j, const Candidate& c, bool contender) {
  j->BeginObject();
  j->Key("ObjectAddressList");
  j->Unsigned(c.list);
  j->Key("ObjectDataOffset");
  j->Unsigned(c.data_offset);
  j->Key("score");
  j->Integer(c.score);
  j->Key("contender");
  j->Bool(contender);
  j->Key("markers");
  j->BeginArray();
  for (const int m : c.markers) j->Integer(m);
  j->EndArray();
  j->Key("slot");
  j->Unsigned(c.slot);
  j->Key("structure");
  j->Unsigned(c.structure);
  j->Key("record_pointer");
  j->Unsigned(c.pointer);
  j->Key("record");
  j->Unsigned(c.record);
  j->Key("types");
  j->BeginArray();
  for (const finder::TypeCheck& t : c.checks) {
    j->BeginObject();
    j->Key("type");
    j->Integer(t.type);
    j->Key("outcome");
    j->String(OutcomeName(t.outcome));
    if (!t.note.empty()) {
      j->Key("note");
      j->String(AnsiToUtf8(t.note));
    }
    j->EndObject();
  }
  j->EndArray();
  j->EndObject();
}

std::string JsonOutput(const FindReport& r) {
  const FindResult& f = r.result;
  JsonWriter j;
  j.BeginObject();
  j.Key("ok");
  j.Bool(r.reasons.empty());
  j.Key("section");
  j.String(AnsiToUtf8(r.options.section));
  j.Key("found");
  j.BeginObject();
  JsonOffsetOrNull(&j, "ObjectAddressList", r.object_found, r.table.object_address_list);
  JsonOffsetOrNull(&j, "ObjectDataOffset", r.object_found, r.table.object_data_offset);
  JsonOffsetOrNull(&j, "TextBufferAddress", r.buffer_found, r.table.text_buffer_address);
  j.EndObject();
  j.Key("reasons");
  j.BeginArray();
  for (const std::string& reason : r.reasons) j.String(AnsiToUtf8(reason));
  j.EndArray();
  j.Key("process");
  j.BeginObject();
  j.Key("pid");
  j.Unsigned(r.process.pid);
  j.Key("name");
  j.String(AnsiToUtf8(r.process.name));
  j.EndObject();
  j.Key("module");
  j.BeginObject();
  j.Key("name");
  j.String(AnsiToUtf8(r.module));
  j.Key("base");
  j.Unsigned(f.module_base);
  j.Key("size");
  j.Unsigned(f.module_size);
  j.EndObject();
  j.Key("scan");
  j.BeginObject();
  j.Key("regions");
  j.Unsigned(f.regions);
  j.Key("readable_bytes");
  j.Number(static_cast<double>(f.total_bytes));
  j.Key("bytes_read");
  j.Number(static_cast<double>(f.bytes_read));
  j.Key("failed_reads");
  j.Unsigned(f.failed_reads);
  j.Key("lost_bytes");
  j.Number(static_cast<double>(f.lost_bytes));
  j.Key("seconds");
  j.Number(r.seconds);
  j.Key("max_data_offset");
  j.Unsigned(r.options.max_offset);
  j.EndObject();

  j.Key("object");
  if (r.markers.empty()) {
    j.Null();
  } else {
    j.BeginObject();
    j.Key("answer");
    j.String(AnswerName(f.object_answer));
    j.Key("markers");
    j.BeginArray();
    for (std::size_t k = 0; k < r.markers.size(); ++k) {
      const MarkerInfo& m = r.markers[k];
      j.BeginObject();
      j.Key("text");
      j.String(AnsiToUtf8(m.text));
      j.Key("encoding");
      j.String(m.wide ? "utf-16" : "ansi");
      j.Key("type");
      j.Integer(m.type);
      j.Key("field");
      j.String(m.field);
      j.Key("field_offset");
      j.Unsigned(m.field_offset);
      j.Key("hits");
      JsonHits(&j, f.object_hits[k].hits, m.field_offset, true);
      j.Key("hits_cut");
      j.Bool(f.object_hits[k].cut);
      j.EndObject();
    }
    j.EndArray();
    j.Key("record_pointers");
    j.BeginArray();
    for (const finder::RecordPointer& p : f.pointers) {
      j.BeginObject();
      j.Key("address");
      j.Unsigned(p.address);
      j.Key("record");
      j.Unsigned(p.record);
      j.EndObject();
    }
    j.EndArray();
    j.Key("record_pointers_cut");
    j.Bool(f.pointers_cut);
    j.Key("considered");
    j.Number(static_cast<double>(f.candidates_considered));
    j.Key("candidates_cut");
    j.Bool(f.candidates_cut);
    j.Key("candidates");
    j.BeginArray();
    for (std::size_t i = 0; i < f.candidates.size(); ++i) {
      JsonCandidate(&j, f.candidates[i], i < f.object_contenders);
    }
    j.EndArray();
    JsonChange(r.change.object_ask, r.change.object, f, f.object_answer == Answer::kFound,
               r.object_found, &j);
    j.EndObject();
  }

  j.Key("text_buffer");
  if (!r.options.has_buffer) {
    j.Null();
  } else {
    j.BeginObject();
    j.Key("answer");
    j.String(AnswerName(f.buffer_answer));
    j.Key("text_before");
    j.Bool(f.buffer_text_before);
    j.Key("marker");
    j.String(AnsiToUtf8(r.options.buffer_text));
    j.Key("hits");
    JsonHits(&j, f.buffer_hits, 0, false);
    j.Key("candidates");
    j.BeginArray();
    for (std::size_t i = 0; i < f.buffers.size(); ++i) {
      const finder::BufferCandidate& b = f.buffers[i];
      j.BeginObject();
      j.Key("TextBufferAddress");
      j.Unsigned(b.offset);
      j.Key("address");
      j.Unsigned(b.address);
      j.Key("score");
      j.Integer(b.score);
      j.Key("contender");
      j.Bool(i < f.buffer_contenders);
      j.Key("starts");
      j.Bool(b.starts);
      j.Key("terminated");
      j.Bool(b.terminated);
      j.EndObject();
    }
    j.EndArray();
    JsonChange(r.change.buffer_ask, r.change.buffer, f, f.buffer_answer == Answer::kFound,
               r.buffer_found, &j);
    j.EndObject();
  }

  j.Key("walks");
  j.BeginArray();
  for (const Walk& walk : r.walks) JsonWalkValue(walk, &j);
  j.EndArray();
  j.EndObject();
  return j.Text() + "\n";
}

// ------------------------------------------------------------ the find

int Find(const FindOptions& o, void** process, lua_State** L) {
  FindReport r;
  r.options = o;
  std::string error;

  finder::FindRequest request;
  if (!o.profile.empty()) {
    ProfileInfo profile;
    if (!ReadProfile(o.profile, &profile, &error)) return Fail(error);
    r.module = profile.module;
    for (const ProfileOffset& offset : profile.offsets) {
      if (!offset.reading.present || offset.reading.value == 0) continue;
      if (offset.key == "ObjectAddressList") {
        request.hint_list = true;
        request.old_list = offset.reading.value;
      } else if (offset.key == "ObjectDataOffset") {
        request.hint_data = true;
        request.old_data = offset.reading.value;
      } else if (offset.key == "TextBufferAddress") {
        request.hint_buffer = true;
        request.old_buffer = offset.reading.value;
      }
    }
  }
  if (!o.module.empty()) r.module = o.module;
  request.module = r.module;
  request.max_data_offset = o.max_offset;

  for (const TextOption& t : o.texts) {
    const int field = MarkerField(t, &error);
    if (field < 0) return Fail(error);
    const quorvane::FieldSpec& marked = quorvane::FindLayout(t.type)->fields[field];
    const MarkerInfo info{t.text, marked.kind == quorvane::FieldKind::kWideText, t.type,
                          marked.name, marked.offset};
    finder::ObjectMarker marker;
    marker.bytes = info.wide ? AnsiToUtf16(t.text) : t.text;
    marker.type = t.type;
    marker.field = field;
    if (marker.bytes.empty()) return Fail("the --text marker cannot be converted to UTF-16");
    r.markers.push_back(info);
    request.objects.push_back(marker);
    if (t.has_then) {
      ChangeAsk& ask = r.change.object_ask;
      ask = {true, t.text, t.then, info.wide ? AnsiToUtf16(t.then) : t.then,
             r.markers.size() - 1,
             Format("type %d field \"%s\"", static_cast<int>(info.type), info.field)};
      if (ask.bytes.empty()) return Fail("the --then marker cannot be converted to UTF-16");
    }
  }
  if (o.has_buffer) {
    request.buffer_marker = true;
    request.buffer_bytes = AnsiToUtf16(o.buffer_text);
    if (request.buffer_bytes.empty())
      return Fail("the --buffer-text marker cannot be converted to UTF-16");
    if (o.has_buffer_then) {
      r.change.buffer_ask = {true, o.buffer_text, o.buffer_then, AnsiToUtf16(o.buffer_then), 0,
                             "the text buffer"};
      if (r.change.buffer_ask.bytes.empty())
        return Fail("the --buffer-then marker cannot be converted to UTF-16");
    }
  }
  r.change.wait_seconds = o.wait_seconds;

  *process = OpenTargetProcess(o.target, &r.process, &error);
  if (*process == nullptr) return Fail(error);
  quorvane::SetRemoteProcess(*process);

  ProgressLine progress;
  r.result = finder::FindOffsets(
      request, [&](std::uint64_t done, std::uint64_t total) { progress.Update(done, total); });
  r.seconds = progress.Seconds();
  const FindResult& f = r.result;
  const std::string pid = std::to_string(r.process.pid);
  if (f.process_ended) return Fail("process " + pid + " exited during the scan; nothing was found");
  if (!f.module_loaded) {
    if (quorvane::LastModuleListError() != 0) {
      return Fail("cannot list the modules of process " + pid + ": " +
                  ErrorText(quorvane::LastModuleListError()));
    }
    NoteCloseModules(r.module, &r.process);
    std::string close;
    for (const std::string& name : r.process.close_modules)
      close += (close.empty() ? "" : ", ") + name;
    return Fail(LuaEscape(r.module) + " is not loaded in process " + pid +
                (close.empty() ? "" : " (loaded, with a close name: " + close + ")"));
  }

  // A change the author makes settles what the scan left open.
  if (!WatchChanges(request, f, Quote, &r.change)) {
    return Fail("process " + pid + " exited while the probe watched for the change");
  }
  std::size_t object_index = 0, buffer_index = 0;
  r.object_found = FoundAfterChange(r.change.object_ask, r.change.object,
                                    f.object_answer == Answer::kFound, &object_index);
  r.buffer_found = FoundAfterChange(r.change.buffer_ask, r.change.buffer,
                                    f.buffer_answer == Answer::kFound, &buffer_index);
  const std::string object_change =
      ChangeReason(r.change.object_ask, r.change.object, f, o.wait_seconds,
                   "ObjectAddressList and ObjectDataOffset: ", Quote);
  const std::string buffer_change = ChangeReason(r.change.buffer_ask, r.change.buffer, f,
                                                 o.wait_seconds, "TextBufferAddress: ", Quote);
  if (!r.markers.empty() && !r.object_found)
    r.reasons.push_back(object_change.empty() ? ObjectReason(r) : object_change);
  if (o.has_buffer && !r.buffer_found)
    r.reasons.push_back(buffer_change.empty() ? BufferReason(r) : buffer_change);
  r.table.module_base = f.module_base;
  if (r.object_found) {
    r.table.object_address_list = f.candidates[object_index].list;
    r.table.object_data_offset = f.candidates[object_index].data_offset;
  }
  if (r.buffer_found) r.table.text_buffer_address = f.buffers[buffer_index].offset;

  // The evidence: every walk the found offsets allow, as the module reads.
  *L = luaL_newstate();
  if (*L == nullptr) return Fail("cannot create a Lua state");
  WalkContext context;
  context.table = r.table;
  context.module = r.module;
  context.pid = r.process.pid;
  if (r.object_found) {
    for (int i = 0; i < quorvane::kTypesWithLayoutCount; ++i) {
      r.walks.push_back(WalkObject(*L, context, quorvane::kTypesWithLayout[i]));
    }
  }
  if (r.buffer_found) r.walks.push_back(WalkTextBuffer(*L, context));
  if (!quorvane::HostProcessRunning()) {
    return Fail("process " + pid + " exited during the scan; nothing was found");
  }

  // Standard output only now, all at once: an early end prints nothing.
  const std::string out = o.json ? JsonOutput(r) : TextOutput(r);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  for (const std::string& reason : r.reasons)
    std::fprintf(stderr, "quorvane-probe: %s\n", reason.c_str());
  return r.reasons.empty() ? kFound : kNotFound;
}

}  // namespace

int RunFind(int argc, char** argv) {
  FindOptions options;
  std::string error;
  if (!ParseFindArguments(argc, argv, &options, &error)) {
    return Fail(error + " (quorvane-probe find --help shows the usage)");
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kFound;
  }
  void* process = nullptr;
  lua_State* L = nullptr;
  const int status = Find(options, &process, &L);
  if (L != nullptr) lua_close(L);
  quorvane::SetRemoteProcess(nullptr);
  CloseTargetProcess(process);
  return status;
}

}  // namespace probe
