// Reads of host memory during one find, page by page: each page is copied
// from the host at most once per HostView, so the many short reads of
// scoring (list slots, record pointers, fields) cost one ReadHostMemory per
// page. Given the readable regions of the memory map taken at the start of
// the find, a page inside one comes with its neighbours, kSpanPages at a
// time (the structures and records that scoring reads lie close together).
// A page outside them is asked about: the host may have mapped memory
// since, and a record moved there is a record like any other. What the host
// says is kept, a readable region or a stretch of memory that is not
// readable, so that the many words taken for pointers that lead nowhere
// cost one question per stretch, not one per page. A page that the map
// listed as readable and that cannot be read is lost memory: freed or
// protected while the find went on, whatever it held was not seen
// (TakeLost). A HostView lives for one find; nothing outlives it, and it
// keeps at most kMaxPages pages (then it starts afresh, and forgets what the
// host said too).
#ifndef QUORVANE_FINDER_HOST_VIEW_H
#define QUORVANE_FINDER_HOST_VIEW_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
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

  // Without a memory map: every page is read alone, as it is asked for.
  HostView() = default;
  // `readable`: the readable regions, in address order, as the memory map
  // gave them for this find.
  explicit HostView(std::vector<quorvane::HostRegion> readable);

  // Copies [address, address + size) into `out`; false when any byte of it
  // cannot be read (or the range runs past the top of the address space).
  bool Read(std::uint32_t address, void* out, std::uint32_t size);
  bool ReadU32(std::uint32_t address, std::uint32_t* value);

  // The pages that the memory map (the one given, or what the host said
  // since) listed as readable but that could not be read, found since the
  // last call, as runs of pages in address order. Each page is lost once.
  std::vector<quorvane::HostRegion> TakeLost();

 private:
  // What is known of the memory from a page on: a readable region, or a
  // stretch that is not readable, up to `end`.
  struct Stretch {
    std::uint64_t end;
    bool readable;
  };
  // The bytes of page `number`, read once; null when it cannot be read.
  const std::uint8_t* PageAt(std::uint32_t number);
  void Load(std::uint32_t number);
  // The readable region that holds page `number`, from the map given or
  // from the host; false when the page is not readable.
  bool RegionOf(std::uint32_t number, quorvane::HostRegion* region);
  bool MapRegionOf(std::uint64_t address, quorvane::HostRegion* region) const;
  bool AskHost(std::uint64_t address, quorvane::HostRegion* region);
  void NoteLost(std::uint32_t number);

  // Each page's bytes, in one of blocks_ (a span read at once, or a page),
  // or null when the page cannot be read.
  std::unordered_map<std::uint32_t, const std::uint8_t*> pages_;
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
  std::size_t block_pages_ = 0;  // pages in blocks_
  // The page PageAt gave last (reads near each other come in runs).
  bool has_last_ = false;
  std::uint32_t last_number_ = 0;
  const std::uint8_t* last_ = nullptr;
  bool map_given_ = false;
  std::vector<quorvane::HostRegion> readable_;
  std::map<std::uint64_t, Stretch> asked_;  // by start: what the host said outside the map
  std::set<std::uint32_t> lost_;            // page numbers
  std::vector<std::uint32_t> fresh_lost_;   // not yet taken
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
