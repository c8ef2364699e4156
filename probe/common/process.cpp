#include "probe/common/process.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/host_scan.h"
#include "platform/remote_process.h"
#include "platform/tool_system.h"
#include "probe/common/near_names.h"
#include "probe/common/system_text.h"
#include "probe/common/text.h"

namespace probe {

namespace {

using quorvane::ProcessListEntry;

bool ListRunning(std::vector<ProcessListEntry>* out, std::string* error) {
  unsigned long code = 0;
  if (!quorvane::ListProcesses(out, &code)) {
    *error = "cannot list the processes: " + ErrorText(code);
    return false;
  }
  return true;
}

bool IsListed(const std::vector<ProcessListEntry>& processes, std::uint32_t pid) {
  for (const ProcessListEntry& p : processes) {
    if (p.pid == pid) return true;
  }
  return false;
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

std::vector<std::uint32_t> FindByName(const std::vector<ProcessListEntry>& processes,
                                      const std::string& name) {
  std::vector<std::uint32_t> found;
  for (const ProcessListEntry& p : processes) {
    if (quorvane::SameNameIgnoringCase(FileName(p.exe), name)) found.push_back(p.pid);
  }
  return found;
}

// The process `target` names among those running: a process id, or the
// file name of one process's executable (".exe" may be left out).
bool Resolve(const std::string& target, const std::vector<ProcessListEntry>& processes,
             ProcessInfo* info, std::string* error) {
  if (IsDecimal(target)) {
    const unsigned long long pid = std::strtoull(target.c_str(), nullptr, 10);
    if (pid == 0 || pid > 0xFFFFFFFFull) {
      *error = "no process with id " + target + " is running";
      return false;
    }
    info->pid = static_cast<std::uint32_t>(pid);
  } else {
    std::string name = target;
    std::vector<std::uint32_t> found = FindByName(processes, name);
    if (found.empty() && FileName(name).find('.') == std::string::npos) {
      name += ".exe";
      found = FindByName(processes, name);
    }
    if (found.empty()) {
      *error = "no process named " + target;
      return false;
    }
    if (found.size() > 1) {
      std::vector<std::string> ids;
      for (std::uint32_t pid : found) ids.push_back(std::to_string(pid));
      *error = "several processes named " + target + " (" + Join(ids) + "): give the process id";
      return false;
    }
    info->pid = found[0];
    info->name = FileName(name);
  }
  for (const ProcessListEntry& p : processes) {
    if (p.pid == info->pid) info->name = FileName(p.exe);
  }
  return true;
}

}  // namespace

void* OpenTargetProcess(const std::string& target, ProcessInfo* info, std::string* error) {
  std::vector<ProcessListEntry> processes;
  if (!ListRunning(&processes, error) || !Resolve(target, processes, info, error)) return nullptr;
  unsigned long code = 0;
  void* const process = quorvane::OpenProcessForReading(info->pid, &code);
  // Asked only when the opening fails: a process that has exited can still
  // be opened while a handle keeps it, and is then said to have exited.
  if (process == nullptr && !IsListed(processes, info->pid)) {
    *error = "no process with id " + std::to_string(info->pid) + " is running";
    return nullptr;
  }
  if (process == nullptr) {
    *error =
        "cannot open process " + std::to_string(info->pid) + " for reading: " + ErrorText(code);
    return nullptr;
  }
  // A 64-bit process's modules and pointers are out of this probe's reach.
  if (quorvane::Is64BitProcess(process)) {
    quorvane::CloseProcessHandle(process);
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

bool FindLoadedModule(const std::string& module, ProcessInfo* info, std::uint32_t* base,
                      std::uint32_t* size, std::string* error) {
  if (quorvane::FindModuleImage(module.c_str(), base, size)) return true;
  if (!ModulesListed(info->pid, error)) return false;
  NoteCloseModules(module, info);
  const std::string close = Join(info->close_modules);
  *error = LuaEscape(module) + " is not loaded in process " + std::to_string(info->pid) +
           (close.empty() ? "" : " (loaded, with a close name: " + close + ")");
  return false;
}

void CloseTargetProcess(void* handle) { quorvane::CloseProcessHandle(handle); }

bool ModulesListed(std::uint32_t pid, std::string* error) {
  const unsigned long code = quorvane::LastModuleListError();
  if (code == 0) return true;
  *error = "cannot list the modules of process " + std::to_string(pid) + ": " + ErrorText(code);
  return false;
}

}  // namespace probe
