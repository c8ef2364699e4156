// Running programs under test: to completion with their output captured, or
// in the background (the served sample host).
#ifndef QUORVANE_PROBE_TESTS_PROCESS_RUNNER_H
#define QUORVANE_PROBE_TESTS_PROCESS_RUNNER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace probe_test {

struct RunResult {
  bool started = false;
  int exit_code = -1;
  std::string out;
  std::string err;
};

// The full path of `path`, resolved against the current folder (`path`
// itself when it cannot be).
std::string FullPath(const std::string& path);

// A folder of this run's own in the temporary folder, `prefix` and the
// process id, made if it is not there: its path with a trailing backslash,
// or "" when it cannot be made.
std::string MakeScratchFolder(const std::string& prefix);

// The start of the find's progress line on standard error, which comes
// only when a scan takes more than a second: what a run prints besides it is
// compared.
extern const char kProgressLineStart[];
bool IsProgressLine(const std::string& line);

// What a run of the probe that cannot do its work must show: status 2,
// nothing on standard output, one line on standard error that starts with
// "quorvane-probe: " and holds `message`.
void ExpectCannot(const RunResult& run, const std::string& message);

// Runs `program` with `args` (quoted as the C runtime splits them) and waits
// for it; a program that does not end within a few minutes is ended and
// reported as not started.
// `on_err`, if given, is told what the program wrote to stderr so far each
// time more comes.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::function<void(const std::string&)>& on_err = nullptr);

// A program left running: `program OPTIONS... --serve SECONDS`, whose first
// line of output is "pid <n>".
class ServedHost {
 public:
  ServedHost() = default;
  ServedHost(const ServedHost&) = delete;
  ServedHost& operator=(const ServedHost&) = delete;
  ~ServedHost() { Stop(); }

  // Starts it and reads its pid line; false with `error` if that fails.
  // With `input`, its standard input is a pipe that Tell writes to.
  bool Start(const std::string& program, int seconds, std::string* error,
             const std::vector<std::string>& options = {}, bool input = false);
  // Writes `line` and a line break to its standard input.
  bool Tell(const std::string& line);
  void Stop();
  // Waits until it has exited by itself (then its handle is still held, so
  // its process id still names it); false if it does not within a minute.
  bool WaitForExit();
  std::uint32_t pid() const { return pid_; }
  // The next line it prints after the pid line, without its line end; false
  // when its output has ended.
  bool ReadLine(std::string* line);

 private:
  void* process_ = nullptr;
  void* output_ = nullptr;
  void* input_ = nullptr;
  std::uint32_t pid_ = 0;
};

}  // namespace probe_test

#endif
