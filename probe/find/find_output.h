// The find's report as text (a section to paste into a profile, with the
// evidence as comments: find_output.cpp) or as JSON (find_json_output.cpp),
// each with what the change watches saw.
#ifndef QUORVANE_PROBE_FIND_FIND_OUTPUT_H
#define QUORVANE_PROBE_FIND_FIND_OUTPUT_H

#include <string>

#include "probe/find/find_report.h"

namespace probe {

std::string FindTextOutput(const FindReport& r);
std::string FindJsonOutput(const FindReport& r);

}  // namespace probe

#endif
