// Whether an object record decodes to values a host would hold: strings
// that end within their field and hold no control characters, colours
// within 24 bits, small enumerations and flags small. The same judgement
// ranks the finder's candidates and flags the probe's walks.
#ifndef QUORVANE_FINDER_PLAUSIBILITY_H
#define QUORVANE_FINDER_PLAUSIBILITY_H

#include <cstdint>
#include <string>
#include <vector>

#include "finder/host_view.h"
#include "readers/layouts.h"

namespace finder {

// A string with no field after it is judged over at most this many bytes;
// a wide text over this many bytes too.
constexpr std::uint32_t kLastStringBound = 1024;
constexpr std::uint32_t kWideTextBound = 8192;

struct FieldIssue {
  const char* field;
  std::uint32_t offset;  // in the record
  std::string what;      // e.g. "0x12345678 has a top byte: not a colour"
};

struct RecordVerdict {
  bool readable = true;  // false: some field's bytes cannot be read
  std::vector<FieldIssue> issues;
  // Whether any field read holds something: false for a layout without
  // fields (nothing is read) and for a record whose fields are all zero
  // (numbers 0, strings empty), which any zero-filled memory decodes to.
  bool evidence = false;
  bool Plausible() const { return readable && issues.empty(); }
};

// Judges the record at `record` by the layout of `type` (which must have
// one), reading through `view`. A layout without fields reads nothing: the
// module gives an empty table for it whatever the record holds.
RecordVerdict CheckRecord(HostView& view, std::uint32_t record, std::int32_t type);

// The same for the numbers alone, as they were read: the issue with the
// value of field `field` of `type`, or an empty string when it is plausible.
std::string CheckNumber(std::int32_t type, const quorvane::FieldSpec& field, std::uint32_t raw);

// Whether a text buffer may start at `address`, as the finder judges a
// place its buffer marker was found and the probe's walk a text buffer's
// address: right before a buffer lies a NUL unit (the end of whatever comes
// before it) or memory that cannot be read. Anything else is text that runs
// on into it: a buffer that starts inside running text is implausible (or
// it follows a variable that does not end in zeros: the bytes do not say
// which). Returns an empty string when it may start there, else what lies
// before it.
std::string CheckBufferStart(HostView& view, std::uint32_t address);

}  // namespace finder

#endif
