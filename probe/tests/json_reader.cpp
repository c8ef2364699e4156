#include "json_reader.h"

#include <cstdlib>

namespace probe_test {

namespace {

const Json kNullJson;

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool Document(Json* out, std::string* error) {
    if (!Value(out, 0) || (Space(), pos_ != s_.size())) {
      *error = "malformed JSON at byte " + std::to_string(pos_) + ": " + why_;
      return false;
    }
    return true;
  }

 private:
  bool Fail(const char* why) {
    if (why_.empty()) why_ = why;
    return false;
  }

  void Space() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' ||
                                s_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool Eat(char c) {
    Space();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool Literal(const char* word) {
    const std::string w = word;
    if (s_.compare(pos_, w.size(), w) != 0) return Fail("bad literal");
    pos_ += w.size();
    return true;
  }

  static void PutUtf8(unsigned code, std::string* out) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | code >> 6);
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | code >> 12);
      *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | code >> 18);
      *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool Hex4(unsigned* code) {
    if (pos_ + 4 > s_.size()) return Fail("short \\u escape");
    *code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      *code <<= 4;
      if (c >= '0' && c <= '9') *code |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') *code |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') *code |= static_cast<unsigned>(c - 'A' + 10);
      else return Fail("bad \\u escape");
    }
    return true;
  }

  bool String(std::string* out) {
    if (!Eat('"')) return Fail("string expected");
    // As long as the text up to the next quote, at most.
    const std::size_t quote = s_.find('"', pos_);
    if (quote != std::string::npos) out->reserve(quote - pos_);
    while (pos_ < s_.size()) {
      // A run of plain characters at once.
      std::size_t plain = pos_;
      while (plain < s_.size() && s_[plain] != '"' && s_[plain] != '\\' &&
             static_cast<unsigned char>(s_[plain]) >= 0x20) {
        ++plain;
      }
      out->append(s_, pos_, plain - pos_);
      pos_ = plain;
      if (pos_ == s_.size()) break;
      const char c = s_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("raw control character in string");
      if (pos_ == s_.size()) break;
      const char e = s_[pos_++];
      switch (e) {
        case '"': case '\\': case '/': *out += e; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          unsigned code;
          if (!Hex4(&code)) return false;
          if (code >= 0xD800 && code < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
            pos_ += 2;
            unsigned low;
            if (!Hex4(&low)) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          PutUtf8(code, out);
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
    return Fail("unterminated string");
  }

  bool Value(Json* out, int depth) {
    if (depth > 64) return Fail("too deep");
    Space();
    if (pos_ == s_.size()) return Fail("value expected");
    const char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      out->type = Json::kObject;
      if (Eat('}')) return true;
      out->members.reserve(8);
      do {
        auto& [key, value] = out->members.emplace_back();
        if (!String(&key) || !Eat(':')) return Fail("member expected");
        if (!Value(&value, depth + 1)) return false;
      } while (Eat(','));
      return Eat('}') || Fail("} expected");
    }
    if (c == '[') {
      ++pos_;
      out->type = Json::kArray;
      if (Eat(']')) return true;
      out->items.reserve(4);
      do {
        if (!Value(&out->items.emplace_back(), depth + 1)) return false;
      } while (Eat(','));
      return Eat(']') || Fail("] expected");
    }
    if (c == '"') {
      out->type = Json::kString;
      return String(&out->str);
    }
    if (c == 't' || c == 'f') {
      out->type = Json::kBool;
      out->boolean = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') return Literal("null");
    const char* start = s_.c_str() + pos_;
    char* end = nullptr;
    out->number = std::strtod(start, &end);
    if (end == start) return Fail("value expected");
    out->type = Json::kNumber;
    pos_ += static_cast<std::size_t>(end - start);
    return true;
  }

  const std::string& s_;
  std::size_t pos_ = 0;
  std::string why_;
};

}  // namespace

bool Json::Has(const std::string& key) const {
  for (const auto& m : members) {
    if (m.first == key) return true;
  }
  return false;
}

const Json& Json::operator[](const std::string& key) const {
  for (const auto& m : members) {
    if (m.first == key) return m.second;
  }
  return kNullJson;
}

const Json& Json::operator[](std::size_t index) const {
  return index < items.size() ? items[index] : kNullJson;
}

bool ParseJson(const std::string& text, Json* out, std::string* error) {
  *out = Json();
  return Parser(text).Document(out, error);
}

}  // namespace probe_test
