#include "probe/check/check_output.h"

#include <cstdio>

#include "config/profile_keys.h"
#include "probe/common/json.h"
#include "probe/common/near_names.h"
#include "probe/check/shared_stop.h"
#include "probe/common/system_text.h"
#include "readers/readers.h"

namespace probe {

namespace {

using quorvane::FieldKind;

std::string HexBytes(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) out += Format("%02x", static_cast<unsigned char>(c));
  return out;
}

const char* KindName(FieldKind kind) {
  switch (kind) {
    case FieldKind::kU8: return "u8";
    case FieldKind::kI8: return "i8";
    case FieldKind::kI16: return "i16";
    case FieldKind::kI32: return "i32";
    case FieldKind::kU32: return "u32";
    case FieldKind::kColour: return "colour";
    case FieldKind::kString: return "string";
    case FieldKind::kWideText: return "wide_text";
  }
  return "unknown";
}

std::string HopPhrase(Hop hop) { return std::string("the ") + HopTitle(hop); }

std::string CallOf(const Walk& walk) {
  return walk.text_buffer ? "GetTextbufferString(addr)"
                          : "GetObjectData(addr, " + std::to_string(walk.type) + ")";
}

std::string NumberText(double value) { return Format("%.17g", value); }

// Sections other than [Config], as a profile author would write them.
std::vector<std::string> LayoutSections(const ProfileInfo& p) {
  std::vector<std::string> names;
  for (const std::string& name : p.sections) {
    if (NameDistance(name, "Config") != 0) names.push_back(name);
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

void TextField(const FieldValue& f, std::string* out) {
  std::string value;
  if (f.is_text) {
    value = LuaQuote(f.text);
  } else if (f.kind == FieldKind::kColour) {
    value = NumberText(f.number) + Format(" (0x%06X)", static_cast<unsigned>(f.number));
  } else {
    value = NumberText(f.number);
  }
  *out += Format("    +%-4u %-11s ", static_cast<unsigned>(f.offset), f.name) + value + "\n";
}

// `shared`: the walk's stop is said once for all walks, after them.
void TextWalk(const Walk& walk, const AddressTable& table, bool shared, std::string* out) {
  *out += "\n" + CallOf(walk) + (walk.ok ? "" : " = nil") + "\n";
  for (const Step& s : walk.steps) {
    std::string line = Format("  %-15s %s", HopTitle(s.name), Hex(s.address).c_str());
    if (s.has_value) line += " -> " + Hex(s.value);
    if (walk.text_buffer) line += " (module + " + Hex(table.text_buffer_address) + ")";
    *out += line + "\n";
  }
  if (walk.text_buffer) {
    for (const FieldValue& f : walk.fields) *out += "    " + LuaQuote(f.text) + "\n";
  } else {
    for (const FieldValue& f : walk.fields) TextField(f, out);
    if (walk.ok && walk.fields.empty()) *out += "    (no fields: an empty table)\n";
  }
  for (const Implausible& i : walk.implausible) {
    *out += Format("  implausible: \"%s\" (+%u): ", i.field.c_str(), static_cast<unsigned>(i.offset)) +
            i.what + "\n";
  }
  if (!walk.ok && !shared) {
    *out += std::string("  stopped at ") + HopPhrase(walk.stop.hop) + ": " + walk.stop.message +
            "\n";
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

void JsonText(const std::string& ansi, JsonWriter* j) {
  j->StringField("value", AnsiToUtf8(ansi));
  j->StringField("ansi", HexBytes(ansi));
}

void JsonWalk(const Walk& walk, JsonWriter* j) {
  j->BeginObject();
  j->StringField("call", walk.text_buffer ? "GetTextbufferString" : "GetObjectData");
  if (!walk.text_buffer) {
    j->IntegerField("type", walk.type);
  }
  j->BoolField("ok", walk.ok);
  j->Key("steps");
  j->BeginArray();
  for (const Step& s : walk.steps) {
    j->BeginObject();
    j->StringField("step", HopCode(s.name));
    j->UnsignedField("address", s.address);
    if (s.has_value) {
      j->UnsignedField("value", s.value);
    }
    j->EndObject();
  }
  j->EndArray();
  if (walk.text_buffer) {
    if (walk.ok) JsonText(walk.fields.front().text, j);
  } else {
    j->Key("fields");
    if (!walk.ok) {
      j->Null();
    } else {
      j->BeginArray();
      for (const FieldValue& f : walk.fields) {
        j->BeginObject();
        j->StringField("name", f.name);
        j->StringField("kind", KindName(f.kind));
        j->UnsignedField("offset", f.offset);
        j->UnsignedField("address", f.address);
        if (f.is_text) {
          JsonText(f.text, j);
        } else {
          j->NumberField("value", f.number);
        }
        j->EndObject();
      }
      j->EndArray();
    }
  }
  if (walk.ok && !walk.text_buffer) {
    j->BoolField("plausible", walk.implausible.empty());
    j->Key("implausible");
    j->BeginArray();
    for (const Implausible& i : walk.implausible) {
      j->BeginObject();
      j->StringField("field", i.field);
      j->UnsignedField("offset", i.offset);
      j->StringField("message", AnsiToUtf8(i.what));
      j->EndObject();
    }
    j->EndArray();
  }
  j->Key("stop");
  if (walk.ok) {
    j->Null();
  } else {
    j->BeginObject();
    j->StringField("hop", HopCode(walk.stop.hop));
    j->StringField("reason", StopReasonCode(walk.stop.reason));
    if (!walk.stop.field.empty()) {
      j->StringField("field", walk.stop.field);
    }
    if (!walk.stop.cause.empty()) {
      j->StringField("cause", walk.stop.cause);
    }
    if (walk.stop.has_address) {
      j->UnsignedField("address", walk.stop.address);
    }
    j->StringField("message", AnsiToUtf8(walk.stop.message));
    j->EndObject();
  }
  j->EndObject();
}

}  // namespace

std::string TextReport(const Report& report) {
  std::string out;
  TextProfile(report.profile, &out);
  if (!report.has_process) return out;

  out += "\nProcess  " + std::to_string(report.process.pid);
  if (!report.process.name.empty()) out += " (" + report.process.name + ")";
  out += "\n";
  if (report.table.module_base != 0) {
    out += "Module   " + report.profile.module + " at " + Hex(report.table.module_base) + "\n";
  } else {
    out += "Module   " + report.profile.module + " is not loaded in this process\n";
    TextCloseModules(report.process, &out);
  }
  const SharedStop shared = FindSharedStop(report.walks, report.table);
  int stopped = 0, doubtful = 0;
  for (const Walk& walk : report.walks) {
    TextWalk(walk, report.table, shared.found && !walk.text_buffer, &out);
    if (!walk.ok) ++stopped;
    if (!walk.implausible.empty()) ++doubtful;
  }
  if (shared.found) TextSharedStop(shared, &out);
  const int total = static_cast<int>(report.walks.size());
  out += "\n";
  if (stopped == 0) {
    out += total == 1 ? "The walk reaches its data.\n"
                      : "All " + std::to_string(total) + " walks reach their data.\n";
  } else {
    out += std::to_string(stopped) + " of " + std::to_string(total) +
           (total == 1 ? " walk stops before its data" : " walks stop before their data") +
           ": the module gives nil there.\n";
  }
  if (doubtful > 0) {
    out += std::to_string(doubtful) + (doubtful == 1 ? " walk reaches" : " walks reach") +
           " a record with implausible values (marked above): the offsets may lead to the "
           "wrong data.\n";
  }
  return out;
}

std::string JsonReport(const Report& report) {
  JsonWriter j;
  j.BeginObject();
  j.Key("profile");
  JsonProfile(report.profile, &j);
  j.Key("process");
  if (!report.has_process) {
    j.Null();
  } else {
    j.BeginObject();
    j.UnsignedField("pid", report.process.pid);
    j.StringField("name", AnsiToUtf8(report.process.name));
    j.UnsignedField("module_base", report.table.module_base);
    if (report.process.modules_listed) {
      j.UnsignedField("loaded_modules", static_cast<std::uint32_t>(report.process.loaded_modules));
      j.Key("close_modules");
      JsonStrings(report.process.close_modules, &j);
    }
    j.Key("address_table");
    j.BeginObject();
    j.UnsignedField("ModuleAddress", report.table.module_base);
    j.UnsignedField(quorvane::kObjectAddressListKey, report.table.object_address_list);
    j.UnsignedField(quorvane::kObjectDataOffsetKey, report.table.object_data_offset);
    j.UnsignedField(quorvane::kTextBufferAddressKey, report.table.text_buffer_address);
    j.EndObject();
    j.EndObject();
  }
  j.Key("walks");
  j.BeginArray();
  for (const Walk& walk : report.walks) JsonWalk(walk, &j);
  j.EndArray();
  j.Key("shared_stop");
  JsonSharedStop(FindSharedStop(report.walks, report.table), &j);
  j.BoolField("ok", report.AllWalksOk());
  j.EndObject();
  return j.Text();
}

std::string TextWalkLines(const Walk& walk, const AddressTable& table) {
  std::string out;
  TextWalk(walk, table, false, &out);
  return out;
}

void JsonWalkValue(const Walk& walk, JsonWriter* j) { JsonWalk(walk, j); }

}  // namespace probe
