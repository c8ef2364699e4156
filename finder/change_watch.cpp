#include "finder/change_watch.h"

#include <algorithm>
#include <utility>

#include "finder/host_view.h"
#include "readers/layouts.h"

namespace finder {

namespace {

bool Reaches(const Candidate& c, std::size_t marker) {
  return std::find(c.markers.begin(), c.markers.end(), static_cast<int>(marker)) !=
         c.markers.end();
}

}  // namespace

ChangeWatch::ChangeWatch(bool objects, const FindResult& result, std::string old_bytes,
                         std::string new_bytes, std::uint32_t unit, std::uint32_t wait_ms,
                         bool scan_found) {
  object_ = objects;
  base_ = result.module_base;
  old_bytes_ = std::move(old_bytes);
  new_bytes_ = std::move(new_bytes);
  unit_ = unit;
  wait_ms_ = wait_ms;
  scan_found_ = scan_found;
}

bool ChangeWatch::Settleable(const std::vector<Refusal>& contenders) {
  contenders_ = contenders.size();
  const bool any = std::find(contenders.begin(), contenders.end(), Refusal::kNone) !=
                   contenders.end();
  if (any) return true;
  settled_ = Settled::kNotWatched;
  unwatched_ = contenders.empty() ? Unwatched::kNoCandidate : Unwatched::kRefused;
  refusal_ = contenders.empty() ? Refusal::kNone : contenders.front();
  return false;
}

ChangeWatch ChangeWatch::ForObjects(const FindRequest& request, const FindResult& result,
                                    std::size_t marker, std::string new_bytes,
                                    std::uint32_t wait_ms) {
  const ObjectMarker& m = request.objects.at(marker);
  const quorvane::RecordLayout* layout = quorvane::FindLayout(m.type);
  const bool field = layout != nullptr && m.field >= 0 && m.field < layout->count;
  const std::uint32_t unit =
      field ? quorvane::TextUnit(layout->fields[m.field].kind) : std::uint32_t{2};
  ChangeWatch w(true, result, m.bytes, std::move(new_bytes), unit, wait_ms,
                result.object_answer == Answer::kFound);
  w.type_ = m.type;
  if (field) w.field_offset_ = layout->fields[m.field].offset;
  std::vector<Refusal> refusals;
  if (result.object_answer != Answer::kNotFound) {
    for (std::size_t i = 0; i < result.object_contenders; ++i) {
      refusals.push_back(ObjectRefusal(request, result, i));
    }
  }
  if (!w.Settleable(refusals)) return w;
  for (std::size_t i = 0; i < result.candidates.size(); ++i) {
    const Candidate& c = result.candidates[i];
    const bool contender = i < result.object_contenders;
    if (!contender && (w.places_.size() >= kMaxWatched || !Reaches(c, marker))) continue;
    w.places_.push_back({i, contender, contender ? refusals[i] : Refusal::kNone});
    w.where_.push_back({c.list, c.data_offset, 0});
  }
  return w;
}

ChangeWatch ChangeWatch::ForBuffer(const FindRequest& request, const FindResult& result,
                                   std::string new_bytes, std::uint32_t wait_ms) {
  ChangeWatch w(false, result, request.buffer_bytes, std::move(new_bytes), 2, wait_ms,
                result.buffer_answer == Answer::kFound);
  std::vector<Refusal> refusals;
  for (std::size_t i = 0; i < result.buffer_contenders && i < result.buffers.size(); ++i) {
    refusals.push_back(BufferRefusal(result, i));
  }
  if (!w.Settleable(refusals)) return w;
  for (std::size_t i = 0; i < result.buffers.size(); ++i) {
    const bool contender = i < result.buffer_contenders;
    if (!contender && w.places_.size() >= kMaxWatched) break;
    w.places_.push_back({i, contender, contender ? refusals[i] : Refusal::kNone});
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
  // The new marker is the whole text, its terminator with it; the old one
  // as the scan found it.
  const std::string whole_new = new_bytes_ + std::string(unit_, '\0');
  std::string bytes(std::max(whole_new.size(), old_bytes_.size()), '\0');
  bool any = false;
  for (const std::string* text : {&whole_new, &old_bytes_}) {
    if (!view.Read(at, &bytes[0], static_cast<std::uint32_t>(text->size()))) continue;
    any = true;
    if (bytes.compare(0, text->size(), *text) == 0) {
      return text == &whole_new ? Reading::kNew : Reading::kOld;
    }
  }
  return any ? Reading::kOther : Reading::kUnreadable;
}

std::size_t ChangeWatch::changed_contenders() const {
  std::size_t n = 0;
  for (const WatchedPlace& p : places_) n += p.contender && p.reading == Reading::kNew ? 1 : 0;
  return n;
}

Settled ChangeWatch::Judge() {
  const std::size_t changed = changed_contenders();
  if (changed == 1) {
    for (const WatchedPlace& p : places_) {
      if (!p.contender || p.reading != Reading::kNew) continue;
      answer_ = p.index;
      refusal_ = p.refusal;
    }
    if (refusal_ != Refusal::kNone) return Settled::kRefused;
    return scan_found_ ? Settled::kConfirmed : Settled::kChosen;
  }
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
  return settled_;
}

}  // namespace finder
