// Host memory of another process: the module list comes from a Toolhelp
// snapshot, and memory is copied with ReadProcessMemory, which reports what
// cannot be read instead of faulting and never touches the other process's
// page protection. Nothing is ever written to that process.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/host_scan.h"
#include "platform/platform.h"
#include "platform/remote_process.h"

namespace quorvane {

namespace {

HANDLE g_process = nullptr;
DWORD g_module_list_error = 0;

// A snapshot can fail for a moment while the process loads or unloads a
// module; that is worth a few more tries.
constexpr int kSnapshotAttempts = 5;

HANDLE TakeModuleSnapshot(DWORD pid) {
  for (int attempt = 0;; ++attempt) {
    const HANDLE snapshot =
        CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid);
    if (snapshot != INVALID_HANDLE_VALUE) return snapshot;
    if (GetLastError() != ERROR_BAD_LENGTH || attempt + 1 == kSnapshotAttempts) {
      return INVALID_HANDLE_VALUE;
    }
    Sleep(10);
  }
}

bool HasFolder(const char* name) {
  return std::strchr(name, '\\') != nullptr || std::strchr(name, '/') != nullptr;
}

// The name as the module lookup of Windows takes it: a name without an
// extension means a .dll, and a trailing dot means no extension at all.
void NormaliseModuleName(const char* name, char* out, std::size_t out_size) {
  const char* file = name;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') file = p + 1;
  }
  const std::size_t length = std::strlen(name);
  const bool has_extension = std::strchr(file, '.') != nullptr;
  const char* suffix = has_extension ? "" : ".dll";
  std::size_t keep = length;
  if (has_extension && length > 0 && name[length - 1] == '.') keep = length - 1;
  if (keep + std::strlen(suffix) + 1 > out_size) {
    out[0] = '\0';
    return;
  }
  std::memcpy(out, name, keep);
  std::strcpy(out + keep, suffix);
  for (char* p = out; *p != '\0'; ++p) {
    if (*p == '/') *p = '\\';
  }
}

// Looks the module up in the examined process's module list: its base and
// image size, or false.
bool LookUpModule(const char* name, std::uint32_t* base, std::uint32_t* size) {
  g_module_list_error = 0;
  if (g_process == nullptr) {
    g_module_list_error = ERROR_INVALID_HANDLE;
    return false;
  }
  char wanted[MAX_PATH + 8];
  NormaliseModuleName(name, wanted, sizeof wanted);
  if (wanted[0] == '\0') return false;
  const bool by_path = HasFolder(wanted);

  const HANDLE snapshot = TakeModuleSnapshot(GetProcessId(g_process));
  if (snapshot == INVALID_HANDLE_VALUE) {
    g_module_list_error = GetLastError();
    return false;
  }
  bool found = false;
  MODULEENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry)) {
    const char* candidate = by_path ? entry.szExePath : entry.szModule;
    if (lstrcmpiA(candidate, wanted) == 0) {
      *base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(entry.modBaseAddr));
      *size = static_cast<std::uint32_t>(entry.modBaseSize);
      found = true;
      break;
    }
  }
  CloseHandle(snapshot);
  return found;
}

// Committed pages that ReadProcessMemory can copy.
bool IsReadable(const MEMORY_BASIC_INFORMATION& info) {
  if (info.State != MEM_COMMIT) return false;
  if ((info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return (info.Protect & readable) != 0;
}

}  // namespace

void SetRemoteProcess(void* process_handle) {
  g_process = static_cast<HANDLE>(process_handle);
}

unsigned long LastModuleListError() { return g_module_list_error; }

std::uint32_t FindModuleBase(const char* name) {
  std::uint32_t base = 0, size = 0;
  return LookUpModule(name, &base, &size) ? base : 0;
}

bool FindModuleImage(const char* name, std::uint32_t* base, std::uint32_t* size) {
  return LookUpModule(name, base, size);
}

bool NextReadableRegion(std::uint32_t from, HostRegion* region) {
  if (g_process == nullptr) return false;
  std::uint64_t at = from - from % kHostPageSize;
  while (at <= UINT32_MAX) {
    MEMORY_BASIC_INFORMATION info;
    const SIZE_T got = VirtualQueryEx(
        g_process, reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(at)), &info, sizeof info);
    if (got == 0) return false;  // above the user address space, or the process is gone
    const std::uint64_t base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
    const std::uint64_t end = base + info.RegionSize;
    if (end <= at) return false;  // no progress: give up rather than loop
    if (IsReadable(info)) {
      region->base = static_cast<std::uint32_t>(base);
      region->size = static_cast<std::uint32_t>(std::min<std::uint64_t>(end, 1ull << 32) - base);
      return true;
    }
    at = end;
  }
  return false;
}

bool HostProcessRunning() {
  // Not the exit code: a process may well exit with 259, STILL_ACTIVE.
  return g_process != nullptr && WaitForSingleObject(g_process, 0) == WAIT_TIMEOUT;
}

bool ListRemoteModules(std::vector<std::string>* names) {
  if (g_process == nullptr) return false;
  const HANDLE snapshot = TakeModuleSnapshot(GetProcessId(g_process));
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  MODULEENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry)) {
    names->push_back(entry.szModule);
  }
  CloseHandle(snapshot);
  return true;
}

bool ReadHostMemory(std::uint32_t address, void* out, std::uint32_t size) {
  if (size == 0) return true;
  if (address > UINT32_MAX - (size - 1)) return false;  // past the top
  if (g_process == nullptr) return false;
  SIZE_T copied = 0;
  const BOOL ok = ReadProcessMemory(g_process, reinterpret_cast<LPCVOID>(
                                                   static_cast<std::uintptr_t>(address)),
                                    out, size, &copied);
  return ok && copied == size;
}

}  // namespace quorvane
