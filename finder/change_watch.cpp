#include "finder/change_watch.h"

#include <algorithm>
#include <utility>

#include "finder/host_view.h"
#include "readers/layouts.h"

namespace finder {

namespace {

// Whether hits, pointers or candidates of the objects were dropped at a cap.
bool ObjectEvidenceCut(const FindResult& r) {
  bool cut = r.pointers_cut || r.candidates_cut;
  for (const MarkerHits& hits : r.object_hits) cut = cut || hits.cut;
  return cut;
}

bool Reaches(const Candidate& c, std::size_t marker) {
  return std::find(c.markers.begin(), c.markers.end(), static_cast<int>(marker)) !=
         c.markers.end();
}

}  // namespace

ChangeWatch::ChangeWatch(bool objects, const FindResult& result, std::string old_bytes,
                         std::string new_bytes, std::uint32_t wait_ms, bool none, bool cut,
                         std::size_t contenders) {
  object_ = objects;
  base_ = result.module_base;
  old_bytes_ = std::move(old_bytes);
  new_bytes_ = std::move(new_bytes);
  wait_ms_ = wait_ms;
  contenders_ = contenders;
  unwatched_ = none ? Unwatched::kNoCandidate : cut ? Unwatched::kEvidenceCut : Unwatched::kNone;
  if (unwatched_ != Unwatched::kNone) settled_ = Settled::kNotWatched;
}

ChangeWatch ChangeWatch::ForObjects(const FindRequest& request, const FindResult& result,
                                    std::size_t marker, std::string new_bytes,
                                    std::uint32_t wait_ms) {
  const ObjectMarker& m = request.objects.at(marker);
  ChangeWatch w(true, result, m.bytes, std::move(new_bytes), wait_ms,
                result.candidates.empty() || result.object_answer == Answer::kNotFound,
                ObjectEvidenceCut(result), result.object_contenders);
  w.type_ = m.type;
  const quorvane::RecordLayout* layout = quorvane::FindLayout(m.type);
  if (layout != nullptr && m.field >= 0 && m.field < layout->count) {
    w.field_offset_ = layout->fields[m.field].offset;
  }
  if (w.settled_ == Settled::kNotWatched) return w;
  for (std::size_t i = 0; i < result.candidates.size(); ++i) {
    const Candidate& c = result.candidates[i];
    const bool contender = i < result.object_contenders;
    if (!contender && (w.places_.size() >= kMaxWatched || !Reaches(c, marker))) continue;
    w.places_.push_back({i, contender});
    w.where_.push_back({c.list, c.data_offset, 0});
  }
  return w;
}

ChangeWatch ChangeWatch::ForBuffer(const FindRequest& request, const FindResult& result,
                                   std::string new_bytes, std::uint32_t wait_ms) {
  ChangeWatch w(false, result, request.buffer_bytes, std::move(new_bytes), wait_ms,
                result.buffers.empty(), result.buffer_hits_cut, result.buffer_contenders);
  if (w.settled_ == Settled::kNotWatched) return w;
  for (std::size_t i = 0; i < result.buffers.size(); ++i) {
    const bool contender = i < result.buffer_contenders;
    if (!contender && w.places_.size() >= kMaxWatched) break;
    w.places_.push_back({i, contender});
    w.where_.push_back({0, 0, result.buffers[i].address});
  }
  return w;
}

Reading ChangeWatch::ReadPlace(HostView& view, WatchedPlace* place) const {
  const Where& where = where_[static_cast<std::size_t>(place - places_.data())];
  place->at = 0;
  std::uint32_t at = where.address;
  if (object_) {
    const quorvane::ObjectChain chain =
        FollowObjectChain(view, base_, where.list, where.data_offset, type_);
    if (chain.stop != quorvane::ChainStop::kRecord) return Reading::kUnreadable;
    at = chain.record + field_offset_;
  }
  place->at = at;
  std::string bytes(std::max(new_bytes_.size(), old_bytes_.size()), '\0');
  bool any = false;
  for (const std::string* text : {&new_bytes_, &old_bytes_}) {
    if (!view.Read(at, &bytes[0], static_cast<std::uint32_t>(text->size()))) continue;
    any = true;
    if (bytes.compare(0, text->size(), *text) == 0) {
      return text == &new_bytes_ ? Reading::kNew : Reading::kOld;
    }
  }
  return any ? Reading::kOther : Reading::kUnreadable;
}

std::size_t ChangeWatch::changed_contenders() const {
  std::size_t n = 0;
  for (const WatchedPlace& p : places_) n += p.contender && p.reading == Reading::kNew ? 1 : 0;
  return n;
}

Settled ChangeWatch::Judge() const {
  const std::size_t changed = changed_contenders();
  if (changed == 1) return contenders_ > 1 ? Settled::kChosen : Settled::kConfirmed;
  if (changed > 1) return Settled::kSeveral;
  // Only candidates the scan ranked lower changed: they never overrule it.
  for (const WatchedPlace& p : places_) {
    if (p.reading == Reading::kNew) return Settled::kConflict;
  }
  return Settled::kWatching;
}

Settled ChangeWatch::Poll(std::uint64_t now_ms) {
  if (settled_ != Settled::kWatching) return settled_;
  elapsed_ms_ = now_ms;
  HostView view;  // afresh: nothing read before counts
  std::vector<std::size_t> changed;
  for (std::size_t i = 0; i < places_.size(); ++i) {
    places_[i].reading = ReadPlace(view, &places_[i]);
    if (places_[i].reading == Reading::kNew) changed.push_back(i);
  }
  const bool time_up = now_ms >= wait_ms_;
  if (changed.empty()) {
    last_changed_.clear();
    if (time_up) settled_ = Settled::kNoChange;
    return settled_;
  }
  // A host may write several records one after the other: the same places
  // changed on two polls in a row, or at the end of the wait.
  if (changed != last_changed_ && !time_up) {
    last_changed_ = std::move(changed);
    return settled_;
  }
  settled_ = Judge();
  if (settled_ == Settled::kChosen || settled_ == Settled::kConfirmed) {
    for (const WatchedPlace& p : places_) {
      if (p.contender && p.reading == Reading::kNew) answer_ = p.index;
    }
  }
  return settled_;
}

}  // namespace finder
