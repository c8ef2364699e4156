// An in-memory stand-in for the operating system, for the native tests: INI
// profiles, loaded modules and a sparse 32-bit host address space that tests
// fill and protect page by page.
#ifndef QUORVANE_PLATFORM_FAKE_PLATFORM_H
#define QUORVANE_PLATFORM_FAKE_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/host_scan.h"

namespace quorvane::fake {

// Forgets every profile, module and page.
void Reset();

void SetProfileValue(const std::string& path, const std::string& section,
                     const std::string& key, const std::string& value);
void SetModuleBase(const std::string& name, std::uint32_t base);
// The module's image size, for FindModuleImage (0 until set).
void SetModuleSize(const std::string& name, std::uint32_t size);

// Stores bytes in the address space, mapping readable zero-filled pages as
// needed. The range must not run past the top of the address space.
void Write(std::uint32_t address, const void* data, std::size_t size);
void WriteU32(std::uint32_t address, std::uint32_t value);
// UTF-16 text and its NUL unit.
void WriteWide(std::uint32_t address, const std::u16string& text);

// Makes every page that the range touches unreadable (no access), or
// readable again.
void SetReadable(std::uint32_t address, std::uint32_t size, bool readable);

// Makes every page that the range touches unreadable once that many more
// ReadHostMemory calls have been made; until then the memory map still
// lists it, as when memory is freed while a scan goes on.
void VanishAfterReads(std::uint32_t address, std::uint32_t size, std::uint64_t reads);

// Gives every page that the range touches `state`, as the memory map of
// Windows would report it: kReadable, kReserved, kGuard or kNoAccess keep
// the pages' bytes (which only kReadable lets anything read); kFree forgets
// them.
void SetPageState(std::uint32_t address, std::uint32_t size, PageState state);

// Addresses above `highest` are past the application range: nothing there
// is mapped or read. Until it is set, the whole address space is in range.
void SetHighestApplicationAddress(std::uint32_t highest);

// Number of ReadHostMemory calls since the last Reset.
std::uint64_t ReadCount();

// Called with the range of every ReadHostMemory call from then on, before
// it is read (nullptr: none). Reset keeps it.
void SetReadObserver(void (*observer)(std::uint32_t address, std::uint32_t size));

// The process ends after that many more ReadHostMemory calls: from then on
// nothing can be read or queried and HostProcessRunning gives false.
void EndProcessAfterReads(std::uint64_t reads);

// The fake ANSI code page is Latin-1: characters above U+00FF become '?'.
// While failing is set, every conversion fails.
void SetWideConversionFails(bool fails);

}  // namespace quorvane::fake

#endif
