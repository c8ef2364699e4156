// What the probe's commands share on the command line: one vocabulary of
// exit statuses, the way they fail and speak, and the shape of a command.
#ifndef QUORVANE_PROBE_COMMON_COMMAND_H
#define QUORVANE_PROBE_COMMON_COMMAND_H

#include <string>

namespace probe {

enum ExitStatus : int {
  kExitComplete = 0,    // every walk reaches its data; every offset asked for found
  kExitIncomplete = 1,  // some walk stops; some offset not found or ambiguous; not signed
  kExitCannot = 2,      // bad use, or nothing to report: the process cannot be examined...
  kExitUnchecked = 3,   // offsets found in a module file, not checked against a running host
};

// A command of the program, chosen by its first argument (main.cpp).
struct Command {
  const char* name;                   // "find"
  int (*run)(int argc, char** argv);  // argv[0] is the name; returns the exit status
  const char* synopsis;               // its lines in the program's usage, after "quorvane-probe "
  const char* summary;                // what it does, at the end of the program's usage
};

// Prints "quorvane-probe: MESSAGE" on standard error.
void Note(const std::string& message);

// Notes `message`; returns kExitCannot.
int Fail(const std::string& message);

// Writes `text` to standard output at once: a command that ends early has
// printed nothing.
void Print(const std::string& text);

}  // namespace probe

#endif
