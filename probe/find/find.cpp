#include "probe/find/find.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/profile_keys.h"
#include "finder/finder.h"
#include "module/lua_api.h"
#include "platform/host_scan.h"
#include "platform/remote_process.h"
#include "probe/common/json.h"
#include "probe/common/numbers.h"
#include "probe/common/command.h"
#include "probe/find/find_change.h"
#include "probe/find/find_output.h"
#include "probe/find/find_reasons.h"
#include "probe/find/find_report.h"
#include "probe/common/process.h"
#include "probe/common/profile.h"
#include "probe/walk/walk.h"
#include "probe/common/system_text.h"

namespace probe {

namespace {

using finder::Answer;
using finder::FindResult;


// Larger offsets would make nearly every word of an image a candidate.
constexpr std::uint32_t kMaxMaxOffset = 0x100000;
constexpr long long kMaxWaitSeconds = 3600;
// Candidates shown in the text output; the JSON has them all.

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
      std::int32_t type = 0;
      if (!take("a type index")) return false;
      if (!ParseType(value, &type)) {
        *error = "--type needs a type index, not " + Quote(value);
        return false;
      }
      if (where.has_type) {
        *error = "--type given twice for one --text marker";
        return false;
      }
      where.type = type;
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
      if (!ParseDecimal(value, 1, kMaxWaitSeconds, &n)) {
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

// The field of a --text marker (finder::MarkerField); -1 with `error` when
// the type has none.
int MarkerField(const TextOption& o, std::string* error) {
  const int field = finder::MarkerField(o.type, o.has_field ? &o.field : nullptr);
  if (field >= 0) return field;
  const std::string type = "type " + std::to_string(o.type);
  if (quorvane::FindLayout(o.type) == nullptr) {
    *error = type + " has no record layout";
  } else {
    *error = o.has_field ? type + " has no string field " + Quote(o.field)
                         : type + " has no string field for a marker";
  }
  return -1;
}

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
      if (offset.key == quorvane::kObjectAddressListKey) {
        request.hint_list = true;
        request.old_list = offset.reading.value;
      } else if (offset.key == quorvane::kObjectDataOffsetKey) {
        request.hint_data = true;
        request.old_data = offset.reading.value;
      } else if (offset.key == quorvane::kTextBufferAddressKey) {
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
    const std::string close = Join(r.process.close_modules);
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
  if (r.object_found) r.walks = WalkEveryType(*L, context);
  if (r.buffer_found) r.walks.push_back(WalkTextBuffer(*L, context));
  if (!quorvane::HostProcessRunning()) {
    return Fail("process " + pid + " exited during the scan; nothing was found");
  }

  // Standard output only now, all at once: an early end prints nothing.
  const std::string out = o.json ? FindJsonOutput(r) : FindTextOutput(r);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  for (const std::string& reason : r.reasons)
    std::fprintf(stderr, "quorvane-probe: %s\n", reason.c_str());
  return r.reasons.empty() ? kExitComplete : kExitIncomplete;
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
    return kExitComplete;
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
