#include "finder/scan.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace finder {

std::vector<HostRegion> ReadableRegions(std::uint32_t from, std::uint64_t to, bool* ended) {
  std::vector<HostRegion> regions;
  *ended = false;
  std::uint64_t at = from;
  HostRegion region;
  while (at < to && at <= UINT32_MAX &&
         quorvane::NextReadableRegion(static_cast<std::uint32_t>(at), &region)) {
    const std::uint64_t start = std::max<std::uint64_t>(region.base, at);
    const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{region.base} + region.size, to);
    if (start >= to) break;
    if (end > start) {
      regions.push_back(
          {static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end - start)});
    }
    if (std::uint64_t{region.base} + region.size <= at) break;  // no progress
    at = std::uint64_t{region.base} + region.size;
  }
  if (!quorvane::HostProcessRunning()) *ended = true;
  return regions;
}

std::uint64_t TotalBytes(const std::vector<HostRegion>& regions) {
  std::uint64_t total = 0;
  for (const HostRegion& r : regions) total += r.size;
  return total;
}

PassStats StreamRegions(const std::vector<HostRegion>& regions, std::uint32_t chunk,
                        std::uint32_t overlap, const ChunkVisitor& visit, const ChunkDone& done) {
  PassStats stats;
  // Only bytes copied from the host are handed on: the buffer is not
  // cleared first.
  const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[std::size_t{overlap} + chunk]);
  std::size_t carried = 0;
  std::uint64_t carried_end = 0;  // host address just after the carried bytes
  // Copies [at, at + n) after the carried bytes and hands it on; false when
  // it cannot be read. The carried bytes stay as they are: a read of part of
  // [at, at + n) may still join them.
  const auto take = [&](std::uint64_t at, std::uint32_t n) {
    if (carried_end != at) carried = 0;
    if (!quorvane::ReadHostMemory(static_cast<std::uint32_t>(at), buffer.get() + carried, n)) {
      return false;
    }
    stats.bytes += n;
    visit(static_cast<std::uint32_t>(at - carried), buffer.get(), carried + n, carried);
    const std::size_t keep = std::min<std::size_t>(overlap, carried + n);
    std::memmove(buffer.get(), buffer.get() + carried + n - keep, keep);
    carried = keep;
    carried_end = at + n;
    return true;
  };
  std::uint64_t done_bytes = 0;
  for (const HostRegion& region : regions) {
    const std::uint64_t end = std::uint64_t{region.base} + region.size;
    for (std::uint64_t at = region.base; at < end;) {
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, end - at));
      if (!take(at, n)) {
        ++stats.failed_reads;
        // Part of the region was freed or decommitted since the memory map
        // was taken: read what is still there page by page, and past a page
        // that cannot be read, go on where the memory map now says readable
        // memory starts again.
        for (std::uint64_t page = at; page < at + n;) {
          const std::uint64_t page_end = std::min<std::uint64_t>(
              page - page % quorvane::kHostPageSize + quorvane::kHostPageSize, at + n);
          if (take(page, static_cast<std::uint32_t>(page_end - page))) {
            page = page_end;
            continue;
          }
          if (!quorvane::HostProcessRunning()) {
            stats.process_ended = true;
            return stats;
          }
          HostRegion next;
          const std::uint64_t resume =
              quorvane::NextReadableRegion(static_cast<std::uint32_t>(page), &next)
                  ? std::max(page_end, std::min<std::uint64_t>(next.base, at + n))
                  : at + n;
          if (!stats.lost.empty() &&
              std::uint64_t{stats.lost.back().base} + stats.lost.back().size == page) {
            stats.lost.back().size += static_cast<std::uint32_t>(resume - page);
          } else {
            stats.lost.push_back(
                {static_cast<std::uint32_t>(page), static_cast<std::uint32_t>(resume - page)});
          }
          page = resume;
        }
      }
      at += n;
      done_bytes += n;
      done(done_bytes);
    }
  }
  return stats;
}

MarkerSearch::MarkerSearch(std::vector<std::string> patterns)
    : patterns_(std::move(patterns)), shift_(std::size_t{1} << 12, 0) {
  // An empty pattern keeps its index but is never found.
  for (const std::string& p : patterns_) {
    if (!p.empty() && (window_ == 0 || p.size() < window_)) window_ = p.size();
  }
  if (window_ == 0) return;
  // A pair that is in no pattern's window lets the window move past it.
  const std::size_t most = std::min<std::size_t>(window_ < 2 ? 1 : window_ - 1, 255);
  std::fill(shift_.begin(), shift_.end(), static_cast<std::uint8_t>(most));
  if (window_ < 2) {
    std::fill(shift_.begin(), shift_.end(), 0);  // one-byte patterns: look everywhere
    return;
  }
  for (const std::string& p : patterns_) {
    if (p.empty()) continue;
    for (std::size_t j = 0; j + 1 < window_; ++j) {
      const std::size_t pair = Pair(reinterpret_cast<const std::uint8_t*>(p.data()) + j);
      const std::size_t distance = window_ - 2 - j;
      shift_[pair] = static_cast<std::uint8_t>(std::min<std::size_t>(shift_[pair], distance));
    }
  }
}

std::uint32_t MarkerSearch::Overlap() const {
  std::size_t longest = 1;
  for (const std::string& p : patterns_) longest = std::max(longest, p.size());
  return static_cast<std::uint32_t>(longest - 1);
}

// Every pattern that starts at i.
void MarkerSearch::Check(std::uint32_t address, const std::uint8_t* data, std::size_t size,
                         std::size_t carried, std::size_t i,
                         const std::function<void(std::size_t, std::uint32_t)>& hit) const {
  for (std::size_t k = 0; k < patterns_.size(); ++k) {
    const std::string& p = patterns_[k];
    // Occurrences wholly inside the carried bytes were reported before.
    if (p.empty() || i + p.size() > size || i + p.size() <= carried) continue;
    // The first byte turns away nearly every place before the whole
    // pattern is compared.
    if (data[i] == static_cast<std::uint8_t>(p[0]) &&
        std::memcmp(data + i + 1, p.data() + 1, p.size() - 1) == 0) {
      hit(k, static_cast<std::uint32_t>(address + i));
    }
  }
}

void MarkerSearch::Search(std::uint32_t address, const std::uint8_t* data, std::size_t size,
                          std::size_t carried,
                          const std::function<void(std::size_t, std::uint32_t)>& hit) const {
  const std::size_t m = window_;
  if (m == 0 || size < m) return;
  // An occurrence that ends inside the carried bytes was reported before;
  // one that starts there and runs on was not.
  const std::size_t longest = Overlap() + std::size_t{1};
  std::size_t i = carried >= longest ? carried - longest + 1 : 0;
  if (m < 2) {  // one-byte patterns: every place is looked at
    for (; i < size; ++i) Check(address, data, size, carried, i, hit);
    return;
  }
  const std::uint8_t* shift = shift_.data();
  const std::uint8_t* pairs = data + (m - 2);  // from i on: the window's last two bytes
  while (i + m <= size) {
    const std::size_t s = shift[Pair(pairs + i)];
    if (s != 0) {
      i += s;
      continue;
    }
    Check(address, data, size, carried, i, hit);
    ++i;
  }
}

PointerTargets::PointerTargets(std::vector<std::uint32_t> values)
    : values_(std::move(values)), bitmap_(std::size_t{1} << 11, 0) {
  std::sort(values_.begin(), values_.end());
  values_.erase(std::unique(values_.begin(), values_.end()), values_.end());
  for (const std::uint32_t v : values_) bitmap_[Hash(v) >> 5] |= 1u << (Hash(v) & 31);
}

void PointerTargets::Search(std::uint32_t address, const std::uint8_t* data, std::size_t size,
                            const std::function<void(std::uint32_t, std::uint32_t)>& hit) const {
  if (values_.empty()) return;
  const std::uint32_t* bitmap = bitmap_.data();
  for (std::size_t i = 0; i + 4 <= size; i += 4) {
    std::uint32_t word;
    std::memcpy(&word, data + i, 4);  // host memory is little-endian, like this machine
    const std::uint32_t h = Hash(word);
    if ((bitmap[h >> 5] >> (h & 31) & 1u) == 0) continue;
    if (std::binary_search(values_.begin(), values_.end(), word)) {
      hit(static_cast<std::uint32_t>(address + i), word);
    }
  }
}

RangeTargets::RangeTargets(std::vector<std::uint32_t> values, std::uint32_t reach)
    : values_(std::move(values)), reach_(reach), bitmap_(std::size_t{1} << 11, 0) {
  // The words w with w <= v <= w + reach lie in [v - reach, v]: each such
  // range's pages are marked, from where the range before stopped, so that
  // no page is marked twice (at most 2^20 marks in all).
  std::uint64_t next = 0;  // the first page not yet marked
  for (const std::uint32_t v : values_) {
    const std::uint64_t first = (v > reach ? v - reach : 0) >> kPageBits;
    const std::uint64_t last = v >> kPageBits;
    for (std::uint64_t page = std::max(first, next); page <= last; ++page) {
      bitmap_[(page & 0xFFFF) >> 5] |= 1u << (page & 31);
    }
    next = std::max(next, last + 1);
  }
}

void RangeTargets::Search(
    std::uint32_t address, const std::uint8_t* data, std::size_t size,
    const std::function<void(std::uint32_t, std::uint32_t, std::size_t)>& hit) const {
  if (values_.empty()) return;
  const std::uint32_t* bitmap = bitmap_.data();
  for (std::size_t i = 0; i + 4 <= size; i += 4) {
    std::uint32_t word;
    std::memcpy(&word, data + i, 4);  // host memory is little-endian, like this machine
    const std::uint32_t page = word >> kPageBits & 0xFFFF;
    if ((bitmap[page >> 5] >> (page & 31) & 1u) == 0) continue;
    for (auto v = std::lower_bound(values_.begin(), values_.end(), word);
         v != values_.end() && *v - word <= reach_; ++v) {
      hit(static_cast<std::uint32_t>(address + i), word,
          static_cast<std::size_t>(v - values_.begin()));
    }
  }
}

}  // namespace finder
