// The probe's platform: FindModuleBase and ReadHostMemory look into another
// process, opened by the probe for reading, instead of the one they run in.
// Linked instead of win32_local_process.cpp.
#ifndef QUORVANE_PLATFORM_REMOTE_PROCESS_H
#define QUORVANE_PLATFORM_REMOTE_PROCESS_H

#include <string>
#include <vector>

namespace quorvane {

// The process that FindModuleBase and ReadHostMemory look into: a Win32
// process handle with PROCESS_QUERY_INFORMATION, PROCESS_VM_READ and
// SYNCHRONIZE access (HostProcessRunning waits on it),
// which stays the caller's to close. Before it is set, or with nullptr, no
// module is found and nothing is readable.
void SetRemoteProcess(void* process_handle);

// Win32 error of the last FindModuleBase when the module list of the process
// could not be taken at all; 0 when the list was read (whether or not the
// module was in it).
unsigned long LastModuleListError();

// The file names of the modules loaded in that process now, from a fresh
// module list; false when the list cannot be taken.
bool ListRemoteModules(std::vector<std::string>* names);

}  // namespace quorvane

#endif
