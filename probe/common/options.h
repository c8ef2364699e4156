// The command-line conventions every command keeps, written once, and each
// command's options as a table of rows (name, value, what it sets, help)
// that ParseOptions walks:
//
//   --name VALUE and --name=VALUE give an option its value; an option that
//   takes none is a flag, and "--flag=..." is no option of the command;
//   --help, -h and /? ask for the usage (the rest is still read);
//   anything else that starts with '-' (but "-" itself) is an unknown
//   option; the other arguments are positional, in order, up to as many as
//   the command takes.
//
// The messages: "--type needs a type index" (no value), "--type needs a
// type index, not "x"" (a value the row refuses), "unknown option --x",
// "too many arguments (x)". Rules that relate options to each other are
// the command's own.
#ifndef QUORVANE_PROBE_COMMON_OPTIONS_H
#define QUORVANE_PROBE_COMMON_OPTIONS_H

#include <cstddef>
#include <initializer_list>
#include <string>

namespace probe {

template <typename Options>
struct Option {
  const char* name;  // "--max-offset"
  const char* arg;   // its value as the usage shows it ("N"); nullptr: a flag
  // Its value as the messages name it: "--max-offset needs a number", and,
  // for a value `set` refuses, "--max-offset needs a number from 1 to
  // 0x100000, not "0"" (nullptr: `needs` again).
  const char* needs;
  const char* refused;
  // Keeps the value (a flag gets ""). False when it refuses it: with
  // `error` set, that is the message, else it is made from `refused`.
  bool (*set)(Options* options, const std::string& value, std::string* error);
  const char* help;  // its lines in the usage, '\n' between
};

// Rows that set a flag or keep the value as given, for a member of
// Options (or of a class it derives from).
template <typename Options, auto member>
bool SetFlag(Options* options, const std::string&, std::string*) {
  options->*member = true;
  return true;
}
template <typename Options, auto member>
bool SetText(Options* options, const std::string& value, std::string*) {
  options->*member = value;
  return true;
}

// One argument as the conventions read it.
struct Argument {
  enum Kind { kHelp, kOption, kPositional } kind;
  std::string name;  // kOption: the part before any '='
  std::string value;
  bool has_value = false;  // "--name=value"
};
Argument ReadArgument(const std::string& arg);

std::string UnknownOption(const std::string& arg);
std::string TooManyArguments(const std::string& arg);
std::string ValueMissing(const char* name, const char* needs);
std::string ValueRefused(const char* name, const char* needs, const char* refused,
                         const std::string& value);

// "  NAME ARG" and the help from `column` on (at least two spaces after
// it), its further lines indented to `column`.
std::string HelpLines(const char* name, const char* arg, const char* help, std::size_t column);

template <typename Options, std::size_t N>
std::string OptionHelp(const Option<Options> (&table)[N], std::size_t column) {
  std::string out;
  for (const Option<Options>& row : table) out += HelpLines(row.name, row.arg, row.help, column);
  return out;
}

// Reads argv[1] onward into `options` by `table`, the positional arguments
// into `positionals` in order. False with a one-line `error` at the first
// argument that breaks the conventions or that a row refuses.
template <typename Options, std::size_t N>
bool ParseOptions(int argc, char** argv, const Option<Options> (&table)[N],
                  std::initializer_list<std::string*> positionals, Options* options, bool* help,
                  std::string* error) {
  std::size_t positional = 0;
  for (int i = 1; i < argc; ++i) {
    const Argument a = ReadArgument(argv[i]);
    if (a.kind == Argument::kHelp) {
      *help = true;
      continue;
    }
    if (a.kind == Argument::kPositional) {
      if (positional == positionals.size()) {
        *error = TooManyArguments(argv[i]);
        return false;
      }
      *positionals.begin()[positional++] = argv[i];
      continue;
    }
    const Option<Options>* row = nullptr;
    for (const Option<Options>& r : table) {
      if (a.name == r.name) row = &r;
    }
    if (row == nullptr || (row->arg == nullptr && a.has_value)) {
      *error = UnknownOption(argv[i]);
      return false;
    }
    std::string value = a.value;
    if (row->arg != nullptr && !a.has_value) {
      if (i + 1 == argc) {
        *error = ValueMissing(row->name, row->needs);
        return false;
      }
      value = argv[++i];
    }
    error->clear();
    if (!row->set(options, value, error)) {
      if (error->empty()) *error = ValueRefused(row->name, row->needs, row->refused, value);
      return false;
    }
  }
  return true;
}

}  // namespace probe

#endif
