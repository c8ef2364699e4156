// The probe's report, as text for a person or as JSON for a program.
#ifndef QUORVANE_PROBE_CHECK_CHECK_OUTPUT_H
#define QUORVANE_PROBE_CHECK_CHECK_OUTPUT_H

#include <string>

#include "probe/common/json.h"
#include "probe/check/check_report.h"
#include "probe/common/text.h"

namespace probe {

// Strings appear as the module returns them: ANSI bytes, in Lua's quoting.
std::string TextReport(const Report& report);

// Strings appear as UTF-8; the texts read from the host also as the hex of
// their ANSI bytes ("ansi").
std::string JsonReport(const Report& report);

// One walk as the reports show it: the text lines (each ending in a line
// break, the first one blank) and the JSON object.
std::string TextWalkLines(const Walk& walk, const AddressTable& table);
void JsonWalkValue(const Walk& walk, JsonWriter* j);

}  // namespace probe

#endif
