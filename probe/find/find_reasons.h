// Why the find did not settle an offset: one line per offset for a person,
// from the report alone (no system calls, so testable natively).
#ifndef QUORVANE_PROBE_FIND_FIND_REASONS_H
#define QUORVANE_PROBE_FIND_FIND_REASONS_H

#include <cstdint>
#include <string>

#include "probe/find/find_report.h"

namespace probe {

// "text marker "..." (UTF-16, type 3 field "text", record + 48)".
std::string MarkerTitle(const MarkerInfo& m);

// Why ObjectAddressList and ObjectDataOffset were not found.
std::string ObjectReason(const FindReport& r);

// Why TextBufferAddress was not found.
std::string BufferReason(const FindReport& r);

}  // namespace probe

#endif
