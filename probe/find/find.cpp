#include "probe/find/find.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "config/profile_keys.h"
#include "finder/finder.h"
#include "module/lua_api.h"
#include "platform/host_scan.h"
#include "platform/remote_process.h"
#include "probe/common/command.h"
#include "probe/common/near_names.h"
#include "probe/common/process.h"
#include "probe/common/profile.h"
#include "probe/common/system_text.h"
#include "probe/common/text.h"
#include "probe/find/find_change.h"
#include "probe/find/find_options.h"
#include "probe/find/find_output.h"
#include "probe/find/find_reasons.h"
#include "probe/find/find_report.h"
#include "probe/find/find_verdict.h"
#include "probe/walk/walk.h"

namespace probe {

namespace {

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

// --profile: its Module, and its offsets as hints.
bool TakeProfileHints(const FindOptions& o, FindReport* r, finder::FindRequest* request,
                      std::string* error) {
  if (o.profile.empty()) return true;
  ProfileInfo profile;
  if (!ReadProfile(o.profile, &profile, error)) return false;
  r->module = profile.module;
  for (const ProfileOffset& offset : profile.offsets) {
    if (!offset.reading.present || offset.reading.value == 0) continue;
    if (offset.key == quorvane::kObjectAddressListKey) {
      request->hint_list = true;
      request->old_list = offset.reading.value;
    } else if (offset.key == quorvane::kObjectDataOffsetKey) {
      request->hint_data = true;
      request->old_data = offset.reading.value;
    } else if (offset.key == quorvane::kTextBufferAddressKey) {
      request->hint_buffer = true;
      request->old_buffer = offset.reading.value;
    }
  }
  return true;
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
    const std::vector<std::string> fields = StringFieldNames(o.type);
    *error = !o.has_field     ? type + " has no string field for a marker"
             : fields.empty() ? type + " has no string field"
                              : type + " has no string field " + LuaQuote(o.field) +
                                    " (its string fields: " + Join(fields) + ")";
  }
  return -1;
}

// One --text marker as the finder searches it, and its --then.
bool AddObjectMarker(const TextOption& t, FindReport* r, finder::FindRequest* request,
                     std::string* error) {
  const int field = MarkerField(t, error);
  if (field < 0) return false;
  const quorvane::FieldSpec& marked = quorvane::FindLayout(t.type)->fields[field];
  const MarkerInfo info{t.text, marked.kind == quorvane::FieldKind::kWideText, t.type,
                        marked.name, marked.offset};
  finder::ObjectMarker marker;
  marker.bytes = info.wide ? AnsiToUtf16(t.text) : t.text;
  marker.type = t.type;
  marker.field = field;
  if (marker.bytes.empty()) {
    *error = "the --text marker cannot be converted to UTF-16";
    return false;
  }
  r->markers.push_back(info);
  request->objects.push_back(marker);
  if (!t.has_then) return true;
  ChangeAsk& ask = r->change.object_ask;
  ask = {true, t.text, t.then, info.wide ? AnsiToUtf16(t.then) : t.then, r->markers.size() - 1,
         Format("type %d field \"%s\"", static_cast<int>(info.type), info.field)};
  if (!ask.bytes.empty()) return true;
  *error = "the --then marker cannot be converted to UTF-16";
  return false;
}

// The --buffer-text marker as the finder searches it, and its --buffer-then.
bool AddBufferMarker(const FindOptions& o, FindReport* r, finder::FindRequest* request,
                     std::string* error) {
  request->buffer_marker = true;
  request->buffer_bytes = AnsiToUtf16(o.buffer_text);
  if (request->buffer_bytes.empty()) {
    *error = "the --buffer-text marker cannot be converted to UTF-16";
    return false;
  }
  if (!o.has_buffer_then) return true;
  r->change.buffer_ask = {true, o.buffer_text, o.buffer_then, AnsiToUtf16(o.buffer_then), 0,
                          "the text buffer"};
  if (!r->change.buffer_ask.bytes.empty()) return true;
  *error = "the --buffer-then marker cannot be converted to UTF-16";
  return false;
}

// What the finder is asked: the module, the hints, the markers.
bool MakeRequest(const FindOptions& o, FindReport* r, finder::FindRequest* request,
                 std::string* error) {
  if (!TakeProfileHints(o, r, request, error)) return false;
  if (!o.module.empty()) r->module = o.module;
  request->module = r->module;
  request->max_data_offset = o.max_offset;
  for (const TextOption& t : o.texts) {
    if (!AddObjectMarker(t, r, request, error)) return false;
  }
  if (o.has_buffer && !AddBufferMarker(o, r, request, error)) return false;
  r->change.wait_seconds = o.wait_seconds;
  return true;
}

// The scan, with progress; false when it cannot stand: the process ended
// or the module is not loaded.
bool Scan(const finder::FindRequest& request, FindReport* r, std::string* error) {
  ProgressLine progress;
  r->result = finder::FindOffsets(
      request, [&](std::uint64_t done, std::uint64_t total) { progress.Update(done, total); });
  r->seconds = progress.Seconds();
  const std::string pid = std::to_string(r->process.pid);
  if (r->result.process_ended) {
    *error = "process " + pid + " exited during the scan; nothing was found";
    return false;
  }
  if (r->result.module_loaded) return true;
  if (!ModulesListed(r->process.pid, error)) return false;
  NoteCloseModules(r->module, &r->process);
  const std::string close = Join(r->process.close_modules);
  *error = LuaEscape(r->module) + " is not loaded in process " + pid +
           (close.empty() ? "" : " (loaded, with a close name: " + close + ")");
  return false;
}

// Asks the author on standard error for each change that something can
// settle, then watches for them.
bool WatchChanges(const finder::FindRequest& request, FindReport* r, std::string* error) {
  ChangeResults& change = r->change;
  StartWatches(request, r->result, &change);
  bool any = false;
  for (const auto& [ask, watch] : AskedWatches(change)) {
    if (!Watched(ask, watch)) continue;
    any = true;
    Note(ChangePrompt(ask, watch, change.wait_seconds));
  }
  if (!any || Watch(&change)) return true;
  *error = "process " + std::to_string(r->process.pid) +
           " exited while the probe watched for the change";
  return false;
}

// A change the author makes settles what the scan left open: the offsets
// found, and a reason for each one not found.
bool Settle(const finder::FindRequest& request, FindReport* r, std::string* error) {
  if (!WatchChanges(request, r, error)) return false;
  Conclude(r);
  return true;
}

// The evidence: every walk the found offsets allow, as the module reads.
bool WalkFound(lua_State* L, FindReport* r, std::string* error) {
  WalkContext context;
  context.table = r->table;
  context.module = r->module;
  context.pid = r->process.pid;
  if (r->object_found) r->walks = WalkEveryType(L, context);
  if (r->buffer_found) r->walks.push_back(WalkTextBuffer(L, context));
  if (quorvane::HostProcessRunning()) return true;
  *error = "process " + std::to_string(r->process.pid) + " exited during the scan; nothing was found";
  return false;
}

// Everything after the arguments: the process handle and the Lua state are
// released by the caller.
int Find(const FindOptions& o, void** process, lua_State** L) {
  FindReport r;
  r.options = o;
  std::string error;
  finder::FindRequest request;
  if (!MakeRequest(o, &r, &request, &error)) return Fail(error);
  *process = OpenTargetProcess(o.target, &r.process, &error);
  if (*process == nullptr) return Fail(error);
  quorvane::SetRemoteProcess(*process);
  if (!Scan(request, &r, &error) || !Settle(request, &r, &error)) return Fail(error);
  *L = luaL_newstate();
  if (*L == nullptr) return Fail("cannot create a Lua state");
  if (!WalkFound(*L, &r, &error)) return Fail(error);
  // Standard output only now, all at once: an early end prints nothing.
  Print(o.json ? FindJsonOutput(r) : FindTextOutput(r));
  for (const std::string& reason : r.reasons) Note(reason);
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
    Print(FindUsage());
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
