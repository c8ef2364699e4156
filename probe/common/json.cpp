#include "probe/common/json.h"

#include <cmath>
#include <cstdio>

namespace probe {

std::string JsonQuote(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", byte);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + '"';
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
  out_ += JsonQuote(name);
  out_ += ": ";
  after_key_ = true;
}

void JsonWriter::String(const std::string& utf8) {
  BeforeValue();
  out_ += JsonQuote(utf8);
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
