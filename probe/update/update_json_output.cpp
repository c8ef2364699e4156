#include "config/profile_keys.h"
#include "probe/common/json.h"
#include "probe/common/system_text.h"
#include "probe/update/update_report.h"
#include "probe/walk/walk_output.h"

namespace probe {

namespace {

namespace sig = quorvane::signatures;

const char* RelocationsName(sig::Relocations r) {
  switch (r) {
    case sig::Relocations::kPresent: return "present";
    case sig::Relocations::kNone: return "none";
    case sig::Relocations::kStripped: return "stripped";
  }
  return "?";
}

void JsonFileVersion(const sig::FileVersion& version, JsonWriter* j) {
  j->Key("file_version");
  if (version.present) {
    j->String(sig::FileVersionText(version));
  } else {
    j->Null();
  }
}

void JsonOffsets(const sig::Offsets& offsets, const bool* given, JsonWriter* j) {
  j->BeginObject();
  for (int i = 0; i < sig::kOffsetCount; ++i) {
    j->Key(quorvane::kOffsetKeys[i]);
    if (given == nullptr || given[i]) {
      j->Unsigned(offsets.value[i]);
    } else {
      j->Null();
    }
  }
  j->EndObject();
}

void JsonTypes(const std::vector<std::int32_t>& types, JsonWriter* j) {
  j->BeginArray();
  for (const std::int32_t type : types) j->Integer(type);
  j->EndArray();
}

void JsonStrings(const std::vector<std::string>& ansi, JsonWriter* j) {
  j->BeginArray();
  for (const std::string& text : ansi) j->String(AnsiToUtf8(text));
  j->EndArray();
}

// "ok", "checked", "section", "found" (the offsets, when the section is
// given) and "reasons".
void JsonAnswer(const UpdateReport& r, JsonWriter* j) {
  const bool given = r.SectionGiven();
  j->BoolField("ok", given);
  j->BoolField("checked", given && r.module.live);
  j->StringField("section", AnsiToUtf8(r.options.section));
  const bool none[sig::kOffsetCount] = {};
  j->Key("found");
  JsonOffsets(r.verdict.offsets, given ? nullptr : none, j);
  j->Key("reasons");
  JsonStrings(r.reasons, j);
}

void JsonSignatureFile(const UpdateReport& r, JsonWriter* j) {
  const sig::SignatureFile& f = r.file;
  j->Key("signature_file");
  j->BeginObject();
  j->StringField("path", AnsiToUtf8(r.signatures_path));
  j->StringField("module", AnsiToUtf8(f.module));
  j->StringField("section", AnsiToUtf8(f.section));
  j->Key("offsets");
  JsonOffsets(f.offsets, nullptr, j);
  j->UnsignedField("time_stamp", f.time_date_stamp);
  JsonFileVersion(f.file_version, j);
  j->Key("types");
  JsonTypes(f.types, j);
  j->EndObject();
}

void JsonModule(const UpdateReport& r, JsonWriter* j) {
  const sig::PeImage& image = r.module.image;
  j->Key("module");
  j->BeginObject();
  j->StringField("source", r.module.live ? "process" : "file");
  if (r.module.live) {
    j->UnsignedField("pid", r.process.pid);
    j->StringField("process_name", AnsiToUtf8(r.process.name));
    j->UnsignedField("base", r.module.base);
    j->UnsignedField("size", r.module.size);
  } else {
    j->StringField("path", AnsiToUtf8(r.module.path));
    j->UnsignedField("base", image.image_base);
    j->UnsignedField("size", image.size_of_image);
  }
  j->StringField("name", AnsiToUtf8(r.file.module));
  j->UnsignedField("time_stamp", image.time_date_stamp);
  JsonFileVersion(image.file_version, j);
  double code = 0;
  for (const sig::PeSection& s : image.sections) code += s.code ? static_cast<double>(s.bytes.size()) : 0;
  j->NumberField("code_bytes", code);
  j->StringField("relocations", RelocationsName(image.relocations));
  j->NumberField("seconds", r.seconds);
  j->EndObject();
}

void JsonPerOffset(const UpdateReport& r, JsonWriter* j) {
  j->Key("offsets");
  j->BeginArray();
  for (int i = 0; i < sig::kOffsetCount; ++i) {
    const sig::OffsetVerdict& v = r.verdict.per[i];
    j->BeginObject();
    j->StringField("name", quorvane::kOffsetKeys[i]);
    j->UnsignedField("signed_value", r.file.offsets.value[i]);
    j->IntegerField("signatures", static_cast<std::int64_t>(v.signatures));
    j->IntegerField("matched", static_cast<std::int64_t>(v.matched));
    j->IntegerField("agreed", static_cast<std::int64_t>(v.agreed));
    j->IntegerField("disagreed", static_cast<std::int64_t>(v.disagreed));
    j->BoolField("given", v.given);
    j->Key("value");
    if (v.given) {
      j->Unsigned(v.value);
    } else {
      j->Null();
    }
    j->StringField("why", v.why);
    j->EndObject();
  }
  j->EndArray();
}

void JsonSignature(const UpdateReport& r, std::size_t k, JsonWriter* j) {
  const sig::Signature& s = r.file.signatures[k];
  const sig::SignatureMatch& m = r.matching.matches[k];
  j->BeginObject();
  j->IntegerField("index", static_cast<std::int64_t>(k + 1));
  j->StringField("offset", sig::OffsetName(s.offset));
  if (s.offset == sig::Offset::kObjectAddressList) j->IntegerField("type", s.type);
  j->UnsignedField("signed_rva", s.rva);
  j->StringField("instruction", AnsiToUtf8(s.instruction));
  j->IntegerField("matches", static_cast<std::int64_t>(m.count));
  j->Key("at");
  j->BeginArray();
  for (const std::uint32_t rva : m.rvas) j->Unsigned(rva);
  j->EndArray();
  j->Key("value");
  if (m.count == 1) {
    j->Unsigned(m.value);
  } else {
    j->Null();
  }
  j->StringField("result", SignatureResult(r, k));
  j->StringField("why", SignatureWhy(r, k));
  j->EndObject();
}

void JsonLiveCheck(const UpdateReport& r, JsonWriter* j) {
  j->Key("live_check");
  if (!r.live_checked) {
    j->Null();
    return;
  }
  j->BeginObject();
  j->BoolField("passed", r.live.Passed());
  j->Key("reached");
  JsonTypes(r.live.reached, j);
  j->Key("problems");
  JsonStrings(r.live.problems, j);
  j->EndObject();
}

}  // namespace

std::string UpdateJsonOutput(const UpdateReport& r) {
  JsonWriter j;
  j.BeginObject();
  JsonAnswer(r, &j);
  JsonSignatureFile(r, &j);
  JsonModule(r, &j);
  JsonPerOffset(r, &j);
  j.Key("signatures");
  j.BeginArray();
  for (std::size_t k = 0; k < r.file.signatures.size(); ++k) JsonSignature(r, k, &j);
  j.EndArray();
  JsonLiveCheck(r, &j);
  JsonWalks(r.walks, &j);
  j.EndObject();
  return j.Text() + "\n";
}

}  // namespace probe
