#include "probe/update/sign.h"

#include <string>

#include "module/lua_api.h"
#include "platform/host_scan.h"
#include "platform/tool_system.h"
#include "probe/check/check.h"
#include "probe/common/command.h"
#include "probe/common/system_text.h"
#include "probe/common/text.h"
#include "probe/update/sign_report.h"
#include "probe/update/update_options.h"
#include "signatures/signature_file.h"

namespace probe {

namespace {

namespace sig = quorvane::signatures;

// An earlier signature file is read this far to tell what it is.
constexpr std::size_t kMaxSignatureFile = 16u << 20;
constexpr const char* kSignatureFileStart = "quorvane-signatures";

// --section must name one of the profile's sections.
bool ChooseSection(const SignOptions& o, SignReport* r, std::string* error) {
  const ProfileInfo& p = r->check.profile;
  r->section = o.section.empty() ? p.version : o.section;
  if (o.section.empty() || HasSection(p, o.section)) return true;
  *error = p.path + " has no section [" + o.section + "]";
  return false;
}

// GetAddress read the Version's section; another one is read the same way.
void TakeSectionOffsets(const SignOptions& o, SignReport* r) {
  if (o.section.empty()) return;
  ProfileInfo& p = r->check.profile;
  p.offsets = ReadSectionOffsets(p.path, o.section);
  AddressTable& t = r->check.table;
  t.object_address_list = p.offsets[0].reading.value;
  t.object_data_offset = p.offsets[1].reading.value;
  t.text_buffer_address = p.offsets[2].reading.value;
}

sig::Offsets SignedOffsets(const AddressTable& t) {
  sig::Offsets offsets;
  offsets[sig::Offset::kObjectAddressList] = t.object_address_list;
  offsets[sig::Offset::kObjectDataOffset] = t.object_data_offset;
  offsets[sig::Offset::kTextBufferAddress] = t.text_buffer_address;
  return offsets;
}

// The image, read while the host still runs.
bool ReadImage(SignReport* r, std::string* error) {
  if (!ReadLoadedImage(r->check.profile.module, &r->module, error)) return false;
  if (quorvane::HostProcessRunning()) return true;
  *error = Exited(r->check.process.pid);
  return false;
}

bool MakeSignatures(SignReport* r, std::string* error) {
  r->references = sig::FindReferences(r->module.image, SignedOffsets(r->check.table));
  if (!r->references.ok) {
    *error = r->references.error;
    return false;
  }
  r->signing = sig::MakeSignatures(r->module.image, r->references.references);
  if (r->signing.ok) return true;
  *error = r->signing.error;
  return false;
}

// update gives a section only when the code gives all three offsets.
void NoteUnsignedOffsets(SignReport* r) {
  for (int i = 0; i < sig::kOffsetCount; ++i) {
    const auto o = static_cast<sig::Offset>(i);
    if (r->Signatures(o) > 0) continue;
    const std::string name = sig::OffsetName(o);
    r->reasons.push_back(
        r->References(o) == 0
            ? name + ": no instruction in the module's code uses it, so update could not find it"
            : name + ": none of the " + std::to_string(r->References(o)) +
                  " instructions that use it could be signed");
  }
}

// A signature file may be replaced by a newer one; any other file is left
// alone (a mistyped --out must not cost a profile).
bool MayWrite(SignReport* r, std::string* error) {
  if (!quorvane::FileExists(r->out)) return true;
  std::string text;
  unsigned long code = 0;
  if (quorvane::ReadWholeFile(r->out, kMaxSignatureFile, &text, &code) &&
      text.rfind(kSignatureFileStart, 0) == 0) {
    r->replaced = true;
    const sig::SignatureFileReading earlier = sig::ReadSignatureFile(text);
    if (earlier.ok) r->replaced_section = earlier.file.section;
    return true;
  }
  *error = r->out + " is there and is not a signature file: it is left alone (name another " +
           "file with --out)";
  return false;
}

bool WriteSignatures(const SignOptions& o, SignReport* r, std::string* error) {
  const std::string given = o.out.empty() ? DefaultSignaturePath(r->check.profile.path) : o.out;
  if (!quorvane::FullPathName(given, &r->out)) {
    *error = "bad signature file path " + given;
    return false;
  }
  if (!MayWrite(r, error)) return false;
  sig::SignatureFile file;
  file.module = r->check.profile.module;
  file.section = r->section;
  file.offsets = SignedOffsets(r->check.table);
  file.time_date_stamp = r->module.image.time_date_stamp;
  file.file_version = r->module.image.file_version;
  file.types = r->live.reached;
  file.signatures = r->signing.signatures;
  unsigned long code = 0;
  if (!quorvane::WriteWholeFile(r->out, sig::WriteSignatureFile(file), &code)) {
    *error = "cannot write " + r->out + ": " + ErrorText(code);
    return false;
  }
  r->written = true;
  return true;
}

// Nothing written: the report, and the reasons on standard error.
int NotSigned(SignReport* r) {
  Print(SignTextOutput(*r));
  for (const std::string& reason : r->reasons) Note(reason);
  return kExitIncomplete;
}

// Everything after the arguments: the process handle and the Lua state are
// released by the caller.
int Sign(const SignOptions& o, lua_State* L, void** process) {
  SignReport r;
  r.check.has_process = true;
  r.module.live = true;
  std::string error;
  if (!ReadProfile(o.profile, &r.check.profile, &error) || !ChooseSection(o, &r, &error) ||
      !OpenProcess(o.target, process, &r.check.process, &error) || !MakeTable(L, &r.check, &error) ||
      !FindLoadedModule(r.check.profile.module, &r.check.process, &r.module.base,
                        &r.module.size, &error)) {
    return Fail(error);
  }
  TakeSectionOffsets(o, &r);
  if (!WalkHost(L, nullptr, &r.check, &error)) return Fail(error);
  r.live = CheckWalks(r.check.walks, {});
  if (!r.live.Passed()) {
    r.reasons = r.live.problems;
    r.reasons.push_back("not signed: the profile is not right for this host (quorvane-probe \"" +
                        r.check.profile.path + "\" " +
                        std::to_string(r.check.process.pid) + " shows every walk)");
    return NotSigned(&r);
  }
  r.checked = true;
  if (!ReadImage(&r, &error) || !MakeSignatures(&r, &error)) return Fail(error);
  NoteUnsignedOffsets(&r);
  if (!r.reasons.empty()) {
    r.reasons.push_back("not signed: find the offsets after an update with markers instead "
                        "(quorvane-probe find --help)");
    return NotSigned(&r);
  }
  if (!WriteSignatures(o, &r, &error)) return Fail(error);
  Print(SignTextOutput(r));
  return kExitComplete;
}

}  // namespace

int RunSign(int argc, char** argv) {
  SignOptions options;
  std::string error;
  if (!ParseSignArguments(argc, argv, &options, &error)) {
    return Fail(error + " (quorvane-probe sign --help shows the usage)");
  }
  if (options.help) {
    Print(SignUsage());
    return kExitComplete;
  }
  return WithLuaAndProcess(
      [&options](lua_State* L, void** process) { return Sign(options, L, process); });
}

}  // namespace probe
