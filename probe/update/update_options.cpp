#include "probe/update/update_options.h"

#include "probe/common/options.h"
#include "probe/common/system_text.h"

namespace probe {

namespace {

// Where the options' help starts in the usages.
constexpr std::size_t kHelpColumn = 24;

template <typename Options>
bool SetSection(Options* o, const std::string& value, std::string* error) {
  if (value.empty() || HasBracketOrBreak(value)) {
    *error = "--section needs a name without brackets or line breaks";
    return false;
  }
  o->section = value;
  return true;
}

// A file name given with an option cannot be empty.
template <typename Options, std::string Options::*member>
bool SetFile(Options* o, const std::string& value, std::string*) {
  o->*member = value;
  return !value.empty();
}

constexpr Option<SignOptions> kSignOptions[] = {
    {"--profile", "FILE", "a profile", nullptr, SetFile<SignOptions, &SignOptions::profile>,
     "a profile that is right for the running host"},
    {"--section", "NAME", "a section name", nullptr, SetSection<SignOptions>,
     "the profile's section to sign (default: its Version)"},
    {"--out", "FILE", "a file name", nullptr, SetFile<SignOptions, &SignOptions::out>,
     "where the signatures go (default: the profile's path\n"
     "with .sig in place of its extension); a signature file\n"
     "there is replaced, any other file is left alone"},
};

constexpr Option<UpdateOptions> kUpdateOptions[] = {
    {"--signatures", "FILE", "a signature file", nullptr,
     SetFile<UpdateOptions, &UpdateOptions::signatures>,
     "the signature file that sign made on an earlier release"},
    {"--module-file", "PATH", "a module file", nullptr,
     SetFile<UpdateOptions, &UpdateOptions::module_file>,
     "read the new release's module file instead of a running\n"
     "host (no live check: exit status 3, never 0)"},
    {"--section", "NAME", "a section name", nullptr, SetSection<UpdateOptions>,
     "the new section's name (default: Found)"},
    {"--json", nullptr, nullptr, nullptr, SetFlag<UpdateOptions, &UpdateOptions::json>,
     "print the report as JSON (strings in UTF-8)"},
};

bool Needs(bool given, const char* what, std::string* error) {
  if (!given) *error = what;
  return given;
}

}  // namespace

bool ParseSignArguments(int argc, char** argv, SignOptions* o, std::string* error) {
  if (!ParseOptions(argc, argv, kSignOptions, {&o->target}, o, &o->help, error)) return false;
  return o->help ||
         (Needs(!o->target.empty(),
                "sign needs the running host: a process id or an executable's name", error) &&
          Needs(!o->profile.empty(), "sign needs --profile FILE, a profile right for the host",
                error));
}

bool ParseUpdateArguments(int argc, char** argv, UpdateOptions* o, std::string* error) {
  if (!ParseOptions(argc, argv, kUpdateOptions, {&o->target}, o, &o->help, error)) return false;
  const bool live = !o->target.empty(), file = !o->module_file.empty();
  return o->help ||
         (Needs(!(live && file), "update reads a running host or --module-file, not both",
                error) &&
          Needs(live || file,
                "update needs the running host (a process id or an executable's name) or "
                "--module-file PATH",
                error) &&
          Needs(!o->signatures.empty(), "update needs --signatures FILE, the file sign made",
                error));
}

std::string DefaultSignaturePath(const std::string& profile) {
  const std::size_t name = profile.find_last_of("\\/");
  const std::size_t dot = profile.rfind('.');
  const bool has_extension = dot != std::string::npos && (name == std::string::npos || dot > name);
  return (has_extension ? profile.substr(0, dot) : profile) + ".sig";
}

std::string SignUsage() {
  return "usage: quorvane-probe sign PID|EXE --profile FILE [--section NAME] [--out FILE]\n"
         "\n"
         "Learns from a running host where its module's code uses the profile's three\n"
         "offsets, so that update can find them again in the next release. First it\n"
         "checks the profile against the host as the plain probe does, and signs only\n"
         "a profile that is right for it: every type that has a record reaches one\n"
         "that reads plausibly, at least one record holds something, and the text\n"
         "buffer holds text and starts where a buffer starts. Then it reads the\n"
         "module's image from the host, finds every instruction that uses each\n"
         "offset, makes a signature of the code around each (docs/SIGNATURES.md) and\n"
         "writes the signature file. Keep that file beside the profile.\n"
         "\n" +
         OptionHelp(kSignOptions, kHelpColumn) +
         "\n"
         "Exit status: 0 signed, 1 not signed (the profile is not right for the host,\n"
         "or some offset is used by no instruction that can be signed; the reasons on\n"
         "standard error), 2 bad arguments, an unreadable profile, a process that\n"
         "cannot be examined, a module that is not loaded, an image that cannot be\n"
         "read or a file that cannot be written.\n";
}

std::string UpdateUsage() {
  return "usage: quorvane-probe update PID|EXE --signatures FILE [--section NAME] [--json]\n"
         "       quorvane-probe update --module-file PATH --signatures FILE [--section NAME]\n"
         "                             [--json]\n"
         "\n"
         "After a host update, finds the new offsets in the new release's code, from\n"
         "the signatures that sign made on the release before. One pass over the\n"
         "module's code looks for every signature; each must match exactly once, and\n"
         "an offset is given only when at least two of its signatures read the same\n"
         "value and none reads another (one, when only one was made). In a running\n"
         "host the offsets must then pass the live check: every type that had a\n"
         "record when signed reaches a plausible one, the text buffer holds text and\n"
         "starts where a buffer starts. Only then the section is printed, as find\n"
         "prints it. When update says no, find the offsets with markers:\n"
         "quorvane-probe find --help.\n"
         "\n" +
         OptionHelp(kUpdateOptions, kHelpColumn) +
         "\n"
         "Standard output gets the section as it goes into a profile, then the\n"
         "evidence as ; comments: per offset how many signatures matched, agreed and\n"
         "disagreed, the signatures that failed, and the walks under the new offsets.\n"
         "\n"
         "Exit status: 0 the section, checked against the running host; 1 no section\n"
         "(the reasons on standard error); 2 bad arguments, an unreadable signature\n"
         "file, a process that cannot be examined, a module that is not loaded or an\n"
         "image that cannot be read; 3 the section from a module file, not checked\n"
         "against a running host.\n";
}

}  // namespace probe
