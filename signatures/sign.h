// Making a signature for each reference: the reference instruction with the
// instructions around it, grown a whole instruction at a time, before and
// after, until the pattern matches exactly once in the module's code.
//
// What is left open (wildcards), so that the pattern survives a release that
// adds fields, globals or code:
//  - the offset's own bytes;
//  - every relocated word, and every 32-bit displacement or immediate that
//    holds an address inside the image (globals move);
//  - the displacement of every relative call and jump (code added before
//    the callee moves it; a field's displacement growing from 1 to 4 bytes
//    moves a short jump over it);
//  - the displacement of every memory operand through a register other than
//    esp and ebp (a structure's field: fields added before it move it), and
//    its length with it: 1 or 4 bytes, the ModRM's mod bits following.
// Stack displacements, immediates that are no addresses, opcodes and
// registers stay: they are what the function does.
#ifndef QUORVANE_SIGNATURES_SIGN_H
#define QUORVANE_SIGNATURES_SIGN_H

#include <string>
#include <vector>

#include "signatures/pe_image.h"
#include "signatures/references.h"
#include "signatures/signature.h"
#include "signatures/x86.h"

namespace quorvane::signatures {

struct NotSigned {
  Reference reference;
  std::string why;
};

// Signatures per offset: enough to outvote a stray match, few enough that
// signing and matching stay quick where an offset is used everywhere.
constexpr std::size_t kMaxPerOffset = 32;

struct Signing {
  bool ok = false;
  std::string error;  // when the decoder cannot be opened
  std::vector<Signature> signatures;  // by offset; at most kMaxPerOffset each
  std::vector<NotSigned> not_signed;
  // References not tried, per offset: it had kMaxPerOffset signatures, or
  // four batches of references spread over the code had been tried.
  std::size_t left_out[kOffsetCount] = {};
};

// Tries the references of each offset in batches spread over the code
// (the middle one first, then the quarters, ...) until it has kMaxPerOffset
// signatures.
Signing MakeSignatures(const PeImage& image, const std::vector<Reference>& references);

// The pattern instruction for `insn` of `image`, wildcarded as above; `ref`
// when `insn` is the reference instruction (its offset's field is open).
PatternInsn ToPatternInsn(const Insn& insn, const PeImage& image, const Reference* ref);

}  // namespace quorvane::signatures

#endif
