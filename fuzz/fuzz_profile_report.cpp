// The probe's profile report with its hex notes: offsets with any bytes as
// their values, in both reports. The notes stand in the order of their
// positions, within the value; each reads as a line of its own in the text
// report; the JSON report gives each note's code, position and message.
#include "config/address_profile.h"
#include "config/hex_notes.h"
#include "fuzz_support.h"
#include "json_reader.h"
#include "probe/check/check_output.h"
#include "probe/common/system_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::SetCodePage(in.ConsumeBool() ? fuzz::CodePage::k932 : fuzz::CodePage::kLatin1);
  probe::Report r;
  probe::ProfileInfo& p = r.profile;
  p.given_path = "fuzz.ini";
  p.path = "C:\\profiles\\fuzz.ini";
  p.relative = true;
  p.version = in.ConsumeRandomLengthString(40);
  p.module = "host.exe";
  const int sections = in.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < sections; ++i) p.sections.push_back(in.ConsumeRandomLengthString(40));
  p.section_found = in.ConsumeBool();
  for (const char* key : quorvane::kOffsetKeys) {
    const bool present = in.ConsumeBool();
    std::string value = in.ConsumeRandomLengthString(300);
    value = value.substr(0, value.find('\0'));
    const std::size_t full = value.size();
    if (value.size() > 255) value.resize(255);  // as the profile reader cuts it
    p.offsets.push_back({key, quorvane::ReadHexOffset(present, present ? value.c_str() : "", full)});
  }

  const std::string text = probe::TextReport(r);
  const std::string json = probe::JsonReport(r);
  probe_test::Json j;
  std::string error;
  FUZZ_CHECK(probe_test::ParseJson(json, &j, &error), error);
  for (std::size_t i = 0; i < p.offsets.size(); ++i) {
    const quorvane::HexReading& reading = p.offsets[i].reading;
    FUZZ_CHECK(reading.value == quorvane::ParseHex(reading.text.c_str()), reading.text);
    const probe_test::Json& notes = j["profile"]["offsets"][i]["notes"];
    FUZZ_CHECK(notes.size() == reading.notes.size(), reading.text);
    std::size_t last = 0;
    for (std::size_t k = 0; k < reading.notes.size(); ++k) {
      const quorvane::HexNote& note = reading.notes[k];
      FUZZ_CHECK(note.position >= last && note.position <= reading.text.size(), reading.text);
      last = note.position;
      FUZZ_CHECK(notes[k]["code"].str == quorvane::HexNoteCode(note.kind), reading.text);
      FUZZ_CHECK(notes[k]["position"].number == note.position, reading.text);
      const std::string message = quorvane::DescribeHexNote(reading, note);
      FUZZ_CHECK(notes[k]["message"].str == probe::AnsiToUtf8(message), reading.text);
      // Searched from a line break: a search that tried every space would
      // spend most of the run in the fuzzer's comparison hooks.
      FUZZ_CHECK(text.find("\n      note: " + message + "\n") != std::string::npos, reading.text);
    }
  }
  return 0;
}
