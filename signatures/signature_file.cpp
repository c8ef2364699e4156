// Writing and reading the signature file, line by line.
#include "signatures/signature_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quorvane::signatures {
namespace {

constexpr const char* kMagic = "quorvane-signatures";
constexpr const char* kFieldNames[] = {"disp", "imm"};

std::string Hex8(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string HexByte(std::uint8_t b) {
  static const char kDigits[] = "0123456789ABCDEF";
  return {kDigits[b >> 4], kDigits[b & 15]};
}

// Printable ASCII as it is; quotes, backslashes and every other byte escaped.
std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<std::uint8_t>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20 || b >= 0x7F) {
      out += "\\x" + HexByte(b);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string PatternText(const Pattern& p) {
  std::string out;
  for (std::size_t i = 0; i < p.insns.size(); ++i) {
    const PatternInsn& insn = p.insns[i];
    if (i > 0) out += ' ';
    if (i == p.ref) out += '*';
    const std::size_t group_end = insn.group >= 0 ? GroupEnd(insn) : 0;
    for (std::size_t k = 0; k < insn.bytes.size(); ++k) {
      if (insn.group >= 0 && k == static_cast<std::size_t>(insn.group)) out += '(';
      out += insn.wild[k] ? "??" : HexByte(insn.bytes[k]);
      if (insn.group >= 0 && k + 1 == group_end) out += ')';
    }
  }
  return out;
}

std::string ReadsText(const Signature& s) {
  std::string text = kFieldNames[static_cast<int>(s.field)];
  if (s.offset != Offset::kObjectDataOffset) text += " - base";
  if (s.offset == Offset::kObjectAddressList) text += " - 4*" + std::to_string(s.type);
  return text;
}

// --- reading ------------------------------------------------------------------

struct Line {
  std::size_t number;
  std::string text;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex8(const std::string& s, std::uint32_t* value) {
  if (s.size() != 10 || s.compare(0, 2, "0x") != 0) return false;
  *value = 0;
  for (std::size_t i = 2; i < 10; ++i) {
    const int d = HexDigit(s[i]);
    if (d < 0) return false;
    *value = *value << 4 | static_cast<std::uint32_t>(d);
  }
  return true;
}

// A decimal number up to `limit`, written as the writer writes it.
bool ParseDecimal(const std::string& s, std::uint32_t limit, std::uint32_t* value) {
  if (s.empty() || s.size() > 10 || (s.size() > 1 && s[0] == '0')) return false;
  std::uint64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > limit) return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

bool ParseQuoted(const std::string& s, std::string* out) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
  out->clear();
  for (std::size_t i = 1; i + 1 < s.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    if (b < 0x20 || b >= 0x7F || s[i] == '"') return false;
    if (s[i] != '\\') {
      *out += s[i];
    } else if (i + 2 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      *out += s[++i];
    } else if (i + 4 < s.size() && s[i + 1] == 'x' && HexDigit(s[i + 2]) >= 0 && HexDigit(s[i + 3]) >= 0) {
      const auto c = static_cast<std::uint8_t>(HexDigit(s[i + 2]) << 4 | HexDigit(s[i + 3]));
      if (c >= 0x20 && c < 0x7F) return false;  // printable bytes stand as they are
      *out += static_cast<char>(c);
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> words;
  std::size_t from = 0;
  for (;;) {
    const std::size_t space = s.find(' ', from);
    words.push_back(s.substr(from, space - from));
    if (space == std::string::npos) return words;
    from = space + 1;
  }
}

bool ParseOffsetName(const std::string& s, Offset* offset) {
  for (int o = 0; o < kOffsetCount; ++o) {
    if (s == OffsetName(static_cast<Offset>(o))) {
      *offset = static_cast<Offset>(o);
      return true;
    }
  }
  return false;
}

// One pattern instruction: hex pairs and "??", a group in parentheses.
bool ParseToken(const std::string& token, PatternInsn* insn) {
  bool in_group = false, had_group = false;
  insn->bytes.reserve(token.size() / 2);
  insn->wild.reserve(token.size() / 2);
  for (std::size_t i = 0; i < token.size();) {
    if (token[i] == '(' || token[i] == ')') {
      if ((token[i] == '(') == in_group || (token[i] == '(' && had_group)) return false;
      if (token[i] == '(') insn->group = static_cast<int>(insn->bytes.size());
      in_group = token[i] == '(';
      had_group = true;
      ++i;
      continue;
    }
    if (i + 1 >= token.size()) return false;
    if (token.compare(i, 2, "??") == 0) {
      insn->bytes.push_back(0);
      insn->wild.push_back(1);
    } else {
      const int hi = HexDigit(token[i]), lo = HexDigit(token[i + 1]);
      if (hi < 0 || lo < 0) return false;
      insn->bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
      insn->wild.push_back(0);
    }
    i += 2;
  }
  return !in_group;
}

bool ParsePattern(const std::string& s, Pattern* p) {
  bool have_ref = false;
  std::vector<std::string> tokens = Split(s);
  p->insns.reserve(std::min(tokens.size(), kMaxPatternInsns + 1));
  for (std::string& token : tokens) {
    if (!token.empty() && token[0] == '*') {
      if (have_ref) return false;
      have_ref = true;
      p->ref = p->insns.size();
      token.erase(0, 1);
    }
    PatternInsn insn;
    if (token.empty() || !ParseToken(token, &insn)) return false;
    p->insns.push_back(std::move(insn));
    if (p->insns.size() > kMaxPatternInsns) return false;
  }
  // A group's closing parenthesis must fall right after its displacement:
  // writing the pattern again gives the same text.
  return have_ref && WellFormed(*p) && PatternText(*p) == s;
}

// "disp - base - 4*N", "imm - base", "disp": as the signature's offset reads.
bool ParseReads(const std::string& s, Signature* sig) {
  const std::vector<std::string> w = Split(s);
  if (w[0] == kFieldNames[0]) {
    sig->field = FieldKind::kDisplacement;
  } else if (w[0] == kFieldNames[1] && sig->offset != Offset::kObjectDataOffset) {
    sig->field = FieldKind::kImmediate;
  } else {
    return false;
  }
  switch (sig->offset) {
    case Offset::kObjectDataOffset: return w.size() == 1;
    case Offset::kTextBufferAddress: return w.size() == 3 && w[1] == "-" && w[2] == "base";
    case Offset::kObjectAddressList: {
      std::uint32_t type = 0;
      if (w.size() != 5 || w[1] != "-" || w[2] != "base" || w[3] != "-" || w[4].compare(0, 2, "4*") != 0 ||
          !ParseDecimal(w[4].substr(2), static_cast<std::uint32_t>(kMaxTypeIndex), &type)) {
        return false;
      }
      sig->type = static_cast<std::int32_t>(type);
      return true;
    }
  }
  return false;
}

bool ParseFileVersion(const std::string& s, FileVersion* v) {
  if (s == "none") return true;
  const std::size_t a = s.find('.'), b = s.find('.', a + 1), c = s.find('.', b + 1);
  if (a == std::string::npos || b == std::string::npos || c == std::string::npos) return false;
  const std::string parts[4] = {s.substr(0, a), s.substr(a + 1, b - a - 1), s.substr(b + 1, c - b - 1),
                                s.substr(c + 1)};
  for (int i = 0; i < 4; ++i) {
    std::uint32_t n = 0;
    if (!ParseDecimal(parts[i], 0xFFFF, &n)) return false;
    v->part[i] = static_cast<std::uint16_t>(n);
  }
  v->present = true;
  return true;
}

bool ParseTypes(const std::string& s, std::vector<std::int32_t>* types) {
  if (s.empty()) return true;
  for (const std::string& word : Split(s)) {
    std::uint32_t t = 0;
    if (!ParseDecimal(word, static_cast<std::uint32_t>(kMaxTypeIndex), &t)) return false;
    if (!types->empty() && static_cast<std::int32_t>(t) <= types->back()) return false;
    types->push_back(static_cast<std::int32_t>(t));
  }
  return true;
}

bool ParseOffsets(const std::string& s, Offsets* offsets) {
  const std::vector<std::string> w = Split(s);
  if (w.size() != kOffsetCount) return false;
  for (int o = 0; o < kOffsetCount; ++o) {
    const std::string key = std::string(OffsetName(static_cast<Offset>(o))) + "=";
    if (w[o].compare(0, key.size(), key) != 0 || !ParseHex8(w[o].substr(key.size()), &offsets->value[o])) {
      return false;
    }
  }
  return true;
}

class Reader {
 public:
  explicit Reader(const std::string& text) {
    std::size_t number = 0, from = 0;
    while (from < text.size()) {
      std::size_t end = text.find('\n', from);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(from, end - from);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      ++number;
      if (!line.empty() && line[0] != '#') lines_.push_back({number, line});
      from = end + 1;
    }
    last_ = number;
  }

  bool AtEnd() const { return next_ == lines_.size(); }
  std::string Peek() const { return AtEnd() ? "" : lines_[next_].text; }

  // The next line, which must begin with `key` and a space (or be `key`
  // alone); its rest in *rest.
  bool Take(const char* key, std::string* rest) {
    if (AtEnd()) return Fail(last_ + 1, std::string("the file ends before \"") + key + "\"");
    const Line& line = lines_[next_];
    const std::size_t n = std::strlen(key);
    if (line.text.compare(0, n, key) != 0 || (line.text.size() > n && line.text[n] != ' ')) {
      return Fail(line.number, std::string("expected \"") + key + "\", found \"" + line.text.substr(0, 40) + "\"");
    }
    *rest = line.text.size() > n ? line.text.substr(n + 1) : "";
    if (line.text.size() == n + 1) return Fail(line.number, std::string("nothing after \"") + key + "\"");
    ++next_;
    return true;
  }

  // Takes `key` and parses its rest; `what` names what it should have been.
  template <typename Parse>
  bool Field(const char* key, const char* what, Parse parse) {
    std::string rest;
    if (!Take(key, &rest)) return false;
    return parse(rest) || Fail(lines_[next_ - 1].number, std::string("\"") + key + "\" needs " + what);
  }

  bool Fail(std::size_t number, const std::string& what) {
    if (error_.empty()) error_ = "line " + std::to_string(number) + ": " + what;
    return false;
  }
  std::size_t LineNumber() const { return AtEnd() ? last_ + 1 : lines_[next_].number; }
  const std::string& error() const { return error_; }

 private:
  std::vector<Line> lines_;
  std::size_t next_ = 0;
  std::size_t last_ = 0;
  std::string error_;
};

bool ReadVersion(Reader& in) {
  const std::size_t number = in.LineNumber();
  const std::string magic = std::string(kMagic) + " ";
  if (in.Peek().compare(0, magic.size(), magic) != 0) {
    return in.Fail(number, "not a signature file (it must begin with \"" + magic +
                               std::to_string(kSignatureFileVersion) + "\")");
  }
  std::string rest;
  std::uint32_t version = 0;
  if (!in.Take(kMagic, &rest)) return false;
  if (!ParseDecimal(rest, 0xFFFFFFFFu, &version) || version != kSignatureFileVersion) {
    return in.Fail(number, "version \"" + rest.substr(0, 20) +
                               "\" of the signature file format is not known (this reads version " +
                               std::to_string(kSignatureFileVersion) + ")");
  }
  return true;
}

bool ReadHeader(Reader& in, SignatureFile* f) {
  return ReadVersion(in) &&
         in.Field("module", "a quoted file name", [&](const std::string& s) { return ParseQuoted(s, &f->module); }) &&
         in.Field("section", "a quoted section name", [&](const std::string& s) { return ParseQuoted(s, &f->section); }) &&
         in.Field("offsets", "the three offsets as ObjectAddressList=0x00001040, eight hex digits each",
                  [&](const std::string& s) { return ParseOffsets(s, &f->offsets); }) &&
         in.Field("time-stamp", "0x and eight hex digits", [&](const std::string& s) { return ParseHex8(s, &f->time_date_stamp); }) &&
         in.Field("file-version", "A.B.C.D or none", [&](const std::string& s) { return ParseFileVersion(s, &f->file_version); }) &&
         in.Field("types", "ascending type indices from 0 to 80", [&](const std::string& s) { return ParseTypes(s, &f->types); });
}

bool ReadSignature(Reader& in, Signature* s) {
  return in.Field("signature", "an offset's name", [&](const std::string& t) { return ParseOffsetName(t, &s->offset); }) &&
         in.Field("  reads", "how the offset is read (see docs/SIGNATURES.md)", [&](const std::string& t) { return ParseReads(t, s); }) &&
         in.Field("  rva", "0x and eight hex digits", [&](const std::string& t) { return ParseHex8(t, &s->rva); }) &&
         in.Field("  instruction", "a quoted instruction", [&](const std::string& t) { return ParseQuoted(t, &s->instruction); }) &&
         in.Field("  pattern", "instructions of hex bytes and ?? with one * (see docs/SIGNATURES.md)",
                  [&](const std::string& t) { return ParsePattern(t, &s->pattern); });
}

}  // namespace

std::string WriteSignatureFile(const SignatureFile& f) {
  std::string out = std::string(kMagic) + " " + std::to_string(kSignatureFileVersion) + "\n";
  out += "# Made by quorvane-probe sign; the format: docs/SIGNATURES.md\n";
  out += "module " + Quote(f.module) + "\n";
  out += "section " + Quote(f.section) + "\n";
  out += "offsets";
  for (int o = 0; o < kOffsetCount; ++o) {
    out += std::string(" ") + OffsetName(static_cast<Offset>(o)) + "=" + Hex8(f.offsets.value[o]);
  }
  out += "\ntime-stamp " + Hex8(f.time_date_stamp) + "\n";
  out += "file-version " + (f.file_version.present ? FileVersionText(f.file_version) : "none") + "\n";
  out += "types";
  for (const std::int32_t t : f.types) out += " " + std::to_string(t);
  out += "\n";
  for (const Signature& s : f.signatures) {
    out += "\nsignature ";
    out += OffsetName(s.offset);
    out += "\n  reads ";
    out += ReadsText(s);
    out += "\n  rva ";
    out += Hex8(s.rva);
    out += "\n  instruction ";
    out += Quote(s.instruction);
    out += "\n  pattern ";
    out += PatternText(s.pattern);
    out += '\n';
  }
  return out;
}

SignatureFileReading ReadSignatureFile(const std::string& text) {
  SignatureFileReading result;
  Reader in(text);
  bool ok = ReadHeader(in, &result.file);
  while (ok && !in.AtEnd()) {
    Signature s;
    ok = ReadSignature(in, &s);
    if (ok) result.file.signatures.push_back(std::move(s));
  }
  if (!ok) {
    result.error = in.error();
    result.file = SignatureFile{};
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace quorvane::signatures
