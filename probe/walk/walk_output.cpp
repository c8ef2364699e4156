#include "probe/walk/walk_output.h"

#include "probe/common/system_text.h"
#include "probe/common/text.h"

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

std::string CallOf(const Walk& walk) {
  return walk.text_buffer ? "GetTextbufferString(addr)"
                          : "GetObjectData(addr, " + std::to_string(walk.type) + ")";
}

std::string NumberText(double value) { return Format("%.17g", value); }

// ------------------------------------------------------------ text

void TextStep(const Walk& walk, const Step& s, const AddressTable& table, std::string* out) {
  std::string line = Format("  %-15s %s", HopTitle(s.name), Hex(s.address).c_str());
  if (s.has_value) line += " -> " + Hex(s.value);
  if (walk.text_buffer) line += " (module + " + Hex(table.text_buffer_address) + ")";
  *out += line + "\n";
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

void TextFields(const Walk& walk, std::string* out) {
  if (walk.text_buffer) {
    for (const FieldValue& f : walk.fields) *out += "    " + LuaQuote(f.text) + "\n";
    return;
  }
  for (const FieldValue& f : walk.fields) TextField(f, out);
  if (walk.ok && walk.fields.empty()) *out += "    (no fields: an empty table)\n";
}

// ------------------------------------------------------------ JSON

void JsonText(const std::string& ansi, JsonWriter* j) {
  j->StringField("value", AnsiToUtf8(ansi));
  j->StringField("ansi", HexBytes(ansi));
}

void JsonSteps(const Walk& walk, JsonWriter* j) {
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
}

void JsonField(const FieldValue& f, JsonWriter* j) {
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

// The text buffer's text, or the record's fields (null when it stopped).
void JsonFields(const Walk& walk, JsonWriter* j) {
  if (walk.text_buffer) {
    if (walk.ok) JsonText(walk.fields.front().text, j);
    return;
  }
  j->Key("fields");
  if (!walk.ok) {
    j->Null();
    return;
  }
  j->BeginArray();
  for (const FieldValue& f : walk.fields) JsonField(f, j);
  j->EndArray();
}

void JsonImplausible(const Walk& walk, JsonWriter* j) {
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

void JsonStop(const Walk& walk, JsonWriter* j) {
  j->Key("stop");
  if (walk.ok) {
    j->Null();
    return;
  }
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

}  // namespace

std::string HopPhrase(Hop hop) { return std::string("the ") + HopTitle(hop); }

std::string TextWalkLines(const Walk& walk, const AddressTable& table, bool stop_said_elsewhere) {
  std::string out = "\n" + CallOf(walk) + (walk.ok ? "" : " = nil") + "\n";
  for (const Step& s : walk.steps) TextStep(walk, s, table, &out);
  TextFields(walk, &out);
  for (const Implausible& i : walk.implausible) {
    out += (walk.text_buffer ? std::string("  implausible: ")
                             : Format("  implausible: \"%s\" (+%u): ", i.field.c_str(),
                                      static_cast<unsigned>(i.offset))) +
           i.what + "\n";
  }
  if (!walk.ok && !stop_said_elsewhere) {
    out += "  stopped at " + HopPhrase(walk.stop.hop) + ": " + walk.stop.message + "\n";
  }
  return out;
}

void JsonWalk(const Walk& walk, JsonWriter* j) {
  j->BeginObject();
  j->StringField("call", walk.text_buffer ? "GetTextbufferString" : "GetObjectData");
  if (!walk.text_buffer) {
    j->IntegerField("type", walk.type);
  }
  j->BoolField("ok", walk.ok);
  JsonSteps(walk, j);
  JsonFields(walk, j);
  if (walk.ok) JsonImplausible(walk, j);
  JsonStop(walk, j);
  j->EndObject();
}

void JsonWalks(const std::vector<Walk>& walks, JsonWriter* j) {
  j->Key("walks");
  j->BeginArray();
  for (const Walk& walk : walks) JsonWalk(walk, j);
  j->EndArray();
}

std::string CommentedWalks(const std::vector<Walk>& walks, const AddressTable& table) {
  std::string out = ";\n; The walks under the offsets found, as the module reads them:\n";
  for (const Walk& walk : walks) {
    const std::string lines = TextWalkLines(walk, table, false);
    std::size_t start = 0;
    while (start < lines.size()) {
      std::size_t end = lines.find('\n', start);
      if (end == std::string::npos) end = lines.size();
      if (end > start) out += "; " + lines.substr(start, end - start) + "\n";
      start = end + 1;
    }
  }
  return out;
}

}  // namespace probe
