// Finding and opening the process to examine, for reading only.
#ifndef QUORVANE_PROBE_COMMON_PROCESS_H
#define QUORVANE_PROBE_COMMON_PROCESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace probe {

// The process examined.
struct ProcessInfo {
  std::uint32_t pid = 0;
  std::string name;  // executable file name, when known
  // When the profile's module is not loaded: whether the modules could be
  // listed, how many are loaded and those whose names are close to it.
  bool modules_listed = false;
  std::size_t loaded_modules = 0;
  std::vector<std::string> close_modules;
};

// Opens the process given as a decimal process id or as an executable's file
// name (case-insensitive; ".exe" may be left out) with
// PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE and nothing more. Returns the
// handle, or nullptr with a one-line `error`: no such process, more than one
// process of that name, no access, or not a 32-bit process.
void* OpenTargetProcess(const std::string& target, ProcessInfo* info, std::string* error);

void CloseTargetProcess(void* handle);

// False, with a one-line `error`, when the modules of process `pid` (the
// process examined) could not be listed, so that whether a module is loaded
// is not known.
bool ModulesListed(std::uint32_t pid, std::string* error);

// Where `module` is loaded in the examined process (`info`'s), from the
// module list: its base and size. False with a one-line `error` when it is
// not loaded (naming the loaded modules with close names, noted in `info`)
// or the modules cannot be listed.
bool FindLoadedModule(const std::string& module, ProcessInfo* info, std::uint32_t* base,
                      std::uint32_t* size, std::string* error);

// When `module`, the profile's Module, is not loaded in the examined process:
// notes in `info` the loaded modules whose names are close to it.
void NoteCloseModules(const std::string& module, ProcessInfo* info);

}  // namespace probe

#endif
