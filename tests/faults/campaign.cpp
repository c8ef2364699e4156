#include "campaign.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

namespace qv_faults {

namespace {

std::uint64_t g_seed = 0;
std::string g_scratch;

// Text a wide text may turn into: up to 1,048,576 UTF-16 units, each at most
// two bytes in a double-byte ANSI code page.
constexpr std::uint32_t kTextBytes = 2u * 1048576u;
constexpr std::uint32_t kStringBytes = 1048576u;

using K = Kind;
const std::vector<ExpectedField> kFileAt0 = {{"file", K::kString, kStringBytes}};
const std::vector<ExpectedField> kTextLayout = {
    {"type", K::kU8, 0},       {"autoadjust", K::kU8, 0}, {"soft", K::kU8, 0},
    {"monospace", K::kU8, 0},  {"align", K::kU8, 0},      {"spacing_x", K::kI8, 0},
    {"spacing_y", K::kI8, 0},  {"precision", K::kU8, 0},  {"color", K::kColour, 0},
    {"color2", K::kColour, 0}, {"font", K::kString, 32},  {"text", K::kText, kTextBytes}};
const std::vector<ExpectedField> kFigure = {
    {"type", K::kU32, 0}, {"color", K::kColour, 0}, {"name", K::kString, kStringBytes}};
const std::vector<ExpectedField> kEmpty = {};
const std::vector<ExpectedField> kVideo = {
    {"file", K::kString, 280}, {"type", K::kI16, 0},  {"mode", K::kI16, 0},
    {"res_w", K::kI16, 0},     {"res_h", K::kI16, 0}, {"pad_w", K::kI16, 0},
    {"pad_h", K::kI16, 0},     {"color", K::kColour, 0}, {"sample_n", K::kI32, 0},
    {"mirror", K::kU8, 0}};
const std::vector<ExpectedField> kScene = {{"scene_id", K::kI32, 0}};
const std::vector<ExpectedField> kBlend = {{"blend", K::kI32, 0}};
const std::vector<ExpectedField> kFilter = {
    {"type", K::kI16, 0}, {"filter", K::kI16, 0}, {"name", K::kString, 256},
    {"param", K::kString, kStringBytes}};

const std::map<std::int32_t, const std::vector<ExpectedField>*>& Layouts() {
  static const std::map<std::int32_t, const std::vector<ExpectedField>*> layouts = {
      {0, &kFileAt0}, {1, &kFileAt0}, {2, &kFileAt0}, {3, &kTextLayout}, {4, &kFigure},
      {5, &kEmpty},   {6, &kVideo},   {7, &kScene},   {8, &kEmpty},      {9, &kEmpty},
      {10, &kBlend},  {11, &kBlend},  {12, &kEmpty},  {13, &kBlend},     {80, &kFilter}};
  return layouts;
}

bool InRange(Kind kind, double n) {
  if (n != std::floor(n)) return false;
  switch (kind) {
    case K::kU8: return n >= 0 && n <= 255;
    case K::kI8: return n >= -128 && n <= 127;
    case K::kI16: return n >= -32768 && n <= 32767;
    case K::kI32: return n >= -2147483648.0 && n <= 2147483647.0;
    case K::kU32: return n >= 0 && n <= 4294967295.0;
    case K::kColour: return n >= 0 && n <= 16777215;
    case K::kString:
    case K::kText: break;
  }
  return false;
}

}  // namespace

// ------------------------------------------------------------------ the run

std::uint64_t RunSeed() { return g_seed; }
void SetRunSeed(std::uint64_t seed) { g_seed = seed; }

std::mt19937_64 TestRng(const char* test_name) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (const char* p = test_name; *p != '\0'; ++p) {
    h ^= static_cast<unsigned char>(*p);
    h *= 1099511628211ull;
  }
  std::seed_seq seq{static_cast<std::uint32_t>(g_seed), static_cast<std::uint32_t>(g_seed >> 32),
                    static_cast<std::uint32_t>(h), static_cast<std::uint32_t>(h >> 32)};
  return std::mt19937_64(seq);
}

const std::string& ScratchDir() { return g_scratch; }
void SetScratchDir(const std::string& dir) { g_scratch = dir; }

// ------------------------------------------------------------------ layouts

const std::vector<ExpectedField>* FieldsOf(std::int32_t type_index) {
  const auto found = Layouts().find(type_index);
  return found == Layouts().end() ? nullptr : found->second;
}

const std::vector<std::int32_t>& TypesWithLayout() {
  static const std::vector<std::int32_t> types = [] {
    std::vector<std::int32_t> t;
    for (const auto& entry : Layouts()) t.push_back(entry.first);
    return t;
  }();
  return types;
}

// ------------------------------------------------------------------ checks

std::string LayoutProblem(const LuaValue& v, std::int32_t type_index) {
  const std::vector<ExpectedField>* expected = FieldsOf(type_index);
  if (expected == nullptr) return "a value for type index " + std::to_string(type_index) + ", which has no layout";
  if (v.kind != LuaValue::kTable) return "not a table: " + Describe(v);
  std::string problems;
  if (v.other_keys != 0) problems += "keys that are not strings; ";
  if (v.fields.size() != expected->size()) {
    problems += std::to_string(v.fields.size()) + " fields instead of " +
                std::to_string(expected->size()) + "; ";
  }
  for (const ExpectedField& f : *expected) {
    const auto found = std::find_if(v.fields.begin(), v.fields.end(),
                                    [&](const auto& field) { return field.first == f.name; });
    if (found == v.fields.end()) {
      problems += std::string("no \"") + f.name + "\"; ";
      continue;
    }
    const LuaValue& value = found->second;
    if (f.kind == K::kString || f.kind == K::kText) {
      if (value.kind != LuaValue::kString) {
        problems += std::string("\"") + f.name + "\" is not a string; ";
      } else if (value.str.find('\0') != std::string::npos) {
        problems += std::string("\"") + f.name + "\" holds a NUL byte; ";
      } else if (value.str.size() > f.max_bytes) {
        problems += std::string("\"") + f.name + "\" is longer than " + std::to_string(f.max_bytes) + " bytes; ";
      }
    } else if (value.kind != LuaValue::kNumber || !InRange(f.kind, value.number)) {
      problems += std::string("\"") + f.name + "\" = " + Describe(value) + " is out of its range; ";
    }
  }
  if (!problems.empty()) problems += "in " + Describe(v);
  return problems;
}

std::string StackProblem(const Outcome& o) {
  if (!o.ok) return "raised an error: " + o.error;
  if (o.returned != 0 && o.returned != 1) return "returned " + std::to_string(o.returned) + " values";
  if (!o.count_sane) return "returned " + std::to_string(o.returned) + " values, more than it pushed";
  if (o.left_over != 0) return "left " + std::to_string(o.left_over) + " extra values on the stack";
  if (!o.args_intact) return "changed its arguments on the stack";
  return "";
}

// ------------------------------------------------------------------ memory

Blocks::~Blocks() {
  for (void* b : blocks_) qvf_free_pages(b);
}

std::uint8_t* Blocks::Pages(std::uint32_t size, std::uint32_t protect) {
  void* p = qvf_alloc_pages(size, protect);
  if (p != nullptr) blocks_.push_back(p);
  return static_cast<std::uint8_t*>(p);
}

std::uint8_t* Blocks::Fenced(std::uint32_t size, std::uint32_t fence) {
  void* block = nullptr;
  void* p = qvf_alloc_fenced(size, fence, &block);
  if (block != nullptr) blocks_.push_back(block);
  return static_cast<std::uint8_t*>(p);
}

std::uint32_t Blocks::Freed() {
  // Decommitted but still reserved, so that nothing else is put there.
  void* p = VirtualAlloc(nullptr, 65536, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (p == nullptr) return 0;
  blocks_.push_back(p);
  std::memset(p, 0x5A, 65536);
  if (!VirtualFree(p, 65536, MEM_DECOMMIT)) return 0;
  return Addr(p);
}

bool IsGuardPage(std::uint32_t address) {
  return (qvf_page_protect(Ptr(address)) & PAGE_GUARD) != 0;
}

}  // namespace qv_faults
