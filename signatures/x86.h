// 32-bit x86 instructions as the signature code sees them, decoded by
// Capstone: where each field of the encoding lies, what the operands are,
// where control goes next and which registers change. Nothing of Capstone
// shows outside x86.cpp.
#ifndef QUORVANE_SIGNATURES_X86_H
#define QUORVANE_SIGNATURES_X86_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvane::signatures {

// The eight general registers, in encoding order; sub-registers (al, ax)
// count as their whole register.
enum class Reg : std::uint8_t { kEax, kEcx, kEdx, kEbx, kEsp, kEbp, kEsi, kEdi, kNone };
constexpr std::uint8_t RegBit(Reg r) {
  return static_cast<std::uint8_t>(r == Reg::kNone ? 0u : 1u << static_cast<unsigned>(r));
}

// What the data flow and the signatures tell apart.
enum class Op : std::uint8_t {
  kOther,
  kMov,    // mov (not movzx/movsx: those widen)
  kLea,
  kPush,
  kPop,
  kAdd,
  kSub,
  kCall,   // any call
  kJump,   // jmp, relative or indirect
  kBranch, // conditional: jcc, jecxz, loop
  kReturn,
  kPadding,  // nop, int3, or lea r, [r]: filler between functions
  kStop,     // hlt, ud2: control goes no further
};

struct Operand {
  enum class Kind : std::uint8_t { kNone, kReg, kMem, kImm } kind = Kind::kNone;
  std::uint8_t size = 0;  // bytes
  Reg reg = Reg::kNone;   // kReg
  Reg base = Reg::kNone;  // kMem
  Reg index = Reg::kNone;
  std::uint32_t disp = 0;  // kMem, sign-extended to 32 bits
  std::uint32_t imm = 0;   // kImm (a branch's target RVA for a relative branch)
  bool read = false;
  bool written = false;
};

struct Insn {
  std::uint32_t rva = 0;
  std::uint8_t size = 0;
  std::uint8_t bytes[16] = {};
  // Where the ModRM byte, the displacement and the immediate lie in `bytes`
  // (offset 0: there is none; a relative branch's displacement is its
  // immediate).
  std::uint8_t modrm_at = 0;
  std::uint8_t disp_at = 0;
  std::uint8_t disp_size = 0;
  std::uint8_t imm_at = 0;
  std::uint8_t imm_size = 0;
  Op op = Op::kOther;
  bool relative = false;  // a branch or call by displacement; its target RVA in `target`
  std::uint32_t target = 0;
  std::uint8_t operand_count = 0;
  Operand operands[2];
  std::uint8_t writes = 0;  // RegBit of every register written, implicitly too
};

// What a job that cannot open its decoder says.
inline constexpr const char* kNoDecoder = "the x86 decoder could not be opened (out of memory)";

// A Capstone handle for one job: opened by the constructor, closed by the
// destructor. It remembers the last instructions decoded by where their
// bytes lie, so that the bytes must not change while it lives (one job
// reads one image).
class Decoder {
 public:
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // False when Capstone could not be opened (out of memory).
  bool ok() const { return insn_ != nullptr; }
  // Decodes the instruction at code[0..size), which lies at `rva`. False for
  // bytes that are no valid instruction or end too early.
  bool Decode(const std::uint8_t* code, std::size_t size, std::uint32_t rva, Insn* out);
  // The same instruction as remembered, valid until the next decoding; null
  // where Decode gives false.
  const Insn* Decoded(const std::uint8_t* code, std::size_t size, std::uint32_t rva);
  // The instruction as Intel syntax, addressed as at `address`
  // ("mov eax, dword ptr [eax + 0x30]"); "" when it does not decode.
  std::string Text(const std::uint8_t* code, std::size_t size, std::uint32_t address);

 private:
  // Which bytes a remembered decoding was of (their address, how many of
  // them up to 16, their RVA), whether they decoded, and where the entry's
  // instruction is kept: decoded_[place - 1] (0: the entry is unused).
  struct Key {
    const std::uint8_t* code;
    std::uint32_t rva;
    std::uint16_t place;
    std::uint8_t size;
    bool ok;
  };
  bool DecodeNow(const std::uint8_t* code, std::size_t size, std::uint32_t rva, Insn* out);

  std::size_t handle_ = 0;
  void* insn_ = nullptr;
  // Direct-mapped by the bytes' address, made at the first decoding; an
  // entry has a place in `decoded_` from its first use on.
  std::unique_ptr<Key[]> keys_;
  std::vector<Insn> decoded_;
};

// The field of an instruction that holds a value: its displacement or its
// immediate, as offset and size in its bytes (size 0: no such field).
struct Field {
  std::uint8_t at = 0;
  std::uint8_t size = 0;
};
inline Field Displacement(const Insn& insn) { return {insn.disp_at, insn.disp_size}; }
inline Field Immediate(const Insn& insn) { return {insn.imm_at, insn.imm_size}; }

// The field's bytes as a little-endian value, sign-extended to 32 bits.
std::uint32_t FieldValue(const std::uint8_t* bytes, Field field);

// The memory operand of `insn`, or null.
const Operand* MemoryOperand(const Insn& insn);

// Whether the memory operand is addressed from the stack pointer or the
// frame pointer: a local variable or an argument, never a structure's field.
bool IsStackAccess(const Operand& mem);

}  // namespace quorvane::signatures

#endif
