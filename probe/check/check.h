// quorvane-probe PROFILE [PID | EXE-NAME] [--type N] [--json]: shows how
// Quorvane reads an address profile and, in a running host, which hop of
// each read reaches its data and which one stops it. The module itself
// says nothing when it gives nil. What the program runs when its first
// argument names no command.
#ifndef QUORVANE_PROBE_CHECK_CHECK_H
#define QUORVANE_PROBE_CHECK_CHECK_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "module/lua_api.h"
#include "probe/check/check_report.h"
#include "probe/common/command.h"

namespace probe {

// argv[0] is the program. `commands` are the program's other commands, for
// its usage (--help). Returns the exit status: 0 when every walk reaches
// its data (without a process: when no offset is 0), 1 when some walk stops
// (without a process: when some offset is 0, so that every read that needs
// it gives nil), 2 for bad arguments, a profile GetAddress gives nil for,
// or a process that cannot be examined or exits before the walks end.
int RunCheck(int argc, char** argv, const Command* commands, std::size_t command_count);

// The check's steps, which sign takes too. Each returns false with a
// one-line `error` when it cannot go on.
//
// Opens the process `target` names (a process id or an executable's name)
// for reading, into `process` (the caller closes it), and makes the
// module's platform read it.
bool OpenProcess(const std::string& target, void** process, ProcessInfo* info,
                 std::string* error);
// GetAddress on report->profile in `L`, in the examined process if there is
// one; for a module that is not loaded, notes the loaded ones with close
// names.
bool MakeTable(lua_State* L, Report* report, std::string* error);
// Walks GetObjectData for `*type`, or (nullptr) for every type with a
// layout and then GetTextbufferString, as the module would take them.
bool WalkHost(lua_State* L, const std::int32_t* type, Report* report, std::string* error);
// "process N exited; nothing was read from it"
std::string Exited(std::uint32_t pid);

// The frame of a command that reads a host: `work` gets a fresh Lua state
// (for the module's readers) and the place for the process handle it
// opens; both are released after it, whatever it returns. Returns what
// `work` returns, or kExitCannot when no Lua state can be had.
int WithLuaAndProcess(const std::function<int(lua_State* L, void** process)>& work);

}  // namespace probe

#endif
