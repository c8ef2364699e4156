#include "probe/common/json.h"

#include <cmath>
#include <cstdio>

namespace probe {

namespace {

// `utf8` quoted, at the end of `out`: runs of bytes that need no escape
// appended as they are.
void AppendQuoted(const std::string& utf8, std::string* out) {
  *out += '"';
  std::size_t from = 0;  // the first byte not appended yet
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out->append(utf8, from, i - from);
    from = i + 1;
    switch (byte) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\b': *out += "\\b"; break;
      case '\f': *out += "\\f"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        *out += "\\u00";
        *out += "0123456789abcdef"[byte >> 4];
        *out += "0123456789abcdef"[byte & 0xF];
    }
  }
  out->append(utf8, from, std::string::npos);
  *out += '"';
}

}  // namespace

std::string JsonQuote(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  AppendQuoted(utf8, &out);
  return out;
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
    out_ += '\n';
    out_.append(2 * first_.size(), ' ');
  }
}

void JsonWriter::BeginObject() {
  BeforeValue();
  out_ += '{';
  first_.push_back(true);
}

void JsonWriter::BeginArray() {
  BeforeValue();
  out_ += '[';
  first_.push_back(true);
}

void JsonWriter::Close(char bracket) {
  const bool empty = first_.back();
  first_.pop_back();
  if (!empty) {
    out_ += '\n';
    out_.append(2 * first_.size(), ' ');
  }
  out_ += bracket;
  if (first_.empty()) out_ += '\n';
}

void JsonWriter::EndObject() { Close('}'); }
void JsonWriter::EndArray() { Close(']'); }

void JsonWriter::Key(const char* name) {
  BeforeValue();
  AppendQuoted(name, &out_);
  out_ += ": ";
  after_key_ = true;
}

void JsonWriter::String(const std::string& utf8) {
  BeforeValue();
  AppendQuoted(utf8, &out_);
}

void JsonWriter::Number(double value) {
  BeforeValue();
  if (!std::isfinite(value)) {
    out_ += "null";
    return;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  out_ += text;
}

void JsonWriter::Unsigned(std::uint32_t value) {
  BeforeValue();
  out_ += std::to_string(value);
}

void JsonWriter::Integer(std::int64_t value) {
  BeforeValue();
  out_ += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
}

void JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
}

void JsonWriter::StringField(const char* key, const std::string& utf8) {
  Key(key);
  String(utf8);
}

void JsonWriter::NumberField(const char* key, double value) {
  Key(key);
  Number(value);
}

void JsonWriter::UnsignedField(const char* key, std::uint32_t value) {
  Key(key);
  Unsigned(value);
}

void JsonWriter::IntegerField(const char* key, std::int64_t value) {
  Key(key);
  Integer(value);
}

void JsonWriter::BoolField(const char* key, bool value) {
  Key(key);
  Bool(value);
}

}  // namespace probe
