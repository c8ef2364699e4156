// The command lines of quorvane-probe sign and update: their options as
// tables (common/options.h), the rules that relate them, and their usage.
#ifndef QUORVANE_PROBE_UPDATE_UPDATE_OPTIONS_H
#define QUORVANE_PROBE_UPDATE_UPDATE_OPTIONS_H

#include <string>

namespace probe {

struct SignOptions {
  bool help = false;
  std::string target;   // PID or EXE
  std::string profile;
  std::string section;  // empty: the profile's Version
  std::string out;      // empty: the profile's path with .sig in place of its extension
};

struct UpdateOptions {
  bool help = false;
  bool json = false;
  std::string target;       // PID or EXE; empty with --module-file
  std::string module_file;  // empty: a running host
  std::string signatures;
  std::string section = "Found";
};

// argv[0] is the command's name. False with a one-line `error` for a
// command line the command cannot take.
bool ParseSignArguments(int argc, char** argv, SignOptions* o, std::string* error);
bool ParseUpdateArguments(int argc, char** argv, UpdateOptions* o, std::string* error);

// What --help prints.
std::string SignUsage();
std::string UpdateUsage();

// Where sign writes by default: `profile` with ".sig" in place of the
// extension of its file name (added when it has none).
std::string DefaultSignaturePath(const std::string& profile);

}  // namespace probe

#endif
