#include "probe/common/near_names.h"

#include <algorithm>
#include <utility>

#include "readers/layouts.h"

namespace probe {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lowered(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = Lower(c);
  return out;
}

// The part of a module name that tells modules apart: no folder, no
// ".dll" or ".exe".
std::string Stem(const std::string& name) {
  std::string stem = Lowered(name.substr(name.find_last_of("\\/") + 1));
  for (const char* ending : {".dll", ".exe"}) {
    const std::size_t n = std::char_traits<char>::length(ending);
    if (stem.size() > n && stem.compare(stem.size() - n, n, ending) == 0) {
      stem.resize(stem.size() - n);
      break;
    }
  }
  return stem;
}

bool Contains(const std::string& longer, const std::string& shorter) {
  return shorter.size() >= 3 && longer.size() > shorter.size() &&
         longer.find(shorter) != std::string::npos;
}

// NameDistance when it is `most` or less; else some number above `most`.
// No edits undo a difference in length, and the fewest edits on a row of the
// table never shrink on the rows after it. `room` holds one row of the table
// at a time.
std::size_t DistanceUpTo(const std::string& a, const std::string& b, std::size_t most,
                         std::vector<std::size_t>* room) {
  const std::size_t longer = std::max(a.size(), b.size());
  if (longer - std::min(a.size(), b.size()) > most) return longer;
  std::vector<std::size_t>& row = *room;
  row.resize(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    std::size_t fewest = row[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t replace = diagonal + (Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1);
      row[j] = std::min(std::min(above, row[j - 1]) + 1, replace);
      diagonal = above;
      fewest = std::min(fewest, row[j]);
    }
    if (fewest > most) return fewest;
  }
  return row[b.size()];
}

}  // namespace

std::size_t NameDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row;
  return DistanceUpTo(a, b, std::max(a.size(), b.size()), &row);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::vector<std::string> CloseNames(const std::string& wanted,
                                    const std::vector<std::string>& names, std::size_t most,
                                    bool file_names) {
  const std::string key = file_names ? Stem(wanted) : Lowered(wanted);
  const std::size_t allowed = std::max<std::size_t>(1, key.size() / 3);
  std::vector<std::pair<std::size_t, std::size_t>> found;  // distance, index
  std::vector<std::size_t> row;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string other = file_names ? Stem(names[i]) : Lowered(names[i]);
    if (other.empty()) continue;
    if (Contains(other, key) || Contains(key, other)) {
      // As far as the characters the longer one adds.
      found.emplace_back(std::max(key.size(), other.size()) - std::min(key.size(), other.size()), i);
      continue;
    }
    const std::size_t distance = DistanceUpTo(key, other, allowed, &row);
    if (distance <= allowed) found.emplace_back(distance, i);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> out;
  for (const auto& [distance, index] : found) {
    if (out.size() == most) break;
    const std::string& name = names[index];
    const bool seen =
        std::any_of(out.begin(), out.end(), [&](const std::string& o) { return SameName(o, name); });
    if (!seen) out.push_back(name);
  }
  return out;
}

std::vector<std::string> StringFieldNames(std::int32_t type) {
  std::vector<std::string> names;
  const quorvane::RecordLayout* layout = quorvane::FindLayout(type);
  for (int i = 0; layout != nullptr && i < layout->count; ++i) {
    if (quorvane::TextUnit(layout->fields[i].kind) != 0) names.push_back(layout->fields[i].name);
  }
  return names;
}

}  // namespace probe
