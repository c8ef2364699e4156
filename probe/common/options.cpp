#include "probe/common/options.h"

#include "probe/common/text.h"

namespace probe {

Argument ReadArgument(const std::string& arg) {
  Argument a{Argument::kPositional, arg, std::string(), false};
  if (arg == "--help" || arg == "-h" || arg == "/?") {
    a.kind = Argument::kHelp;
  } else if (arg.size() > 1 && arg[0] == '-') {
    a.kind = Argument::kOption;
    const std::size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      a.name = arg.substr(0, equals);
      a.value = arg.substr(equals + 1);
      a.has_value = true;
    }
  }
  return a;
}

std::string UnknownOption(const std::string& arg) { return "unknown option " + arg; }

std::string TooManyArguments(const std::string& arg) { return "too many arguments (" + arg + ")"; }

std::string ValueMissing(const char* name, const char* needs) {
  return std::string(name) + " needs " + needs;
}

std::string ValueRefused(const char* name, const char* needs, const char* refused,
                         const std::string& value) {
  return ValueMissing(name, refused != nullptr ? refused : needs) + ", not " + LuaQuote(value);
}

std::string HelpLines(const char* name, const char* arg, const char* help, std::size_t column) {
  std::string out = std::string("  ") + name + (arg != nullptr ? std::string(" ") + arg : "");
  out.append(out.size() + 2 <= column ? column - out.size() : 2, ' ');
  for (const char* c = help; *c != '\0'; ++c) {
    out += *c;
    if (*c == '\n') out.append(column, ' ');
  }
  return out + "\n";
}

}  // namespace probe
