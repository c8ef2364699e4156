// Matching signatures in a (new) module: one scan of its code sections for
// all of them, each place where a pattern's bytes match checked by decoding
// (every instruction where the pattern has one, of the length it has there,
// the reference's operand where the pattern keeps it), and the value read
// from the reference instruction.
#ifndef QUORVANE_SIGNATURES_MATCH_H
#define QUORVANE_SIGNATURES_MATCH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "signatures/pe_image.h"
#include "signatures/signature.h"

namespace quorvane::signatures {

// Places kept per signature (the count goes on).
constexpr std::size_t kMaxMatchPlaces = 8;

struct SignatureMatch {
  std::size_t count = 0;            // places where it matched
  std::vector<std::uint32_t> rvas;  // of the reference instruction, the first kMaxMatchPlaces
  std::uint32_t value = 0;          // the offset read at the first place
};

struct Matching {
  bool ok = false;
  std::string error;  // when the decoder cannot be opened
  std::vector<SignatureMatch> matches;  // one per signature, in order
};

Matching MatchSignatures(const PeImage& image, const std::vector<Signature>& signatures);

}  // namespace quorvane::signatures

#endif
