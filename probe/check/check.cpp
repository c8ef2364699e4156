#include "probe/check/check.h"

#include <cstdint>
#include <string>

#include "module/lua_api.h"
#include "platform/host_scan.h"
#include "platform/remote_process.h"
#include "probe/check/check_output.h"
#include "probe/check/check_report.h"
#include "probe/common/numbers.h"
#include "probe/common/options.h"
#include "probe/common/process.h"
#include "probe/common/profile.h"
#include "probe/walk/walk.h"

namespace probe {

namespace {

struct CheckOptions {
  bool help = false;
  bool json = false;
  bool has_type = false;
  std::int32_t type = 0;
  std::string profile;
  std::string target;  // empty: no process
};

bool SetType(CheckOptions* o, const std::string& value, std::string*) {
  o->has_type = ParseType(value, &o->type);
  return o->has_type;
}

constexpr Option<CheckOptions> kOptions[] = {
    {"--type", "N", "a type index", nullptr, SetType, "walk GetObjectData for type N only"},
    {"--json", nullptr, nullptr, nullptr, SetFlag<CheckOptions, &CheckOptions::json>,
     "print the report as JSON (strings in UTF-8)"},
};

// Where the options' help starts in the usage.
constexpr std::size_t kHelpColumn = 13;

const char kSynopsis[] = "usage: quorvane-probe PROFILE [PID | EXE-NAME] [--type N] [--json]\n";

const char kDescription[] =
    "Shows how Quorvane's GetAddress reads the address profile PROFILE. Given a\n"
    "running host process, by process id or executable file name, it also walks\n"
    "GetObjectData for every type with a record layout and GetTextbufferString\n"
    "through that process's memory, reading only, and names the hop where a walk\n"
    "stops: the point at which the module would give nil.\n";

const char kExitStatus[] =
    "Exit status: 0 every walk reaches its data, 1 some walk stops, 2 bad\n"
    "arguments, an unreadable profile, or a process that cannot be examined\n"
    "or exits before the walks are done. Without a process: 0 the module can\n"
    "use every offset, 1 some offset reads as 0 (no section or key, an empty\n"
    "value, \"0X24\", ...), which the module takes as missing. Each command's\n"
    "--help gives its own; 3 is update's for offsets read from a module file,\n"
    "never checked against a running host.\n";

// The program's usage: the check's, with the other commands.
std::string Usage(const Command* commands, std::size_t count) {
  std::string usage = kSynopsis;
  for (std::size_t i = 0; i < count; ++i) {
    usage += std::string("       quorvane-probe ") + commands[i].synopsis + "\n";
  }
  usage += std::string("\n") + kDescription + "\n" + OptionHelp(kOptions, kHelpColumn);
  // The program's own option, which main.cpp takes when it is the only one.
  usage += HelpLines("--version", nullptr,
                     "print the version (that of the Quorvane.dll it comes with)", kHelpColumn);
  usage += std::string("\n") + kExitStatus;
  for (std::size_t i = 0; i < count; ++i) {
    usage += std::string("\n") + commands[i].name + ": " + commands[i].summary + "\n";
  }
  return usage;
}

bool NeedsProfile(const CheckOptions& o, std::string* error) {
  if (!o.profile.empty()) return true;
  *error = "no profile given";
  return false;
}

bool TypeNeedsProcess(const CheckOptions& o, std::string* error) {
  if (!o.has_type || !o.target.empty()) return true;
  *error = "--type needs a process to walk";
  return false;
}

bool ParseArguments(int argc, char** argv, CheckOptions* o, std::string* error) {
  if (!ParseOptions(argc, argv, kOptions, {&o->profile, &o->target}, o, &o->help, error)) {
    return false;
  }
  return o->help || (NeedsProfile(*o, error) && TypeNeedsProcess(*o, error));
}

// Everything after the arguments: the process handle and the Lua state are
// released by the caller.
int Check(const CheckOptions& o, lua_State* L, void** process) {
  std::string error;
  Report report;
  if (!ReadProfile(o.profile, &report.profile, &error)) return Fail(error);
  report.has_process = !o.target.empty();
  if (report.has_process && !OpenProcess(o.target, process, &report.process, &error)) {
    return Fail(error);
  }
  if (!MakeTable(L, &report, &error)) return Fail(error);
  if (report.has_process && !WalkHost(L, o.has_type ? &o.type : nullptr, &report, &error)) {
    return Fail(error);
  }
  Print(o.json ? JsonReport(report) : TextReport(report));
  return report.Complete() ? kExitComplete : kExitIncomplete;
}

}  // namespace

std::string Exited(std::uint32_t pid) {
  return "process " + std::to_string(pid) + " exited; nothing was read from it";
}

bool OpenProcess(const std::string& target, void** process, ProcessInfo* info,
                 std::string* error) {
  *process = OpenTargetProcess(target, info, error);
  if (*process == nullptr) return false;
  quorvane::SetRemoteProcess(*process);
  if (quorvane::HostProcessRunning()) return true;
  *error = Exited(info->pid);
  return false;
}

bool MakeTable(lua_State* L, Report* report, std::string* error) {
  if (!MakeAddressTable(L, report->profile.path, &report->table, error)) return false;
  if (!report->has_process) return true;
  const std::uint32_t pid = report->process.pid;
  if (!quorvane::HostProcessRunning()) {
    *error = Exited(pid);
    return false;
  }
  if (!ModulesListed(pid, error)) return false;
  if (report->table.module_base == 0) NoteCloseModules(report->profile.module, &report->process);
  return true;
}

bool WalkHost(lua_State* L, const std::int32_t* type, Report* report, std::string* error) {
  WalkContext context;
  context.table = report->table;
  context.module = report->profile.module;
  context.pid = report->process.pid;
  if (type != nullptr) {
    report->walks.push_back(WalkObject(L, context, *type));
  } else {
    report->walks = WalkEveryType(L, context);
    report->walks.push_back(WalkTextBuffer(L, context));
  }
  // What was read after the process ended is not to be trusted.
  if (quorvane::HostProcessRunning()) return true;
  *error = Exited(report->process.pid);
  return false;
}

int WithLuaAndProcess(const std::function<int(lua_State* L, void** process)>& work) {
  lua_State* L = luaL_newstate();
  if (L == nullptr) return Fail("cannot create a Lua state");
  void* process = nullptr;
  const int status = work(L, &process);
  lua_close(L);
  quorvane::SetRemoteProcess(nullptr);
  CloseTargetProcess(process);
  return status;
}

int RunCheck(int argc, char** argv, const Command* commands, std::size_t command_count) {
  CheckOptions options;
  std::string error;
  if (!ParseArguments(argc, argv, &options, &error)) {
    return Fail(error + " (quorvane-probe --help shows the usage)");
  }
  if (options.help) {
    Print(Usage(commands, command_count));
    return kExitComplete;
  }
  return WithLuaAndProcess(
      [&options](lua_State* L, void** process) { return Check(options, L, process); });
}

}  // namespace probe
