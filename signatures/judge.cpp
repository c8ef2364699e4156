// The agreement rule, offset by offset.
#include "signatures/judge.h"

#include <cstdio>
#include <map>

namespace quorvane::signatures {
namespace {

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::string Places(const SignatureMatch& m) {
  std::string text;
  for (const std::uint32_t rva : m.rvas) text += (text.empty() ? "" : ", ") + Hex(rva);
  if (m.count > m.rvas.size()) text += ", ...";
  return text;
}

// The value most signatures of one offset read, and how many read it.
std::pair<std::uint32_t, std::size_t> Majority(const std::map<std::uint32_t, std::size_t>& reads) {
  std::pair<std::uint32_t, std::size_t> best{0, 0};
  for (const auto& [value, count] : reads) {
    if (count > best.second) best = {value, count};
  }
  return best;
}

std::string WhyNot(const OffsetVerdict& v, const std::map<std::uint32_t, std::size_t>& reads) {
  if (v.signatures == 0) return "no signature gives it";
  if (v.matched == 0) {
    return v.signatures == 1 ? "its signature did not match exactly once"
                             : "none of its " + std::to_string(v.signatures) + " signatures matched exactly once";
  }
  if (v.disagreed == 0 && v.agreed > 0 && reads.begin()->first == 0) {
    return "its signatures read 0, which the module takes for a missing offset";
  }
  if (v.disagreed > 0) {
    std::string text = "its signatures disagree:";
    for (const auto& [value, count] : reads) {
      text += " " + std::to_string(count) + " read " + Hex(value) + ",";
    }
    text.pop_back();
    return text;
  }
  return "only 1 of its " + std::to_string(v.signatures) + " signatures matched exactly once (2 must agree)";
}

}  // namespace

Verdict Judge(const std::vector<Signature>& signatures, const std::vector<SignatureMatch>& matches) {
  Verdict verdict;
  std::map<std::uint32_t, std::size_t> reads[kOffsetCount];
  for (std::size_t i = 0; i < signatures.size() && i < matches.size(); ++i) {
    const int o = static_cast<int>(signatures[i].offset);
    const SignatureMatch& m = matches[i];
    ++verdict.per[o].signatures;
    if (m.count == 0) verdict.failures.push_back({i, "matched nowhere"});
    if (m.count > 1) {
      verdict.failures.push_back({i, "matched " + std::to_string(m.count) + " times (at RVA " + Places(m) + ")"});
    }
    if (m.count == 1) ++reads[o][m.value];
  }
  verdict.answered = true;
  for (int o = 0; o < kOffsetCount; ++o) {
    OffsetVerdict& v = verdict.per[o];
    const auto [value, count] = Majority(reads[o]);
    for (const auto& entry : reads[o]) v.matched += entry.second;
    v.agreed = count;
    v.disagreed = v.matched - count;
    const std::size_t needed = v.signatures >= 2 ? 2 : 1;
    v.given = v.signatures > 0 && v.agreed >= needed && v.disagreed == 0 && value != 0;
    if (v.given) {
      v.value = value;
      verdict.offsets.value[o] = value;
    } else {
      v.why = WhyNot(v, reads[o]);
      verdict.answered = false;
    }
  }
  for (std::size_t i = 0; i < signatures.size() && i < matches.size(); ++i) {
    const int o = static_cast<int>(signatures[i].offset);
    if (matches[i].count == 1 && verdict.per[o].disagreed > 0) {
      verdict.failures.push_back({i, "reads " + Hex(matches[i].value) + " (its offset's signatures disagree)"});
    }
  }
  return verdict;
}

}  // namespace quorvane::signatures
