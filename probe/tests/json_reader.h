// Just enough of a JSON reader to check the probe's --json output.
#ifndef QUORVANE_PROBE_TESTS_JSON_READER_H
#define QUORVANE_PROBE_TESTS_JSON_READER_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace probe_test {

struct Json {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = kNull;
  bool boolean = false;
  double number = 0;
  std::string str;  // UTF-8
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  bool Has(const std::string& key) const;
  // A missing member or item reads as null.
  const Json& operator[](const std::string& key) const;
  const Json& operator[](std::size_t index) const;
  std::size_t size() const { return type == kArray ? items.size() : members.size(); }
};

// Parses a whole document; false with a message on malformed text.
bool ParseJson(const std::string& text, Json* out, std::string* error);

}  // namespace probe_test

#endif
