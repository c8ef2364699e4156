#include "probe/find/find_options.h"

#include "probe/common/numbers.h"
#include "probe/common/options.h"
#include "probe/common/system_text.h"

namespace probe {

namespace {

// Larger offsets would make nearly every word of an image a candidate.
constexpr std::uint32_t kMaxMaxOffset = 0x100000;
constexpr long long kMaxWaitSeconds = 3600;

// The options as they are read: --type and --field given before any --text
// wait here for it.
struct FindArguments : FindOptions {
  TextOption before_text;

  // The marker that --type and --field place.
  TextOption& Placed() { return texts.empty() ? before_text : texts.back(); }
};

// Whether two markers could be told apart where either stands: different,
// neither part of the other.
bool Distinct(const std::string& a, const std::string& b) {
  return a.find(b) == std::string::npos && b.find(a) == std::string::npos;
}

// ------------------------------------------------------------ the rows

bool AddText(FindArguments* a, const std::string& value, std::string*) {
  TextOption text = a->texts.empty() ? a->before_text : TextOption();
  text.text = value;
  a->texts.push_back(text);
  return true;
}

// --type and --field are said once for a marker.
bool Once(bool* given, const char* option, std::string* error) {
  if (*given) {
    *error = std::string(option) + " given twice for one --text marker";
    return false;
  }
  *given = true;
  return true;
}

bool SetMarkerType(FindArguments* a, const std::string& value, std::string* error) {
  std::int32_t type = 0;
  if (!ParseType(value, &type)) return false;
  TextOption& placed = a->Placed();
  if (!Once(&placed.has_type, "--type", error)) return false;
  placed.type = type;
  return true;
}

bool SetMarkerField(FindArguments* a, const std::string& value, std::string* error) {
  TextOption& placed = a->Placed();
  if (!Once(&placed.has_field, "--field", error)) return false;
  placed.field = value;
  return true;
}

bool SetBufferText(FindArguments* a, const std::string& value, std::string*) {
  a->buffer_text = value;
  a->has_buffer = true;
  return true;
}

bool SetMaxOffset(FindArguments* a, const std::string& value, std::string*) {
  return ParseCount(value, 1, kMaxMaxOffset, &a->max_offset);
}

// --then belongs to the --text marker before it; one marker is changed at a
// time.
bool SetThen(FindArguments* a, const std::string& value, std::string* error) {
  if (a->texts.empty()) {
    *error = "--then says what a --text marker becomes: give it after that --text";
    return false;
  }
  for (const TextOption& t : a->texts) {
    if (t.has_then) {
      *error = "--then given twice: one --text marker is changed at a time";
      return false;
    }
  }
  a->texts.back().then = value;
  a->texts.back().has_then = true;
  return true;
}

bool SetBufferThen(FindArguments* a, const std::string& value, std::string*) {
  a->buffer_then = value;
  a->has_buffer_then = true;
  return true;
}

bool SetWait(FindArguments* a, const std::string& value, std::string*) {
  long long seconds = 0;
  if (!ParseDecimal(value, 1, kMaxWaitSeconds, &seconds)) return false;
  a->wait_seconds = static_cast<std::uint32_t>(seconds);
  a->has_wait = true;
  return true;
}

constexpr Option<FindArguments> kOptions[] = {
    {"--module", "NAME", "a module name", nullptr, SetText<FindArguments, &FindOptions::module>,
     "the host module (default: Module of --profile)"},
    {"--text", "MARKER", "a marker", nullptr, AddText,
     "the wide text of a type 3 record (searched as UTF-16);\n"
     "may be given more than once: the answer must reach\n"
     "every marker's record through its type's slot"},
    {"--type", "N", "a type index", nullptr, SetMarkerType,
     "the --text before it is in a string field of type N's\n"
     "record instead: its wide text (UTF-16), else its first\n"
     "string field (searched in the ANSI code page)"},
    {"--field", "NAME", "a field name", nullptr, SetMarkerField,
     "that string field of type N (e.g. --type 80 --field param)"},
    {"--buffer-text", "MARKER", "a marker", nullptr, SetBufferText,
     "the text buffer's text (UTF-16, in the module's image)"},
    {"--section", "NAME", "a section name", nullptr, SetText<FindArguments, &FindOptions::section>,
     "the section's name (default: Found)"},
    {"--profile", "OLD.ini", "a profile", nullptr, SetText<FindArguments, &FindOptions::profile>,
     "an older profile: its Module, and its offsets as hints;\n"
     "among equally good candidates the nearest come first"},
    {"--max-offset", "N", "a number", "a number from 1 to 0x100000", SetMaxOffset,
     "ObjectDataOffset is tried from 1 to N (0x... or decimal;\n"
     "default 0x1000, at most 0x100000); record pointers and\n"
     "list slots are looked for in 4-aligned words only"},
    {"--json", nullptr, nullptr, nullptr, SetFlag<FindArguments, &FindOptions::json>,
     "print the result as JSON, with every candidate"},
    {"--then", "MARKER2", "a marker", nullptr, SetThen,
     "when asked after the scan, change the --text marker before\n"
     "it to MARKER2 in the host: the probe re-reads the\n"
     "candidates' records, and where the scan left several\n"
     "alike, the one that now reads MARKER2 is the live list\n"
     "(undo copies keep the old text). A change never\n"
     "overrules the scan: if its one answer does not change,\n"
     "or nothing does, nothing is picked (exit 1); nor does it\n"
     "pick a place the scan would refuse alone (memory lost,\n"
     "text before a buffer's marker, a second pointer of one\n"
     "structure to the same record). MARKER2 must be the\n"
     "whole text"},
    {"--buffer-then", "MARKER2", "a marker", nullptr, SetBufferThen,
     "the same for the --buffer-text marker"},
    {"--wait", "SECONDS", "a number of seconds", "a number of seconds from 1 to 3600", SetWait,
     "how long to watch for the change (default 60, at most 3600)"},
};

// Where the options' help starts in the usage.
constexpr std::size_t kHelpColumn = 22;

// ------------------------------------------------------------ the rules

using Rule = bool (*)(const FindArguments& a, std::string* error);

bool NeedsProcess(const FindArguments& a, std::string* error) {
  if (!a.target.empty()) return true;
  *error = "find needs a process (PID or EXE)";
  return false;
}

bool NeedsMarker(const FindArguments& a, std::string* error) {
  if (!a.texts.empty() || a.has_buffer) return true;
  *error = "find needs a marker: --text MARKER, --buffer-text MARKER or both";
  return false;
}

bool PlacesHaveText(const FindArguments& a, std::string* error) {
  if (!(a.before_text.has_type || a.before_text.has_field) || !a.texts.empty()) return true;
  *error = "--type and --field say where a --text marker is; no --text given";
  return false;
}

// Each marker would be found where another one is.
bool MarkersDistinct(const FindArguments& a, std::string* error) {
  for (const TextOption& t : a.texts) {
    if (t.text.empty()) {
      *error = "a marker cannot be empty";
      return false;
    }
    if (a.has_buffer && !Distinct(t.text, a.buffer_text)) {
      *error = "--text and --buffer-text need two different markers, neither part of the other";
      return false;
    }
  }
  if (a.has_buffer && a.buffer_text.empty()) {
    *error = "a marker cannot be empty";
    return false;
  }
  return true;
}

bool NeedsModule(const FindArguments& a, std::string* error) {
  if (!a.module.empty() || !a.profile.empty()) return true;
  *error = "find needs --module NAME (or --profile OLD.ini with a Module)";
  return false;
}

bool SectionNameFits(const FindArguments& a, std::string* error) {
  if (!a.section.empty() && !HasBracketOrBreak(a.section)) return true;
  *error = "--section needs a name without brackets or line breaks";
  return false;
}

bool ThenChangesMarker(const FindArguments& a, std::string* error) {
  for (const TextOption& t : a.texts) {
    if (t.has_then && (t.then.empty() || !Distinct(t.text, t.then))) {
      *error = "--then needs a marker that differs from its --text marker, neither part of the other";
      return false;
    }
  }
  return true;
}

bool BufferThenChangesMarker(const FindArguments& a, std::string* error) {
  if (!a.has_buffer_then) return true;
  if (!a.has_buffer) {
    *error = "--buffer-then says what the --buffer-text marker becomes; no --buffer-text given";
    return false;
  }
  if (a.buffer_then.empty() || !Distinct(a.buffer_text, a.buffer_then)) {
    *error = "--buffer-then needs a marker that differs from --buffer-text, neither part of the "
             "other";
    return false;
  }
  return true;
}

bool WaitHasChange(const FindArguments& a, std::string* error) {
  bool then = a.has_buffer_then;
  for (const TextOption& t : a.texts) then = then || t.has_then;
  if (!a.has_wait || then) return true;
  *error = "--wait says how long to watch for --then or --buffer-then; neither given";
  return false;
}

// In the order they are checked: the first one broken is the message.
constexpr Rule kRules[] = {
    NeedsProcess, NeedsMarker,       PlacesHaveText,          MarkersDistinct, NeedsModule,
    SectionNameFits, ThenChangesMarker, BufferThenChangesMarker, WaitHasChange,
};

}  // namespace

bool ParseFindArguments(int argc, char** argv, FindOptions* o, std::string* error) {
  FindArguments a;
  if (!ParseOptions(argc, argv, kOptions, {&a.target}, &a, &a.help, error)) return false;
  if (!a.help) {
    for (const Rule rule : kRules) {
      if (!rule(a, error)) return false;
    }
  }
  *o = static_cast<const FindOptions&>(a);
  return true;
}

std::string FindUsage() {
  return "usage: quorvane-probe find PID|EXE [--module NAME] [--text MARKER]\n"
         "                           [--buffer-text MARKER] [--section NAME]\n"
         "                           [--profile OLD.ini] [--type N] [--field NAME]\n"
         "                           [--max-offset N] [--json]\n"
         "                           [--then MARKER2] [--buffer-then MARKER2] [--wait SECONDS]\n"
         "\n"
         "Give a marker at least (--text, --buffer-text or both), and --module unless\n"
         "--profile names a profile whose Module serves.\n"
         "\n"
         "Finds ObjectAddressList, ObjectDataOffset and TextBufferAddress in a running\n"
         "host. First make a text object in the host whose text is a marker of your\n"
         "choosing (say QV-7f3a) and make it the current one; for the text buffer,\n"
         "type a second marker where the host keeps that buffer. The probe then\n"
         "searches the host's readable memory (reading only) for the markers, for\n"
         "pointers to the records they lie in and for a list slot in the module's\n"
         "image that leads to those pointers, and ranks every (list, offset) pair by\n"
         "how well all record types decode under it.\n"
         "\n" +
         OptionHelp(kOptions, kHelpColumn) +
         "\n"
         "Standard output gets the section as it goes into a profile, then the\n"
         "evidence as ; comments: the marker hits, the pointer hops, the candidates\n"
         "and the walk of every type under the offsets found. When something is not\n"
         "found or is ambiguous (a marker so common that hits were dropped counts as\n"
         "ambiguous), every line is a comment and the candidates are listed; no\n"
         "section is picked. Progress goes to standard error.\n"
         "\n"
         "Exit status: 0 everything asked for found with one clear answer, 1 something\n"
         "not found or ambiguous (one line per offset on standard error), 2 bad\n"
         "arguments, a process that cannot be examined, a module that is not loaded or\n"
         "a process that exited during the scan.\n";
}

}  // namespace probe
