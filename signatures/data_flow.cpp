// Where the loaded structure pointer is held: registers and stack slots,
// tracked instruction by instruction along each path.
#include "signatures/data_flow.h"

#include <algorithm>
#include <utility>

#include "signatures/code_walk.h"
#include "signatures/signature.h"

namespace quorvane::signatures {
namespace {

// Instructions decoded per list load, over all its paths.
constexpr int kBudget = 512;
constexpr std::uint8_t kCallerSaved = RegBit(Reg::kEax) | RegBit(Reg::kEcx) | RegBit(Reg::kEdx);

struct Slot {
  Reg base;  // kEsp or kEbp
  std::uint32_t disp;
};

struct Holders {
  std::uint8_t regs = 0;
  std::vector<Slot> slots;

  bool Empty() const { return regs == 0 && slots.empty(); }
  bool Has(Reg r) const { return (regs & RegBit(r)) != 0; }
  void SetReg(Reg r, bool held) {
    regs = static_cast<std::uint8_t>(held ? regs | RegBit(r) : regs & ~RegBit(r));
  }
  auto Find(Reg base, std::uint32_t disp) {
    return std::find_if(slots.begin(), slots.end(),
                        [&](const Slot& s) { return s.base == base && s.disp == disp; });
  }
  bool SlotHeld(Reg base, std::uint32_t disp) { return Find(base, disp) != slots.end(); }
  void SetSlot(Reg base, std::uint32_t disp, bool held) {
    auto at = Find(base, disp);
    if (held && at == slots.end()) slots.push_back({base, disp});
    if (!held && at != slots.end()) slots.erase(at);
  }
  void Drop(Reg base) {
    slots.erase(std::remove_if(slots.begin(), slots.end(), [&](const Slot& s) { return s.base == base; }),
                slots.end());
  }
  // esp moved by `delta` bytes (modulo 2^32): the same slots lie at other
  // displacements; those now below esp are gone.
  void MoveEsp(std::uint32_t delta) {
    for (Slot& s : slots) {
      if (s.base == Reg::kEsp) s.disp -= delta;
    }
    slots.erase(std::remove_if(slots.begin(), slots.end(),
                               [](const Slot& s) { return s.base == Reg::kEsp && s.disp >= 0x80000000u; }),
                slots.end());
  }
};

bool IsStackSlot(const Operand& o) {
  return o.kind == Operand::Kind::kMem && IsStackAccess(o) && o.index == Reg::kNone;
}

// Whether operand `o` (a source) holds the pointer.
bool Holds(Holders& h, const Operand& o, ListAt list) {
  switch (o.kind) {
    case Operand::Kind::kReg: return o.size == 4 && h.Has(o.reg);
    case Operand::Kind::kMem:
      if (o.size != 4) return false;
      if (IsStackSlot(o)) return h.SlotHeld(o.base, o.disp);
      return o.base == Reg::kNone && SlotType(o.disp, list.base, list.list) >= 0;
    default: return false;
  }
}

// The moves that carry the pointer; true when `in` was one of them.
bool Move(const Insn& in, Holders& h, ListAt list) {
  const Operand& a = in.operands[0];
  const Operand& b = in.operands[1];
  switch (in.op) {
    case Op::kMov:
      if (a.kind == Operand::Kind::kReg && a.size == 4) {
        h.SetReg(a.reg, Holds(h, b, list));
        return true;
      }
      if (IsStackSlot(a)) {
        h.SetSlot(a.base, a.disp, a.size == 4 && Holds(h, b, list));
        return true;
      }
      return a.kind == Operand::Kind::kMem;  // a store elsewhere changes nothing tracked
    case Op::kPush:
      if (a.size != 4) return false;
      {
        const bool held = Holds(h, a, list);
        h.MoveEsp(0u - 4u);
        h.SetSlot(Reg::kEsp, 0, held);
      }
      return true;
    case Op::kPop:
      if (a.kind != Operand::Kind::kReg || a.size != 4) return false;
      {
        const bool held = h.SlotHeld(Reg::kEsp, 0);
        h.MoveEsp(4);
        h.SetReg(a.reg, held);
      }
      return true;
    case Op::kAdd:
    case Op::kSub:
      if (a.kind != Operand::Kind::kReg || a.reg != Reg::kEsp || b.kind != Operand::Kind::kImm) {
        return false;
      }
      h.MoveEsp(in.op == Op::kAdd ? b.imm : 0u - b.imm);
      return true;
    default:
      return false;
  }
}

void Transfer(const Insn& in, Holders& h, ListAt list) {
  if (in.op == Op::kCall) {
    // The callee keeps ebx, esi, edi, ebp and the caller's frame; how far it
    // moves esp is its own convention.
    h.regs &= static_cast<std::uint8_t>(~kCallerSaved);
    h.Drop(Reg::kEsp);
    return;
  }
  if (Move(in, h, list)) return;
  h.regs &= static_cast<std::uint8_t>(~in.writes);
  if (in.writes & RegBit(Reg::kEsp)) h.Drop(Reg::kEsp);
  if (in.writes & RegBit(Reg::kEbp)) h.Drop(Reg::kEbp);
}

bool Dereferences(const Insn& in, const Holders& h, std::uint32_t data_offset) {
  const Operand* m = MemoryOperand(in);
  return m != nullptr && in.op != Op::kLea && in.disp_size != 0 && m->size == 4 &&
         m->base != Reg::kNone && !IsStackAccess(*m) && m->index == Reg::kNone &&
         h.Has(m->base) && m->disp == data_offset;
}

bool EndsPath(const Insn& in) {
  return in.op == Op::kReturn || in.op == Op::kStop ||
         (in.op == Op::kJump && !in.relative) || (in.op == Op::kPadding && in.bytes[0] == 0xCC);
}

}  // namespace

void FollowListLoad(Decoder& decoder, const PeImage& image, const Insn& load, ListAt list,
                    std::uint32_t data_offset, std::vector<std::uint32_t>* out) {
  Holders start;
  start.SetReg(load.operands[0].reg, true);
  std::vector<std::pair<std::uint32_t, Holders>> paths{{load.rva + load.size, start}};
  std::vector<std::uint32_t> visited;
  int budget = kBudget;
  while (!paths.empty() && budget > 0) {
    std::uint32_t at = paths.back().first;
    Holders h = std::move(paths.back().second);
    paths.pop_back();
    Insn in;
    while (budget-- > 0 && !h.Empty()) {
      const auto seen = std::lower_bound(visited.begin(), visited.end(), at);
      if (seen != visited.end() && *seen == at) break;
      visited.insert(seen, at);
      if (!DecodeAt(decoder, image, at, &in) || EndsPath(in)) break;
      if (Dereferences(in, h, data_offset)) out->push_back(in.rva);
      if (in.op == Op::kBranch && in.relative) paths.emplace_back(in.target, h);
      Transfer(in, h, list);
      at = in.op == Op::kJump ? in.target : at + in.size;
    }
  }
}

}  // namespace quorvane::signatures
