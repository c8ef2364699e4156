#include "probe/find/find_output.h"

#include "config/profile_keys.h"
#include "probe/common/json.h"
#include "probe/common/system_text.h"
#include "probe/find/find_reasons.h"
#include "probe/walk/walk_output.h"

namespace probe {

namespace {

using finder::Answer;
using finder::Candidate;
using finder::ChangeWatch;
using finder::FindResult;
using finder::Outcome;
using finder::Reading;
using finder::Settled;
using finder::WatchedPlace;

const char* AnswerName(Answer a) {
  switch (a) {
    case Answer::kNotAsked: return "not_asked";
    case Answer::kFound: return "found";
    case Answer::kAmbiguous: return "ambiguous";
    case Answer::kNotFound: return "not_found";
  }
  return "?";
}

// The verdict after the change, if one was asked for: found (by the scan,
// or settled by the change), or not, and then "not_found" when the scan
// found nothing to pick from, else "ambiguous".
const char* FinalAnswerName(Answer scan, bool found) {
  if (found) return AnswerName(Answer::kFound);
  return AnswerName(scan == Answer::kNotFound ? Answer::kNotFound : Answer::kAmbiguous);
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

const char* SettledName(Settled s) {
  switch (s) {
    case Settled::kWatching: return "watching";
    case Settled::kChosen: return "chosen";
    case Settled::kConfirmed: return "confirmed";
    case Settled::kRefused: return "refused";
    case Settled::kSeveral: return "several_changed";
    case Settled::kConflict: return "conflict";
    case Settled::kNoChange: return "no_change";
    case Settled::kNotWatched: return "not_watched";
  }
  return "?";
}

const char* ReadingName(Reading r) {
  switch (r) {
    case Reading::kOld: return "old";
    case Reading::kNew: return "new";
    case Reading::kOther: return "other";
    case Reading::kUnreadable: return "unreadable";
  }
  return "?";
}

void JsonOffsetOrNull(JsonWriter* j, const char* key, bool found, std::uint32_t value) {
  j->Key(key);
  if (found) {
    j->Unsigned(value);
  } else {
    j->Null();
  }
}

// "ok", "section", the offsets found (null where not) and the reasons.
void JsonFound(const FindReport& r, JsonWriter* j) {
  j->BoolField("ok", r.reasons.empty());
  j->StringField("section", AnsiToUtf8(r.options.section));
  j->Key("found");
  j->BeginObject();
  JsonOffsetOrNull(j, quorvane::kObjectAddressListKey, r.object_found, r.table.object_address_list);
  JsonOffsetOrNull(j, quorvane::kObjectDataOffsetKey, r.object_found, r.table.object_data_offset);
  JsonOffsetOrNull(j, quorvane::kTextBufferAddressKey, r.buffer_found, r.table.text_buffer_address);
  j->EndObject();
  j->Key("reasons");
  j->BeginArray();
  for (const std::string& reason : r.reasons) j->String(AnsiToUtf8(reason));
  j->EndArray();
}

// "process", "module" and "scan".
void JsonScan(const FindReport& r, JsonWriter* j) {
  const FindResult& f = r.result;
  j->Key("process");
  j->BeginObject();
  j->UnsignedField("pid", r.process.pid);
  j->StringField("name", AnsiToUtf8(r.process.name));
  j->EndObject();
  j->Key("module");
  j->BeginObject();
  j->StringField("name", AnsiToUtf8(r.module));
  j->UnsignedField("base", f.module_base);
  j->UnsignedField("size", f.module_size);
  j->EndObject();
  j->Key("scan");
  j->BeginObject();
  j->UnsignedField("regions", f.regions);
  j->NumberField("readable_bytes", static_cast<double>(f.total_bytes));
  j->NumberField("bytes_read", static_cast<double>(f.bytes_read));
  j->UnsignedField("failed_reads", f.failed_reads);
  j->NumberField("lost_bytes", static_cast<double>(f.lost_bytes));
  j->NumberField("seconds", r.seconds);
  j->UnsignedField("max_data_offset", r.options.max_offset);
  j->EndObject();
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

void JsonMarkers(const FindReport& r, JsonWriter* j) {
  j->Key("markers");
  j->BeginArray();
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    const MarkerInfo& m = r.markers[k];
    j->BeginObject();
    j->StringField("text", AnsiToUtf8(m.text));
    j->StringField("encoding", m.wide ? "utf-16" : "ansi");
    j->IntegerField("type", m.type);
    j->StringField("field", m.field);
    j->UnsignedField("field_offset", m.field_offset);
    j->Key("hits");
    JsonHits(j, r.result.object_hits[k].hits, m.field_offset, true);
    j->BoolField("hits_cut", r.result.object_hits[k].cut);
    j->EndObject();
  }
  j->EndArray();
}

void JsonPointers(const FindResult& f, JsonWriter* j) {
  j->Key("record_pointers");
  j->BeginArray();
  for (const finder::RecordPointer& p : f.pointers) {
    j->BeginObject();
    j->UnsignedField("address", p.address);
    j->UnsignedField("record", p.record);
    j->EndObject();
  }
  j->EndArray();
  j->BoolField("record_pointers_cut", f.pointers_cut);
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

void JsonWatchedPlace(const ChangeWatch& watch, const WatchedPlace& p, const FindResult& result,
                      JsonWriter* j) {
  j->BeginObject();
  if (watch.objects()) {
    j->UnsignedField(quorvane::kObjectAddressListKey, result.candidates[p.index].list);
    j->UnsignedField(quorvane::kObjectDataOffsetKey, result.candidates[p.index].data_offset);
  } else {
    j->UnsignedField(quorvane::kTextBufferAddressKey, result.buffers[p.index].offset);
  }
  j->BoolField("contender", p.contender);
  j->StringField("reading", ReadingName(p.reading));
  j->UnsignedField("address", p.at);
  j->EndObject();
}

// "settled_by" and "change" of the object or text_buffer JSON object.
void JsonChange(const ChangeAsk& ask, const ChangeWatch& watch, const FindResult& result,
                bool scan_found, bool found, JsonWriter* j) {
  j->Key("settled_by");
  if (!found) {
    j->Null();
  } else if (!ask.asked || watch.settled() == Settled::kNotWatched) {
    j->String("scan");
  } else {
    j->String(scan_found ? "scan_and_change" : "change");
  }
  j->Key("change");
  if (!ask.asked) {
    j->Null();
    return;
  }
  j->BeginObject();
  j->StringField("from", AnsiToUtf8(ask.from));
  j->StringField("to", AnsiToUtf8(ask.to));
  j->StringField("settled", SettledName(watch.settled()));
  if (watch.settled() == Settled::kNotWatched) {
    j->StringField("not_watched", watch.unwatched() == finder::Unwatched::kRefused
                                      ? RefusalCode(watch.refusal())
                                      : "no_candidate");
  }
  if (watch.settled() == Settled::kRefused) j->StringField("refused", RefusalCode(watch.refusal()));
  j->NumberField("seconds", static_cast<double>(watch.elapsed_ms()) / 1000.0);
  j->Key("watched");
  j->BeginArray();
  for (const WatchedPlace& p : watch.places()) JsonWatchedPlace(watch, p, result, j);
  j->EndArray();
  j->EndObject();
}

// The object offsets: the markers, the pointers, the candidates, the change.
void JsonObject(const FindReport& r, JsonWriter* j) {
  const FindResult& f = r.result;
  j->Key("object");
  if (r.markers.empty()) {
    j->Null();
    return;
  }
  j->BeginObject();
  j->StringField("answer", FinalAnswerName(f.object_answer, r.object_found));
  j->StringField("scan_answer", AnswerName(f.object_answer));
  JsonMarkers(r, j);
  JsonPointers(f, j);
  j->NumberField("considered", static_cast<double>(f.candidates_considered));
  j->BoolField("candidates_cut", f.candidates_cut);
  j->Key("candidates");
  j->BeginArray();
  for (std::size_t i = 0; i < f.candidates.size(); ++i) {
    JsonCandidate(j, f.candidates[i], i < f.object_contenders);
  }
  j->EndArray();
  JsonChange(r.change.object_ask, r.change.object, f, f.object_answer == Answer::kFound,
             r.object_found, j);
  j->EndObject();
}

void JsonBufferCandidate(const FindResult& f, std::size_t i, JsonWriter* j) {
  const finder::BufferCandidate& b = f.buffers[i];
  j->BeginObject();
  j->UnsignedField(quorvane::kTextBufferAddressKey, b.offset);
  j->UnsignedField("address", b.address);
  j->IntegerField("score", b.score);
  j->BoolField("contender", i < f.buffer_contenders);
  j->BoolField("starts", b.starts);
  j->BoolField("terminated", b.terminated);
  j->EndObject();
}

// The text buffer's offset: the marker's hits, the places, the change.
void JsonBuffer(const FindReport& r, JsonWriter* j) {
  const FindResult& f = r.result;
  j->Key("text_buffer");
  if (!r.options.has_buffer) {
    j->Null();
    return;
  }
  j->BeginObject();
  j->StringField("answer", FinalAnswerName(f.buffer_answer, r.buffer_found));
  j->StringField("scan_answer", AnswerName(f.buffer_answer));
  j->BoolField("text_before", f.buffer_text_before);
  j->StringField("marker", AnsiToUtf8(r.options.buffer_text));
  j->Key("hits");
  JsonHits(j, f.buffer_hits, 0, false);
  j->Key("candidates");
  j->BeginArray();
  for (std::size_t i = 0; i < f.buffers.size(); ++i) JsonBufferCandidate(f, i, j);
  j->EndArray();
  JsonChange(r.change.buffer_ask, r.change.buffer, f, f.buffer_answer == Answer::kFound,
             r.buffer_found, j);
  j->EndObject();
}

}  // namespace

std::string FindJsonOutput(const FindReport& r) {
  JsonWriter j;
  j.BeginObject();
  JsonFound(r, &j);
  JsonScan(r, &j);
  JsonObject(r, &j);
  JsonBuffer(r, &j);
  JsonWalks(r.walks, &j);
  j.EndObject();
  return j.Text() + "\n";
}

}  // namespace probe
