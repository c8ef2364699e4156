#include "finder/finder.h"

#include <algorithm>
#include <map>
#include <utility>

#include "finder/scan.h"
#include "platform/host_scan.h"
#include "readers/host_strings.h"
#include "readers/host_runs.h"
#include "readers/host_words.h"
#include "readers/layouts.h"

namespace finder {

namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

struct Image {
  std::uint32_t base;
  std::uint32_t size;
  bool Contains(std::uint32_t address) const {
    return address >= base && std::uint64_t{address} < std::uint64_t{base} + size;
  }
  std::uint64_t Overlap(const HostRegion& r) const {
    const std::uint64_t from = std::max<std::uint64_t>(base, r.base);
    const std::uint64_t to = std::min<std::uint64_t>(std::uint64_t{base} + size,
                                                     std::uint64_t{r.base} + r.size);
    return to > from ? to - from : 0;
  }
};

int TypeScore(Outcome outcome) {
  switch (outcome) {
    case Outcome::kPlausible: return 1;
    case Outcome::kImplausible: return -1;
    case Outcome::kUnreadable: return -1;
    case Outcome::kEmptySlot:
    case Outcome::kNoRecord:
    case Outcome::kNoEvidence: break;
  }
  return 0;
}

// What a type's chain that stops before its record says under a candidate.
struct ChainOutcome {
  quorvane::ChainStop stop;
  Outcome outcome;
  const char* note;
};
constexpr ChainOutcome kChainOutcomes[] = {
    {quorvane::ChainStop::kSlotUnreadable, Outcome::kUnreadable, "the slot cannot be read"},
    {quorvane::ChainStop::kSlotZero, Outcome::kEmptySlot, ""},
    {quorvane::ChainStop::kPointerUnreadable, Outcome::kUnreadable,
     "the record pointer cannot be read"},
    {quorvane::ChainStop::kPointerZero, Outcome::kNoRecord, ""},
};

TypeCheck CheckType(HostView& view, std::uint32_t base, std::uint32_t list,
                    std::uint32_t data_offset, std::int32_t type) {
  const quorvane::ObjectChain chain = FollowObjectChain(view, base, list, data_offset, type);
  for (const ChainOutcome& stopped : kChainOutcomes) {
    if (stopped.stop == chain.stop) return {type, stopped.outcome, stopped.note};
  }
  if (quorvane::FindLayout(type)->count == 0) {
    return {type, Outcome::kNoEvidence, "the layout has no fields"};
  }
  const RecordVerdict verdict = CheckRecord(view, chain.record, type);
  if (!verdict.readable) return {type, Outcome::kUnreadable, "the record cannot be read"};
  if (!verdict.issues.empty()) {
    const FieldIssue& issue = verdict.issues.front();
    return {type, Outcome::kImplausible, std::string(issue.field) + ": " + issue.what};
  }
  if (!verdict.evidence) return {type, Outcome::kNoEvidence, "every field is zero"};
  return {type, Outcome::kPlausible, ""};
}

std::uint32_t Distance(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : b - a; }

std::uint64_t HintDistance(const FindRequest& r, const Candidate& c) {
  std::uint64_t d = 0;
  if (r.hint_data) d += Distance(c.data_offset, r.old_data);
  if (r.hint_list) d += Distance(c.list, r.old_list);
  return d;
}

// Whether hits, pointers or candidates of the objects were dropped at a cap.
bool ObjectEvidenceCut(const FindResult& r) {
  bool cut = r.pointers_cut || r.candidates_cut;
  for (const MarkerHits& hits : r.object_hits) cut = cut || hits.cut;
  return cut;
}

// Whether the module cannot read, under `c`, a record one of its markers
// lies in: there those offsets lead a script to nil.
bool MarkedRecordUnreadable(const FindRequest& request, const Candidate& c) {
  for (const int k : c.markers) {
    for (const TypeCheck& check : c.checks) {
      if (check.type == request.objects[static_cast<std::size_t>(k)].type &&
          check.outcome == Outcome::kUnreadable) {
        return true;
      }
    }
  }
  return false;
}

void RankCandidates(const FindRequest& request, FindResult* result) {
  result->object_answer = Answer::kNotFound;
  std::vector<Candidate>& c = result->candidates;
  std::stable_sort(c.begin(), c.end(), [&](const Candidate& a, const Candidate& b) {
    if (a.markers.size() != b.markers.size()) return a.markers.size() > b.markers.size();
    if (a.score != b.score) return a.score > b.score;
    const std::uint64_t ha = HintDistance(request, a), hb = HintDistance(request, b);
    if (ha != hb) return ha < hb;
    if (a.list != b.list) return a.list < b.list;
    return a.data_offset < b.data_offset;
  });
  if (c.empty()) return;
  const int best = c.front().score;
  const std::size_t reach = c.front().markers.size();
  std::size_t contenders = 0;
  while (contenders < c.size() && c[contenders].markers.size() == reach &&
         c[contenders].score > best - kClearLead) {
    ++contenders;
  }
  result->object_contenders = contenders;
  const Refusal refusal = ObjectRefusal(request, *result, 0);
  if (refusal == Refusal::kMarkerNotReached) {
    result->object_missing = Missing::kMarkerNotReached;
  } else if (refusal == Refusal::kNotPlausible) {
    result->object_missing = Missing::kNoPlausible;
  } else {
    result->object_answer =
        contenders == 1 && refusal == Refusal::kNone ? Answer::kFound : Answer::kAmbiguous;
  }
}

void RankBuffers(const FindRequest& request, FindResult* result) {
  std::vector<BufferCandidate>& b = result->buffers;
  std::stable_sort(b.begin(), b.end(), [&](const BufferCandidate& x, const BufferCandidate& y) {
    if (x.score != y.score) return x.score > y.score;
    if (request.hint_buffer) {
      const std::uint32_t dx = Distance(x.offset, request.old_buffer);
      const std::uint32_t dy = Distance(y.offset, request.old_buffer);
      if (dx != dy) return dx < dy;
    }
    if (x.starts != y.starts) return x.starts;
    return x.offset < y.offset;
  });
  if (b.empty()) {
    result->buffer_answer = Answer::kNotFound;
    return;
  }
  std::size_t contenders = 0;
  while (contenders < b.size() && b[contenders].score == b.front().score) ++contenders;
  result->buffer_contenders = contenders;
  // Where the one place left has something before the marker, the buffer
  // may start there with text typed before the marker, or the marker may be
  // all of it after a variable: which, the bytes do not say.
  result->buffer_text_before = contenders == 1 && !b.front().starts;
  const bool clear = contenders == 1 && BufferRefusal(*result, 0) == Refusal::kNone;
  result->buffer_answer = clear ? Answer::kFound : Answer::kAmbiguous;
}

// Whether GetTextbufferString can read the wide text that goes on at
// `address` to its terminator (or its cap): one that runs into memory that
// cannot be read gives a script nil, so a hit there is no buffer.
bool TextReadable(HostView& view, std::uint32_t address) {
  std::uint8_t chunk[quorvane::kHostPageSize];
  const quorvane::RunExtent extent = quorvane::FindRunEnd(
      address, 2, 2 * quorvane::kMaxTextElements,
      [&](std::uint32_t at, std::uint32_t, std::uint32_t n) -> const std::uint8_t* {
        return view.Read(at, chunk, n) ? chunk : nullptr;
      });
  return extent.end != quorvane::RunEnd::kUnreadable;
}

// The buffer marker's hits in the image, judged by whether the marker is
// the whole text there. The marker typed alone ends in a NUL unit: every
// such hit is a contender, whatever is before it, since the unit before
// the buffer belongs to the variable the image keeps there, which may be
// anything. Only where no hit ends so does one without text before it
// (the marker with more typed after it) stand out.
void CollectBuffers(const FindRequest& request, const Image& image, HostView& view,
                    FindResult* result) {
  const auto length = static_cast<std::uint32_t>(request.buffer_bytes.size());
  for (const MarkerHit& hit : result->buffer_hits) {
    if (!hit.in_module || hit.address == image.base) continue;
    BufferCandidate c;
    c.address = hit.address;
    c.offset = hit.address - image.base;
    c.starts = CheckBufferStart(view, hit.address).empty();
    std::uint8_t unit[2];
    c.terminated = view.Read(hit.address + length, unit, 2) && unit[0] == 0 && unit[1] == 0;
    if (!c.terminated && !TextReadable(view, hit.address + length)) continue;
    c.score = c.terminated ? 2 : c.starts ? 1 : 0;
    result->buffers.push_back(c);
  }
}

// Adds memory lost during the scoring and the buffer's judgement to the
// result, as the passes' lost memory is.
void AddLost(const std::vector<HostRegion>& lost, const Image& image, FindResult* result) {
  for (const HostRegion& r : lost) {
    result->lost_bytes += r.size;
    result->lost_image_bytes += image.Overlap(r);
  }
}

// Adds one pass's figures to the result: the one place they are added up.
// Returns whether the process ended during the pass.
bool AddPass(const PassStats& stats, FindResult* result) {
  result->bytes_read += stats.bytes;
  result->failed_reads += stats.failed_reads;
  result->lost_bytes += TotalBytes(stats.lost);
  if (stats.process_ended) result->process_ended = true;
  return stats.process_ended;
}

// The field offset of a marker's field, or false when the request names no
// string field of a layout.
bool MarkerOffset(const ObjectMarker& marker, std::uint32_t* offset) {
  const quorvane::RecordLayout* layout = quorvane::FindLayout(marker.type);
  if (layout == nullptr || marker.field < 0 || marker.field >= layout->count) return false;
  *offset = layout->fields[marker.field].offset;
  return true;
}

// Step 1, the marker pass: every marker's hits in all readable memory; the
// buffer marker's index comes after the others. Returns false when the
// process ended.
bool MarkerPass(const FindRequest& request, const std::vector<HostRegion>& regions,
                const Image& image, const ChunkDone& done, FindResult* result) {
  std::vector<std::string> patterns;
  for (const ObjectMarker& m : request.objects) patterns.push_back(m.bytes);
  if (request.buffer_marker) patterns.push_back(request.buffer_bytes);
  result->object_hits.resize(request.objects.size());
  const MarkerSearch search(patterns);
  const auto on_marker = [&](std::size_t k, std::uint32_t address) {
    const bool object = k < request.objects.size();
    std::vector<MarkerHit>& hits = object ? result->object_hits[k].hits : result->buffer_hits;
    bool& cut = object ? result->object_hits[k].cut : result->buffer_hits_cut;
    if (hits.size() >= kMaxMarkerHits) {
      cut = true;
      return;
    }
    hits.push_back({address, image.Contains(address)});
  };
  const PassStats stats = StreamRegions(
      regions, request.chunk, search.Overlap(),
      [&](std::uint32_t address, const std::uint8_t* data, std::size_t size, std::size_t carried) {
        search.Search(address, data, size, carried, on_marker);
      },
      done);
  for (const HostRegion& lost : stats.lost) result->lost_image_bytes += image.Overlap(lost);
  return !AddPass(stats, result);
}

// The records the object markers' hits would lie in, each with a marker
// that has a hit there: sorted by record, then marker, no pair twice.
struct MarkedRecord {
  std::uint32_t record;
  int marker;
  bool operator<(const MarkedRecord& o) const {
    return record != o.record ? record < o.record : marker < o.marker;
  }
  bool operator==(const MarkedRecord& o) const { return record == o.record && marker == o.marker; }
};
using MarkedRecords = std::vector<MarkedRecord>;

MarkedRecords RecordsOfMarkers(const FindRequest& request, const FindResult& result) {
  MarkedRecords marked;
  for (std::size_t k = 0; k < request.objects.size(); ++k) {
    std::uint32_t offset = 0;
    if (!MarkerOffset(request.objects[k], &offset)) continue;
    // A marker's hits come in address order, and so do its records unless
    // one wraps below address 0: each marker's run is sorted (at once, as a
    // rule) and merged with the runs before it.
    const auto before = static_cast<std::ptrdiff_t>(marked.size());
    for (const MarkerHit& hit : result.object_hits[k].hits) {
      marked.push_back({hit.address - offset, static_cast<int>(k)});
    }
    if (!std::is_sorted(marked.begin() + before, marked.end())) {
      std::sort(marked.begin() + before, marked.end());
    }
    std::inplace_merge(marked.begin(), marked.begin() + before, marked.end());
  }
  marked.erase(std::unique(marked.begin(), marked.end()), marked.end());
  return marked;
}

// Step 2, the pointer pass: every 4-aligned word in all readable memory that
// holds one of the marked records. Returns false when the process ended.
bool PointerPass(const FindRequest& request, const std::vector<HostRegion>& regions,
                 const MarkedRecords& marked, const ChunkDone& done, FindResult* result) {
  std::vector<std::uint32_t> records;
  for (const MarkedRecord& m : marked) records.push_back(m.record);
  const PointerTargets targets(records);
  if (targets.Empty()) return true;
  const PassStats stats = StreamRegions(
      regions, request.chunk, 0,
      [&](std::uint32_t address, const std::uint8_t* data, std::size_t size, std::size_t) {
        targets.Search(address, data, size, [&](std::uint32_t at, std::uint32_t value) {
          if (result->pointers.size() >= kMaxPointers) {
            result->pointers_cut = true;
            return;
          }
          result->pointers.push_back({at, value});
        });
      },
      done);
  return !AddPass(stats, result);
}

// What the slot pass gathers: the candidates by (list, offset).
class SlotPass {
 public:
  SlotPass(const FindRequest& request, const Image& image, const MarkedRecords& marked,
           FindResult* result)
      : request_(request), image_(image), marked_(marked), result_(result),
        targets_(PointerAddresses(result->pointers), request.max_data_offset) {}

  // The chunk's words that point at most max_data_offset bytes below a
  // record pointer.
  void Visit(std::uint32_t address, const std::uint8_t* data, std::size_t size) {
    targets_.Search(address, data, size, [this](std::uint32_t slot, std::uint32_t word,
                                                std::size_t index) {
      const RecordPointer& p = result_->pointers[index];
      if (p.address == word) {
        ++result_->zero_offset_pointers;
        return;
      }
      auto m = std::lower_bound(marked_.begin(), marked_.end(), MarkedRecord{p.record, -1});
      for (; m != marked_.end() && m->record == p.record; ++m) Add(slot, word, p, m->marker);
    });
  }

  // Hands the candidates to the result, by (list, offset).
  void Finish() {
    for (auto& entry : found_) result_->candidates.push_back(std::move(entry.second));
  }

 private:
  // The image word at `slot` holds `word`, a structure `p` lies within: the
  // list slot of `marker`'s type.
  void Add(std::uint32_t slot, std::uint32_t word, const RecordPointer& p, int marker) {
    const std::uint32_t d = p.address - word;
    const std::uint32_t list =
        quorvane::ListOffset(image_.base, slot, request_.objects[marker].type);
    if (list == 0) return;  // GetObjectData takes a list of 0 for a missing key
    ++result_->candidates_considered;
    const auto key = std::make_pair(list, d);
    auto known = found_.find(key);
    if (known == found_.end()) {
      if (found_.size() >= kMaxCandidates) {
        result_->candidates_cut = true;
        return;
      }
      Candidate c{};
      c.list = list;
      c.data_offset = d;
      known = found_.emplace(key, std::move(c)).first;
    }
    Candidate& c = known->second;
    // The chain kept is the first marker's, whichever marker got here first.
    if (c.markers.empty() || marker < c.markers.front()) {
      c.slot = slot;
      c.structure = word;
      c.pointer = p.address;
      c.record = p.record;
    }
    std::vector<int>& reached = c.markers;
    if (std::find(reached.begin(), reached.end(), marker) == reached.end()) {
      const auto at = std::upper_bound(reached.begin(), reached.end(), marker);
      c.records.insert(c.records.begin() + (at - reached.begin()), p.record);
      reached.insert(at, marker);
    }
  }

  // The pointers' addresses, in address order, as the pointer pass found
  // them.
  static std::vector<std::uint32_t> PointerAddresses(const std::vector<RecordPointer>& pointers) {
    std::vector<std::uint32_t> addresses;
    addresses.reserve(pointers.size());
    for (const RecordPointer& p : pointers) addresses.push_back(p.address);
    return addresses;
  }

  const FindRequest& request_;
  const Image& image_;
  const MarkedRecords& marked_;
  FindResult* result_;
  const RangeTargets targets_;
  std::map<std::pair<std::uint32_t, std::uint32_t>, Candidate> found_;
};

// Step 3, the slot pass over the image. Returns false when the process
// ended.
bool CollectCandidates(const FindRequest& request, const Image& image,
                       const MarkedRecords& marked, FindResult* result) {
  bool ended = false;
  const std::vector<HostRegion> regions =
      ReadableRegions(image.base, std::uint64_t{image.base} + image.size, &ended);
  SlotPass pass(request, image, marked, result);
  const PassStats stats = StreamRegions(
      regions, request.chunk, 0,
      [&](std::uint32_t address, const std::uint8_t* data, std::size_t size, std::size_t) {
        pass.Visit(address, data, size);
      },
      [](std::uint64_t) {});
  const bool ended_in_pass = AddPass(stats, result);
  if (ended) result->process_ended = true;
  pass.Finish();
  return !ended_in_pass && !ended;
}

// Step 4, scoring: every candidate walked for every type with a layout.
void ScoreCandidates(HostView& view, std::uint32_t base, FindResult* result) {
  for (Candidate& c : result->candidates) {
    Candidate scored = ScoreCandidate(view, base, c.list, c.data_offset);
    c.score = scored.score;
    c.checks = std::move(scored.checks);
  }
}

// Why no candidate was found, when none was.
Missing WhatIsMissing(const MarkedRecords& marked, const FindResult& result) {
  if (marked.empty()) return Missing::kNoMarker;
  if (result.pointers.empty()) return Missing::kNoPointer;
  if (result.candidates.empty()) return Missing::kNoSlot;
  return Missing::kNone;
}

// Steps 2 to 4 for the object markers, whose hits the marker pass found;
// ranked once all reading is done. Returns false when the process ended.
bool FindObjects(const FindRequest& request, const std::vector<HostRegion>& regions,
                 const Image& image, HostView& view, const ChunkDone& done,
                 FindResult* result) {
  const MarkedRecords marked = RecordsOfMarkers(request, *result);
  if (!PointerPass(request, regions, marked, done, result)) return false;
  if (!CollectCandidates(request, image, marked, result)) return false;
  ScoreCandidates(view, image.base, result);
  result->object_missing = WhatIsMissing(marked, *result);
  return true;
}

}  // namespace

int MarkerField(std::int32_t type, const std::string* name) {
  const quorvane::RecordLayout* layout = quorvane::FindLayout(type);
  if (layout == nullptr) return -1;
  int first_string = -1;
  for (int i = 0; i < layout->count; ++i) {
    const quorvane::FieldSpec& f = layout->fields[i];
    if (quorvane::TextUnit(f.kind) == 0) continue;
    if (name != nullptr) {
      if (*name == f.name) return i;
      continue;
    }
    if (f.kind == quorvane::FieldKind::kWideText) return i;
    if (first_string < 0) first_string = i;
  }
  return first_string;
}

Refusal ObjectRefusal(const FindRequest& request, const FindResult& result, std::size_t index) {
  const Candidate& c = result.candidates.at(index);
  if (c.markers.size() < request.objects.size()) return Refusal::kMarkerNotReached;
  if (c.score <= 0 || MarkedRecordUnreadable(request, c)) return Refusal::kNotPlausible;
  if (ObjectEvidenceCut(result)) return Refusal::kEvidenceCut;
  if (result.lost_bytes > 0) return Refusal::kMemoryLost;
  if (SharedRecordOf(result, index) != kNotShared) return Refusal::kSharedRecord;
  return Refusal::kNone;
}

Refusal BufferRefusal(const FindResult& result, std::size_t index) {
  if (result.buffer_hits_cut) return Refusal::kEvidenceCut;
  if (result.lost_image_bytes > 0) return Refusal::kMemoryLost;
  if (!result.buffers.at(index).starts) return Refusal::kTextBefore;
  return Refusal::kNone;
}

std::size_t SharedRecordOf(const FindResult& result, std::size_t index) {
  const Candidate& c = result.candidates.at(index);
  for (std::size_t i = 0; i < result.candidates.size(); ++i) {
    const Candidate& other = result.candidates[i];
    if (i == index || other.list != c.list || other.data_offset == c.data_offset ||
        other.markers != c.markers || other.records != c.records) {
      continue;
    }
    const int apart = other.score > c.score ? other.score - c.score : c.score - other.score;
    if (apart < kClearLead) return i;
  }
  return kNotShared;
}

int Candidate::Count(Outcome outcome) const {
  int n = 0;
  for (const TypeCheck& check : checks) n += check.outcome == outcome ? 1 : 0;
  return n;
}

void RankResult(const FindRequest& request, FindResult* result) {
  if (!request.objects.empty()) RankCandidates(request, result);
  if (request.buffer_marker) RankBuffers(request, result);
}

Candidate ScoreCandidate(HostView& view, std::uint32_t base, std::uint32_t list,
                         std::uint32_t data_offset) {
  Candidate c{};
  c.list = list;
  c.data_offset = data_offset;
  c.checks.reserve(quorvane::kTypesWithLayoutCount);
  for (int i = 0; i < quorvane::kTypesWithLayoutCount; ++i) {
    c.checks.push_back(CheckType(view, base, list, data_offset, quorvane::kTypesWithLayout[i]));
    c.score += TypeScore(c.checks.back().outcome);
  }
  return c;
}

FindResult FindOffsets(const FindRequest& request, const Progress& progress) {
  FindResult result;
  Image image{0, 0};
  if (!quorvane::FindModuleImage(request.module.c_str(), &image.base, &image.size)) {
    result.process_ended = !quorvane::HostProcessRunning();
    return result;
  }
  result.module_loaded = true;
  result.module_base = image.base;
  result.module_size = image.size;

  bool ended = false;
  const std::vector<HostRegion> regions = ReadableRegions(0, kAddressSpace, &ended);
  result.regions = static_cast<std::uint32_t>(regions.size());
  result.total_bytes = TotalBytes(regions);
  if (ended) {
    result.process_ended = true;
    return result;
  }
  // Progress runs over the passes over all memory: the markers', then the
  // pointers' when there are object markers.
  const std::uint64_t passes = request.objects.empty() ? 1 : 2;
  const auto pass_done = [&](std::uint64_t pass) -> ChunkDone {
    return [&progress, &result, pass, passes](std::uint64_t done) {
      progress(pass * result.total_bytes + done, passes * result.total_bytes);
    };
  };
  if (!MarkerPass(request, regions, image, pass_done(0), &result)) return result;
  HostView view(regions);
  if (!request.objects.empty() &&
      !FindObjects(request, regions, image, view, pass_done(1), &result)) {
    return result;
  }
  if (request.buffer_marker) CollectBuffers(request, image, view, &result);
  // Both answers are judged on everything read, lost memory included.
  AddLost(view.TakeLost(), image, &result);
  RankResult(request, &result);

  // Whatever was read after the process ended is not to be trusted.
  if (!quorvane::HostProcessRunning()) result.process_ended = true;
  return result;
}

}  // namespace finder
