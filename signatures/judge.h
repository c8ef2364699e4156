// Judging the matches: which offsets the new module's code gives, and why
// the others are not given. A signature counts only when it matched exactly
// once. An offset with two or more signatures is given when at least two of
// them agree and none reads another value; one with a single signature when
// that one matched. Never an answer from signatures that disagree, and
// never 0 (the module reads an offset of 0 as missing).
#ifndef QUORVANE_SIGNATURES_JUDGE_H
#define QUORVANE_SIGNATURES_JUDGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "signatures/match.h"
#include "signatures/signature.h"

namespace quorvane::signatures {

struct OffsetVerdict {
  std::size_t signatures = 0;  // made for it when signed
  std::size_t matched = 0;     // matched exactly once
  std::size_t agreed = 0;      // of those, read the value most read
  std::size_t disagreed = 0;   // read another
  bool given = false;
  std::uint32_t value = 0;  // when given
  std::string why;          // when not given
};

// A signature that gives nothing or disagrees.
struct SignatureFailure {
  std::size_t signature = 0;  // index in the file
  std::string why;  // "matched nowhere", "matched 3 times (at RVA ...)", "reads 0x30 where ..."
};

struct Verdict {
  bool answered = false;  // all three offsets given
  Offsets offsets;        // when answered
  OffsetVerdict per[kOffsetCount];
  std::vector<SignatureFailure> failures;
};

Verdict Judge(const std::vector<Signature>& signatures, const std::vector<SignatureMatch>& matches);

}  // namespace quorvane::signatures

#endif
