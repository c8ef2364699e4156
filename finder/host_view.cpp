#include "finder/host_view.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "readers/host_words.h"

namespace finder {

using quorvane::HostRegion;
using quorvane::kHostPageSize;

namespace {
constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;
}  // namespace

HostView::HostView(std::vector<HostRegion> readable)
    : map_given_(true), readable_(std::move(readable)) {}

bool HostView::MapRegionOf(std::uint64_t address, HostRegion* region) const {
  auto after = std::upper_bound(
      readable_.begin(), readable_.end(), address,
      [](std::uint64_t a, const HostRegion& r) { return a < r.base; });
  if (after == readable_.begin()) return false;
  --after;
  if (address >= std::uint64_t{after->base} + after->size) return false;
  *region = *after;
  return true;
}

// Asks the memory map about the memory from `address` on: the readable
// region that holds it, or how far the memory that is not readable goes.
bool HostView::AskHost(std::uint64_t address, HostRegion* region) {
  auto known = asked_.upper_bound(address);
  if (known != asked_.begin()) {
    --known;
    if (address < known->second.end) {
      if (!known->second.readable) return false;
      region->base = static_cast<std::uint32_t>(known->first);
      region->size = static_cast<std::uint32_t>(known->second.end - known->first);
      return true;
    }
  }
  HostRegion next;
  const bool any = quorvane::NextReadableRegion(static_cast<std::uint32_t>(address), &next);
  if (any && next.base <= address) {
    asked_[next.base] = {std::uint64_t{next.base} + next.size, true};
    *region = next;
    return true;
  }
  asked_[address] = {any && next.base > address ? next.base : kAddressSpace, false};
  return false;
}

bool HostView::RegionOf(std::uint32_t number, HostRegion* region) {
  const std::uint64_t at = std::uint64_t{number} * kHostPageSize;
  return MapRegionOf(at, region) || AskHost(at, region);
}

void HostView::NoteLost(std::uint32_t number) {
  if (lost_.insert(number).second) fresh_lost_.push_back(number);
}

void HostView::Load(std::uint32_t number) {
  // The aligned span of kSpanPages around the page, clipped to its region:
  // one read of the host, or of this page alone when that one fails (part of
  // the region may have been freed since the map was taken).
  std::uint32_t first = number, end = number + 1;
  if (map_given_) {
    HostRegion region;
    if (!RegionOf(number, &region)) {
      pages_[number] = nullptr;  // not readable
      return;
    }
    const std::uint32_t region_first = region.base / kHostPageSize;
    const std::uint64_t region_end = (std::uint64_t{region.base} + region.size) / kHostPageSize;
    first = std::max(number - number % kSpanPages, region_first);
    end = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{number - number % kSpanPages} + kSpanPages,
                                region_end));
  }
  // The host's bytes go straight into the block that keeps them.
  const std::uint32_t count = end - first;
  if (count > 1) {
    std::unique_ptr<std::uint8_t[]> span(new std::uint8_t[std::size_t{count} * kHostPageSize]);
    if (quorvane::ReadHostMemory(first * kHostPageSize, span.get(), count * kHostPageSize)) {
      for (std::uint32_t page = first; page < end; ++page) {
        // A page read before keeps what it read then.
        pages_.emplace(page, span.get() + std::size_t{page - first} * kHostPageSize);
      }
      block_pages_ += count;
      blocks_.push_back(std::move(span));
      return;
    }
  }
  std::unique_ptr<std::uint8_t[]> page(new std::uint8_t[kHostPageSize]);
  const bool readable = quorvane::ReadHostMemory(number * kHostPageSize, page.get(), kHostPageSize);
  pages_[number] = readable ? page.get() : nullptr;
  if (readable) {
    ++block_pages_;
    blocks_.push_back(std::move(page));
  }
  if (map_given_ && !readable) NoteLost(number);
}

const std::uint8_t* HostView::PageAt(std::uint32_t number) {
  if (has_last_ && last_number_ == number) return last_;
  auto found = pages_.find(number);
  if (found == pages_.end()) {
    if (pages_.size() + kSpanPages > kMaxPages || block_pages_ + kSpanPages > kMaxPages) {
      pages_.clear();
      blocks_.clear();
      block_pages_ = 0;
      asked_.clear();
    }
    Load(number);
    found = pages_.find(number);
  }
  has_last_ = true;
  last_number_ = number;
  last_ = found->second;
  return last_;
}

bool HostView::Read(std::uint32_t address, void* out, std::uint32_t size) {
  if (size == 0) return true;
  if (address > UINT32_MAX - (size - 1)) return false;
  auto* to = static_cast<std::uint8_t*>(out);
  std::uint32_t done = 0;
  while (done < size) {
    const std::uint32_t at = address + done;
    const std::uint8_t* page = PageAt(at / kHostPageSize);
    if (page == nullptr) return false;
    const std::uint32_t offset = at % kHostPageSize;
    const std::uint32_t n = std::min(kHostPageSize - offset, size - done);
    std::memcpy(to + done, page + offset, n);
    done += n;
  }
  return true;
}

bool HostView::ReadU32(std::uint32_t address, std::uint32_t* value) {
  std::uint8_t b[4];
  if (!Read(address, b, 4)) return false;
  *value = quorvane::LoadU32(b);
  return true;
}

std::vector<HostRegion> HostView::TakeLost() {
  std::sort(fresh_lost_.begin(), fresh_lost_.end());
  std::vector<HostRegion> runs;
  for (const std::uint32_t page : fresh_lost_) {
    const std::uint32_t at = page * kHostPageSize;
    if (!runs.empty() && std::uint64_t{runs.back().base} + runs.back().size == at) {
      runs.back().size += kHostPageSize;
    } else {
      runs.push_back({at, kHostPageSize});
    }
  }
  fresh_lost_.clear();
  return runs;
}

}  // namespace finder
