#include "probe/check/check_output.h"

#include <algorithm>

#include "config/profile_keys.h"
#include "probe/check/shared_stop.h"
#include "probe/common/near_names.h"
#include "probe/common/system_text.h"
#include "probe/common/text.h"
#include "probe/walk/walk_output.h"

namespace probe {

namespace {

// Sections other than [Config], as a profile author would write them.
std::vector<std::string> LayoutSections(const ProfileInfo& p) {
  std::vector<std::string> names;
  for (const std::string& name : p.sections) {
    if (!SameName(name, quorvane::kConfigSection)) names.push_back(name);
  }
  return names;
}

std::vector<std::string> CloseSections(const ProfileInfo& p) {
  return CloseNames(p.version, LayoutSections(p), 3, false);
}

std::string Bracketed(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "[" : ", [") + name + "]";
  return out;
}

// What a Version that names no section could have meant.
void TextSections(const ProfileInfo& p, std::string* out) {
  const std::vector<std::string> sections = LayoutSections(p);
  if (sections.empty()) {
    *out += "  the profile has no section besides [Config]\n";
    return;
  }
  *out += "  sections in the profile: " + Bracketed(sections) + "\n";
  const std::vector<std::string> close = CloseSections(p);
  if (!close.empty()) *out += "  closest to " + LuaQuote(p.version) + ": " + Bracketed(close) + "\n";
}

// What a Module that is not loaded could have meant.
void TextCloseModules(const ProcessInfo& process, std::string* out) {
  if (!process.modules_listed) return;
  if (process.close_modules.empty()) {
    *out += "  no loaded module has a close name (" + std::to_string(process.loaded_modules) +
            " modules loaded)\n";
    return;
  }
  *out += "  loaded modules with close names: " + Join(process.close_modules) + "\n";
}

void TextSharedStop(const SharedStop& shared, std::string* out) {
  *out += "\nAll " + std::to_string(shared.walks) + " GetObjectData walks stop at " +
          HopPhrase(shared.hop) + ": " + shared.what + ".\n";
  *out += "  likely cause: " + shared.cause + "\n";
}

// What each read gives when an offset it needs is 0.
struct ReadNeeds {
  const char* keys[2];
  const char* without;
};
constexpr ReadNeeds kReadNeeds[] = {
    {{quorvane::kObjectAddressListKey, quorvane::kObjectDataOffsetKey},
     "GetObjectData gives nil for every type"},
    {{quorvane::kTextBufferAddressKey, nullptr}, "GetTextbufferString gives nil"},
};

// Without a process: the reads that an offset of 0 leaves without data, one
// line each, e.g. "ObjectDataOffset is 0: GetObjectData gives nil for every
// type."
void TextZeroOffsets(const ProfileInfo& p, std::string* out) {
  const std::vector<std::string> zero = ZeroOffsets(p);
  std::string lines;
  for (const ReadNeeds& read : kReadNeeds) {
    std::vector<std::string> keys;
    for (const char* key : read.keys) {
      if (key != nullptr && std::find(zero.begin(), zero.end(), key) != zero.end()) {
        keys.push_back(key);
      }
    }
    if (keys.empty()) continue;
    lines += (keys.size() == 1 ? keys[0] + " is 0: " : keys[0] + " and " + keys[1] + " are 0: ") +
             read.without + ".\n";
  }
  if (!lines.empty()) *out += "\n" + lines;
}

void TextProfile(const ProfileInfo& p, std::string* out) {
  *out += "Profile  " + p.path + "\n";
  if (p.relative) {
    *out += "  note: given as " + LuaQuote(p.given_path) +
            "; scripts must pass the full path: GetAddress looks for a bare file name in "
            "the Windows folder\n";
  }
  *out += "Version  " + LuaQuote(p.version) + "\n";
  *out += "Module   " + LuaQuote(p.module) + "\n";
  *out += "[" + p.version + "]";
  if (!p.section_found) *out += "  not in the profile: every offset is 0";
  *out += "\n";
  if (!p.section_found) TextSections(p, out);
  for (const ProfileOffset& o : p.offsets) {
    const std::string written = o.reading.present ? LuaQuote(o.reading.text) : "(missing)";
    *out += Format("  %-17s = %-14s -> %s\n", o.key.c_str(), written.c_str(),
                   Hex(o.reading.value).c_str());
    for (const quorvane::HexNote& note : o.reading.notes) {
      *out += "      note: " + quorvane::DescribeHexNote(o.reading, note) + "\n";
    }
  }
}

void JsonNotes(const quorvane::HexReading& reading, JsonWriter* j) {
  j->BeginArray();
  for (const quorvane::HexNote& note : reading.notes) {
    j->BeginObject();
    j->StringField("code", quorvane::HexNoteCode(note.kind));
    j->UnsignedField("position", static_cast<std::uint32_t>(note.position));
    j->StringField("message", AnsiToUtf8(quorvane::DescribeHexNote(reading, note)));
    j->EndObject();
  }
  j->EndArray();
}

void JsonStrings(const std::vector<std::string>& strings, JsonWriter* j) {
  j->BeginArray();
  for (const std::string& s : strings) j->String(AnsiToUtf8(s));
  j->EndArray();
}

void JsonSharedStop(const SharedStop& shared, JsonWriter* j) {
  if (!shared.found) {
    j->Null();
    return;
  }
  j->BeginObject();
  j->StringField("hop", HopCode(shared.hop));
  j->StringField("reason", StopReasonCode(shared.reason));
  j->IntegerField("walks", shared.walks);
  j->Key("keys");
  JsonStrings(shared.keys, j);
  j->StringField("what", AnsiToUtf8(shared.what));
  j->StringField("cause", AnsiToUtf8(shared.cause));
  j->EndObject();
}

void JsonProfile(const ProfileInfo& p, JsonWriter* j) {
  j->BeginObject();
  j->StringField("path", AnsiToUtf8(p.path));
  j->StringField("given_path", AnsiToUtf8(p.given_path));
  j->BoolField("relative", p.relative);
  j->StringField("version", AnsiToUtf8(p.version));
  j->StringField("module", AnsiToUtf8(p.module));
  j->BoolField("section_found", p.section_found);
  j->Key("sections");
  JsonStrings(p.sections, j);
  j->Key("close_sections");
  JsonStrings(p.section_found ? std::vector<std::string>() : CloseSections(p), j);
  j->Key("zero_offsets");
  JsonStrings(ZeroOffsets(p), j);
  j->Key("offsets");
  j->BeginArray();
  for (const ProfileOffset& o : p.offsets) {
    j->BeginObject();
    j->StringField("key", o.key);
    j->BoolField("present", o.reading.present);
    j->StringField("written", AnsiToUtf8(o.reading.text));
    j->UnsignedField("value", o.reading.value);
    j->Key("notes");
    JsonNotes(o.reading, j);
    j->EndObject();
  }
  j->EndArray();
  j->EndObject();
}

void TextProcess(const Report& report, std::string* out) {
  *out += "\nProcess  " + std::to_string(report.process.pid);
  if (!report.process.name.empty()) *out += " (" + report.process.name + ")";
  *out += "\n";
  if (report.table.module_base != 0) {
    *out += "Module   " + report.profile.module + " at " + Hex(report.table.module_base) + "\n";
  } else {
    *out += "Module   " + report.profile.module + " is not loaded in this process\n";
    TextCloseModules(report.process, out);
  }
}

// How many walks stop, how many reach doubtful records or text buffers.
void TextSummary(const std::vector<Walk>& walks, std::string* out) {
  int stopped = 0, doubtful = 0;
  for (const Walk& walk : walks) {
    if (!walk.ok) ++stopped;
    if (!walk.implausible.empty()) ++doubtful;
  }
  const int total = static_cast<int>(walks.size());
  *out += "\n";
  if (stopped == 0) {
    *out += total == 1 ? "The walk reaches its data.\n"
                       : "All " + std::to_string(total) + " walks reach their data.\n";
  } else {
    *out += std::to_string(stopped) + " of " + std::to_string(total) +
            (total == 1 ? " walk stops before its data" : " walks stop before their data") +
            ": the module gives nil there.\n";
  }
  if (doubtful > 0) {
    *out += std::to_string(doubtful) + (doubtful == 1 ? " walk reaches" : " walks reach") +
            " implausible data (marked above: a record's values, or a text buffer that starts "
            "inside running text): the offsets may lead to the wrong data.\n";
  }
}

void JsonAddressTable(const AddressTable& table, JsonWriter* j) {
  j->BeginObject();
  j->UnsignedField(quorvane::kModuleAddressField, table.module_base);
  j->UnsignedField(quorvane::kObjectAddressListKey, table.object_address_list);
  j->UnsignedField(quorvane::kObjectDataOffsetKey, table.object_data_offset);
  j->UnsignedField(quorvane::kTextBufferAddressKey, table.text_buffer_address);
  j->EndObject();
}

void JsonProcess(const Report& report, JsonWriter* j) {
  if (!report.has_process) {
    j->Null();
    return;
  }
  j->BeginObject();
  j->UnsignedField("pid", report.process.pid);
  j->StringField("name", AnsiToUtf8(report.process.name));
  j->UnsignedField("module_base", report.table.module_base);
  if (report.process.modules_listed) {
    j->UnsignedField("loaded_modules", static_cast<std::uint32_t>(report.process.loaded_modules));
    j->Key("close_modules");
    JsonStrings(report.process.close_modules, j);
  }
  j->Key("address_table");
  JsonAddressTable(report.table, j);
  j->EndObject();
}

}  // namespace

std::string TextReport(const Report& report) {
  std::string out;
  TextProfile(report.profile, &out);
  if (!report.has_process) {
    TextZeroOffsets(report.profile, &out);
    return out;
  }
  TextProcess(report, &out);
  const SharedStop shared = FindSharedStop(report.walks, report.table);
  for (const Walk& walk : report.walks) {
    out += TextWalkLines(walk, report.table, shared.found && !walk.text_buffer);
  }
  if (shared.found) TextSharedStop(shared, &out);
  TextSummary(report.walks, &out);
  return out;
}

std::string JsonReport(const Report& report) {
  JsonWriter j;
  j.BeginObject();
  j.Key("profile");
  JsonProfile(report.profile, &j);
  j.Key("process");
  JsonProcess(report, &j);
  JsonWalks(report.walks, &j);
  j.Key("shared_stop");
  JsonSharedStop(FindSharedStop(report.walks, report.table), &j);
  j.BoolField("ok", report.Complete());
  j.EndObject();
  return j.Text();
}

}  // namespace probe
