// Finding and opening the process to examine, for reading only.
#ifndef QUORVANE_PROBE_COMMON_PROCESS_H
#define QUORVANE_PROBE_COMMON_PROCESS_H

#include <string>

#include "probe/check/check_report.h"

namespace probe {

// Opens the process given as a decimal process id or as an executable's file
// name (case-insensitive; ".exe" may be left out) with
// PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE and nothing more. Returns the
// handle, or nullptr with a one-line `error`: no such process, more than one
// process of that name, no access, or not a 32-bit process.
void* OpenTargetProcess(const std::string& target, ProcessInfo* info, std::string* error);

void CloseTargetProcess(void* handle);

// When `module`, the profile's Module, is not loaded in the examined process:
// notes in `info` the loaded modules whose names are close to it.
void NoteCloseModules(const std::string& module, ProcessInfo* info);

}  // namespace probe

#endif
