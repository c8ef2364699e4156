#include "fake_scan.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "platform/fake_platform.h"
#include "probe/common/system_text.h"
#include "probe/common/text.h"
#include "readers/layouts.h"

namespace fuzz {

namespace {

namespace fake = quorvane::fake;
using finder::Outcome;
using probe::ChangeAsk;

constexpr char kModule[] = "host.exe";
constexpr std::uint32_t kLists = 4;
// Where things lie: a list's slots in a module page of its own, its
// structure on a page of its own; record number r (from 1) on page r of the
// records, a buffer place on a module page of its own.
constexpr std::uint32_t kStructures = 0x00800000, kRecords = 0x00900000;
constexpr std::uint32_t kBuffers = FakeScan::kModuleBase + 0x80000;
constexpr std::uint32_t kPage = 0x1000;

// String fields a marker can stand in: (type, field index).
struct Place {
  std::int32_t type;
  int field;
};
constexpr Place kPlaces[] = {{0, 0}, {1, 0}, {2, 0}, {3, 10}, {3, 11}, {4, 2}, {6, 0}, {80, 2}, {80, 3}};

std::uint32_t ListOffset(std::uint32_t list_index) { return kPage * (list_index + 1); }
std::uint32_t Structure(std::uint32_t list_index) { return kStructures + kPage * list_index; }

// A text without NULs, as the command line gives one: at least one byte.
std::string TakeText(FuzzedDataProvider& in, std::size_t most, const char* otherwise) {
  std::string text = in.ConsumeRandomLengthString(most);
  text = text.substr(0, text.find('\0'));
  return text.empty() ? otherwise : text;
}

int TypeScore(Outcome outcome) {
  return outcome == Outcome::kPlausible ? 1
         : outcome == Outcome::kImplausible || outcome == Outcome::kUnreadable ? -1
                                                                                : 0;
}

}  // namespace

FakeScan::FakeScan(FuzzedDataProvider& in) {
  TakeMarkers(in);
  TakeChanges(in);
  TakeEvidence(in);
  TakeCandidates(in);
  TakeBuffers(in);
  finder::RankResult(request_, &result_);
  LayOut();
}

void FakeScan::TakeMarkers(FuzzedDataProvider& in) {
  request_.module = kModule;
  request_.max_data_offset = 0x200;
  const int markers = in.ConsumeIntegralInRange(0, 3);
  for (int k = 0; k < markers; ++k) {
    const Place place = kPlaces[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kPlaces) - 1)];
    const std::string text = TakeText(in, 24, "QV-7f3a");
    const bool wide = quorvane::FindLayout(place.type)->fields[place.field].kind ==
                      quorvane::FieldKind::kWideText;
    request_.objects.push_back({wide ? probe::AnsiToUtf16(text) : text, place.type, place.field});
    texts_.push_back(text);
  }
  request_.buffer_marker = in.ConsumeBool();
  buffer_text_ = TakeText(in, 24, "QV-b9c2");
  request_.buffer_bytes = probe::AnsiToUtf16(buffer_text_);
}

bool FakeScan::WatchedWide() const {
  const finder::ObjectMarker& m = request_.objects[watched_];
  return quorvane::FindLayout(m.type)->fields[m.field].kind == quorvane::FieldKind::kWideText;
}

void FakeScan::TakeChanges(FuzzedDataProvider& in) {
  // The probe takes two markers neither of which is part of the other.
  const auto apart = [](const std::string& a, const std::string& b) {
    return a.find(b) == std::string::npos && b.find(a) == std::string::npos;
  };
  if (!request_.objects.empty() && in.ConsumeBool()) {
    watched_ = in.ConsumeIntegralInRange<std::size_t>(0, request_.objects.size() - 1);
    const finder::ObjectMarker& m = request_.objects[watched_];
    ChangeAsk& ask = object_change_;
    ask.from = texts_[watched_];
    ask.to = TakeText(in, 24, "QV-2c4e");
    ask.bytes = WatchedWide() ? probe::AnsiToUtf16(ask.to) : ask.to;
    ask.marker = watched_;
    ask.where = probe::Format("type %d field \"%s\"", static_cast<int>(m.type),
                              quorvane::FindLayout(m.type)->fields[m.field].name);
    ask.asked = apart(ask.bytes, m.bytes);
  }
  if (request_.buffer_marker && in.ConsumeBool()) {
    ChangeAsk& ask = buffer_change_;
    ask.from = buffer_text_;
    ask.to = TakeText(in, 24, "QV-51d0");
    ask.bytes = probe::AnsiToUtf16(ask.to);
    ask.where = "the text buffer";
    ask.asked = apart(ask.bytes, request_.buffer_bytes);
  }
}

void FakeScan::TakeEvidence(FuzzedDataProvider& in) {
  finder::FindResult& r = result_;
  r.module_loaded = true;
  r.module_base = kModuleBase;
  r.module_size = kModuleSize;
  r.regions = in.ConsumeIntegralInRange<std::uint32_t>(1, 200);
  r.total_bytes = in.ConsumeIntegral<std::uint32_t>();
  r.bytes_read = r.total_bytes * in.ConsumeIntegralInRange(1, 2);
  r.failed_reads = in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
  if (in.ConsumeIntegralInRange(0, 7) == 0) {
    r.lost_bytes = kPage * in.ConsumeIntegralInRange<std::uint64_t>(1, 16);
    if (in.ConsumeBool()) r.lost_image_bytes = kPage;
  }
  r.object_hits.resize(request_.objects.size());
  for (finder::MarkerHits& hits : r.object_hits) {
    const int n = in.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < n; ++i) {
      const auto at = in.ConsumeIntegral<std::uint32_t>();
      hits.hits.push_back({at, at - kModuleBase < kModuleSize});
    }
    hits.cut = in.ConsumeIntegralInRange(0, 15) == 0;
  }
  const int pointers = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < pointers; ++i) {
    r.pointers.push_back({in.ConsumeIntegral<std::uint32_t>(), in.ConsumeIntegral<std::uint32_t>()});
  }
  r.pointers_cut = in.ConsumeIntegralInRange(0, 15) == 0;
  r.zero_offset_pointers = in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
}

void FakeScan::TakeCandidates(FuzzedDataProvider& in) {
  finder::FindResult& r = result_;
  const std::size_t markers = request_.objects.size();
  const int count = markers == 0 ? 0 : in.ConsumeIntegralInRange(0, 10);
  for (int n = 0; n < count; ++n) {
    finder::Candidate c{};
    const std::uint32_t list_index = in.ConsumeIntegralInRange<std::uint32_t>(0, kLists - 1);
    c.list = ListOffset(list_index);
    c.data_offset = 4 * in.ConsumeIntegralInRange<std::uint32_t>(1, request_.max_data_offset / 4);
    // Candidates that share a record set reach the same records (two
    // pointers of one structure, or chains that meet).
    const std::uint32_t set = in.ConsumeIntegralInRange<std::uint32_t>(1, 8);
    if (!record_sets_.emplace(std::make_pair(c.list, c.data_offset), set).second) continue;
    const auto reached = in.ConsumeIntegralInRange<unsigned>(1, (1u << markers) - 1);
    for (std::size_t k = 0; k < markers; ++k) {
      if ((reached >> k & 1u) == 0) continue;
      c.markers.push_back(static_cast<int>(k));
      c.records.push_back(kRecords + kPage * set + 0x100 * static_cast<std::uint32_t>(k));
    }
    const finder::ObjectMarker& first = request_.objects[static_cast<std::size_t>(c.markers[0])];
    c.slot = kModuleBase + c.list + 4u * static_cast<std::uint32_t>(first.type);
    c.structure = Structure(list_index);
    c.pointer = c.structure + c.data_offset;
    c.record = c.records[0];
    for (int i = 0; i < quorvane::kTypesWithLayoutCount; ++i) {
      const auto outcome = static_cast<Outcome>(in.ConsumeIntegralInRange(0, 5));
      const bool noted = outcome == Outcome::kImplausible || outcome == Outcome::kUnreadable ||
                         outcome == Outcome::kNoEvidence;
      c.checks.push_back({quorvane::kTypesWithLayout[i], outcome,
                          noted ? TakeText(in, 16, "a note") : std::string()});
      c.score += TypeScore(outcome);
    }
    // A marker a candidate reaches was found, and a pointer led to its record.
    for (std::size_t i = 0; i < c.markers.size(); ++i) {
      finder::MarkerHits& hits = r.object_hits[static_cast<std::size_t>(c.markers[i])];
      const finder::ObjectMarker& m = request_.objects[static_cast<std::size_t>(c.markers[i])];
      const std::uint32_t text = c.records[i] + quorvane::FindLayout(m.type)->fields[m.field].offset;
      if (hits.hits.empty()) hits.hits.push_back({text, false});
    }
    if (r.pointers.empty()) r.pointers.push_back({c.pointer, c.record});
    r.candidates.push_back(std::move(c));
  }
  r.candidates_considered = r.candidates.size() + in.ConsumeIntegralInRange<std::uint64_t>(0, 9);
  r.candidates_cut = in.ConsumeIntegralInRange(0, 15) == 0;
  // What the passes say is missing, as the finder says it before ranking.
  bool hits = false;
  for (const finder::MarkerHits& h : r.object_hits) hits = hits || !h.hits.empty();
  r.object_missing = !hits                  ? finder::Missing::kNoMarker
                     : r.pointers.empty()   ? finder::Missing::kNoPointer
                     : r.candidates.empty() ? finder::Missing::kNoSlot
                                            : finder::Missing::kNone;
}

void FakeScan::TakeBuffers(FuzzedDataProvider& in) {
  finder::FindResult& r = result_;
  if (!request_.buffer_marker) return;
  const int count = in.ConsumeIntegralInRange(0, 5);
  for (int i = 0; i < count; ++i) {
    finder::BufferCandidate b;
    b.address = kBuffers + kPage * static_cast<std::uint32_t>(i) +
                2 * in.ConsumeIntegralInRange<std::uint32_t>(1, 0x100);
    b.offset = b.address - kModuleBase;
    b.starts = in.ConsumeBool();
    b.terminated = in.ConsumeBool();
    b.score = b.terminated ? 2 : b.starts ? 1 : 0;
    r.buffers.push_back(b);
    r.buffer_hits.push_back({b.address, true});
  }
  const int elsewhere = in.ConsumeIntegralInRange(0, 2);
  for (int i = 0; i < elsewhere; ++i) r.buffer_hits.push_back({kRecords - kPage * (i + 1u), false});
  r.buffer_hits_cut = in.ConsumeIntegralInRange(0, 15) == 0;
}

std::string FakeScan::TextBytes(Text text, bool wide, const std::string& old_bytes,
                                const std::string& new_bytes) const {
  const std::string end(wide ? 2 : 1, '\0');
  // A unit that starts neither marker, and one that runs on after the new.
  const auto unit = [wide](char c) { return wide ? std::string{c, '\0'} : std::string(1, c); };
  char other = '#';
  while (other == old_bytes[0] || (!new_bytes.empty() && other == new_bytes[0])) ++other;
  switch (text) {
    case Text::kOld: return old_bytes + end;
    case Text::kNew: return new_bytes + end;
    case Text::kOther: return unit(other) + end;
    case Text::kNewRunsOn: return new_bytes + unit('x') + end;
  }
  return end;
}

std::uint32_t FakeScan::NewRecord(Text text) {
  records_.push_back({text, true});
  const auto record = static_cast<std::uint32_t>(records_.size());
  WriteRecordText(record);
  return record;
}

void FakeScan::WriteRecordText(std::uint32_t record) {
  const finder::ObjectMarker& m = request_.objects[watched_];
  const std::uint32_t at = kRecords + kPage * record + 0x100 * static_cast<std::uint32_t>(watched_) +
                           quorvane::FindLayout(m.type)->fields[m.field].offset;
  const std::string bytes =
      TextBytes(records_[record - 1].text, WatchedWide(), m.bytes, object_change_.bytes);
  fake::Write(at, bytes.data(), bytes.size());
}

void FakeScan::WriteBufferText(std::size_t place) {
  const std::string bytes =
      TextBytes(buffers_[place].text, true, request_.buffer_bytes, buffer_change_.bytes);
  fake::Write(result_.buffers[place].address, bytes.data(), bytes.size());
}

void FakeScan::WritePointer(const Chain& chain) const {
  const std::uint32_t record =
      chain.record == 0 ? 0
                        : kRecords + kPage * chain.record + 0x100 * static_cast<std::uint32_t>(watched_);
  fake::WriteU32(Structure(chain.list_index) + chain.data_offset, record);
}

void FakeScan::LayOut() {
  fake::Reset();
  fake::SetModuleBase(kModule, kModuleBase);
  fake::SetModuleSize(kModule, kModuleSize);
  slot_readable_.assign(kLists, true);
  structure_readable_.assign(kLists, true);
  if (!request_.objects.empty()) {
    const std::int32_t type = request_.objects[watched_].type;
    for (std::uint32_t l = 0; l < kLists; ++l) {
      fake::WriteU32(kModuleBase + ListOffset(l) + 4u * static_cast<std::uint32_t>(type), Structure(l));
    }
    // Record numbers from 1 are the record sets, as the scan saw them.
    for (std::uint32_t set = 1; set <= 8; ++set) NewRecord(Text::kOld);
  }
  for (std::size_t i = 0; i < result_.candidates.size(); ++i) {
    const finder::Candidate& c = result_.candidates[i];
    if (std::find(c.markers.begin(), c.markers.end(), static_cast<int>(watched_)) == c.markers.end()) {
      continue;
    }
    const std::uint32_t set = record_sets_.at({c.list, c.data_offset});
    const Chain chain{c.list / kPage - 1, c.data_offset, set, set};
    WritePointer(chain);
    chains_.emplace(i, chain);
  }
  buffers_.assign(result_.buffers.size(), Page{});
  for (std::size_t i = 0; i < result_.buffers.size(); ++i) {
    const finder::BufferCandidate& b = result_.buffers[i];
    const char before[2] = {b.starts ? '\0' : 'x', '\0'};
    fake::Write(b.address - 2, before, 2);
    WriteBufferText(i);
  }
}

void FakeScan::Change(FuzzedDataProvider& in) {
  const int changes = in.ConsumeIntegralInRange(0, 4);
  for (int n = 0; n < changes; ++n) {
    const int what = in.ConsumeIntegralInRange(0, 7);
    const Text text = static_cast<Text>(in.ConsumeIntegralInRange(0, 3));
    const auto list = in.ConsumeIntegralInRange<std::uint32_t>(0, kLists - 1);
    // Only the places of a change asked for are laid out to be changed.
    const bool object = what == 0 || what == 2 || what == 4 || what == 5;
    if (object && (chains_.empty() || !object_change_.asked)) continue;
    if ((what == 1 || what == 3) && (buffers_.empty() || !buffer_change_.asked)) continue;
    auto chain = chains_.begin();
    if (object) std::advance(chain, in.ConsumeIntegralInRange<std::size_t>(0, chains_.size() - 1));
    const std::size_t place = buffers_.empty() ? 0 : in.ConsumeIntegralInRange<std::size_t>(0, buffers_.size() - 1);
    switch (what) {
      case 0:  // the text of a watched record
        if (chain->second.record == 0) break;
        records_[chain->second.record - 1].text = text;
        WriteRecordText(chain->second.record);
        break;
      case 1:  // the text at a buffer place
        buffers_[place].text = text;
        WriteBufferText(place);
        break;
      case 2:  // a record's page
        if (chain->second.record != 0) {
          Page& page = records_[chain->second.record - 1];
          page.readable = !page.readable;
          fake::SetReadable(kRecords + kPage * chain->second.record, kPage, page.readable);
        }
        break;
      case 3:  // a buffer place's page
        buffers_[place].readable = !buffers_[place].readable;
        fake::SetReadable(result_.buffers[place].address / kPage * kPage, kPage,
                          buffers_[place].readable);
        break;
      case 4:  // the record moved, the pointer to it set
        chain->second.record = NewRecord(text);
        WritePointer(chain->second);
        break;
      case 5:  // the record pointer set to zero, or back
        if (chain->second.record != 0) {
          chain->second.was_record = chain->second.record;
          chain->second.record = 0;
        } else {
          chain->second.record = chain->second.was_record;
        }
        WritePointer(chain->second);
        break;
      case 6:  // a list's structure page
        structure_readable_[list] = !structure_readable_[list];
        fake::SetReadable(Structure(list), kPage, structure_readable_[list]);
        break;
      default:  // the module page of a list's slots
        slot_readable_[list] = !slot_readable_[list];
        fake::SetReadable(kModuleBase + ListOffset(list), kPage, slot_readable_[list]);
        break;
    }
  }
}

finder::Reading FakeScan::Expected(bool objects, std::size_t index, std::uint32_t* at) const {
  *at = 0;
  const Page* page = nullptr;
  if (objects) {
    const Chain& chain = chains_.at(index);
    if (!slot_readable_[chain.list_index] || !structure_readable_[chain.list_index] ||
        chain.record == 0) {
      return finder::Reading::kUnreadable;
    }
    const finder::ObjectMarker& m = request_.objects[watched_];
    *at = kRecords + kPage * chain.record + 0x100 * static_cast<std::uint32_t>(watched_) +
          quorvane::FindLayout(m.type)->fields[m.field].offset;
    page = &records_[chain.record - 1];
  } else {
    *at = result_.buffers[index].address;
    page = &buffers_[index];
  }
  if (!page->readable) return finder::Reading::kUnreadable;
  switch (page->text) {
    case Text::kOld: return finder::Reading::kOld;
    case Text::kNew: return finder::Reading::kNew;
    case Text::kOther:
    case Text::kNewRunsOn: break;
  }
  return finder::Reading::kOther;
}

}  // namespace fuzz
