// The probe's JSON report with any bytes in every string that comes from
// outside (the profile's path, names and values, the process's and modules'
// names, the texts read from the host, the messages that quote them): the
// report is valid JSON in valid UTF-8, and each string reads back as the
// text the report was given, in UTF-8.
#include "fuzz_support.h"
#include "json_reader.h"
#include "probe/check/check_output.h"
#include "probe/common/system_text.h"

namespace {

using probe_test::Json;

const probe::Hop kSteps[] = {probe::Hop::kSlot, probe::Hop::kStructure,
                             probe::Hop::kRecordPointer, probe::Hop::kRecord,
                             probe::Hop::kTextBuffer};
const probe::Hop kHops[] = {probe::Hop::kModule,        probe::Hop::kAddressTable,
                            probe::Hop::kLayout,        probe::Hop::kSlot,
                            probe::Hop::kRecordPointer, probe::Hop::kRecord,
                            probe::Hop::kTextBuffer};
const probe::StopReason kReasons[] = {
    probe::StopReason::kNotLoaded,  probe::StopReason::kZeroField,
    probe::StopReason::kNoLayout,   probe::StopReason::kZero,
    probe::StopReason::kUnreadable, probe::StopReason::kNotConvertible,
    probe::StopReason::kLuaError};

std::string Text(FuzzedDataProvider& in) { return in.ConsumeRandomLengthString(64); }

void Expect(const Json& j, const std::string& ansi, const char* what) {
  FUZZ_CHECK(j.type == Json::kString && j.str == probe::AnsiToUtf8(ansi), what);
}

// A number as the module decodes a field of that kind from 32 bits.
double Decoded(quorvane::FieldKind kind, std::uint32_t u) {
  switch (kind) {
    case quorvane::FieldKind::kU8: return u & 0xFF;
    case quorvane::FieldKind::kI8: return static_cast<std::int8_t>(u);
    case quorvane::FieldKind::kI16: return static_cast<std::int16_t>(u);
    case quorvane::FieldKind::kI32: return static_cast<std::int32_t>(u);
    case quorvane::FieldKind::kColour: return u & 0xFFFFFF;
    default: return u;
  }
}

probe::Walk TakeWalk(FuzzedDataProvider& in, bool text_buffer) {
  probe::Walk w;
  w.text_buffer = text_buffer;
  w.type = text_buffer ? 0 : quorvane::kTypesWithLayout[in.ConsumeIntegralInRange(0, 14)];
  const int steps = in.ConsumeIntegralInRange(0, 4);
  w.steps.reserve(static_cast<std::size_t>(steps));
  for (int i = 0; i < steps; ++i) {
    w.steps.push_back({kSteps[in.ConsumeIntegralInRange(0, 4)], in.ConsumeIntegral<std::uint32_t>(),
                       in.ConsumeBool(), in.ConsumeIntegral<std::uint32_t>()});
  }
  w.ok = in.ConsumeBool();
  if (w.ok) {
    const quorvane::RecordLayout* layout = quorvane::FindLayout(w.type);
    if (layout != nullptr) w.fields.reserve(static_cast<std::size_t>(layout->count));
    for (int i = 0; !text_buffer && layout != nullptr && i < layout->count; ++i) {
      const quorvane::FieldSpec& f = layout->fields[i];
      const bool is_text = quorvane::TextUnit(f.kind) != 0;
      w.fields.push_back({f.name, f.kind, f.offset, in.ConsumeIntegral<std::uint32_t>(), is_text,
                          Decoded(f.kind, in.ConsumeIntegral<std::uint32_t>()),
                          is_text ? Text(in) : std::string()});
    }
    if (text_buffer) {
      w.fields.push_back({"text", quorvane::FieldKind::kWideText, 0, 0, true, 0, Text(in)});
    }
    if (in.ConsumeBool()) w.implausible.push_back({"font", 16, Text(in)});
  } else {
    w.stop.hop = kHops[in.ConsumeIntegralInRange(0, 6)];
    w.stop.reason = kReasons[in.ConsumeIntegralInRange(0, 6)];
    w.stop.field = in.ConsumeBool() ? "ObjectAddressList" : "";
    w.stop.has_address = in.ConsumeBool();
    w.stop.address = in.ConsumeIntegral<std::uint32_t>();
    w.stop.message = Text(in);
  }
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::SetCodePage(in.ConsumeBool() ? fuzz::CodePage::k932 : fuzz::CodePage::kLatin1);
  probe::Report r;
  probe::ProfileInfo& p = r.profile;
  p.given_path = Text(in);
  p.path = Text(in);
  p.relative = in.ConsumeBool();
  p.version = Text(in);
  p.module = Text(in);
  p.section_found = in.ConsumeBool();
  const int sections = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < sections; ++i) p.sections.push_back(Text(in));
  for (const char* key : {"ObjectAddressList", "ObjectDataOffset", "TextBufferAddress"}) {
    const std::string value = in.ConsumeRandomLengthString(255);
    const std::string text = value.substr(0, value.find('\0'));
    p.offsets.push_back({key, quorvane::ReadHexOffset(in.ConsumeBool(), text.c_str(),
                                                      text.size() + in.ConsumeIntegralInRange(0, 2))});
  }
  r.has_process = in.ConsumeBool();
  r.process.pid = in.ConsumeIntegral<std::uint32_t>();
  r.process.name = Text(in);
  r.process.modules_listed = in.ConsumeBool();
  r.process.loaded_modules = in.ConsumeIntegralInRange(0, 300);
  const int close = in.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < close; ++i) r.process.close_modules.push_back(Text(in));
  r.table = {in.ConsumeIntegral<std::uint32_t>(), in.ConsumeIntegral<std::uint32_t>(),
             in.ConsumeIntegral<std::uint32_t>(), in.ConsumeIntegral<std::uint32_t>()};
  const int walks = in.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < walks; ++i) r.walks.push_back(TakeWalk(in, false));
  if (in.ConsumeBool()) r.walks.push_back(TakeWalk(in, true));

  // The text report, for the sanitizers. Without a process it is the profile's
  // lines alone, which it also begins with when there is one.
  if (r.has_process) (void)probe::TextReport(r);
  const std::string text = probe::JsonReport(r);
  FUZZ_CHECK(fuzz::IsValidUtf8(text), text);
  Json j;
  std::string error;
  FUZZ_CHECK(probe_test::ParseJson(text, &j, &error), error + "\n" + text);

  const Json& jp = j["profile"];
  Expect(jp["path"], p.path, "profile.path");
  Expect(jp["given_path"], p.given_path, "profile.given_path");
  Expect(jp["version"], p.version, "profile.version");
  Expect(jp["module"], p.module, "profile.module");
  FUZZ_CHECK(jp["sections"].size() == p.sections.size(), "profile.sections");
  for (std::size_t i = 0; i < p.sections.size(); ++i) Expect(jp["sections"][i], p.sections[i], "a section");
  for (std::size_t i = 0; i < p.offsets.size(); ++i) {
    const Json& o = jp["offsets"][i];
    Expect(o["written"], p.offsets[i].reading.text, "an offset as written");
    FUZZ_CHECK(o["value"].number == p.offsets[i].reading.value, "an offset's value");
    FUZZ_CHECK(o["notes"].size() == p.offsets[i].reading.notes.size(), "an offset's notes");
  }
  if (r.has_process) {
    Expect(j["process"]["name"], r.process.name, "process.name");
    for (std::size_t i = 0; r.process.modules_listed && i < r.process.close_modules.size(); ++i) {
      Expect(j["process"]["close_modules"][i], r.process.close_modules[i], "a close module");
    }
  }
  FUZZ_CHECK(j["walks"].size() == r.walks.size(), "walks");
  for (std::size_t i = 0; i < r.walks.size(); ++i) {
    const probe::Walk& w = r.walks[i];
    const Json& jw = j["walks"][i];
    if (!w.ok) {
      Expect(jw["stop"]["message"], w.stop.message, "a stop's message");
      continue;
    }
    if (w.text_buffer) {
      Expect(jw["value"], w.fields.front().text, "the text buffer");
      continue;
    }
    for (std::size_t k = 0; k < w.fields.size(); ++k) {
      if (w.fields[k].is_text) Expect(jw["fields"][k]["value"], w.fields[k].text, "a text field");
    }
    for (std::size_t k = 0; k < w.implausible.size(); ++k) {
      Expect(jw["implausible"][k]["message"], w.implausible[k].what, "an implausible value");
    }
  }
  return 0;
}
