#include "probe/find/find_output.h"

#include "config/profile_keys.h"
#include "probe/find/find_reasons.h"
#include "probe/common/json.h"
#include "probe/walk/walk_output.h"
#include "probe/common/system_text.h"

namespace probe {

namespace {

using finder::Answer;
using finder::Candidate;
using finder::FindResult;
using finder::Outcome;

// Candidates shown in the text output; the JSON has them all.
constexpr std::size_t kShownCandidates = 8;
constexpr std::size_t kShownHits = 8;

const char* AnswerName(Answer a) {
  switch (a) {
    case Answer::kNotAsked: return "not_asked";
    case Answer::kFound: return "found";
    case Answer::kAmbiguous: return "ambiguous";
    case Answer::kNotFound: return "not_found";
  }
  return "?";
}

const char* OutcomeName(Outcome o) {
  switch (o) {
    case Outcome::kPlausible: return "plausible";
    case Outcome::kImplausible: return "implausible";
    case Outcome::kEmptySlot: return "empty_slot";
    case Outcome::kNoRecord: return "no_record";
    case Outcome::kUnreadable: return "unreadable";
    case Outcome::kNoEvidence: return "no_evidence";
  }
  return "?";
}

// ------------------------------------------------------------ text output

void Line(std::string* out, const std::string& text) {
  *out += text.empty() ? ";\n" : "; " + text + "\n";
}

void MoreLine(std::string* out, std::size_t shown, std::size_t total) {
  if (total > shown)
    Line(out,
         Format("  ... %u more (--json lists them all)", static_cast<unsigned>(total - shown)));
}

void TextObjectEvidence(const FindReport& r, std::string* out) {
  const FindResult& f = r.result;
  std::size_t hits = 0;
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    const MarkerInfo& m = r.markers[k];
    const finder::MarkerHits& found = f.object_hits[k];
    hits += found.hits.size();
    Line(out, "");
    Line(out, MarkerTitle(m) + Format(": %u hit%s%s", static_cast<unsigned>(found.hits.size()),
                                      found.hits.size() == 1 ? "" : "s",
                                      found.cut ? " (more not kept)" : ""));
    for (std::size_t i = 0; i < found.hits.size() && i < kShownHits; ++i) {
      const finder::MarkerHit& h = found.hits[i];
      Line(out, Format("  at 0x%08X: record 0x%08X%s", static_cast<unsigned>(h.address),
                       static_cast<unsigned>(h.address - m.field_offset),
                       h.in_module ? " (in the module's image)" : ""));
    }
    MoreLine(out, kShownHits, found.hits.size());
  }
  if (hits == 0) return;
  Line(out, Format("pointers to those records: %u%s", static_cast<unsigned>(f.pointers.size()),
                   f.pointers_cut ? " (more not kept)" : ""));
  for (std::size_t i = 0; i < f.pointers.size() && i < kShownHits; ++i) {
    Line(out, Format("  at 0x%08X -> 0x%08X", static_cast<unsigned>(f.pointers[i].address),
                     static_cast<unsigned>(f.pointers[i].record)));
  }
  MoreLine(out, kShownHits, f.pointers.size());
  if (f.candidates.empty()) return;
  Line(out, Format("(list, offset) candidates from slots in the image: %u%s; score = types that "
                   "decode plausibly - those that do not",
                   static_cast<unsigned>(f.candidates.size()),
                   f.candidates_cut ? " (more not kept)" : ""));
  for (std::size_t i = 0; i < f.candidates.size() && i < kShownCandidates; ++i) {
    const Candidate& c = f.candidates[i];
    const std::string reach = r.markers.size() > 1 ? Format(", reaches %u of %u markers",
                                                            static_cast<unsigned>(c.markers.size()),
                                                            static_cast<unsigned>(r.markers.size()))
                                                   : "";
    Line(out,
         Format("  %s ObjectAddressList=0x%08X ObjectDataOffset=0x%08X  score %d: %d plausible, "
                "%d implausible, %d unreadable, %d empty, %d zero or without fields%s",
                i < f.object_contenders ? "*" : " ", static_cast<unsigned>(c.list),
                static_cast<unsigned>(c.data_offset), c.score, c.Count(Outcome::kPlausible),
                c.Count(Outcome::kImplausible), c.Count(Outcome::kUnreadable),
                c.Count(Outcome::kEmptySlot) + c.Count(Outcome::kNoRecord),
                c.Count(Outcome::kNoEvidence), reach.c_str()));
    const std::int32_t type = r.markers[static_cast<std::size_t>(c.markers.front())].type;
    Line(out, Format("      slot 0x%08X (module + 0x%08X + 4 x %d) -> structure 0x%08X; record "
                     "pointer 0x%08X (structure + 0x%X) -> record 0x%08X",
                     static_cast<unsigned>(c.slot), static_cast<unsigned>(c.list),
                     static_cast<int>(type), static_cast<unsigned>(c.structure),
                     static_cast<unsigned>(c.pointer), static_cast<unsigned>(c.data_offset),
                     static_cast<unsigned>(c.record)));
  }
  MoreLine(out, kShownCandidates, f.candidates.size());
  if (f.object_contenders > 1) Line(out, "  * scores alike: no clear winner");
}

void TextBufferEvidence(const FindReport& r, std::string* out) {
  const FindResult& f = r.result;
  Line(out, "");
  Line(out,
       Format("buffer marker %s (UTF-16): %u hit%s, %u in the image",
              Quote(r.options.buffer_text).c_str(), static_cast<unsigned>(f.buffer_hits.size()),
              f.buffer_hits.size() == 1 ? "" : "s", static_cast<unsigned>(f.buffers.size())));
  for (std::size_t i = 0; i < f.buffers.size() && i < kShownCandidates; ++i) {
    const finder::BufferCandidate& b = f.buffers[i];
    Line(out, Format("  %s at 0x%08X: TextBufferAddress=0x%08X%s%s",
                     i < f.buffer_contenders && f.buffer_contenders > 1 ? "*" : " ",
                     static_cast<unsigned>(b.address), static_cast<unsigned>(b.offset),
                     b.starts ? "" : " (text before it)", b.terminated ? "" : " (text after it)"));
  }
  MoreLine(out, kShownCandidates, f.buffers.size());
}

}  // namespace

std::string FindTextOutput(const FindReport& r) {

  const FindResult& f = r.result;
  const bool complete = r.reasons.empty();
  std::string out;
  // A section is written only when everything asked for was found.
  const std::string keys = complete ? "" : "; ";
  if (!complete) out += "; No section: something asked for was not found or is ambiguous.\n";
  out += keys + "[" + r.options.section + "]\n";
  if (r.object_found) {
    out += keys + "ObjectAddressList=" + Hex(r.table.object_address_list) + "\n";
    out += keys + "ObjectDataOffset=" + Hex(r.table.object_data_offset) + "\n";
  }
  if (r.buffer_found) out += keys + "TextBufferAddress=" + Hex(r.table.text_buffer_address) + "\n";
  for (const std::string& reason : r.reasons) Line(&out, reason);

  Line(&out,
       Format("quorvane-probe find in process %u%s: %s at 0x%08X, image 0x%X bytes",
              static_cast<unsigned>(r.process.pid),
              r.process.name.empty() ? "" : (" (" + r.process.name + ")").c_str(),
              LuaEscape(r.module).c_str(),
              static_cast<unsigned>(f.module_base), static_cast<unsigned>(f.module_size)));
  Line(&out,
       Format("scanned %.1f MiB of readable memory in %u regions (%.1f MiB read in all) in %.1f s",
              Mib(f.total_bytes), static_cast<unsigned>(f.regions), Mib(f.bytes_read), r.seconds) +
           (f.lost_bytes > 0 ? Format("; %.1f KiB listed as readable could not be read",
                                      static_cast<double>(f.lost_bytes) / 1024.0)
                             : ""));
  if (!r.markers.empty()) TextObjectEvidence(r, &out);
  if (r.options.has_buffer) TextBufferEvidence(r, &out);
  for (const std::string& line : ChangeTextLines(r.change, f, Quote)) Line(&out, line);
  if (!r.walks.empty()) {
    Line(&out, "");
    Line(&out, "The walks under the offsets found, as the module reads them:");
    for (const Walk& walk : r.walks) {
      const std::string lines = TextWalkLines(walk, r.table, false);
      std::size_t start = 0;
      while (start < lines.size()) {
        std::size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        const std::string line = lines.substr(start, end - start);
        if (!line.empty()) Line(&out, line);
        start = end + 1;
      }
    }
  }
  return out;
}

namespace {

// ------------------------------------------------------------ JSON output

void JsonOffsetOrNull(JsonWriter* j, const char* key, bool found, std::uint32_t value) {
  j->Key(key);
  if (found) {
    j->Unsigned(value);
  } else {
    j->Null();
  }
}

void JsonHits(JsonWriter* j, const std::vector<finder::MarkerHit>& hits, std::uint32_t field_offset,
              bool with_record) {
  j->BeginArray();
  for (const finder::MarkerHit& h : hits) {
    j->BeginObject();
    j->UnsignedField("address", h.address);
    j->BoolField("in_module", h.in_module);
    if (with_record) {
      j->UnsignedField("record", h.address - field_offset);
    }
    j->EndObject();
  }
  j->EndArray();
}

void JsonCandidate(JsonWriter* j, const Candidate& c, bool contender) {
  j->BeginObject();
  j->UnsignedField(quorvane::kObjectAddressListKey, c.list);
  j->UnsignedField(quorvane::kObjectDataOffsetKey, c.data_offset);
  j->IntegerField("score", c.score);
  j->BoolField("contender", contender);
  j->Key("markers");
  j->BeginArray();
  for (const int m : c.markers) j->Integer(m);
  j->EndArray();
  j->UnsignedField("slot", c.slot);
  j->UnsignedField("structure", c.structure);
  j->UnsignedField("record_pointer", c.pointer);
  j->UnsignedField("record", c.record);
  j->Key("types");
  j->BeginArray();
  for (const finder::TypeCheck& t : c.checks) {
    j->BeginObject();
    j->IntegerField("type", t.type);
    j->StringField("outcome", OutcomeName(t.outcome));
    if (!t.note.empty()) {
      j->StringField("note", AnsiToUtf8(t.note));
    }
    j->EndObject();
  }
  j->EndArray();
  j->EndObject();
}

}  // namespace

std::string FindJsonOutput(const FindReport& r) {
  const FindResult& f = r.result;
  JsonWriter j;
  j.BeginObject();
  j.BoolField("ok", r.reasons.empty());
  j.StringField("section", AnsiToUtf8(r.options.section));
  j.Key("found");
  j.BeginObject();
  JsonOffsetOrNull(&j, quorvane::kObjectAddressListKey, r.object_found, r.table.object_address_list);
  JsonOffsetOrNull(&j, quorvane::kObjectDataOffsetKey, r.object_found, r.table.object_data_offset);
  JsonOffsetOrNull(&j, quorvane::kTextBufferAddressKey, r.buffer_found, r.table.text_buffer_address);
  j.EndObject();
  j.Key("reasons");
  j.BeginArray();
  for (const std::string& reason : r.reasons) j.String(AnsiToUtf8(reason));
  j.EndArray();
  j.Key("process");
  j.BeginObject();
  j.UnsignedField("pid", r.process.pid);
  j.StringField("name", AnsiToUtf8(r.process.name));
  j.EndObject();
  j.Key("module");
  j.BeginObject();
  j.StringField("name", AnsiToUtf8(r.module));
  j.UnsignedField("base", f.module_base);
  j.UnsignedField("size", f.module_size);
  j.EndObject();
  j.Key("scan");
  j.BeginObject();
  j.UnsignedField("regions", f.regions);
  j.NumberField("readable_bytes", static_cast<double>(f.total_bytes));
  j.NumberField("bytes_read", static_cast<double>(f.bytes_read));
  j.UnsignedField("failed_reads", f.failed_reads);
  j.NumberField("lost_bytes", static_cast<double>(f.lost_bytes));
  j.NumberField("seconds", r.seconds);
  j.UnsignedField("max_data_offset", r.options.max_offset);
  j.EndObject();

  j.Key("object");
  if (r.markers.empty()) {
    j.Null();
  } else {
    j.BeginObject();
    j.StringField("answer", AnswerName(f.object_answer));
    j.Key("markers");
    j.BeginArray();
    for (std::size_t k = 0; k < r.markers.size(); ++k) {
      const MarkerInfo& m = r.markers[k];
      j.BeginObject();
      j.StringField("text", AnsiToUtf8(m.text));
      j.StringField("encoding", m.wide ? "utf-16" : "ansi");
      j.IntegerField("type", m.type);
      j.StringField("field", m.field);
      j.UnsignedField("field_offset", m.field_offset);
      j.Key("hits");
      JsonHits(&j, f.object_hits[k].hits, m.field_offset, true);
      j.BoolField("hits_cut", f.object_hits[k].cut);
      j.EndObject();
    }
    j.EndArray();
    j.Key("record_pointers");
    j.BeginArray();
    for (const finder::RecordPointer& p : f.pointers) {
      j.BeginObject();
      j.UnsignedField("address", p.address);
      j.UnsignedField("record", p.record);
      j.EndObject();
    }
    j.EndArray();
    j.BoolField("record_pointers_cut", f.pointers_cut);
    j.NumberField("considered", static_cast<double>(f.candidates_considered));
    j.BoolField("candidates_cut", f.candidates_cut);
    j.Key("candidates");
    j.BeginArray();
    for (std::size_t i = 0; i < f.candidates.size(); ++i) {
      JsonCandidate(&j, f.candidates[i], i < f.object_contenders);
    }
    j.EndArray();
    JsonChange(r.change.object_ask, r.change.object, f, f.object_answer == Answer::kFound,
               r.object_found, &j);
    j.EndObject();
  }

  j.Key("text_buffer");
  if (!r.options.has_buffer) {
    j.Null();
  } else {
    j.BeginObject();
    j.StringField("answer", AnswerName(f.buffer_answer));
    j.BoolField("text_before", f.buffer_text_before);
    j.StringField("marker", AnsiToUtf8(r.options.buffer_text));
    j.Key("hits");
    JsonHits(&j, f.buffer_hits, 0, false);
    j.Key("candidates");
    j.BeginArray();
    for (std::size_t i = 0; i < f.buffers.size(); ++i) {
      const finder::BufferCandidate& b = f.buffers[i];
      j.BeginObject();
      j.UnsignedField(quorvane::kTextBufferAddressKey, b.offset);
      j.UnsignedField("address", b.address);
      j.IntegerField("score", b.score);
      j.BoolField("contender", i < f.buffer_contenders);
      j.BoolField("starts", b.starts);
      j.BoolField("terminated", b.terminated);
      j.EndObject();
    }
    j.EndArray();
    JsonChange(r.change.buffer_ask, r.change.buffer, f, f.buffer_answer == Answer::kFound,
               r.buffer_found, &j);
    j.EndObject();
  }

  j.Key("walks");
  j.BeginArray();
  for (const Walk& walk : r.walks) JsonWalk(walk, &j);
  j.EndArray();
  j.EndObject();
  return j.Text() + "\n";
}

}  // namespace probe
