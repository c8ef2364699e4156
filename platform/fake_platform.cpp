#include "platform/fake_platform.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

#include "platform/host_scan.h"
#include "platform/platform.h"

namespace quorvane {

namespace {

struct Page {
  PageState state = PageState::kReadable;
  std::uint8_t bytes[kHostPageSize] = {};
};

// A std::map whose nodes outlive Clear: a Reset between fuzz inputs then
// rebuilds the address space in the memory the last one had, instead of
// allocating every page again. A key inserted gets a value as new.
template <typename Key, typename Value>
class ReusedMap {
 public:
  using Map = std::map<Key, Value>;
  Map& map() { return map_; }
  const Map& map() const { return map_; }
  Value& operator[](const Key& key) {
    const auto found = map_.find(key);
    if (found != map_.end()) return found->second;
    if (spare_.empty()) return map_[key];
    typename Map::node_type node = std::move(spare_.back());
    spare_.pop_back();
    node.key() = key;
    node.mapped() = Value{};
    return map_.insert(std::move(node)).position->second;
  }
  void Erase(const Key& key) {
    const auto found = map_.find(key);
    if (found != map_.end()) spare_.push_back(map_.extract(found));
  }
  void Clear() {
    while (!map_.empty()) spare_.push_back(map_.extract(map_.begin()));
  }

 private:
  Map map_;
  std::vector<typename Map::node_type> spare_;
};

struct FakeSystem {
  ReusedMap<std::tuple<std::string, std::string, std::string>, std::string> profile;
  ReusedMap<std::string, std::uint32_t> modules;
  ReusedMap<std::string, std::uint32_t> module_sizes;
  ReusedMap<std::uint32_t, Page> pages;  // by page number
  // Everything else, set back as a whole by Reset.
  struct State {
    std::uint64_t reads = 0;
    bool conversion_fails = false;
    bool ends = false;  // the process ends at reads == end_at_reads
    std::uint64_t end_at_reads = 0;
    struct Vanish {
      std::uint32_t address, size;
      std::uint64_t at_reads;
    };
    std::vector<Vanish> vanishing;  // by VanishAfterReads, not yet gone
    std::uint32_t highest_address = UINT32_MAX;
  } state;
};

FakeSystem& System() {
  static FakeSystem system;
  return system;
}

void (*read_observer)(std::uint32_t address, std::uint32_t size) = nullptr;

bool Ended() {
  const FakeSystem& system = System();
  return system.state.ends && system.state.reads >= system.state.end_at_reads;
}

Page& PageAt(std::uint32_t address) { return System().pages[address / kHostPageSize]; }

// What the memory map says of the page that holds `address`, had the
// process not ended.
PageState StateAt(std::uint32_t address) {
  const FakeSystem& system = System();
  if (address > system.state.highest_address) return PageState::kPastApplicationRange;
  const auto& pages = system.pages.map();
  const auto found = pages.find(address / kHostPageSize);
  return found == pages.end() ? PageState::kFree : found->second.state;
}

}  // namespace

namespace fake {

void Reset() {
  // The maps keep their nodes for what comes next: no allocation per page
  // for each fuzz input.
  FakeSystem& system = System();
  system.profile.Clear();
  system.modules.Clear();
  system.module_sizes.Clear();
  system.pages.Clear();
  system.state = FakeSystem::State();
}

void SetProfileValue(const std::string& path, const std::string& section,
                     const std::string& key, const std::string& value) {
  System().profile[{path, section, key}] = value;
}

void SetModuleBase(const std::string& name, std::uint32_t base) {
  System().modules[name] = base;
}

void Write(std::uint32_t address, const void* data, std::size_t size) {
  const auto* from = static_cast<const std::uint8_t*>(data);
  for (std::size_t done = 0; done < size;) {
    const auto at = static_cast<std::uint32_t>(address + done);
    const std::size_t n = std::min<std::size_t>(kHostPageSize - at % kHostPageSize, size - done);
    std::memcpy(PageAt(at).bytes + at % kHostPageSize, from + done, n);
    done += n;
  }
}

void WriteU32(std::uint32_t address, std::uint32_t value) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  Write(address, bytes, sizeof bytes);
}

void WriteWide(std::uint32_t address, const std::u16string& text) {
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const char16_t unit = i < text.size() ? text[i] : u'\0';
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(unit),
                                   static_cast<std::uint8_t>(unit >> 8)};
    Write(static_cast<std::uint32_t>(address + 2 * i), bytes, 2);
  }
}

void SetReadable(std::uint32_t address, std::uint32_t size, bool readable) {
  SetPageState(address, size, readable ? PageState::kReadable : PageState::kNoAccess);
}

void SetPageState(std::uint32_t address, std::uint32_t size, PageState state) {
  const std::uint32_t first = address / kHostPageSize;
  const std::uint32_t last = (address + (size == 0 ? 0 : size - 1)) / kHostPageSize;
  for (std::uint32_t page = first;; ++page) {
    if (state == PageState::kFree) {
      System().pages.Erase(page);
    } else {
      PageAt(page * kHostPageSize).state = state;
    }
    if (page == last) break;
  }
}

void SetHighestApplicationAddress(std::uint32_t highest) { System().state.highest_address = highest; }

void SetModuleSize(const std::string& name, std::uint32_t size) {
  System().module_sizes[name] = size;
}

void VanishAfterReads(std::uint32_t address, std::uint32_t size, std::uint64_t reads) {
  System().state.vanishing.push_back({address, size, System().state.reads + reads});
}

std::uint64_t ReadCount() { return System().state.reads; }

void SetReadObserver(void (*observer)(std::uint32_t address, std::uint32_t size)) {
  read_observer = observer;
}

void EndProcessAfterReads(std::uint64_t reads) {
  System().state.ends = true;
  System().state.end_at_reads = System().state.reads + reads;
}

void SetWideConversionFails(bool fails) { System().state.conversion_fails = fails; }

}  // namespace fake

void ReadProfileString(const char* path, const char* section, const char* key,
                       char* out) {
  const auto& profile = System().profile.map();
  const auto found = profile.find({path, section, key});
  const std::string value = found == profile.end() ? std::string() : found->second;
  const std::size_t length = std::min(value.size(), kProfileValueSize - 1);
  std::memcpy(out, value.data(), length);
  out[length] = '\0';
}

std::uint32_t FindModuleBase(const char* name) {
  const auto& modules = System().modules.map();
  const auto found = modules.find(name);
  return found == modules.end() ? 0 : found->second;
}

bool ReadHostMemory(std::uint32_t address, void* out, std::uint32_t size) {
  FakeSystem& system = System();
  if (Ended()) return false;
  ++system.state.reads;
  if (read_observer != nullptr) read_observer(address, size);
  for (auto v = system.state.vanishing.begin(); v != system.state.vanishing.end();) {
    if (system.state.reads <= v->at_reads) {
      ++v;
      continue;
    }
    fake::SetReadable(v->address, v->size, false);
    v = system.state.vanishing.erase(v);
  }
  if (size == 0) return true;
  if (address > UINT32_MAX - (size - 1)) return false;
  auto* to = static_cast<std::uint8_t*>(out);
  for (std::uint32_t done = 0; done < size;) {
    const std::uint32_t at = address + done;
    if (StateAt(at) != PageState::kReadable) return false;
    const std::uint32_t n = std::min(kHostPageSize - at % kHostPageSize, size - done);
    std::memcpy(to + done, system.pages.map().at(at / kHostPageSize).bytes + at % kHostPageSize, n);
    done += n;
  }
  return true;
}

PageState QueryHostPage(std::uint32_t address) {
  return Ended() ? PageState::kUnknown : StateAt(address);
}

bool NextReadableRegion(std::uint32_t from, HostRegion* region) {
  if (Ended()) return false;
  const auto& pages = System().pages.map();
  const auto readable = [](const auto& page) {
    return StateAt(page.first * kHostPageSize) == PageState::kReadable;
  };
  auto page = pages.lower_bound(from / kHostPageSize);
  while (page != pages.end() && !readable(*page)) ++page;
  if (page == pages.end()) return false;
  const std::uint32_t first = page->first;
  std::uint32_t last = first;
  for (++page; page != pages.end() && page->first == last + 1 && readable(*page); ++page) {
    ++last;
  }
  region->base = first * kHostPageSize;
  region->size = (last - first + 1) * kHostPageSize;
  return true;
}

bool FindModuleImage(const char* name, std::uint32_t* base, std::uint32_t* size) {
  const FakeSystem& system = System();
  const auto found = system.modules.map().find(name);
  if (found == system.modules.map().end()) return false;
  *base = found->second;
  const auto sized = system.module_sizes.map().find(name);
  *size = sized == system.module_sizes.map().end() ? 0 : sized->second;
  return true;
}

bool HostProcessRunning() { return !Ended(); }

int WideToAnsi(const std::uint16_t* wide, int units, char* out, int out_size) {
  if (System().state.conversion_fails || units == 0) return 0;
  int needed = units;
  if (units < 0) {
    needed = 1;
    for (const std::uint16_t* p = wide; *p != 0; ++p) ++needed;
  }
  if (out_size == 0) return needed;
  if (out_size < needed) return 0;
  for (int i = 0; i < needed; ++i) {
    out[i] = wide[i] <= 0xFF ? static_cast<char>(wide[i]) : '?';
  }
  return needed;
}

}  // namespace quorvane
