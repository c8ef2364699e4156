// quorvane-probe: shows profile authors how Quorvane reads an address
// profile and, in a running host, which hop of each read reaches its data
// and which one stops it. The module itself says nothing when it gives nil.
//
//   quorvane-probe PROFILE [PID | EXE-NAME] [--type N] [--json]
//   quorvane-probe find PID|EXE --module NAME --text MARKER ...   (probe/find.h)
//
// Exit status: 0 when every walk reaches its data (or no process was given),
// 1 when some walk stops, 2 for bad arguments, a profile GetAddress gives nil
// for, or a process that cannot be examined or exits before the walks end.
#include <cstdio>
#include <string>

#include "module/lua_api.h"
#include "platform/host_scan.h"
#include "platform/remote_process.h"
#include "probe/common/command.h"
#include "probe/find/find.h"
#include "probe/common/numbers.h"
#include "probe/check/check_output.h"
#include "probe/common/process.h"
#include "probe/common/profile.h"
#include "probe/walk/walk.h"
#include "probe/common/system_text.h"
#include "version.h"

namespace {

using probe::Fail;

const char kUsage[] =
    "usage: quorvane-probe PROFILE [PID | EXE-NAME] [--type N] [--json]\n"
    "       quorvane-probe find PID|EXE --module NAME --text MARKER [--buffer-text MARKER]\n"
    "                           [--section NAME] [--profile OLD.ini] [--json] ...\n"
    "\n"
    "Shows how Quorvane's GetAddress reads the address profile PROFILE. Given a\n"
    "running host process, by process id or executable file name, it also walks\n"
    "GetObjectData for every type with a record layout and GetTextbufferString\n"
    "through that process's memory, reading only, and names the hop where a walk\n"
    "stops: the point at which the module would give nil.\n"
    "\n"
    "  --type N   walk GetObjectData for type N only\n"
    "  --json     print the report as JSON (strings in UTF-8)\n"
    "  --version  print the version (that of the Quorvane.dll it comes with)\n"
    "\n"
    "Exit status: 0 every walk reaches its data, 1 some walk stops, 2 bad\n"
    "arguments, an unreadable profile, or a process that cannot be examined\n"
    "or exits before the walks are done.\n"
    "\n"
    "find: finds the profile's offsets in a running host from markers placed\n"
    "there; quorvane-probe find --help tells how.\n";

struct Options {
  bool help = false;
  bool json = false;
  bool has_type = false;
  std::int32_t type = 0;
  std::string profile;
  std::string target;  // empty: no process
};

bool ParseArguments(int argc, char** argv, Options* o, std::string* error) {
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || arg == "/?") {
      o->help = true;
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--type" || arg.rfind("--type=", 0) == 0) {
      std::string value;
      if (arg == "--type") {
        if (i + 1 == argc) {
          *error = "--type needs a type index";
          return false;
        }
        value = argv[++i];
      } else {
        value = arg.substr(7);
      }
      if (!probe::ParseType(value, &o->type)) {
        *error = "--type needs a type index, not \"" + value + "\"";
        return false;
      }
      o->has_type = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else if (positional == 0) {
      o->profile = arg;
      ++positional;
    } else if (positional == 1) {
      o->target = arg;
      ++positional;
    } else {
      *error = "too many arguments (" + arg + ")";
      return false;
    }
  }
  if (o->help) return true;
  if (o->profile.empty()) {
    *error = "no profile given";
    return false;
  }
  if (o->has_type && o->target.empty()) {
    *error = "--type needs a process to walk";
    return false;
  }
  return true;
}


int Exited(std::uint32_t pid) {
  return Fail("process " + std::to_string(pid) + " exited; nothing was read from it");
}

// Everything after the arguments: the process handle and the Lua state are
// released by the caller.
int Probe(const Options& o, lua_State* L, void** process) {
  std::string error;
  probe::Report report;
  if (!probe::ReadProfile(o.profile, &report.profile, &error)) return Fail(error);

  if (!o.target.empty()) {
    *process = probe::OpenTargetProcess(o.target, &report.process, &error);
    if (*process == nullptr) return Fail(error);
    quorvane::SetRemoteProcess(*process);
    report.has_process = true;
    if (!quorvane::HostProcessRunning()) return Exited(report.process.pid);
  }
  if (!probe::MakeAddressTable(L, report.profile.path, &report.table, &error)) {
    return Fail(error);
  }
  if (report.has_process && !quorvane::HostProcessRunning()) return Exited(report.process.pid);
  if (report.has_process && quorvane::LastModuleListError() != 0) {
    return Fail("cannot list the modules of process " + std::to_string(report.process.pid) +
                ": " + probe::ErrorText(quorvane::LastModuleListError()));
  }
  if (report.has_process && report.table.module_base == 0) {
    probe::NoteCloseModules(report.profile.module, &report.process);
  }

  if (report.has_process) {
    probe::WalkContext context;
    context.table = report.table;
    context.module = report.profile.module;
    context.pid = report.process.pid;
    if (o.has_type) {
      report.walks.push_back(probe::WalkObject(L, context, o.type));
    } else {
      report.walks = probe::WalkEveryType(L, context);
      report.walks.push_back(probe::WalkTextBuffer(L, context));
    }
    // What was read after the process ended is not to be trusted.
    if (!quorvane::HostProcessRunning()) return Exited(report.process.pid);
  }

  const std::string out = o.json ? probe::JsonReport(report) : probe::TextReport(report);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  return report.AllWalksOk() ? probe::kExitComplete : probe::kExitIncomplete;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("quorvane-probe %s\n", QUORVANE_VERSION);
    return probe::kExitComplete;
  }
  if (argc > 1 && std::string(argv[1]) == "find") return probe::RunFind(argc - 1, argv + 1);
  Options options;
  std::string error;
  if (!ParseArguments(argc, argv, &options, &error)) {
    return Fail(error + " (quorvane-probe --help shows the usage)");
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return probe::kExitComplete;
  }
  lua_State* L = luaL_newstate();
  if (L == nullptr) return Fail("cannot create a Lua state");
  void* process = nullptr;
  const int status = Probe(options, L, &process);
  lua_close(L);
  quorvane::SetRemoteProcess(nullptr);
  probe::CloseTargetProcess(process);
  return status;
}
