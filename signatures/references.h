// Finding the instructions in a module's code that use a profile's offsets,
// given a profile known to be right for it.
//
//  - ObjectAddressList and TextBufferAddress: a displacement or immediate
//    that holds base + ObjectAddressList + 4 x k (k a type index, 0 to 80)
//    or base + TextBufferAddress. The candidates are the relocated words where
//    the image has a relocation table, every word of the code otherwise; an
//    instruction is found around each. An address in a memory operand counts
//    only without a base register ([reg + address] may point anywhere), or
//    with the index as its base too ([reg + reg*1 + address]: an index
//    scaled by 2, as compilers write it).
//  - ObjectDataOffset: a displacement equal to it, 32 bits wide, with no
//    index, where its base register holds a structure pointer loaded from
//    the list. The data is followed forward from each list load, through
//    register moves, stack spills and reloads, branches and calls (which
//    keep only the callee-saved registers and the frame's slots). A stack
//    access ([esp+x], [ebp+x]) is never a reference.
#ifndef QUORVANE_SIGNATURES_REFERENCES_H
#define QUORVANE_SIGNATURES_REFERENCES_H

#include <cstdint>
#include <string>
#include <vector>

#include "signatures/pe_image.h"
#include "signatures/signature.h"

namespace quorvane::signatures {

struct Reference {
  Offset offset = Offset::kObjectAddressList;
  FieldKind field = FieldKind::kDisplacement;
  std::int32_t type = -1;  // ObjectAddressList: the slot's type index
  std::uint32_t rva = 0;   // of the instruction
};

struct ReferenceSearch {
  bool ok = false;
  std::string error;  // when the decoder cannot be opened
  std::vector<Reference> references;  // by offset, then RVA
  // Operand candidates around which no instruction could be told apart.
  std::size_t undecided = 0;
};

ReferenceSearch FindReferences(const PeImage& image, const Offsets& offsets);

}  // namespace quorvane::signatures

#endif
