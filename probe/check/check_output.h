// The check's report, as text for a person or as JSON for a program.
#ifndef QUORVANE_PROBE_CHECK_CHECK_OUTPUT_H
#define QUORVANE_PROBE_CHECK_CHECK_OUTPUT_H

#include <string>

#include "probe/check/check_report.h"

namespace probe {

// Strings appear as the module returns them: ANSI bytes, in Lua's quoting.
std::string TextReport(const Report& report);

// Strings appear as UTF-8; the texts read from the host also as the hex of
// their ANSI bytes ("ansi").
std::string JsonReport(const Report& report);

}  // namespace probe

#endif
