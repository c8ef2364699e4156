// What a scan of a whole host process needs besides ReadHostMemory: where
// its readable memory lies, the extent of a module's image and whether the
// process still runs. Implemented for another process (win32_remote_process.cpp,
// the probe) and in memory (fake_platform.cpp); the module itself never scans.
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

// Base address and size in bytes of the loaded module's image, as the
// module list gives them. False when the module is not loaded.
bool FindModuleImage(const char* name, std::uint32_t* base, std::uint32_t* size);

// Whether the examined process is still running.
bool HostProcessRunning();

}  // namespace quorvane

#endif
