// Signatures grown until they are unique. A first scan finds, for every
// reference at once, the places where a short pattern around it matches;
// growing a pattern can only remove places, so each is then grown by
// checking those places alone.
#include "signatures/sign.h"

#include <algorithm>

#include "signatures/code_walk.h"
#include "signatures/scanner.h"

namespace quorvane::signatures {
namespace {

// Instructions decoded on each side of a reference.
constexpr std::size_t kContext = 24;
// A first pattern has at least this many fixed bytes, and an anchor at least
// this long.
constexpr std::size_t kFirstFixed = 8;
constexpr std::size_t kMinAnchor = kMinScanAnchor;
// A unique pattern still grows, while it can, until it holds this many fixed
// bytes in a row: the scan looks at every (shortest anchor - 2)-th byte.
constexpr std::size_t kGoodAnchor = 6;
// Places kept per first pattern; more, and it is grown and scanned again.
constexpr std::size_t kMaxPlaces = 512;
constexpr int kScans = 4;
// References are tried in batches spread over the code, until an offset has
// kMaxPerOffset signatures or kBatches have been tried.
constexpr int kBatches = 4;

void Open(PatternInsn* p, Field field) {
  for (std::size_t i = 0; i < field.size && field.at + i < p->wild.size(); ++i) {
    p->wild[field.at + i] = 1;
  }
}

bool IsAddress(std::uint32_t value, const PeImage& image) {
  return value - image.load_base < image.size_of_image;
}

// Whether the memory operand is a structure's field through a register, with
// a 1- or 4-byte displacement right after its ModRM (and SIB).
bool IsFieldAccess(const Insn& insn) {
  const Operand* mem = MemoryOperand(insn);
  if (insn.modrm_at == 0 || mem == nullptr || mem->base == Reg::kNone || IsStackAccess(*mem)) {
    return false;
  }
  const std::uint8_t modrm = insn.bytes[insn.modrm_at];
  const unsigned mod = modrm >> 6;
  return (mod == 1 || mod == 2) && insn.disp_at == insn.modrm_at + 1 + (HasSib(modrm) ? 1 : 0) &&
         insn.disp_size == DispLength(modrm);
}

bool EndsFunction(const Insn& insn) {
  return insn.op == Op::kPadding || insn.op == Op::kStop || insn.op == Op::kReturn;
}

struct Place {
  const PeSection* section;
  std::size_t ref;  // offset of the reference instruction in the section
  bool operator<(const Place& o) const { return section != o.section ? section < o.section : ref < o.ref; }
  bool operator==(const Place& o) const { return section == o.section && ref == o.ref; }
};

// A reference with the instructions around it and the window of them that
// makes its pattern (an instruction becomes a pattern instruction as the
// window takes it).
struct Work {
  Reference reference;
  const PeImage* image = nullptr;
  std::vector<Insn> insns;
  std::size_t ref = 0;  // index of the reference instruction in `insns`
  std::size_t lo = 0, hi = 0;
  bool before_next = true;  // the side to grow next
  Place home{nullptr, 0};
  std::string text;
  Pattern pattern;  // made of insns[lo, hi)
  std::vector<Place> places;
  bool done = false;
  std::string failed;

  std::size_t Bytes(std::size_t with) const {
    std::size_t n = with;
    for (std::size_t i = lo; i < hi; ++i) n += insns[i].size;
    return n;
  }
  // Adds one instruction, on the side whose turn it is when it has one.
  bool Grow() {
    const bool can_before = lo > 0 && Bytes(insns[lo - 1].size) <= kMaxPatternBytes;
    const bool can_after = hi < insns.size() && Bytes(insns[hi].size) <= kMaxPatternBytes;
    if (hi - lo >= kMaxPatternInsns || (!can_before && !can_after)) return false;
    const bool before = can_before && (before_next || !can_after);
    if (before) {
      pattern.insns.insert(pattern.insns.begin(), ToPatternInsn(insns[--lo], *image, nullptr));
    } else {
      pattern.insns.push_back(ToPatternInsn(insns[hi++], *image, nullptr));
    }
    pattern.ref = ref - lo;
    before_next = !before;
    return true;
  }
};

std::size_t FixedBytes(const Pattern& p) {
  std::size_t n = 0;
  for (const PatternInsn& insn : p.insns) {
    for (std::size_t k = 0; k < insn.bytes.size(); ++k) n += !insn.wild[k] && static_cast<int>(k) != insn.group;
  }
  return n;
}

// The reference's instructions: before it back to the end of the previous
// function, after it up to a return.
bool Gather(Decoder& decoder, const PeImage& image, const Reference& r, Work* w) {
  w->reference = r;
  const PeSection* section = CodeSectionAt(image, r.rva, 1);
  Insn insn;
  if (section == nullptr || !DecodeAt(decoder, image, r.rva, &insn)) {
    w->failed = "its instruction does not decode";
    return false;
  }
  const Field field = r.field == FieldKind::kDisplacement ? Displacement(insn) : Immediate(insn);
  if (field.size != 4 && !(r.offset == Offset::kObjectDataOffset && IsFieldAccess(insn))) {
    w->failed = "its instruction has no such operand";
    return false;
  }
  std::vector<Insn> before = InsnsBefore(decoder, *section, r.rva, kContext);
  auto end = std::find_if(before.rbegin(), before.rend(), EndsFunction);
  before.erase(before.begin(), end.base());
  std::vector<Insn> after = InsnsFrom(decoder, *section, r.rva + insn.size, kContext);
  after.erase(std::find_if(after.begin(), after.end(),
                           [](const Insn& i) { return i.op == Op::kPadding || i.op == Op::kStop; }),
              after.end());
  PatternInsn ref = ToPatternInsn(insn, image, &r);
  if (field.size != 4 && ref.group < 0) {
    w->failed = "its displacement's ModRM is a relocated byte";
    return false;
  }
  w->image = &image;
  w->insns = std::move(before);
  w->ref = w->insns.size();
  w->insns.push_back(insn);
  w->insns.insert(w->insns.end(), after.begin(), after.end());
  w->lo = w->ref;
  w->hi = w->ref + 1;
  w->home = {section, r.rva - section->rva};
  w->text = decoder.Text(insn.bytes, insn.size, image.load_base + r.rva);
  w->pattern.insns.push_back(std::move(ref));
  w->pattern.ref = 0;
  return true;
}

// Grows a first pattern until it has something to scan for.
bool GrowFirst(Work* w) {
  while (FixedBytes(w->pattern) < kFirstFixed || LongestAnchor(w->pattern) < kMinAnchor) {
    if (!w->Grow()) return LongestAnchor(w->pattern) >= kMinAnchor;
  }
  return true;
}

// The places of each first pattern, from one scan of the code.
class PlaceSink : public MatchSink {
 public:
  explicit PlaceSink(std::vector<Work*>& works) : works_(works), full_(works.size(), false) {}
  void Take(std::size_t pattern, const PeSection& section, std::size_t start,
            const Placement& placement) override {
    Work& w = *works_[pattern];
    if (w.places.size() >= kMaxPlaces) {
      full_[pattern] = true;
      return;
    }
    w.places.push_back({&section, start + placement.at[w.pattern.ref]});
  }
  bool Full(std::size_t pattern) const { return full_[pattern]; }

 private:
  std::vector<Work*>& works_;
  std::vector<bool> full_;
};

void FindFirstPlaces(const PeImage& image, std::vector<Work>& works) {
  std::vector<Work*> pending;
  for (Work& w : works) {
    if (w.failed.empty()) pending.push_back(&w);
  }
  for (int scan = 0; scan < kScans && !pending.empty(); ++scan) {
    std::vector<const Pattern*> patterns;
    for (Work* w : pending) {
      w->places.clear();
      patterns.push_back(&w->pattern);
    }
    PlaceSink sink(pending);
    ScanCode(image, patterns, sink);
    std::vector<Work*> again;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      Work* w = pending[i];
      if (!sink.Full(i)) continue;
      if (scan + 1 < kScans && w->Grow() && w->Grow()) {
        again.push_back(w);
      } else {
        w->failed = "it is too common: more than " + std::to_string(kMaxPlaces) + " places match";
      }
    }
    pending.swap(again);
  }
}

// How often the pattern matches with its reference instruction at each
// place; the places where it does stay.
std::size_t Count(const Pattern& p, std::vector<Place>* places) {
  const std::size_t groups = GroupsBefore(p, p.ref);
  const std::size_t least = MinOffset(p, p.ref);
  std::size_t total = 0;
  Placement placement;
  std::vector<Place> kept;
  for (const Place& q : *places) {
    std::size_t here = 0;
    for (std::size_t t = 0; t <= groups && least + 3 * t <= q.ref; ++t) {
      const std::size_t start = q.ref - least - 3 * t;
      here += MatchAt(p, q.section->bytes.data(), q.section->bytes.size(), start, &placement) &&
              start + placement.at[p.ref] == q.ref;
    }
    if (here > 0) kept.push_back(q);
    total += here;
  }
  places->swap(kept);
  return total;
}

void Narrow(Work* w) {
  std::sort(w->places.begin(), w->places.end());
  w->places.erase(std::unique(w->places.begin(), w->places.end()), w->places.end());
  for (;;) {
    const std::size_t count = Count(w->pattern, &w->places);
    if (count == 1 && w->places.front() == w->home) {
      if (LongestAnchor(w->pattern) < kGoodAnchor && w->Grow()) continue;
      w->done = true;
      return;
    }
    if (count == 0 || (count == 1 && !(w->places.front() == w->home))) {
      w->failed = "its pattern does not match where it was made";
      return;
    }
    if (!w->Grow()) {
      w->failed = "its pattern matches " + std::to_string(count) + " places even as " +
                  std::to_string(w->pattern.insns.size()) + " instructions";
      return;
    }
  }
}

// Each offset's references, ordered so that any first few of them are spread
// over the code: by RVA, then taken in the order of their index's bits
// reversed (the middle one, the quarters, the eighths, ...).
std::vector<std::vector<Reference>> SpreadByOffset(const std::vector<Reference>& references) {
  std::vector<std::vector<Reference>> by(kOffsetCount);
  for (const Reference& r : references) by[static_cast<std::size_t>(r.offset)].push_back(r);
  for (std::vector<Reference>& refs : by) {
    std::sort(refs.begin(), refs.end(), [](const Reference& a, const Reference& b) { return a.rva < b.rva; });
    unsigned bits = 0;
    while ((std::size_t{1} << bits) < refs.size()) ++bits;
    const auto reversed = [&](std::size_t i) {
      std::size_t r = 0;
      for (unsigned b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
      return r;
    };
    std::vector<std::size_t> order(refs.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return reversed(a) < reversed(b); });
    std::vector<Reference> spread;
    for (const std::size_t i : order) spread.push_back(refs[i]);
    refs.swap(spread);
  }
  return by;
}

void SignBatch(Decoder& decoder, const PeImage& image, std::vector<Work>& works, Signing* result) {
  for (Work& w : works) {
    if (Gather(decoder, image, w.reference, &w) && !GrowFirst(&w)) {
      w.failed = "no " + std::to_string(kMinAnchor) + " fixed bytes in a row around it";
    }
  }
  FindFirstPlaces(image, works);
  for (Work& w : works) {
    if (w.failed.empty()) Narrow(&w);
    if (!w.done) {
      result->not_signed.push_back({w.reference, w.failed});
      continue;
    }
    Signature s;
    s.offset = w.reference.offset;
    s.field = w.reference.field;
    s.type = w.reference.type;
    s.rva = w.reference.rva;
    s.instruction = w.text;
    s.pattern = std::move(w.pattern);
    result->signatures.push_back(std::move(s));
  }
}

}  // namespace

PatternInsn ToPatternInsn(const Insn& insn, const PeImage& image, const Reference* ref) {
  PatternInsn p;
  p.bytes.assign(insn.bytes, insn.bytes + insn.size);
  p.wild.assign(insn.size, 0);
  if (insn.relative) Open(&p, Immediate(insn));
  for (std::uint8_t j = 0; j + 4 <= insn.size; ++j) {
    if (IsRelocated(image, insn.rva + j)) Open(&p, {j, 4});
  }
  for (const Field f : {Displacement(insn), Immediate(insn)}) {
    if (f.size == 4 && !insn.relative && IsAddress(FieldValue(insn.bytes, f), image)) Open(&p, f);
  }
  // A field's displacement, not an address (those keep their 4 bytes).
  if (IsFieldAccess(insn) && !p.wild[insn.modrm_at] &&
      !(HasSib(insn.bytes[insn.modrm_at]) && p.wild[insn.modrm_at + 1u]) && !p.wild[insn.disp_at]) {
    p.group = insn.modrm_at;
    Open(&p, Displacement(insn));
  }
  if (ref != nullptr) {
    Open(&p, ref->field == FieldKind::kDisplacement ? Displacement(insn) : Immediate(insn));
  }
  return p;
}

Signing MakeSignatures(const PeImage& image, const std::vector<Reference>& references) {
  Signing result;
  Decoder decoder;
  if (!decoder.ok()) {
    result.error = kNoDecoder;
    return result;
  }
  std::vector<std::vector<Reference>> queues = SpreadByOffset(references);
  std::size_t signed_for[kOffsetCount] = {};
  for (int batch = 0; batch < kBatches; ++batch) {
    std::vector<Work> works;
    for (int o = 0; o < kOffsetCount; ++o) {
      std::vector<Reference>& queue = queues[static_cast<std::size_t>(o)];
      const std::size_t take = std::min(queue.size(), kMaxPerOffset - signed_for[o]);
      for (std::size_t i = 0; i < take; ++i) works.emplace_back().reference = queue[i];
      queue.erase(queue.begin(), queue.begin() + static_cast<long>(take));
    }
    if (works.empty()) break;
    SignBatch(decoder, image, works, &result);
    std::fill(std::begin(signed_for), std::end(signed_for), 0);
    for (const Signature& s : result.signatures) ++signed_for[static_cast<int>(s.offset)];
  }
  for (int o = 0; o < kOffsetCount; ++o) result.left_out[o] = queues[static_cast<std::size_t>(o)].size();
  std::sort(result.signatures.begin(), result.signatures.end(), [](const Signature& a, const Signature& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.rva < b.rva;
  });
  result.ok = true;
  return result;
}

}  // namespace quorvane::signatures
