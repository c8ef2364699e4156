#include "probe/update/update.h"

#include <chrono>
#include <string>

#include "module/lua_api.h"
#include "platform/host_scan.h"
#include "probe/check/check.h"
#include "probe/common/command.h"
#include "probe/common/files.h"
#include "probe/update/update_report.h"
#include "probe/walk/walk.h"

namespace probe {

namespace {

namespace sig = quorvane::signatures;

// Signature files are small: 96 signatures of a few hundred bytes.
constexpr std::size_t kMaxSignatureFile = 16u << 20;

bool ReadSignatures(const std::string& path, UpdateReport* r, std::string* error) {
  std::string text;
  if (!ReadNamedFile(path, "the signature file", kMaxSignatureFile, &r->signatures_path, &text,
                     error)) {
    return false;
  }
  sig::SignatureFileReading reading = sig::ReadSignatureFile(text);
  if (!reading.ok) {
    *error = r->signatures_path + ": " + reading.error + " (not a signature file as sign writes "
             "them: docs/SIGNATURES.md)";
    return false;
  }
  r->file = std::move(reading.file);
  return true;
}

// The new release, loaded in the running host.
bool ReadHostModule(const UpdateOptions& o, void** process, UpdateReport* r,
                    std::string* error) {
  r->module.live = true;
  if (!OpenProcess(o.target, process, &r->process, error) ||
      !FindLoadedModule(r->file.module, &r->process, &r->module.base, &r->module.size, error) ||
      !ReadLoadedImage(r->file.module, &r->module, error)) {
    return false;
  }
  if (quorvane::HostProcessRunning()) return true;
  *error = Exited(r->process.pid);
  return false;
}

// One pass over the code for every signature, and the judgement.
bool Match(UpdateReport* r, std::string* error) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  r->matching = sig::MatchSignatures(r->module.image, r->file.signatures);
  if (!r->matching.ok) {
    *error = r->matching.error;
    return false;
  }
  r->verdict = sig::Judge(r->file.signatures, r->matching.matches);
  r->seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r->table.module_base = r->module.image.load_base;
  r->table.object_address_list = r->verdict.offsets[sig::Offset::kObjectAddressList];
  r->table.object_data_offset = r->verdict.offsets[sig::Offset::kObjectDataOffset];
  r->table.text_buffer_address = r->verdict.offsets[sig::Offset::kTextBufferAddress];
  return true;
}

// The offsets the code gave, walked in the running host as the module reads
// them, and judged as find judges its own answer.
bool CheckLive(lua_State* L, UpdateReport* r, std::string* error) {
  WalkContext context;
  context.table = r->table;
  context.module = r->file.module;
  context.pid = r->process.pid;
  r->walks = WalkEveryType(L, context);
  r->walks.push_back(WalkTextBuffer(L, context));
  r->live = CheckWalks(r->walks, r->file.types);
  r->live_checked = true;
  // What was read after the process ended is not to be trusted.
  if (quorvane::HostProcessRunning()) return true;
  *error = Exited(r->process.pid);
  return false;
}

int ExitStatus(const UpdateReport& r) {
  if (!r.SectionGiven()) return kExitIncomplete;
  return r.module.live ? kExitComplete : kExitUnchecked;
}

// Everything after the arguments: the process handle and the Lua state are
// released by the caller.
int Update(const UpdateOptions& o, lua_State* L, void** process) {
  UpdateReport r;
  r.options = o;
  std::string error;
  if (!ReadSignatures(o.signatures, &r, &error)) return Fail(error);
  const bool read = o.module_file.empty() ? ReadHostModule(o, process, &r, &error)
                                          : ReadModuleFile(o.module_file, &r.module, &error);
  if (!read || !Match(&r, &error)) return Fail(error);
  if (r.module.live && r.verdict.answered && !CheckLive(L, &r, &error)) return Fail(error);
  r.reasons = UpdateReasons(r);
  // Standard output all at once: an early end prints nothing.
  Print(o.json ? UpdateJsonOutput(r) : UpdateTextOutput(r));
  for (const std::string& reason : r.reasons) Note(reason);
  return ExitStatus(r);
}

}  // namespace

int RunUpdate(int argc, char** argv) {
  UpdateOptions options;
  std::string error;
  if (!ParseUpdateArguments(argc, argv, &options, &error)) {
    return Fail(error + " (quorvane-probe update --help shows the usage)");
  }
  if (options.help) {
    Print(UpdateUsage());
    return kExitComplete;
  }
  return WithLuaAndProcess(
      [&options](lua_State* L, void** process) { return Update(options, L, process); });
}

}  // namespace probe
