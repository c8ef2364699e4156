// A small JSON writer for the probe's --json output: indented, with strings
// escaped as JSON requires. Strings handed to it must be UTF-8.
#ifndef QUORVANE_PROBE_COMMON_JSON_H
#define QUORVANE_PROBE_COMMON_JSON_H

#include <cstdint>
#include <string>
#include <vector>

namespace probe {

// `utf8` as a JSON string literal, quotes included: '"' and '\' escaped, and
// control characters as \n, \t, ... or \u00XX.
std::string JsonQuote(const std::string& utf8);

class JsonWriter {
 public:
  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // Names the next value inside an object.
  void Key(const char* name);

  void String(const std::string& utf8);
  void Number(double value);
  void Unsigned(std::uint32_t value);
  void Integer(std::int64_t value);
  void Bool(bool value);
  void Null();

  // A key and its value in one call, inside an object.
  void StringField(const char* key, const std::string& utf8);
  void NumberField(const char* key, double value);
  void UnsignedField(const char* key, std::uint32_t value);
  void IntegerField(const char* key, std::int64_t value);
  void BoolField(const char* key, bool value);

  const std::string& Text() const { return out_; }

 private:
  void BeforeValue();
  void Close(char bracket);

  std::string out_;
  // Per open container, whether nothing was written into it yet (a string:
  // no allocation for the few levels a report has).
  std::string first_;
  bool after_key_ = false;
};

}  // namespace probe

#endif
