#include "probe/process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <vector>

#include "platform/remote_process.h"
#include "probe/near_names.h"
#include "probe/win_util.h"

namespace probe {

namespace {

struct ProcessEntry {
  DWORD pid;
  std::string exe;
};

bool ListProcesses(std::vector<ProcessEntry>* out, std::string* error) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    *error = "cannot list the processes: " + ErrorText(GetLastError());
    return false;
  }
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more;
       more = Process32Next(snapshot, &entry)) {
    out->push_back({entry.th32ProcessID, entry.szExeFile});
  }
  CloseHandle(snapshot);
  return true;
}

bool IsDecimal(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The file name part of a path, as Toolhelp gives it on some systems.
std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<DWORD> FindByName(const std::vector<ProcessEntry>& processes,
                              const std::string& name) {
  std::vector<DWORD> found;
  for (const ProcessEntry& p : processes) {
    if (lstrcmpiA(FileName(p.exe).c_str(), name.c_str()) == 0) found.push_back(p.pid);
  }
  return found;
}

}  // namespace

void* OpenTargetProcess(const std::string& target, ProcessInfo* info, std::string* error) {
  std::vector<ProcessEntry> processes;
  if (!ListProcesses(&processes, error)) return nullptr;

  if (IsDecimal(target)) {
    const unsigned long long pid = std::strtoull(target.c_str(), nullptr, 10);
    if (pid == 0 || pid > 0xFFFFFFFFull) {
      *error = "no process with id " + target;
      return nullptr;
    }
    info->pid = static_cast<std::uint32_t>(pid);
    for (const ProcessEntry& p : processes) {
      if (p.pid == info->pid) info->name = FileName(p.exe);
    }
  } else {
    std::string name = target;
    std::vector<DWORD> found = FindByName(processes, name);
    if (found.empty() && FileName(name).find('.') == std::string::npos) {
      name += ".exe";
      found = FindByName(processes, name);
    }
    if (found.empty()) {
      *error = "no process named " + target;
      return nullptr;
    }
    if (found.size() > 1) {
      std::string ids;
      for (DWORD pid : found) ids += (ids.empty() ? "" : ", ") + std::to_string(pid);
      *error = "several processes named " + target + " (" + ids + "): give the process id";
      return nullptr;
    }
    info->pid = found[0];
    info->name = FileName(name);
    for (const ProcessEntry& p : processes) {
      if (p.pid == info->pid) info->name = FileName(p.exe);
    }
  }

  const HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, info->pid);
  if (process == nullptr) {
    *error = "cannot open process " + std::to_string(info->pid) + " for reading: " +
             ErrorText(GetLastError());
    return nullptr;
  }
  // A 32-bit probe on 64-bit Windows runs under WOW64; so does every 32-bit
  // host there. A process that does not is a 64-bit one, whose modules and
  // pointers this probe cannot follow.
  BOOL self_wow64 = FALSE, target_wow64 = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &self_wow64) &&
      IsWow64Process(process, &target_wow64) && self_wow64 && !target_wow64) {
    CloseHandle(process);
    *error = "process " + std::to_string(info->pid) +
             " is a 64-bit process; Quorvane and this probe are for 32-bit hosts";
    return nullptr;
  }
  return process;
}

void NoteCloseModules(const std::string& module, ProcessInfo* info) {
  constexpr std::size_t kMostNames = 5;
  std::vector<std::string> loaded;
  info->modules_listed = quorvane::ListRemoteModules(&loaded);
  if (!info->modules_listed) return;
  info->loaded_modules = loaded.size();
  info->close_modules = CloseNames(module, loaded, kMostNames, true);
}

void CloseTargetProcess(void* handle) {
  if (handle != nullptr) CloseHandle(static_cast<HANDLE>(handle));
}

}  // namespace probe
