// What both of the probe's commands (the check and find) share on the
// command line: one vocabulary of exit statuses and the way they fail.
#ifndef QUORVANE_PROBE_COMMON_COMMAND_H
#define QUORVANE_PROBE_COMMON_COMMAND_H

#include <string>

namespace probe {

enum ExitStatus : int {
  kExitComplete = 0,    // every walk reaches its data; every offset asked for found
  kExitIncomplete = 1,  // some walk stops; some offset not found or ambiguous
  kExitCannot = 2,      // bad use, or nothing to report: the process cannot be examined...
};

// Prints "quorvane-probe: MESSAGE" on standard error; returns kExitCannot.
int Fail(const std::string& message);

}  // namespace probe

#endif
