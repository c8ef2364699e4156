// Runs the commands of the docs' example blocks in an unpacked release zip
// and compares what they print with what the docs show (doc_examples.h has
// the notation). Each doc is a session of its own, in a folder that plays the
// part of C:\ and holds the unpacked release folder, C:\Quorvane-V-win32:
//
//   run_examples [--session=LABEL --doc=FILE --release=DIR]...
//
// In a session, C:\ is the session's folder: in a command's arguments that
// start with it and in the files the doc makes; and that folder's own path
// reads C:\ in what the commands print. The commands, by their first word:
//   type FILE       FILE's lines must be the ones shown; a FILE that does not
//                   exist is made of them as they stand (a file the reader
//                   writes; no line may be a gap)
//   cd FOLDER       only checks that FOLDER exists
//   echo %ERRORLEVEL%  the exit status of the command before
//   X.bat ...       run by cmd.exe /c
//   X ... --serve SECONDS  a served host: started and left running until the
//                   session ends; its first line, "pid N", binds the doc's N
//                   to its process id
//   X ...           any other program (X or X.exe), run to its end
// While a command runs, a line it writes that asks for a change in the host
// ("now change ...") makes the check press Enter in the window of the host
// started last (a line on that host's standard input), as the docs tell the
// reader to do. The probe's progress lines ("quorvane-probe: scanned ..."),
// which come only when a scan takes more than a second, are left out.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "doc_examples.h"
#include "probe/tests/process_runner.h"
#include "tests/expected_code_page.h"

namespace {

using doc_examples::Step;

struct Session {
  std::string label;
  std::string doc;
  std::string release;  // the unpacked release folder
};

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool ReadFileText(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

// One doc's run: its folder for C:\, the hosts it started, the doc's process
// ids bound to the runs', and what went wrong.
class SessionRun {
 public:
  explicit SessionRun(const Session& session)
      : session_(session), release_(session.release) {
    root_ = release_.substr(0, release_.find_last_of('\\'));
  }

  // Runs every step; false if any printed what the doc does not show.
  bool Run() {
    std::string doc;
    if (!ReadFileText(session_.doc, &doc)) return Fail(0, "cannot read " + session_.doc);
    const std::vector<Step> steps = doc_examples::ReadSteps(doc, doc_examples::KindOf(session_.doc));
    if (steps.empty()) return Fail(0, "no example blocks");
    for (const Step& step : steps) RunStep(step);
    hosts_.clear();
    std::printf("%s: %zu commands, %d not as shown\n", session_.label.c_str(), steps.size(),
                failures_);
    return failures_ == 0;
  }

 private:
  bool Fail(int line, const std::string& what) {
    std::printf("FAILED %s:%d: %s\n", session_.label.c_str(), line, what.c_str());
    ++failures_;
    return false;
  }

  // The doc's process ids as this run's.
  std::string WithRunPids(std::string text) const {
    for (const auto& [doc_pid, run_pid] : pids_) text = doc_examples::ReplaceWord(text, doc_pid, run_pid);
    return text;
  }

  // A run's line with the session's folder as C:\, as it is compared.
  std::string WithDocRoot(const std::string& line) const {
    return doc_examples::ReplaceIgnoringCase(line, root_ + "\\", "C:\\");
  }

  // A compared line as the doc would show it, its process ids the doc's.
  std::string AsDocShows(std::string line) const {
    for (const auto& [doc_pid, run_pid] : pids_) line = doc_examples::ReplaceWord(line, run_pid, doc_pid);
    return line;
  }

  // A path of the doc: C:\NAME in the session's folder; a relative one in
  // `folder`.
  std::string RunPath(const std::string& path, const std::string& folder) const {
    if (path.size() >= 3 && path[1] == ':' && path[2] == '\\' && (path[0] == 'C' || path[0] == 'c')) {
      return root_ + path.substr(2);
    }
    return folder + "\\" + path;
  }

  void RunStep(const Step& step) {
    const std::string folder = step.folder.empty() ? release_ : RunPath(step.folder, "");
    if (!IsFolder(folder)) {
      Fail(step.line, "the prompt's folder " + (step.folder.empty() ? release_ : step.folder) + " does not exist");
      return;
    }
    std::vector<std::string> args = doc_examples::SplitCommandLine(WithRunPids(step.command));
    std::vector<std::string> shown;
    for (const std::string& line : step.shown) shown.push_back(WithRunPids(line));
    const std::string verb = doc_examples::Lower(args[0]);
    if (verb == "type" && args.size() == 2) {
      ShowFile(step, RunPath(args[1], folder), shown);
    } else if (verb == "cd" && args.size() == 2) {
      if (!IsFolder(RunPath(args[1], folder))) Fail(step.line, "no folder " + args[1]);
    } else if (verb == "echo" && args.size() == 2 && doc_examples::Lower(args[1]) == "%errorlevel%") {
      Compare(step, shown, {std::to_string(last_status_)}, {}, last_status_);
    } else {
      RunProgram(step, folder, args, shown);
    }
  }

  void ShowFile(const Step& step, const std::string& path, const std::vector<std::string>& shown) {
    std::string text;
    if (ReadFileText(path, &text)) {
      std::vector<std::string> lines;
      for (const std::string& line : doc_examples::SplitLines(text)) lines.push_back(WithDocRoot(line));
      Compare(step, shown, lines, {}, 0);
      return;
    }
    std::string content;
    for (const std::string& line : shown) {
      if (doc_examples::IsGapLine(line)) {
        Fail(step.line, "cannot make " + path + " with lines left out (\"...\")");
        return;
      }
      content += doc_examples::ReplaceIgnoringCase(line, "C:\\", root_ + "\\") + "\r\n";
    }
    for (std::size_t slash = root_.size() + 1; (slash = path.find('\\', slash)) != std::string::npos; ++slash) {
      CreateDirectoryA(path.substr(0, slash).c_str(), nullptr);
    }
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) Fail(step.line, "cannot write " + path);
  }

  // The program the command names, and its arguments, as they are started.
  bool Resolve(const Step& step, const std::string& folder, std::vector<std::string>* args,
               std::string* program) {
    std::string name = RunPath((*args)[0], folder);
    const std::string lower = doc_examples::Lower(name);
    if (EndsWith(lower, ".bat") || EndsWith(lower, ".cmd")) {
      char system[MAX_PATH];
      GetSystemDirectoryA(system, MAX_PATH);
      *program = std::string(system) + "\\cmd.exe";
      args->insert(args->begin(), "/c");
      return true;
    }
    if (!Exists(name) && Exists(name + ".exe")) name += ".exe";
    if (!Exists(name)) return Fail(step.line, "no program " + (*args)[0] + " in " + step.folder);
    *program = name;
    args->erase(args->begin());
    for (std::string& arg : *args) {
      if (arg.size() >= 3 && arg[1] == ':' && arg[2] == '\\') arg = RunPath(arg, folder);
    }
    return true;
  }

  void RunProgram(const Step& step, const std::string& folder, std::vector<std::string> args,
                  const std::vector<std::string>& shown) {
    std::string program;
    if (!Resolve(step, folder, &args, &program)) return;
    SetCurrentDirectoryA(folder.c_str());
    if (args.size() >= 2 && args[args.size() - 2] == "--serve") {
      Serve(step, program, args, shown);
      return;
    }
    probe_test::ServedHost* const host = hosts_.empty() ? nullptr : hosts_.back().get();
    bool told = false;
    const probe_test::RunResult run =
        probe_test::RunProgram(program, args, [&](const std::string& err) {
          if (!told && host != nullptr && err.find("now change") != std::string::npos) {
            told = host->Tell("");
          }
        });
    if (!run.started) {
      Fail(step.line, "cannot run " + step.command);
      return;
    }
    last_status_ = run.exit_code;
    std::vector<std::string> out, err;
    for (const std::string& line : doc_examples::SplitLines(run.out)) out.push_back(WithDocRoot(line));
    for (const std::string& line : doc_examples::SplitLines(run.err)) {
      if (!probe_test::IsProgressLine(line)) err.push_back(WithDocRoot(line));
    }
    Compare(step, shown, out, err, run.exit_code);
  }

  void Serve(const Step& step, const std::string& program, std::vector<std::string> args,
             const std::vector<std::string>& shown) {
    const int seconds = std::atoi(args.back().c_str());
    args.resize(args.size() - 2);
    if (shown.size() != 1 || doc_examples::PidOf(step.shown[0]).empty()) {
      Fail(step.line, "a served host's example shows its one line \"pid N\"");
      return;
    }
    auto host = std::make_unique<probe_test::ServedHost>();
    std::string error;
    if (!host->Start(program, seconds, &error, args, true)) {
      Fail(step.line, error);
      return;
    }
    pids_.emplace_back(doc_examples::PidOf(step.shown[0]), std::to_string(host->pid()));
    hosts_.push_back(std::move(host));
  }

  void Compare(const Step& step, const std::vector<std::string>& shown,
               const std::vector<std::string>& out, const std::vector<std::string>& err,
               int status) {
    const doc_examples::Match match = doc_examples::MatchOutput(shown, out, err);
    if (match.ok) return;
    std::string where = match.stuck_at < shown.size()
                            ? "line " + std::to_string(step.shown_line + static_cast<int>(match.stuck_at)) +
                                  " matches nothing from there on: " + shown[match.stuck_at]
                            : "it printed more than the doc shows";
    Fail(step.line, step.command + " (exit status " + std::to_string(status) + ")\n  " + where +
                        "\n  what it printed, as the doc would show it:");
    for (const std::string& line : out) std::printf("  | %s\n", AsDocShows(line).c_str());
    if (!err.empty()) std::printf("  standard error:\n");
    for (const std::string& line : err) std::printf("  | %s\n", AsDocShows(line).c_str());
  }

  Session session_;
  std::string release_;
  std::string root_;  // plays C:, no backslash at the end
  std::vector<std::pair<std::string, std::string>> pids_;  // the doc's, the run's
  std::vector<std::unique_ptr<probe_test::ServedHost>> hosts_;
  int last_status_ = 0;
  int failures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<Session> sessions;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](const char* prefix) { return arg.substr(std::string(prefix).size()); };
    if (arg.rfind("--session=", 0) == 0) {
      sessions.push_back(Session{value("--session="), "", ""});
    } else if (arg.rfind("--doc=", 0) == 0 && !sessions.empty()) {
      sessions.back().doc = probe_test::FullPath(value("--doc="));
    } else if (arg.rfind("--release=", 0) == 0 && !sessions.empty()) {
      sessions.back().release = probe_test::FullPath(value("--release="));
    } else {
      std::fprintf(stderr, "usage: run_examples [--session=LABEL --doc=FILE --release=DIR]...\n");
      return 2;
    }
  }
  if (!qv_tests::RunsInTheExpectedCodePage("run_examples")) return 1;
  bool ok = true;
  for (const Session& session : sessions) ok = SessionRun(session).Run() && ok;
  return ok ? 0 : 1;
}
