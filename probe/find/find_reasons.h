// What the find says to a person beside its report: why it did not settle
// an offset (one line per offset), and what a change watch asked, came to
// and left open. From the report alone (no system calls, so testable
// natively).
#ifndef QUORVANE_PROBE_FIND_FIND_REASONS_H
#define QUORVANE_PROBE_FIND_FIND_REASONS_H

#include <cstddef>
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

// "now change "QV-1" to "QV-2" in the host (...); watching 3 candidates for
// up to 60 s".
std::string ChangePrompt(const ChangeAsk& ask, const finder::ChangeWatch& watch,
                         std::uint32_t wait_seconds);

// What the watch came to, in words: the summary of the text output and the
// start of the reason on standard error.
std::string ChangeSummary(const ChangeAsk& ask, const finder::ChangeWatch& watch,
                          const finder::FindResult& result, std::uint32_t wait_seconds);

// The line for standard error when a watch asked for settled nothing, after
// `head` ("ObjectAddressList and ObjectDataOffset: "); empty when it settled
// the offsets or left the scan's reason to stand (nothing was watched).
std::string ChangeReason(const ChangeAsk& ask, const finder::ChangeWatch& watch,
                         const finder::FindResult& result, std::uint32_t wait_seconds,
                         const std::string& head);

// "ObjectAddressList=0x... ObjectDataOffset=0x..." or "TextBufferAddress=0x..."
// of the candidate (or buffer) `index` of a watch.
std::string WatchedPlaceText(const finder::ChangeWatch& watch, const finder::FindResult& result,
                             std::size_t index);

// The JSON's name of what refuses a place ("text_before"; "" for none).
const char* RefusalCode(finder::Refusal refusal);

// "1 candidate", "3 places".
std::string WatchedCount(std::size_t n, bool objects);

}  // namespace probe

#endif
