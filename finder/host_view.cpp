#include "finder/host_view.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "readers/host_words.h"

namespace finder {

using quorvane::kHostPageSize;

HostView::HostView(std::vector<quorvane::HostRegion> readable)
    : map_given_(true), readable_(std::move(readable)) {}

const quorvane::HostRegion* HostView::RegionOf(std::uint32_t number) const {
  const std::uint64_t at = std::uint64_t{number} * kHostPageSize;
  auto after = std::upper_bound(
      readable_.begin(), readable_.end(), at,
      [](std::uint64_t address, const quorvane::HostRegion& r) { return address < r.base; });
  if (after == readable_.begin()) return nullptr;
  --after;
  return at < std::uint64_t{after->base} + after->size ? &*after : nullptr;
}

void HostView::Load(std::uint32_t number) {
  // The aligned span of kSpanPages around the page, clipped to its region:
  // one read of the host, or of this page alone when that one fails (part of
  // the region may have been freed since the map was taken).
  std::uint32_t first = number, end = number + 1;
  if (map_given_) {
    const quorvane::HostRegion* region = RegionOf(number);
    if (region == nullptr) {
      pages_[number] = std::make_unique<Page>();  // outside the map: unreadable
      return;
    }
    const std::uint32_t region_first = region->base / kHostPageSize;
    const std::uint64_t region_end =
        (std::uint64_t{region->base} + region->size) / kHostPageSize;
    first = std::max(number - number % kSpanPages, region_first);
    end = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{number - number % kSpanPages} + kSpanPages,
                                region_end));
  }
  const std::uint32_t count = end - first;
  std::vector<std::uint8_t> span(std::size_t{count} * kHostPageSize);
  if (count > 1 && quorvane::ReadHostMemory(first * kHostPageSize, span.data(),
                                            count * kHostPageSize)) {
    for (std::uint32_t page = first; page < end; ++page) {
      std::unique_ptr<Page>& slot = pages_[page];
      if (slot) continue;  // keep what was read before
      slot = std::make_unique<Page>();
      slot->readable = true;
      std::memcpy(slot->bytes, span.data() + std::size_t{page - first} * kHostPageSize,
                  kHostPageSize);
    }
    return;
  }
  std::unique_ptr<Page>& slot = pages_[number];
  slot = std::make_unique<Page>();
  slot->readable = quorvane::ReadHostMemory(number * kHostPageSize, slot->bytes, kHostPageSize);
}

const HostView::Page& HostView::PageAt(std::uint32_t number) {
  const auto found = pages_.find(number);
  if (found != pages_.end()) return *found->second;
  if (pages_.size() + kSpanPages > kMaxPages) pages_.clear();
  Load(number);
  return *pages_.at(number);
}

bool HostView::Read(std::uint32_t address, void* out, std::uint32_t size) {
  if (size == 0) return true;
  if (address > UINT32_MAX - (size - 1)) return false;
  auto* to = static_cast<std::uint8_t*>(out);
  std::uint32_t done = 0;
  while (done < size) {
    const std::uint32_t at = address + done;
    const Page& page = PageAt(at / kHostPageSize);
    if (!page.readable) return false;
    const std::uint32_t offset = at % kHostPageSize;
    const std::uint32_t n = std::min(kHostPageSize - offset, size - done);
    std::memcpy(to + done, page.bytes + offset, n);
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

}  // namespace finder
