// The thin layer between the module's logic and the operating system.
//
// Everything the logic needs from the process it runs in goes through these
// few functions, and the build picks the implementations:
//   win32_system.cpp          profile and ANSI conversion (every Win32 program)
//   win32_local_process.cpp   modules and guarded reads of this process (the DLL)
//   win32_remote_process.cpp  modules and reads of another process (the probe)
//   win32_tool_system.cpp     processes, profile files and texts for the probe
//                             (tool_system.h; the module never links it)
//   fake_platform.cpp         all of it in memory (the native tests)
// Only platform/ includes <windows.h>.
#ifndef QUORVANE_PLATFORM_PLATFORM_H
#define QUORVANE_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace quorvane {

// Every profile value is read into a buffer of this size, so at most 255
// characters of a value count.
constexpr std::size_t kProfileValueSize = 256;

// Copies the value of `key` in `section` of the INI file at `path` into `out`
// (kProfileValueSize bytes), NUL-terminated and cut to 255 characters. Missing
// file, section or key give the empty string.
void ReadProfileString(const char* path, const char* section, const char* key,
                       char* out);

// Base address of the already loaded module of that file name, or 0. Loads
// nothing and takes no reference.
std::uint32_t FindModuleBase(const char* name);

// Copies `size` bytes that start at host address `address` into `out`.
// Returns false, with `out` in an unspecified state, when any of those bytes
// cannot be read (unmapped, no access, guard page, or a range that runs past
// the top of the 32-bit address space). Never writes host memory, never
// faults, and leaves guard pages armed. The implementation for the module's
// own process refuses, without touching them, ranges that start in the first
// 64 KiB or reach past the highest application address.
bool ReadHostMemory(std::uint32_t address, void* out, std::uint32_t size);

// Converts `units` UTF-16 units (-1: up to and including the first NUL unit)
// to the ANSI code page with the semantics of
// WideCharToMultiByte(CP_ACP, 0, wide, units, out, out_size, NULL, NULL):
// with out_size 0 it returns the size needed; otherwise the bytes written
// (a terminator only when the units include the NUL); 0 on failure, also when
// `out` is too small.
int WideToAnsi(const std::uint16_t* wide, int units, char* out, int out_size);

// Host memory is handled in pages of this size: protection never changes
// inside one, so a read that stays within a page either succeeds or fails as
// a whole.
constexpr std::uint32_t kHostPageSize = 4096;

}  // namespace quorvane

#endif
