// What the project's stand-alone tool (quorvane-probe) needs from the system
// besides platform.h, remote_process.h and host_scan.h: the running
// processes, opening one of them for reading, whole files (a module file, a
// signature file), a profile file's names and full value lengths, text
// conversions and the system's error messages.
// Implemented by win32_tool_system.cpp; the module never links it.
//
// Error codes are the system's (Win32 error codes), for SystemErrorMessage.
// A process handle is opaque to callers: what OpenProcessForReading gives,
// for SetRemoteProcess and CloseProcessHandle.
#ifndef QUORVANE_PLATFORM_TOOL_SYSTEM_H
#define QUORVANE_PLATFORM_TOOL_SYSTEM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {

// --- processes -------------------------------------------------------------

struct ProcessListEntry {
  std::uint32_t pid;
  std::string exe;  // the executable's file name (a full path on some systems)
};

// The processes running now. False with the error code in `error` when the
// list cannot be taken.
bool ListProcesses(std::vector<ProcessListEntry>* out, unsigned long* error);

// Opens process `pid` with PROCESS_QUERY_INFORMATION | PROCESS_VM_READ |
// SYNCHRONIZE (to learn whether it still runs) and nothing more. Returns the handle, or nullptr with the error code in `error`.
void* OpenProcessForReading(std::uint32_t pid, unsigned long* error);

// Whether the opened process is known to be a 64-bit one, whose modules and
// pointers a 32-bit program cannot follow: this program runs under WOW64 and
// that process does not. False when that cannot be told, and on 32-bit
// Windows, where every process is a 32-bit one.
bool Is64BitProcess(void* process);

// Closes a handle from OpenProcessForReading; nullptr is ignored.
void CloseProcessHandle(void* process);

// --- files and profiles ----------------------------------------------------

// The full path of `path`, resolved against the current directory. False
// when it cannot be resolved or would be MAX_PATH characters or longer.
bool FullPathName(const std::string& path, std::string* full);

// Whether the file can be opened for reading now (sharing it with every other
// opener); it is closed again at once. False with the error code in `error`.
bool CanOpenFileForReading(const std::string& path, unsigned long* error);

// Whether a file (not a folder) is at `path`.
bool FileExists(const std::string& path);

// Reads the whole file at `path` into `bytes`, when it holds at most
// `max_size` bytes. False with the error code in `error`
// (ERROR_FILE_TOO_LARGE for a larger file).
bool ReadWholeFile(const std::string& path, std::size_t max_size, std::string* bytes,
                   unsigned long* error);

// Writes `bytes` as the file at `path` in full or not at all: into a new
// file beside it, which then takes the place of any file of that name.
// False with the error code in `error`; a file at `path` is then as it was.
bool WriteWholeFile(const std::string& path, const std::string& bytes, unsigned long* error);

// The section names of the INI file at `path`, in file order; none for a
// missing file.
std::vector<std::string> ProfileSectionNames(const std::string& path);

// The key names in `section` of the INI file at `path`, in file order.
std::vector<std::string> ProfileKeyNames(const std::string& path, const std::string& section);

// The length of the value of `key` in `section` as the system reads it into a
// buffer of 64 KiB, so that a value longer than kProfileValueSize - 1 shows.
std::size_t ProfileValueLength(const std::string& path, const std::string& section,
                               const char* key);

// Whether two names (files, sections, keys) are the same ignoring case, the
// way the system compares them in the user's locale (lstrcmpiA).
bool SameNameIgnoringCase(const std::string& a, const std::string& b);

// --- text ------------------------------------------------------------------

// Text in the ANSI code page as UTF-16 code units; empty when it cannot be
// converted.
std::u16string AnsiToWide(const std::string& ansi);

// UTF-16 code units as UTF-8; empty when they cannot be converted.
std::string WideToUtf8(const std::u16string& wide);

// The system's message for an error code, as it gives it (line breaks and
// final full stop included); empty when it has none.
std::string SystemErrorMessage(unsigned long error);

}  // namespace quorvane

#endif
