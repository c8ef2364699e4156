// Names close to one that was not found, for "did you mean" hints: a
// profile's Version among the profile's sections, a profile's Module among
// the modules loaded in the host; and the names a --field may give. Plain
// code, no system calls.
#ifndef QUORVANE_PROBE_COMMON_NEAR_NAMES_H
#define QUORVANE_PROBE_COMMON_NEAR_NAMES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace probe {

// Edits (insert, delete or replace one character) that turn `a` into `b`,
// ignoring ASCII case.
std::size_t NameDistance(const std::string& a, const std::string& b);

// Whether `a` and `b` are the same name, ignoring ASCII case (no edits apart).
bool SameName(const std::string& a, const std::string& b);

// The names among `names` close to `wanted`, closest first (ties in their
// order in `names`), each once, at most `most`. Folders and a ".dll" or
// ".exe" ending are left out of the comparison when `file_names` is set.
// Close: a few edits away (a third of the name, at least one), or the one
// name starts with or contains the other (three characters at least).
std::vector<std::string> CloseNames(const std::string& wanted,
                                    const std::vector<std::string>& names, std::size_t most,
                                    bool file_names);

// The string fields (strings and wide texts) of type `type`'s record layout,
// in layout order: what a --field may name. Empty when the type has no
// layout or no string field.
std::vector<std::string> StringFieldNames(std::int32_t type);

}  // namespace probe

#endif
