// Random address tables: every field and the type index drawn from small,
// huge, negative, fractional, NaN and infinite numbers, and the addresses
// they make pointing into the fixture, into memory of the test's own
// (records and texts that end at a no-access or guard page), into
// no-access and guard pages, unmapped memory, or anywhere. Whatever comes,
// the process lives, a reader gives nil or a value of the right shape, the
// stack is as the call found it, and guard pages stay guard pages.
//
// Where the outcome is known by construction (an address written another
// way than the fixture's, a zero field, a type index without a layout, a
// slot or text in a page that cannot be read) the value itself is checked.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "campaign.h"

namespace qv_faults {
namespace {

constexpr int kCallsPerReader = 10000;
constexpr int kMaxReported = 10;

using Rng = std::mt19937_64;

std::uint32_t U32(Rng& rng) { return static_cast<std::uint32_t>(rng()); }
std::uint32_t Below(Rng& rng, std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); }
bool OneIn(Rng& rng, std::uint32_t n) { return Below(rng, n) == 0; }
template <typename T>
const T& PickFrom(Rng& rng, const std::vector<T>& v) {
  return v[Below(rng, static_cast<std::uint32_t>(v.size()))];
}

// ------------------------------------------------------------------ numbers

// A number handed to a reader, and the 32-bit pattern the reader must take
// from it (modulo 2^32, fractions truncated toward zero, NaN and the
// infinities as 0) when that is known by construction.
struct Encoded {
  double value;
  bool known;
  std::uint32_t pattern;
};

// Another way to write the pattern `p`. Every value stays below 2^51 in
// magnitude, where quarters are still exact.
Encoded Write(Rng& rng, std::uint32_t p) {
  const double exact = static_cast<double>(p);
  const double fraction = 0.25 * static_cast<double>(1 + Below(rng, 3));
  const double wraps = static_cast<double>(1 + Below(rng, 1u << 18)) * kTwo32;
  switch (Below(rng, 10)) {
    case 0: return {exact + wraps, true, p};              // above 2^32
    case 1: return {exact - wraps, true, p};              // negative, whole turns below
    case 2: return {exact + fraction, true, p};           // fraction dropped
    case 3: return {exact - wraps - fraction, true, p};   // negative: truncated toward zero
    case 4: return {exact - kTwo32, true, p};             // two's complement of the pattern
    case 5:
      if (p == 0) return {Below(rng, 2) == 0 ? -0.0 : -fraction, true, 0};
      return {exact, true, p};
    default: return {exact, true, p};
  }
}

// Numbers whose pattern is 0 or unknown: NaN, the infinities, magnitudes
// past 2^53.
Encoded Special(Rng& rng) {
  const double inf = std::numeric_limits<double>::infinity();
  switch (Below(rng, 8)) {
    case 0: return {std::numeric_limits<double>::quiet_NaN(), true, 0};
    case 1: return {inf, true, 0};
    case 2: return {-inf, true, 0};
    case 3: return {18446744073709551616.0, true, 0};   // 2^64
    case 4: return {-9223372036854775808.0, true, 0};   // -2^63
    case 5: {
      const std::uint32_t m = Below(rng, 1u << 31);      // 2^53 + 2m: exact, pattern 2m
      return {9007199254740992.0 + 2.0 * m, true, 2u * m};
    }
    case 6: return {1e300, false, 0};
    default: return {-1.5e200, false, 0};
  }
}

// Mostly another way to write `p`, now and then a special number.
Encoded Field(Rng& rng, std::uint32_t p) { return OneIn(rng, 25) ? Special(rng) : Write(rng, p); }

std::string Show(double n) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", n);
  return buf;
}

// ------------------------------------------------------------------ memory

// Memory of the test's own: no-access and guard pages, and lists, holders,
// records and wide texts that end where such a page begins.
struct Zoo {
  Blocks blocks;
  std::uint32_t noaccess = 0;  // two PAGE_NOACCESS pages
  std::uint32_t guard = 0;     // two guard pages
  std::uint32_t free_address = 0;  // in unmapped memory (may be mapped later by others)
  std::uint32_t freed = 0;         // 64 KiB decommitted
  std::vector<std::uint32_t> guard_pages;  // must still be guard pages afterwards
  std::uint32_t list = 0;                  // 64 slots, then a guard page
  std::vector<std::uint32_t> holders;
  std::vector<std::uint32_t> records;

  struct Text {
    std::uint32_t address;
    bool terminated;      // a NUL unit before the fence
    std::string ansi;     // what it reads as, when terminated
  };
  std::vector<Text> texts;

  static constexpr std::uint32_t kFences[2] = {PAGE_NOACCESS, PAGE_READWRITE | PAGE_GUARD};

  std::uint8_t* Fenced(Rng& rng, std::uint32_t size) {
    const std::uint32_t fence = kFences[Below(rng, 2)];
    std::uint8_t* p = blocks.Fenced(size, fence);
    if (p != nullptr && (fence & PAGE_GUARD) != 0) guard_pages.push_back(Addr(p) + size);
    return p;
  }

  // An address that reads as garbage, as nothing, or as a real place.
  std::uint32_t Anywhere(Rng& rng) {
    switch (Below(rng, 6)) {
      case 0: return 0;
      case 1: return noaccess + 4 * Below(rng, 1024);
      case 2: return guard + 4 * Below(rng, 1024);
      case 3: return Below(rng, 2) == 0 ? free_address : freed;
      case 4: return U32(rng);
      default: return records.empty() ? 0 : PickFrom(rng, records);
    }
  }

  bool Build(Rng& rng) {
    noaccess = Addr(blocks.Pages(8192, PAGE_NOACCESS));
    guard = Addr(blocks.Pages(8192, PAGE_READWRITE | PAGE_GUARD));
    guard_pages.push_back(guard);
    guard_pages.push_back(guard + 4096);
    free_address = qvf_find_free_address();
    freed = blocks.Freed();
    if (noaccess == 0 || guard == 0 || free_address == 0 || freed == 0) return false;

    // Records that end at a fence, of every size around the layouts' field
    // boundaries, holding random bytes, bytes without a NUL, or zeros.
    for (std::uint32_t size : {1u, 2u, 4u, 8u, 12u, 16u, 20u, 40u, 47u, 48u, 50u, 64u, 100u, 256u,
                               259u, 260u, 262u, 279u, 281u, 292u, 297u, 300u, 301u, 512u, 1024u}) {
      std::uint8_t* p = Fenced(rng, size);
      if (p == nullptr) return false;
      const std::uint32_t mode = Below(rng, 3);
      for (std::uint32_t i = 0; i < size; ++i) {
        const auto byte = static_cast<std::uint8_t>(rng());
        p[i] = mode == 0 ? byte : mode == 1 ? static_cast<std::uint8_t>(byte | 1) : 0;
      }
      records.push_back(Addr(p));
    }
    for (int i : {0, 1, 3, 4, 6, 7, 80}) records.push_back(Addr(qvf_record(i)));

    // Structures that hold a record pointer at QVF_DATA_OFFSET, ending at a
    // fence right after it or in the middle of it.
    for (int i = 0; i < 24; ++i) {
      const std::uint32_t size = QVF_DATA_OFFSET + (i % 4 == 0 ? 2u : 4u);
      std::uint8_t* p = Fenced(rng, size);
      if (p == nullptr) return false;
      for (std::uint32_t j = 0; j < size; ++j) p[j] = static_cast<std::uint8_t>(rng());
      if (size == QVF_DATA_OFFSET + 4u) {
        const std::uint32_t record = Anywhere(rng);
        std::memcpy(p + QVF_DATA_OFFSET, &record, 4);
      }
      holders.push_back(Addr(p));
    }
    for (int i : {0, 3, 6, 80}) holders.push_back(Addr(qvf_holder(i)));

    // A list of 64 slots followed by a guard page: type index 80 reads the
    // guard page.
    std::uint8_t* slots = blocks.Fenced(64 * 4, PAGE_READWRITE | PAGE_GUARD);
    if (slots == nullptr) return false;
    guard_pages.push_back(Addr(slots) + 64 * 4);
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t slot = OneIn(rng, 3) ? Anywhere(rng) : PickFrom(rng, holders);
      std::memcpy(slots + 4 * i, &slot, 4);
    }
    list = Addr(slots);

    // Wide texts of letters that end at a fence, with or without a NUL unit
    // as their last unit.
    for (std::uint32_t units : {1u, 2u, 10u, 100u, 2047u, 2048u, 3000u}) {
      for (bool terminated : {false, true}) {
        std::uint8_t* p = Fenced(rng, units * 2);
        if (p == nullptr) return false;
        Text text{Addr(p), terminated, ""};
        for (std::uint32_t i = 0; i < units; ++i) {
          const bool last = i + 1 == units;
          const auto unit = static_cast<std::uint16_t>(last && terminated ? 0 : u'A' + Below(rng, 26));
          std::memcpy(p + 2 * i, &unit, 2);
          if (unit != 0) text.ansi += static_cast<char>(unit);
        }
        texts.push_back(text);
      }
    }
    return true;
  }
};

// Collects what went wrong, showing the first few in full.
class Findings {
 public:
  void Add(const std::string& what) {
    if (++count_ <= kMaxReported) ADD_FAILURE() << what << "\n(seed " << RunSeed() << ")";
  }
  int count() const { return count_; }

 private:
  int count_ = 0;
};

class RandomAddressTables : public ::testing::Test {
 protected:
  void SetUp() override {
    qvf_reset();
    qvf_get_offsets(&offsets_);
    ASSERT_TRUE(lua_.ready()) << lua_.open_error();
  }
  void TearDown() override { qvf_reset(); }

  Arg Genuine() const {
    return AddressTable(offsets_.base, offsets_.object_address_list, offsets_.object_data_offset,
                        offsets_.text_buffer_address);
  }

  void ExpectGuardPagesKept(const Zoo& zoo) {
    for (std::uint32_t page : zoo.guard_pages) {
      EXPECT_TRUE(IsGuardPage(page)) << "0x" << std::hex << page << " is no longer a guard page";
    }
  }

  QvfOffsets offsets_{};
  LuaSession lua_;
};

TEST_F(RandomAddressTables, GetObjectDataGivesNilOrAWholeTable) {
  Rng rng = TestRng("RandomAddressTables.GetObjectData");
  Zoo zoo;
  ASSERT_TRUE(zoo.Build(rng)) << "could not lay out the test's memory";

  // What the fixture's records read as through its own address table.
  std::vector<std::pair<std::int32_t, LuaValue>> reference;
  for (std::int32_t t : TypesWithLayout()) {
    Outcome o = lua_.Call("GetObjectData", {Genuine(), ArgNum(t)});
    ASSERT_EQ(StackProblem(o), "") << "type " << t;
    ASSERT_EQ(o.values.size(), 1u) << "type " << t << ": " << Describe(o);
    ASSERT_EQ(LayoutProblem(o.values[0], t), "") << "type " << t;
    reference.emplace_back(t, o.values[0]);
  }
  const std::uint32_t genuine_list = offsets_.base + offsets_.object_address_list;
  std::vector<std::int32_t> no_layout = {14, 15, 40, 79, 81, 82, 255, 256, -1, -2, -80,
                                         1000000, INT32_MAX, INT32_MIN};

  Findings findings;
  int tables = 0, nils = 0, checked_values = 0, known_nil = 0;
  for (int call = 0; call < kCallsPerReader; ++call) {
    // Where the list is, as the sum of ModuleAddress and ObjectAddressList.
    enum { kGenuine, kZooList, kUnreadable, kFixtureData, kRandom, kTop, kGone } where;
    const std::uint32_t w = Below(rng, 13);
    where = w < 4 ? kGenuine : w < 7 ? kZooList : w < 9 ? kUnreadable : w < 10 ? kFixtureData
            : w < 11 ? kRandom : w < 12 ? kTop : kGone;
    std::uint32_t sum = 0;
    switch (where) {
      case kGenuine: sum = genuine_list; break;
      case kZooList: sum = zoo.list; break;
      case kUnreadable: sum = (Below(rng, 2) == 0 ? zoo.noaccess : zoo.guard) + 4 * Below(rng, 512); break;
      case kFixtureData: {
        std::uint32_t size = 0;
        sum = Addr(qvf_data_block(&size)) + Below(rng, size);
        break;
      }
      case kRandom: sum = U32(rng); break;
      case kTop: sum = 0xFFFFFFFFu - Below(rng, 400); break;
      case kGone: sum = (Below(rng, 2) == 0 ? zoo.free_address : zoo.freed) + 4 * Below(rng, 1024); break;
    }
    const std::uint32_t base = Below(rng, 2) == 0 ? offsets_.base : U32(rng);
    const std::uint32_t data = OneIn(rng, 7)
        ? PickFrom(rng, std::vector<std::uint32_t>{0, 4, 0x0F, 0x11, 0x12, 0x14, 0x1000, U32(rng)})
        : offsets_.object_data_offset;
    const std::uint32_t t_pick = Below(rng, 10);
    const std::int32_t type = t_pick < 7 ? PickFrom(rng, TypesWithLayout())
                              : t_pick < 9 ? PickFrom(rng, no_layout)
                                           : static_cast<std::int32_t>(U32(rng));

    const Encoded e_base = Field(rng, base);
    const Encoded e_list = Field(rng, sum - base);
    const Encoded e_data = Field(rng, data);
    const Encoded e_type = Write(rng, static_cast<std::uint32_t>(type));
    // TextBufferAddress is random: the object reader must not look at it.
    Arg table = AddressTable(e_base.value, e_list.value, e_data.value, U32(rng));
    Outcome o = lua_.Call("GetObjectData", {table, ArgNum(e_type.value)});

    const std::string args = "GetObjectData({ModuleAddress=" + Show(e_base.value) +
                             ", ObjectAddressList=" + Show(e_list.value) + ", ObjectDataOffset=" +
                             Show(e_data.value) + "}, " + Show(e_type.value) + ") [type " +
                             std::to_string(type) + "]";
    const std::string stack = StackProblem(o);
    if (!stack.empty()) {
      findings.Add(args + ": " + stack);
      continue;
    }
    const bool all_known = e_base.known && e_list.known && e_data.known;
    const bool any_zero = (e_base.known && e_base.pattern == 0) || (e_list.known && e_list.pattern == 0) ||
                          (e_data.known && e_data.pattern == 0);
    const std::uint32_t sum_taken = e_base.pattern + e_list.pattern;
    // The slot cannot be read in our no-access, guard and decommitted pages.
    const bool unreadable_slot = where == kUnreadable || (where == kGone && sum - zoo.freed < 65536 - 4096);
    const bool must_be_nil = FieldsOf(type) == nullptr || any_zero ||
                             (all_known && unreadable_slot && sum_taken == sum);
    if (o.values.empty()) {
      ++nils;
    } else {
      ++tables;
      const std::string problem = LayoutProblem(o.values[0], type);
      if (!problem.empty()) findings.Add(args + ": " + problem);
    }
    known_nil += must_be_nil ? 1 : 0;
    if (must_be_nil && !o.values.empty()) {
      findings.Add(args + ": must give nil, gave " + Describe(o));
    }
    if (!must_be_nil && all_known && sum_taken == genuine_list &&
        e_data.pattern == offsets_.object_data_offset) {
      ++checked_values;
      const auto ref = std::find_if(reference.begin(), reference.end(),
                                    [&](const auto& r) { return r.first == type; });
      if (o.values.empty() || ref == reference.end() || !(o.values[0] == ref->second)) {
        findings.Add(args + ": the fixture's address table written another way must give " +
                     (ref == reference.end() ? std::string("?") : Describe(ref->second)) +
                     ", gave " + Describe(o));
      }
    }
  }
  std::printf("[ campaign ] GetObjectData: %d calls: %d tables, %d nil; %d had to be nil, %d had to be "
              "the fixture's record\n",
              kCallsPerReader, tables, nils, known_nil, checked_values);
  EXPECT_EQ(findings.count(), 0);
  ExpectGuardPagesKept(zoo);
}

TEST_F(RandomAddressTables, GetTextbufferStringGivesNilOrAString) {
  Rng rng = TestRng("RandomAddressTables.GetTextbufferString");
  Zoo zoo;
  ASSERT_TRUE(zoo.Build(rng)) << "could not lay out the test's memory";

  Outcome first = lua_.Call("GetTextbufferString", {Genuine()});
  ASSERT_EQ(StackProblem(first), "");
  ASSERT_EQ(first.values.size(), 1u) << Describe(first);
  ASSERT_EQ(first.values[0].kind, LuaValue::kString);
  const LuaValue reference = first.values[0];
  const std::uint32_t genuine_text = offsets_.base + offsets_.text_buffer_address;

  Findings findings;
  int strings = 0, nils = 0, checked_values = 0, known_nil = 0;
  for (int call = 0; call < kCallsPerReader; ++call) {
    enum { kGenuine, kFencedText, kOddText, kUnreadable, kFixtureData, kRandom, kGone } where;
    const std::uint32_t w = Below(rng, 14);
    where = w < 3 ? kGenuine : w < 7 ? kFencedText : w < 8 ? kOddText : w < 10 ? kUnreadable
            : w < 11 ? kFixtureData : w < 12 ? kRandom : kGone;
    std::uint32_t sum = 0;
    const Zoo::Text* text = nullptr;
    switch (where) {
      case kGenuine: sum = genuine_text; break;
      case kFencedText:
        text = &PickFrom(rng, zoo.texts);
        sum = text->address;
        break;
      case kOddText: sum = PickFrom(rng, zoo.texts).address + 1; break;
      case kUnreadable: sum = (Below(rng, 2) == 0 ? zoo.noaccess : zoo.guard) + Below(rng, 4096); break;
      case kFixtureData: {
        std::uint32_t size = 0;
        sum = Addr(qvf_data_block(&size)) + Below(rng, size);
        break;
      }
      case kRandom: sum = U32(rng); break;
      case kGone: sum = (Below(rng, 2) == 0 ? zoo.free_address : zoo.freed) + Below(rng, 4096); break;
    }
    const std::uint32_t base = Below(rng, 2) == 0 ? offsets_.base : U32(rng);
    const Encoded e_base = Field(rng, base);
    const Encoded e_text = Field(rng, sum - base);
    // The fields GetObjectData takes are random too: the text reader must
    // not look at them.
    Arg table = AddressTable(e_base.value, U32(rng), OneIn(rng, 2) ? 0 : U32(rng), e_text.value);
    Outcome o = lua_.Call("GetTextbufferString", {table});

    const std::string args = "GetTextbufferString({ModuleAddress=" + Show(e_base.value) +
                             ", TextBufferAddress=" + Show(e_text.value) + "})";
    const std::string stack = StackProblem(o);
    if (!stack.empty()) {
      findings.Add(args + ": " + stack);
      continue;
    }
    if (o.values.empty()) {
      ++nils;
    } else {
      ++strings;
      if (o.values[0].kind != LuaValue::kString) findings.Add(args + ": not a string: " + Describe(o));
    }
    const bool all_known = e_base.known && e_text.known;
    const bool any_zero = (e_base.known && e_base.pattern == 0) || (e_text.known && e_text.pattern == 0);
    const bool at_sum = all_known && e_base.pattern + e_text.pattern == sum;
    // Nil when a field is 0, when the first unit cannot be read, and when the
    // text runs into the fence before its terminator.
    const bool unreadable_text = where == kUnreadable || (where == kGone && sum - zoo.freed < 65536 - 4096);
    const bool must_be_nil = any_zero || (at_sum && unreadable_text) ||
                             (at_sum && text != nullptr && !text->terminated);
    known_nil += must_be_nil ? 1 : 0;
    if (must_be_nil && !o.values.empty()) findings.Add(args + ": must give nil, gave " + Describe(o));
    if (!must_be_nil && at_sum && (where == kGenuine || text != nullptr)) {
      ++checked_values;
      LuaValue expected = reference;
      if (text != nullptr) expected.str = text->ansi;
      if (o.values.empty() || !(o.values[0] == expected)) {
        findings.Add(args + ": must give " + Describe(expected) + ", gave " + Describe(o));
      }
    }
  }
  std::printf("[ campaign ] GetTextbufferString: %d calls: %d strings, %d nil; %d had to be nil, %d had "
              "to be a known text\n",
              kCallsPerReader, strings, nils, known_nil, checked_values);
  EXPECT_EQ(findings.count(), 0);
  ExpectGuardPagesKept(zoo);
}

}  // namespace
}  // namespace qv_faults
