// The probe's system texts: error messages and text encodings, over the
// tool's platform services (platform/tool_system.h).
#ifndef QUORVANE_PROBE_COMMON_SYSTEM_TEXT_H
#define QUORVANE_PROBE_COMMON_SYSTEM_TEXT_H

#include <string>

namespace probe {

// "the system's message (error N)" for a system error code.
std::string ErrorText(unsigned long error);

// ANSI text (the system's ANSI code page, as the module returns it) as UTF-8.
std::string AnsiToUtf8(const std::string& ansi);

// ANSI text as UTF-16LE bytes, as a wide string stands in memory.
std::string AnsiToUtf16(const std::string& ansi);

// Whether a section name holds a bracket or a line break, character by
// character in the ANSI code page: the second byte of a double-byte
// character may be a '[' (code page 932's long vowel mark is 0x81 0x5B).
// Also true when the name ends in a byte that would take the closing
// bracket of "[name]" as the second byte of its character, and for a
// line-break byte anywhere, even after a lead byte.
bool HasBracketOrBreak(const std::string& ansi);

}  // namespace probe

#endif
