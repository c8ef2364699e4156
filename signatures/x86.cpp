// Capstone's x86 decoder behind the few facts the signature code uses.
#include "signatures/x86.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <cstring>

#include "readers/host_words.h"

namespace quorvane::signatures {
namespace {

Reg FullReg(unsigned r) {
  switch (r) {
    case X86_REG_EAX: case X86_REG_AX: case X86_REG_AL: case X86_REG_AH: return Reg::kEax;
    case X86_REG_ECX: case X86_REG_CX: case X86_REG_CL: case X86_REG_CH: return Reg::kEcx;
    case X86_REG_EDX: case X86_REG_DX: case X86_REG_DL: case X86_REG_DH: return Reg::kEdx;
    case X86_REG_EBX: case X86_REG_BX: case X86_REG_BL: case X86_REG_BH: return Reg::kEbx;
    case X86_REG_ESP: case X86_REG_SP: return Reg::kEsp;
    case X86_REG_EBP: case X86_REG_BP: return Reg::kEbp;
    case X86_REG_ESI: case X86_REG_SI: return Reg::kEsi;
    case X86_REG_EDI: case X86_REG_DI: return Reg::kEdi;
    default: return Reg::kNone;
  }
}

bool InGroup(const cs_detail& d, unsigned group) {
  return std::find(d.groups, d.groups + d.groups_count, group) != d.groups + d.groups_count;
}

Op Classify(const cs_insn& in, const cs_x86& x) {
  const cs_detail& d = *in.detail;
  if (InGroup(d, CS_GRP_CALL)) return Op::kCall;
  if (InGroup(d, CS_GRP_RET) || InGroup(d, CS_GRP_IRET)) return Op::kReturn;
  if (InGroup(d, CS_GRP_JUMP)) return in.id == X86_INS_JMP || in.id == X86_INS_LJMP ? Op::kJump : Op::kBranch;
  switch (in.id) {
    case X86_INS_MOV: return Op::kMov;
    case X86_INS_PUSH: return Op::kPush;
    case X86_INS_POP: return Op::kPop;
    case X86_INS_ADD: return Op::kAdd;
    case X86_INS_SUB: return Op::kSub;
    case X86_INS_NOP: case X86_INS_INT3: return Op::kPadding;
    case X86_INS_HLT: case X86_INS_UD2: return Op::kStop;
    case X86_INS_LEA: {
      const cs_x86_op& m = x.operands[1];
      const bool filler = x.op_count == 2 && x.operands[0].type == X86_OP_REG &&
                          m.type == X86_OP_MEM && m.mem.disp == 0 &&
                          (m.mem.index == X86_REG_INVALID || m.mem.index == X86_REG_EIZ) &&
                          m.mem.base == x.operands[0].reg;
      return filler ? Op::kPadding : Op::kLea;
    }
    case X86_INS_XCHG:
      return x.op_count == 2 && x.operands[0].type == X86_OP_REG &&
                     x.operands[1].type == X86_OP_REG && x.operands[0].reg == x.operands[1].reg
                 ? Op::kPadding
                 : Op::kOther;
    default: return Op::kOther;
  }
}

Operand Convert(const cs_x86_op& o) {
  Operand out;
  out.size = o.size;
  out.read = (o.access & CS_AC_READ) != 0;
  out.written = (o.access & CS_AC_WRITE) != 0;
  switch (o.type) {
    case X86_OP_REG:
      out.kind = Operand::Kind::kReg;
      out.reg = FullReg(o.reg);
      break;
    case X86_OP_MEM:
      out.kind = Operand::Kind::kMem;
      out.base = FullReg(o.mem.base);
      out.index = FullReg(o.mem.index);
      out.disp = static_cast<std::uint32_t>(o.mem.disp);
      break;
    case X86_OP_IMM:
      out.kind = Operand::Kind::kImm;
      out.imm = static_cast<std::uint32_t>(o.imm);
      break;
    default:
      break;
  }
  return out;
}

}  // namespace

Decoder::Decoder() {
  csh handle = 0;
  if (cs_open(CS_ARCH_X86, CS_MODE_32, &handle) != CS_ERR_OK) return;
  handle_ = handle;
  cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
  insn_ = cs_malloc(handle);
}

Decoder::~Decoder() {
  if (insn_ != nullptr) cs_free(static_cast<cs_insn*>(insn_), 1);
  if (handle_ != 0) {
    csh handle = handle_;
    cs_close(&handle);
  }
}

bool Decoder::Decode(const std::uint8_t* code, std::size_t size, std::uint32_t rva, Insn* out) {
  const Insn* insn = Decoded(code, size, rva);
  if (insn != nullptr) *out = *insn;
  return insn != nullptr;
}

const Insn* Decoder::Decoded(const std::uint8_t* code, std::size_t size, std::uint32_t rva) {
  // Places near each other are decoded from overlapping start points, and a
  // small image's code all over again.
  constexpr std::size_t kRemembered = 2048;
  if (keys_ == nullptr) {
    keys_.reset(new Key[kRemembered]());  // zeros: no bytes at all
    decoded_.reserve(kRemembered / 16);
  }
  Key& k = keys_[reinterpret_cast<std::uintptr_t>(code) % kRemembered];
  const auto n = static_cast<std::uint8_t>(std::min<std::size_t>(size, 16));
  if (k.code != code || k.size != n || k.rva != rva) {
    if (k.place == 0) {
      decoded_.emplace_back();
      k.place = static_cast<std::uint16_t>(decoded_.size());
    }
    k.code = code;
    k.rva = rva;
    k.size = n;
    k.ok = DecodeNow(code, size, rva, &decoded_[k.place - 1u]);
  }
  return k.ok ? &decoded_[k.place - 1u] : nullptr;
}

bool Decoder::DecodeNow(const std::uint8_t* code, std::size_t size, std::uint32_t rva, Insn* out) {
  auto* in = static_cast<cs_insn*>(insn_);
  const std::uint8_t* at = code;
  std::size_t left = std::min<std::size_t>(size, 16);
  std::uint64_t address = rva;
  if (in == nullptr || !cs_disasm_iter(handle_, &at, &left, &address, in)) return false;
  const cs_x86& x = in->detail->x86;
  *out = Insn{};
  out->rva = rva;
  out->size = static_cast<std::uint8_t>(in->size);
  std::memcpy(out->bytes, code, in->size);
  out->modrm_at = x.encoding.modrm_offset;
  out->disp_at = x.encoding.disp_offset;
  out->disp_size = x.encoding.disp_offset != 0 ? x.encoding.disp_size : 0;
  out->imm_at = x.encoding.imm_offset;
  out->imm_size = x.encoding.imm_offset != 0 ? x.encoding.imm_size : 0;
  // Capstone gives some immediates the operand's size (in eax, imm8: 4
  // bytes); the immediate is what the instruction's length leaves for it.
  if (out->imm_at + out->imm_size > out->size) {
    out->imm_size = static_cast<std::uint8_t>(out->imm_at < out->size ? out->size - out->imm_at : 0);
  }
  if (out->disp_at + out->disp_size > out->size) out->disp_at = out->disp_size = 0;
  out->op = Classify(*in, x);
  out->relative = InGroup(*in->detail, CS_GRP_BRANCH_RELATIVE) && x.op_count >= 1 &&
                  x.operands[0].type == X86_OP_IMM && out->imm_size != 0;
  if (out->relative) out->target = static_cast<std::uint32_t>(x.operands[0].imm);
  out->operand_count = static_cast<std::uint8_t>(std::min<int>(x.op_count, 2));
  for (std::uint8_t i = 0; i < out->operand_count; ++i) out->operands[i] = Convert(x.operands[i]);
  cs_regs read, written;
  std::uint8_t read_count = 0, written_count = 0;
  if (cs_regs_access(handle_, in, read, &read_count, written, &written_count) == CS_ERR_OK) {
    for (std::uint8_t i = 0; i < written_count; ++i) out->writes |= RegBit(FullReg(written[i]));
  } else {
    out->writes = 0xFF;  // unknown: every register may change
  }
  return true;
}

std::string Decoder::Text(const std::uint8_t* code, std::size_t size, std::uint32_t address) {
  auto* in = static_cast<cs_insn*>(insn_);
  const std::uint8_t* at = code;
  std::size_t left = std::min<std::size_t>(size, 16);
  std::uint64_t where = address;
  if (in == nullptr || !cs_disasm_iter(handle_, &at, &left, &where, in)) return "";
  std::string text = in->mnemonic;
  if (in->op_str[0] != '\0') text += std::string(" ") + in->op_str;
  return text;
}

std::uint32_t FieldValue(const std::uint8_t* bytes, Field field) {
  switch (field.size) {
    case 1: return static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(bytes[field.at])));
    case 2: {
      const auto v = static_cast<std::int16_t>(LoadU16(bytes + field.at));
      return static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
    }
    case 4: return LoadU32(bytes + field.at);
    default: return 0;
  }
}

const Operand* MemoryOperand(const Insn& insn) {
  for (std::uint8_t i = 0; i < insn.operand_count; ++i) {
    if (insn.operands[i].kind == Operand::Kind::kMem) return &insn.operands[i];
  }
  return nullptr;
}

bool IsStackAccess(const Operand& mem) {
  return mem.base == Reg::kEsp || mem.base == Reg::kEbp;
}

}  // namespace quorvane::signatures
