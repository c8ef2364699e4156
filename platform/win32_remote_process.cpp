// Host memory of another process: the module list comes from a Toolhelp
// snapshot, and memory is read in one way only: the memory map first
// (VirtualQueryEx, for every region the read spans), then ReadProcessMemory
// of committed, readable pages that are neither guard nor no-access pages.
// ReadProcessMemory alone is not enough: a system service that touches a
// guard page fails and removes the page's guard, so that the thread whose
// stack it guards crashes at its next growth; and under Wine it copies
// zeros out of reserved memory (under an emulated CPU also out of free
// memory and past the application range) where Windows fails. Nothing is
// ever written to that process, and no protection is changed.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/host_scan.h"
#include "platform/platform.h"
#include "platform/remote_process.h"

namespace quorvane {

namespace {

HANDLE g_process = nullptr;
DWORD g_module_list_error = 0;

// Under Wine, VirtualQueryEx of another process is answered by a thread of
// that process; when the process is ended while that thread answers, the
// answer never comes and the call waits forever (Windows answers from its
// kernel). So each query runs on a helper thread, and the caller waits for
// the answer or for the process's end: an answer that has not come
// kQueryGraceMs after the end never will, and the query fails as a query of
// an ended process does. The helper stays stuck in it to the end of the
// program, and that process is asked nothing more.
constexpr DWORD kQueryGraceMs = 5000;

struct QueryHelper {
  HANDLE asked;
  HANDLE answered;
  HANDLE process;
  LPCVOID address;
  MEMORY_BASIC_INFORMATION info;
  SIZE_T got;
};
QueryHelper* g_helper = nullptr;
bool g_process_unanswered = false;  // a query of g_process went unanswered after its end

DWORD WINAPI AnswerQueries(LPVOID parameter) {
  QueryHelper* helper = static_cast<QueryHelper*>(parameter);
  while (WaitForSingleObject(helper->asked, INFINITE) == WAIT_OBJECT_0) {
    helper->got =
        VirtualQueryEx(helper->process, helper->address, &helper->info, sizeof helper->info);
    SetEvent(helper->answered);
  }
  return 0;
}

QueryHelper* StartQueryHelper() {
  QueryHelper* helper = new (std::nothrow) QueryHelper{};
  if (helper == nullptr) return nullptr;
  helper->asked = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  helper->answered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = helper->asked != nullptr && helper->answered != nullptr
                      ? CreateThread(nullptr, 0, AnswerQueries, helper, 0, nullptr)
                      : nullptr;
  if (thread != nullptr) {
    CloseHandle(thread);
    return helper;
  }
  if (helper->asked != nullptr) CloseHandle(helper->asked);
  if (helper->answered != nullptr) CloseHandle(helper->answered);
  delete helper;
  return nullptr;
}

// VirtualQueryEx of the examined process, which cannot wait forever.
SIZE_T QueryMap(std::uint64_t address, MEMORY_BASIC_INFORMATION* info) {
  if (g_process_unanswered) return 0;
  if (g_helper == nullptr) g_helper = StartQueryHelper();
  if (g_helper == nullptr) return 0;
  g_helper->process = g_process;
  g_helper->address = reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(address));
  SetEvent(g_helper->asked);
  const HANDLE answer_or_end[2] = {g_helper->answered, g_process};
  DWORD waited = WaitForMultipleObjects(2, answer_or_end, FALSE, INFINITE);
  if (waited == WAIT_OBJECT_0 + 1) waited = WaitForSingleObject(g_helper->answered, kQueryGraceMs);
  if (waited != WAIT_OBJECT_0) {
    g_helper = nullptr;  // stuck in its query, which may still write to it
    g_process_unanswered = true;
    return 0;
  }
  *info = g_helper->info;
  return g_helper->got;
}

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

// What the memory map says of a region.
PageState StateOf(const MEMORY_BASIC_INFORMATION& info) {
  if (info.State == MEM_FREE) return PageState::kFree;
  if (info.State != MEM_COMMIT) return PageState::kReserved;
  if ((info.Protect & PAGE_GUARD) != 0) return PageState::kGuard;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  if ((info.Protect & PAGE_NOACCESS) != 0 || (info.Protect & readable) == 0) {
    return PageState::kNoAccess;
  }
  return PageState::kReadable;
}

// The state of the region that holds `address`, and where that region
// ends. A live process's map can be queried everywhere but above the
// highest application address.
PageState QueryRegion(std::uint64_t address, std::uint64_t* end) {
  if (g_process == nullptr) return PageState::kUnknown;
  MEMORY_BASIC_INFORMATION info;
  if (QueryMap(address, &info) == 0) {
    return HostProcessRunning() ? PageState::kPastApplicationRange : PageState::kUnknown;
  }
  *end = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + std::uint64_t{info.RegionSize};
  return StateOf(info);
}

}  // namespace

void SetRemoteProcess(void* process_handle) {
  g_process = static_cast<HANDLE>(process_handle);
  g_process_unanswered = false;
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
    if (QueryMap(at, &info) == 0) return false;  // above the user address space, or the process is gone
    const std::uint64_t base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
    const std::uint64_t end = base + info.RegionSize;
    if (end <= at) return false;  // no progress: give up rather than loop
    if (StateOf(info) == PageState::kReadable) {
      region->base = static_cast<std::uint32_t>(base);
      region->size = static_cast<std::uint32_t>(std::min<std::uint64_t>(end, 1ull << 32) - base);
      return true;
    }
    at = end;
  }
  return false;
}

PageState QueryHostPage(std::uint32_t address) {
  std::uint64_t end = 0;
  return QueryRegion(address, &end);
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
  // Every region the range spans must be readable before a byte is copied.
  // A page could change between the query and the copy; stack growth cannot
  // make a readable page a guard page (guards move down into reserved
  // memory), so only the process's own VirtualProtect could, in that moment.
  const std::uint64_t end = std::uint64_t{address} + size;
  for (std::uint64_t at = address; at < end;) {
    std::uint64_t region_end = 0;
    if (QueryRegion(at, &region_end) != PageState::kReadable || region_end <= at) return false;
    at = region_end;
  }
  SIZE_T copied = 0;
  const BOOL ok = ReadProcessMemory(g_process, reinterpret_cast<LPCVOID>(
                                                   static_cast<std::uintptr_t>(address)),
                                    out, size, &copied);
  return ok && copied == size;
}

}  // namespace quorvane
