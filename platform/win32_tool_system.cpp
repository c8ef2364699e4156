// Win32 services of the stand-alone tool: Toolhelp's process list, opening a
// process for reading, whole files read and written, the profile API's name
// lists, code page conversions and FormatMessage.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/tool_system.h"

namespace quorvane {

namespace {

// Room for a value in full, so that a cut can be noticed.
constexpr DWORD kFullValueSize = 1 << 16;

// A list of NUL-separated names, as GetPrivateProfileSectionNames and
// GetPrivateProfileString with no key give them. `read` returns what the
// profile functions return: size - 2 when the buffer was too small.
template <typename Read>
std::vector<std::string> ReadNameList(Read read) {
  std::vector<char> buffer(4096);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = read(buffer.data(), size);
    if (length + 2 < size || buffer.size() >= (1u << 24)) {
      std::vector<std::string> names;
      for (DWORD at = 0; at < length && buffer[at] != '\0';) {
        names.emplace_back(buffer.data() + at);
        at += static_cast<DWORD>(names.back().size()) + 1;
      }
      return names;
    }
    buffer.resize(buffer.size() * 4);
  }
}

}  // namespace

bool ListProcesses(std::vector<ProcessListEntry>* out, unsigned long* error) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
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

void* OpenProcessForReading(std::uint32_t pid, unsigned long* error) {
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) *error = GetLastError();
  return process;
}

bool Is64BitProcess(void* process) {
  // A 32-bit program on 64-bit Windows runs under WOW64; so does every
  // 32-bit process there. A process that does not is a 64-bit one.
  BOOL self_wow64 = FALSE, target_wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &self_wow64) &&
         IsWow64Process(static_cast<HANDLE>(process), &target_wow64) && self_wow64 &&
         !target_wow64;
}

void CloseProcessHandle(void* process) {
  if (process != nullptr) CloseHandle(static_cast<HANDLE>(process));
}

bool FullPathName(const std::string& path, std::string* full) {
  char buffer[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  *full = buffer;
  return true;
}

bool CanOpenFileForReading(const std::string& path, unsigned long* error) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  CloseHandle(file);
  return true;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ReadWholeFile(const std::string& path, std::size_t max_size, std::string* bytes,
                   unsigned long* error) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(file, &size) != 0;
  if (!ok) *error = GetLastError();
  if (ok && static_cast<unsigned long long>(size.QuadPart) > max_size) {
    ok = false;
    *error = ERROR_FILE_TOO_LARGE;
  }
  if (ok) bytes->resize(static_cast<std::size_t>(size.QuadPart));
  for (std::size_t done = 0; ok && done < bytes->size();) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes->size() - done, 1u << 24));
    ok = ReadFile(file, &(*bytes)[done], want, &got, nullptr) != 0 && got > 0;
    if (!ok) *error = GetLastError() != 0 ? GetLastError() : ERROR_HANDLE_EOF;
    done += got;
  }
  CloseHandle(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes, unsigned long* error) {
  const std::string temporary =
      path + ".quorvane-probe-" + std::to_string(GetCurrentProcessId()) + ".tmp";
  const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
            written == bytes.size() && FlushFileBuffers(file) != 0;
  if (!ok) *error = GetLastError();
  CloseHandle(file);
  if (ok && !MoveFileExA(temporary.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    *error = GetLastError();
  }
  if (!ok) DeleteFileA(temporary.c_str());
  return ok;
}

std::vector<std::string> ProfileSectionNames(const std::string& path) {
  return ReadNameList([&](char* out, DWORD size) {
    return GetPrivateProfileSectionNamesA(out, size, path.c_str());
  });
}

std::vector<std::string> ProfileKeyNames(const std::string& path, const std::string& section) {
  return ReadNameList([&](char* out, DWORD size) {
    return GetPrivateProfileStringA(section.c_str(), nullptr, "", out, size, path.c_str());
  });
}

std::size_t ProfileValueLength(const std::string& path, const std::string& section,
                               const char* key) {
  std::vector<char> buffer(kFullValueSize);
  return GetPrivateProfileStringA(section.c_str(), key, "", buffer.data(), kFullValueSize,
                                  path.c_str());
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

std::u16string AnsiToWide(const std::string& ansi) {
  if (ansi.empty()) return std::u16string();
  const int length = static_cast<int>(ansi.size());
  const int wide_size = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
  if (wide_size <= 0) return std::u16string();
  std::vector<wchar_t> wide(static_cast<std::size_t>(wide_size));
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, wide.data(), wide_size);
  return std::u16string(wide.begin(), wide.end());
}

std::string WideToUtf8(const std::u16string& text) {
  if (text.empty()) return std::string();
  const std::vector<wchar_t> wide(text.begin(), text.end());
  const int wide_size = static_cast<int>(wide.size());
  const int utf8_size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
  if (utf8_size <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(utf8_size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, &utf8[0], utf8_size, nullptr, nullptr);
  return utf8;
}

std::string SystemErrorMessage(unsigned long error) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = length > 0 && buffer != nullptr ? std::string(buffer, length) : "";
  LocalFree(buffer);
  return text;
}

}  // namespace quorvane
