// What a scan of a whole host process needs besides ReadHostMemory: where
// its readable memory lies, what a page that cannot be read is, the extent
// of a module's image and whether the process still runs. Implemented for
// another process (win32_remote_process.cpp, the probe) and in memory
// (fake_platform.cpp); the module itself never scans.
#ifndef QUORVANE_PLATFORM_HOST_SCAN_H
#define QUORVANE_PLATFORM_HOST_SCAN_H

#include <cstdint>

namespace quorvane {

// A run of committed memory that can be read as a whole. `size` is a
// multiple of kHostPageSize and never 0.
struct HostRegion {
  std::uint32_t base;
  std::uint32_t size;
};

// The first readable committed region that ends above `from` (it may start
// below it). Guard pages and no-access pages are not readable; no protection
// is ever changed. Returns false when there is none, or when the memory map
// cannot be queried any more (the process has ended: see HostProcessRunning).
bool NextReadableRegion(std::uint32_t from, HostRegion* region);

// What the memory map says of a page. ReadHostMemory copies kReadable pages
// only: a guard page would lose its guard if it were read, and reserved or
// free memory holds nothing to read, whatever a copy of it might give.
enum class PageState {
  kReadable,              // committed, readable, not a guard page
  kReserved,              // reserved, not committed
  kFree,                  // nothing allocated there
  kGuard,                 // a guard page
  kNoAccess,              // committed without read access
  kPastApplicationRange,  // above the highest application address
  kUnknown,               // the map cannot be queried (the process has ended)
};

// The state of the page that holds `address`, from the memory map alone:
// the page itself is never touched.
PageState QueryHostPage(std::uint32_t address);

// Base address and size in bytes of the loaded module's image, as the
// module list gives them. False when the module is not loaded.
bool FindModuleImage(const char* name, std::uint32_t* base, std::uint32_t* size);

// Whether the examined process is still running.
bool HostProcessRunning();

}  // namespace quorvane

#endif
