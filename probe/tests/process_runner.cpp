#include "process_runner.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

namespace probe_test {

namespace {

// Long enough for any run under a busy Wine; only there to stop a hang.
constexpr DWORD kRunLimitMs = 180000;

// One argument as the C runtime's command-line splitting reads it back.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + '"';
}

std::string CommandLine(const std::string& program, const std::vector<std::string>& args) {
  std::string line = Quote(program);
  for (const std::string& arg : args) line += ' ' + Quote(arg);
  return line;
}

// A pipe whose write end the child inherits and whose read end stays ours.
bool MakePipe(HANDLE* read, HANDLE* write) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  if (!CreatePipe(read, write, &sa, 0)) return false;
  SetHandleInformation(*read, HANDLE_FLAG_INHERIT, 0);
  return true;
}

void ReadAll(HANDLE pipe, std::string* out,
             const std::function<void(const std::string&)>* on_more = nullptr) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    out->append(buffer, got);
    if (on_more != nullptr && *on_more) (*on_more)(*out);
  }
}

bool Launch(const std::string& program, const std::vector<std::string>& args, HANDLE out,
            HANDLE err, PROCESS_INFORMATION* pi, HANDLE in = GetStdHandle(STD_INPUT_HANDLE)) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  std::string line = CommandLine(program, args);
  return CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &si, pi) != 0;
}

// One line of `pipe`, with its line end; false when nothing more comes.
bool ReadLineFrom(HANDLE pipe, std::string* line) {
  line->clear();
  char c;
  DWORD got = 0;
  while (line->find('\n') == std::string::npos && ReadFile(pipe, &c, 1, &got, nullptr) &&
         got == 1) {
    *line += c;
  }
  return !line->empty();
}

}  // namespace

std::string FullPath(const std::string& path) {
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return n == 0 || n >= MAX_PATH ? path : std::string(full);
}

const char kProgressLineStart[] = "quorvane-probe: scanned ";

bool IsProgressLine(const std::string& line) { return line.rfind(kProgressLineStart, 0) == 0; }

std::string MakeScratchFolder(const std::string& prefix) {
  char temp[MAX_PATH];
  if (GetTempPathA(MAX_PATH, temp) == 0) return "";
  const std::string folder =
      std::string(temp) + prefix + std::to_string(GetCurrentProcessId()) + "\\";
  if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return "";
  }
  return folder;
}

void ExpectCannot(const RunResult& run, const std::string& message) {
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("quorvane-probe: ", 0), 0u) << run.err;
  ASSERT_GE(run.err.size(), 2u);
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;  // one line
  EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::function<void(const std::string&)>& on_err) {
  RunResult result;
  HANDLE out_read, out_write, err_read, err_write;
  if (!MakePipe(&out_read, &out_write)) return result;
  if (!MakePipe(&err_read, &err_write)) {
    CloseHandle(out_read);
    CloseHandle(out_write);
    return result;
  }
  PROCESS_INFORMATION pi{};
  const bool launched = Launch(program, args, out_write, err_write, &pi);
  // Only the child holds the write ends now, so the reads end with it.
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (launched) {
    // The limit holds for the whole run: a program that never ends keeps
    // its pipes open too.
    std::thread err_reader(ReadAll, err_read, &result.err, &on_err);
    std::thread out_reader(ReadAll, out_read, &result.out, nullptr);
    if (WaitForSingleObject(pi.hProcess, kRunLimitMs) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(pi.hProcess, &code);
      result.exit_code = static_cast<int>(code);
      result.started = true;
    } else {
      TerminateProcess(pi.hProcess, 99);
      WaitForSingleObject(pi.hProcess, kRunLimitMs);
    }
    out_reader.join();
    err_reader.join();
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
  CloseHandle(out_read);
  CloseHandle(err_read);
  return result;
}

bool ServedHost::Start(const std::string& program, int seconds, std::string* error,
                       const std::vector<std::string>& options, bool input) {
  HANDLE out_read, out_write, in_read = GetStdHandle(STD_INPUT_HANDLE), in_write = nullptr;
  if (!MakePipe(&out_read, &out_write)) {
    *error = "cannot make a pipe";
    return false;
  }
  // The child inherits the read end of its input; the write end stays ours.
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  if (input && !CreatePipe(&in_read, &in_write, &sa, 0)) {
    CloseHandle(out_read);
    CloseHandle(out_write);
    *error = "cannot make a pipe";
    return false;
  }
  if (input) SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION pi{};
  std::vector<std::string> args = options;
  args.insert(args.end(), {"--serve", std::to_string(seconds)});
  const bool launched =
      Launch(program, args, out_write, GetStdHandle(STD_ERROR_HANDLE), &pi, in_read);
  CloseHandle(out_write);
  if (input) {
    CloseHandle(in_read);
    input_ = in_write;
  }
  if (!launched) {
    CloseHandle(out_read);
    *error = "cannot start " + program + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  output_ = out_read;
  std::string line;
  ReadLineFrom(out_read, &line);
  unsigned long pid = 0;
  if (std::sscanf(line.c_str(), "pid %lu", &pid) != 1 || pid != pi.dwProcessId) {
    *error = "the served host said \"" + line + "\" instead of its pid " +
             std::to_string(pi.dwProcessId);
    Stop();
    return false;
  }
  pid_ = static_cast<std::uint32_t>(pid);
  return true;
}

bool ServedHost::WaitForExit() {
  return process_ != nullptr && WaitForSingleObject(process_, 60000) == WAIT_OBJECT_0;
}

bool ServedHost::Tell(const std::string& line) {
  const std::string text = line + "\n";
  DWORD wrote = 0;
  return input_ != nullptr &&
         WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
         wrote == text.size();
}

bool ServedHost::ReadLine(std::string* line) {
  if (output_ == nullptr || !ReadLineFrom(output_, line)) return false;
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return true;
}

void ServedHost::Stop() {
  if (process_ != nullptr) {
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, kRunLimitMs);
    CloseHandle(process_);
    process_ = nullptr;
  }
  if (output_ != nullptr) {
    CloseHandle(output_);
    output_ = nullptr;
  }
  if (input_ != nullptr) {
    CloseHandle(input_);
    input_ = nullptr;
  }
  pid_ = 0;
}

}  // namespace probe_test
