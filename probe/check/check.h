// quorvane-probe PROFILE [PID | EXE-NAME] [--type N] [--json]: shows how
// Quorvane reads an address profile and, in a running host, which hop of
// each read reaches its data and which one stops it. The module itself
// says nothing when it gives nil. What the program runs when its first
// argument names no command.
#ifndef QUORVANE_PROBE_CHECK_CHECK_H
#define QUORVANE_PROBE_CHECK_CHECK_H

#include <cstddef>

#include "probe/common/command.h"

namespace probe {

// argv[0] is the program. `commands` are the program's other commands, for
// its usage (--help). Returns the exit status: 0 when every walk reaches
// its data (without a process: when no offset is 0), 1 when some walk stops
// (without a process: when some offset is 0, so that every read that needs
// it gives nil), 2 for bad arguments, a profile GetAddress gives nil for,
// or a process that cannot be examined or exits before the walks end.
int RunCheck(int argc, char** argv, const Command* commands, std::size_t command_count);

}  // namespace probe

#endif
