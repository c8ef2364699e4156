// Reads of host memory during one find, page by page: each page is copied
// from the host at most once per HostView, so the many short reads of
// scoring (list slots, record pointers, fields) cost one ReadHostMemory per
// page. Given the readable regions of the memory map, a page outside them
// is unreadable without asking the host again (most of the words taken for
// pointers during scoring lead nowhere), and a page inside one comes with
// its neighbours, kSpanPages at a time (the structures and records that
// scoring reads lie close together). A HostView lives for one find; nothing
// outlives it, and it keeps at most kMaxPages pages (then it starts afresh).
#ifndef QUORVANE_FINDER_HOST_VIEW_H
#define QUORVANE_FINDER_HOST_VIEW_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/host_scan.h"
#include "platform/platform.h"
#include "readers/host_words.h"

namespace finder {

class HostView {
 public:
  static constexpr std::size_t kMaxPages = 16384;  // 64 MiB
  static constexpr std::uint32_t kSpanPages = 16;

  HostView() = default;
  // `readable`: the readable regions, in address order, as the memory map
  // gave them for this find.
  explicit HostView(std::vector<quorvane::HostRegion> readable);

  // Copies [address, address + size) into `out`; false when any byte of it
  // cannot be read (or the range runs past the top of the address space).
  bool Read(std::uint32_t address, void* out, std::uint32_t size);
  bool ReadU32(std::uint32_t address, std::uint32_t* value);

 private:
  struct Page {
    bool readable = false;
    std::uint8_t bytes[quorvane::kHostPageSize];
  };
  const Page& PageAt(std::uint32_t number);
  void Load(std::uint32_t number);
  const quorvane::HostRegion* RegionOf(std::uint32_t number) const;

  std::unordered_map<std::uint32_t, std::unique_ptr<Page>> pages_;
  bool map_given_ = false;
  std::vector<quorvane::HostRegion> readable_;
};

// GetObjectData's chain (readers/host_words.h) as read through `view`.
inline quorvane::ObjectChain FollowObjectChain(HostView& view, std::uint32_t base,
                                               std::uint32_t list, std::uint32_t data_offset,
                                               std::int32_t type) {
  return quorvane::FollowObjectChain(
      base, list, data_offset, type,
      [&view](std::uint32_t address, std::uint32_t* value) {
        return view.ReadU32(address, value);
      });
}

}  // namespace finder

#endif
