// The benchmark's own platform for the floor: the readers' push code compiled
// into qv_bench.exe reads this process's memory with a plain memcpy. No fault
// guard, no check: the floor only ever reads the copies of records and text
// that the benchmark keeps in its own memory.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace quorvane {

std::uint32_t FindModuleBase(const char* name) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(name)));
}

bool ReadHostMemory(std::uint32_t address, void* out, std::uint32_t size) {
  std::memcpy(out, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), size);
  return true;
}

}  // namespace quorvane
