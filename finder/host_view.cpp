#include "finder/host_view.h"

#include <algorithm>
#include <cstring>

namespace finder {

using quorvane::kHostPageSize;

const HostView::Page& HostView::PageAt(std::uint32_t number) {
  if (pages_.size() >= kMaxPages && pages_.count(number) == 0) pages_.clear();
  std::unique_ptr<Page>& slot = pages_[number];
  if (!slot) {
    slot = std::make_unique<Page>();
    slot->readable = quorvane::ReadHostMemory(number * kHostPageSize, slot->bytes, kHostPageSize);
  }
  return *slot;
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
  *value = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  return true;
}

}  // namespace finder
