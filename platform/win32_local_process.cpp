// The host is the process the module runs in: its modules are looked up in
// place, and its memory is read through guarded copies, so that an address
// that cannot be read gives false instead of a crash.
//
// The copy itself is a plain 32-bit load (4 bytes) or `rep movsb` inside a
// structured exception frame of its own (guarded_copy_i386.S). Before it, a
// range that starts in the first 64 KiB or reaches past the highest
// application address is refused without touching it (a couple of compares
// on the happy path). A read fault at either instruction (access violation,
// guard page, in-page error) is answered by resuming at the copy's failure
// exit. Touching a guard page disarms it before the fault is delivered, so
// the handler arms it again: guard pages stay guard pages.
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

extern "C" {
int quorvane_guarded_copy(void* dst, const void* src, unsigned size);
extern const char quorvane_guarded_copy_fault_site[];
extern const char quorvane_guarded_copy_load_site[];
extern const char quorvane_guarded_copy_recover[];
EXCEPTION_DISPOSITION __cdecl quorvane_copy_fault_handler(EXCEPTION_RECORD* record,
                                                          void* frame, CONTEXT* context,
                                                          void* dispatcher);
}

namespace {

constexpr ULONG_PTR kReadAccess = 0;

// Ranges that cannot be read are refused before the copy when that needs no
// system call, so that the fault a host's vectored handler, crash reporter or
// debugger would see first never happens: Windows maps nothing in the first
// 64 KiB, nor above the highest application address. That address is
// 0x7FFEFFFF or more (more for a large-address-aware host on a 64-bit or a
// /3GB system), so only a range that reaches above 0x7FFEFFFF asks for it.
constexpr std::uint32_t kFirstMappableAddress = 0x00010000;
constexpr std::uint32_t kLowestApplicationTop = 0x7FFEFFFF;

std::uint32_t HighestApplicationAddress() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<std::uint32_t>(
      reinterpret_cast<std::uintptr_t>(info.lpMaximumApplicationAddress));
}

void RearmGuardPage(ULONG_PTR address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) == 0) return;
  DWORD previous;
  VirtualProtect(reinterpret_cast<void*>(address), 1, info.Protect | PAGE_GUARD, &previous);
}

bool AtCopyInstruction(const CONTEXT* context) {
  return context->Eip == reinterpret_cast<DWORD>(quorvane_guarded_copy_fault_site) ||
         context->Eip == reinterpret_cast<DWORD>(quorvane_guarded_copy_load_site);
}

bool IsReadFault(const EXCEPTION_RECORD* record) {
  switch (record->ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case STATUS_GUARD_PAGE_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
      return record->NumberParameters >= 2 &&
             record->ExceptionInformation[0] == kReadAccess;
    default:
      return false;
  }
}

}  // namespace

extern "C" EXCEPTION_DISPOSITION __cdecl quorvane_copy_fault_handler(
    EXCEPTION_RECORD* record, void* frame, CONTEXT* context, void*) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !IsReadFault(record) || !AtCopyInstruction(context)) {
    return ExceptionContinueSearch;
  }
  if (record->ExceptionCode == STATUS_GUARD_PAGE_VIOLATION) {
    RearmGuardPage(record->ExceptionInformation[1]);
  }
  context->Esp = reinterpret_cast<DWORD>(frame);
  context->Eip = reinterpret_cast<DWORD>(quorvane_guarded_copy_recover);
  return ExceptionContinueExecution;
}

namespace quorvane {

std::uint32_t FindModuleBase(const char* name) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(name)));
}

bool ReadHostMemory(std::uint32_t address, void* out, std::uint32_t size) {
  if (size == 0) return true;
  if (address > UINT32_MAX - (size - 1)) return false;  // past the top
  if (address < kFirstMappableAddress) return false;
  const std::uint32_t last = address + (size - 1);
  if (last > kLowestApplicationTop && last > HighestApplicationAddress()) return false;
  return quorvane_guarded_copy(out, reinterpret_cast<const void*>(address), size) != 0;
}

}  // namespace quorvane
