// Following a structure pointer loaded from the list through the code that
// uses it: which instructions dereference it at a given displacement.
#ifndef QUORVANE_SIGNATURES_DATA_FLOW_H
#define QUORVANE_SIGNATURES_DATA_FLOW_H

#include <cstdint>
#include <vector>

#include "signatures/pe_image.h"
#include "signatures/x86.h"

namespace quorvane::signatures {

// What a list slot is: its address in the image as loaded.
struct ListAt {
  std::uint32_t base = 0;
  std::uint32_t list = 0;
};

// `load` is `mov r32, [slot]` with a list slot's address. Walks forward from
// it along every path (branches both ways, jumps to their targets, over
// calls), for a bounded number of instructions, and appends to `out` the RVA
// of each instruction that reads or writes 32 bits at [reg + data_offset]
// with `reg` holding the loaded pointer on the path taken. A path ends at a
// return, an indirect jump, an undecodable byte, or where nothing holds the
// pointer any more.
void FollowListLoad(Decoder& decoder, const PeImage& image, const Insn& load, ListAt list,
                    std::uint32_t data_offset, std::vector<std::uint32_t>* out);

}  // namespace quorvane::signatures

#endif
