// quorvane-probe: the profile authors' tool. Its first argument names the
// command; anything else is the check (check/check.h), which is also what
// --help describes. Each command has a folder of its own beside check/ and
// a row here; what they share is in common/ and walk/.
#include <cstdio>
#include <string>

#include "probe/check/check.h"
#include "probe/common/command.h"
#include "probe/find/find.h"
#include "probe/update/sign.h"
#include "probe/update/update.h"
#include "version.h"

namespace {

using probe::Command;

constexpr Command kCommands[] = {
    {"find", probe::RunFind,
     "find PID|EXE [--module NAME] [--text MARKER] [--buffer-text MARKER]\n"
     "                           [--section NAME] [--profile OLD.ini] [--json] ...",
     "finds the profile's offsets in a running host from markers placed\n"
     "there (--text, --buffer-text or both); quorvane-probe find --help tells how."},
    {"sign", probe::RunSign, "sign PID|EXE --profile FILE [--section NAME] [--out FILE]",
     "checks a profile against the running host and, when it is right,\n"
     "writes the signatures of the code that uses its offsets (FILE.sig);\n"
     "quorvane-probe sign --help tells more."},
    {"update", probe::RunUpdate,
     "update PID|EXE --signatures FILE [--section NAME] [--json]\n"
     "       quorvane-probe update --module-file PATH --signatures FILE [--section NAME]",
     "after a host update, finds the new offsets in the new release's code\n"
     "from those signatures; if it says no, use find. quorvane-probe update\n"
     "--help tells more."},
};
constexpr std::size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("quorvane-probe %s\n", QUORVANE_VERSION);
    return probe::kExitComplete;
  }
  for (const Command& command : kCommands) {
    if (argc > 1 && std::string(argv[1]) == command.name) return command.run(argc - 1, argv + 1);
  }
  return probe::RunCheck(argc, argv, kCommands, kCommandCount);
}
