// Decoding a code section around one place. x86 cannot be decoded
// backwards, but decoding self-synchronises: started at several points
// before a place, the decodings soon meet on the same instruction
// boundaries. Where they agree, the boundaries are trusted.
#ifndef QUORVANE_SIGNATURES_CODE_WALK_H
#define QUORVANE_SIGNATURES_CODE_WALK_H

#include <cstdint>
#include <vector>

#include "signatures/pe_image.h"
#include "signatures/x86.h"

namespace quorvane::signatures {

// Decodes the instruction at `rva` of a code section of `image`.
bool DecodeAt(Decoder& decoder, const PeImage& image, std::uint32_t rva, Insn* out);

// The instruction whose displacement or immediate is the 32-bit word at
// `word_rva`, as most decodings from several start points before it see it
// (at least two agree, or one from the start of the section). False when
// none does or as many see another instruction there.
bool FindInsnWithWord(Decoder& decoder, const PeSection& section, std::uint32_t word_rva,
                      Insn* out);

// Up to `count` instructions that end exactly where the instruction at `rva`
// starts, nearest last: those on which two decodings from different start
// points agree (all of them when one decoding starts at the section's start).
std::vector<Insn> InsnsBefore(Decoder& decoder, const PeSection& section, std::uint32_t rva,
                              std::size_t count);

// Up to `count` instructions from `rva` on, in order, stopping after a return
// and before an undecodable byte or the end of the section.
std::vector<Insn> InsnsFrom(Decoder& decoder, const PeSection& section, std::uint32_t rva,
                            std::size_t count);

}  // namespace quorvane::signatures

#endif
