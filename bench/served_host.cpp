#include "served_host.h"

#include <chrono>

namespace bench {

bool StartProcess(const std::string& exe, std::string command_line, HANDLE output,
                  PROCESS_INFORMATION* pi) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = output;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  return CreateProcessA(exe.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &si, pi) != 0;
}

bool StartServedHost(const std::string& exe, const std::string& options, ServedHost* host) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &sa, 0)) return false;
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION pi{};
  const bool ok = StartProcess(exe, "\"" + exe + "\" " + options + " --serve 900", write, &pi);
  CloseHandle(write);
  if (!ok) {
    CloseHandle(read);
    return false;
  }
  CloseHandle(pi.hThread);
  host->process = pi.hProcess;
  host->output = read;
  host->pid = pi.dwProcessId;
  std::string said;
  char c;
  DWORD got = 0;
  while (said.find('\n') == std::string::npos && ReadFile(read, &c, 1, &got, nullptr) && got == 1) {
    said += c;
  }
  if (said.rfind("pid ", 0) == 0) return true;
  StopServedHost(host);
  return false;
}

void StopServedHost(ServedHost* host) {
  if (host->process != nullptr) {
    TerminateProcess(host->process, 0);
    WaitForSingleObject(host->process, 10000);
    CloseHandle(host->process);
  }
  if (host->output != nullptr) CloseHandle(host->output);
  *host = ServedHost();
}

double Now() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

}  // namespace bench
