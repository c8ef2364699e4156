// Reads of host memory that cannot be done: nil, and the process goes on.
// Also the length caps of strings and wide texts.
#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"

namespace qv_e2e {
namespace {

uint32_t A(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// VirtualAlloc'd blocks released at the end of a test.
class Pages {
 public:
  ~Pages() {
    for (void* b : blocks_) qvf_free_pages(b);
  }
  void* Alloc(uint32_t size, uint32_t protect) {
    void* p = qvf_alloc_pages(size, protect);
    EXPECT_NE(p, nullptr);
    if (p) blocks_.push_back(p);
    return p;
  }
  // `size` read-write bytes that end where a page of `fence` begins.
  unsigned char* Fenced(uint32_t size, uint32_t fence) {
    void* block = nullptr;
    void* p = qvf_alloc_fenced(size, fence, &block);
    EXPECT_NE(p, nullptr);
    if (block) blocks_.push_back(block);
    return static_cast<unsigned char*>(p);
  }
  // A page that was committed and has been released again.
  uint32_t Freed() {
    void* p = qvf_alloc_pages(4096, PAGE_READWRITE);
    EXPECT_NE(p, nullptr);
    qvf_free_pages(p);
    return A(p);
  }
  // Reserved address space with nothing committed.
  uint32_t Reserved() {
    void* p = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
    EXPECT_NE(p, nullptr);
    if (p) blocks_.push_back(p);
    return A(p);
  }

 private:
  std::vector<void*> blocks_;
};

bool IsGuardPage(uint32_t address) {
  return (qvf_page_protect(reinterpret_cast<const void*>(static_cast<uintptr_t>(address))) & PAGE_GUARD) != 0;
}
bool IsUnreadable(uint32_t address) {
  uint32_t p = qvf_page_protect(reinterpret_cast<const void*>(static_cast<uintptr_t>(address)));
  return p == 0 || (p & (PAGE_NOACCESS | PAGE_GUARD)) != 0;
}

class MemoryFaultTest : public E2ETest {
 protected:
  // The fixture's address table with the list at absolute address `list`.
  Arg TableWithList(uint32_t list) {
    return WithField(FixtureTable(), "ObjectAddressList",
                     ArgNum(static_cast<uint32_t>(list - offsets_.base)));
  }
  Arg TableWithText(uint32_t text) {
    return WithField(FixtureTable(), "TextBufferAddress",
                     ArgNum(static_cast<uint32_t>(text - offsets_.base)));
  }
  Pages pages_;
};

struct PathCase {
  const char* name;
  bool whole_list;  // the list itself is unreadable: every type index fails
  // Changes the fixture or makes memory; returns the address table to pass
  // and sets *guard to a page that must still be a guard page afterwards.
  std::function<Arg(uint32_t* guard)> setup;
};

TEST_F(MemoryFaultTest, UnreadableSlotStructureOrRecordGivesNil) {
  const uint32_t never_mapped = qvf_find_free_address();
  ASSERT_NE(never_mapped, 0u);
  Pages& pages = pages_;
  const int kType = 3;
  const std::vector<PathCase> cases = {
      // The list slot itself.
      {"slot in a PAGE_NOACCESS page", true,
       [&](uint32_t*) { return TableWithList(A(pages.Alloc(4096, PAGE_NOACCESS))); }},
      {"slot in a released page", true, [&](uint32_t*) { return TableWithList(pages.Freed()); }},
      {"slot in never-mapped memory", true, [&](uint32_t*) { return TableWithList(never_mapped); }},
      {"slot in reserved, uncommitted memory", true,
       [&](uint32_t*) { return TableWithList(pages.Reserved()); }},
      {"slot in a guard page", true,
       [&](uint32_t* guard) {
         void* p = pages.Alloc(4096, PAGE_READWRITE | PAGE_GUARD);
         *guard = A(p);
         return TableWithList(A(p));
       }},
      {"slot 4 bytes below the top of the address space", true,
       [&](uint32_t*) { return TableWithList(0xFFFFFFFCu - 4 * kType); }},
      {"slot straddling into a PAGE_NOACCESS page", true,
       [&](uint32_t*) { return TableWithList(A(pages.Fenced(2, PAGE_NOACCESS)) - 4 * kType); }},
      // The structure the slot points to (the record pointer in it).
      {"structure in a PAGE_NOACCESS page", false,
       [&](uint32_t*) {
         qvf_set_slot(kType, A(pages.Alloc(4096, PAGE_NOACCESS)));
         return FixtureTable();
       }},
      {"structure in a released page", false,
       [&](uint32_t*) {
         qvf_set_slot(kType, pages.Freed());
         return FixtureTable();
       }},
      {"structure in never-mapped memory", false,
       [&](uint32_t*) {
         qvf_set_slot(kType, never_mapped);
         return FixtureTable();
       }},
      {"structure in a guard page", false,
       [&](uint32_t* guard) {
         void* p = pages.Alloc(4096, PAGE_READWRITE | PAGE_GUARD);
         *guard = A(p);
         qvf_set_slot(kType, A(p));
         return FixtureTable();
       }},
      {"record pointer straddling into a guard page", false,
       [&](uint32_t* guard) {
         unsigned char* p = pages.Fenced(3, PAGE_READWRITE | PAGE_GUARD);
         *guard = A(p + 3);
         std::memset(p, 0x11, 3);
         qvf_set_slot(kType, A(p) - QVF_DATA_OFFSET);
         return FixtureTable();
       }},
      {"slot value that wraps past 2^32", false,
       [&](uint32_t*) {
         qvf_set_slot(kType, 0xFFFFFFF8u);
         return FixtureTable();
       }},
      // The record.
      {"record in a PAGE_NOACCESS page", false,
       [&](uint32_t*) {
         qvf_set_record_pointer(kType, A(pages.Alloc(4096, PAGE_NOACCESS)));
         return FixtureTable();
       }},
      {"record in a released page", false,
       [&](uint32_t*) {
         qvf_set_record_pointer(kType, pages.Freed());
         return FixtureTable();
       }},
      {"record in never-mapped memory", false,
       [&](uint32_t*) {
         qvf_set_record_pointer(kType, never_mapped);
         return FixtureTable();
       }},
      {"record in reserved memory", false,
       [&](uint32_t*) {
         qvf_set_record_pointer(kType, pages.Reserved());
         return FixtureTable();
       }},
      {"record in a guard page", false,
       [&](uint32_t* guard) {
         void* p = pages.Alloc(4096, PAGE_READWRITE | PAGE_GUARD);
         *guard = A(p);
         qvf_set_record_pointer(kType, A(p));
         return FixtureTable();
       }},
      {"record at the top of the address space", false,
       [&](uint32_t*) {
         qvf_set_record_pointer(kType, 0xFFFFFFF0u);
         return FixtureTable();
       }},
      {"record at address 1", false,
       [&](uint32_t*) {
         qvf_set_record_pointer(kType, 1);
         return FixtureTable();
       }},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    qvf_reset();
    uint32_t guard = 0;
    Arg table = c.setup(&guard);
    for (int t : {kType, 6, 80}) {
      if (t != kType && !c.whole_list) continue;
      SCOPED_TRACE("type index " + std::to_string(t));
      EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {table, ArgNum(t)})));
      if (guard) {
        EXPECT_TRUE(IsGuardPage(guard)) << "the guard page lost its guard";
      }
    }
  }
  // The process goes on, and the module still reads what it can.
  qvf_reset();
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {FixtureTable(), ArgNum(7)}),
                   Table({{"scene_id", Num(-2147483648.0)}})));
}

TEST_F(MemoryFaultTest, MemoryReleasedBetweenTwoCalls) {
  // A record and a structure outside the image, released after a first call.
  unsigned char* record = static_cast<unsigned char*>(qvf_alloc_pages(4096, PAGE_READWRITE));
  ASSERT_NE(record, nullptr);
  qvf_default_record(6, reinterpret_cast<QvfRecord*>(record));
  qvf_set_record_pointer(6, A(record));
  Outcome first = lua().Call("GetObjectData", {FixtureTable(), ArgNum(6)});
  ASSERT_TRUE(first.ok && first.values.size() == 1) << Describe(first);
  EXPECT_EQ(first.values[0].Field("mode") ? first.values[0].Field("mode")->number : 0, 32767);
  ASSERT_TRUE(qvf_free_pages(record));
  EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {FixtureTable(), ArgNum(6)})));

  unsigned char* holder = static_cast<unsigned char*>(qvf_alloc_pages(4096, PAGE_READWRITE));
  ASSERT_NE(holder, nullptr);
  uint32_t record_pointer = qvf_get_record_pointer(10);
  std::memcpy(holder + QVF_DATA_OFFSET, &record_pointer, 4);
  qvf_set_slot(10, A(holder));
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {FixtureTable(), ArgNum(10)}), Table({{"blend", Num(-1)}})));
  ASSERT_TRUE(qvf_free_pages(holder));
  EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {FixtureTable(), ArgNum(10)})));

  uint16_t* text = static_cast<uint16_t*>(qvf_alloc_pages(4096, PAGE_READWRITE));
  ASSERT_NE(text, nullptr);
  text[0] = 'o';
  text[1] = 'k';
  text[2] = 0;
  Arg t =
      WithField(FixtureTable(), "TextBufferAddress", ArgNum(static_cast<uint32_t>(A(text) - offsets_.base)));
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {t}), Str("ok")));
  ASSERT_TRUE(qvf_free_pages(text));
  EXPECT_TRUE(GaveNil(lua().Call("GetTextbufferString", {t})));
}

// The smallest record of each layout: every byte of it is read, so with the
// record ending where an unreadable page starts, the whole record gives its
// table and any shorter part of it gives nil.
struct TightRecord {
  int type_index;
  std::string bytes;
  LuaValue expected;
};

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

std::vector<TightRecord> TightRecords() {
  std::vector<TightRecord> out;
  out.push_back({0, std::string("a.avi", 6), Table({{"file", Str("a.avi")}})});
  out.push_back({2, std::string("", 1), Table({{"file", Str("")}})});
  out.push_back({1, Bytes({1, 2, 3, 4}) + std::string("b.wav", 6), Table({{"file", Str("b.wav")}})});
  {
    std::string r = Bytes({1, 2, 3, 4, 5, 0xFE, 7, 8, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    std::string font("Mono", 4);
    font.resize(32, '\0');
    r += font;
    r += Bytes({'H', 0, 'i', 0, 0, 0});  // wide "Hi"
    out.push_back({3, r,
                   Table({{"type", Num(1)},
                          {"autoadjust", Num(2)},
                          {"soft", Num(3)},
                          {"monospace", Num(4)},
                          {"align", Num(5)},
                          {"spacing_x", Num(-2)},
                          {"spacing_y", Num(7)},
                          {"precision", Num(8)},
                          {"color", Num(0x112233)},
                          {"color2", Num(0x556677)},
                          {"font", Str("Mono")},
                          {"text", Str("Hi")}})});
  }
  {
    // A font with no NUL before 48 and an empty text: the font must stop at 48.
    std::string r(16, '\0');
    r += std::string(32, 'M');
    r += Bytes({0, 0});
    out.push_back({3, r,
                   Table({{"type", Num(0)},
                          {"autoadjust", Num(0)},
                          {"soft", Num(0)},
                          {"monospace", Num(0)},
                          {"align", Num(0)},
                          {"spacing_x", Num(0)},
                          {"spacing_y", Num(0)},
                          {"precision", Num(0)},
                          {"color", Num(0)},
                          {"color2", Num(0)},
                          {"font", Str(std::string(32, 'M'))},
                          {"text", Str("")}})});
  }
  out.push_back({4, Bytes({9, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD}) + std::string("n", 2),
                 Table({{"type", Num(9)}, {"color", Num(0xAABBCC)}, {"name", Str("n")}})});
  {
    std::string r("f.mp4", 5);
    r.resize(280, '\0');
    r += Bytes({1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x09});
    out.push_back({6, r,
                   Table({{"file", Str("f.mp4")},
                          {"type", Num(1)},
                          {"mode", Num(2)},
                          {"res_w", Num(3)},
                          {"res_h", Num(4)},
                          {"pad_w", Num(5)},
                          {"pad_h", Num(6)},
                          {"color", Num(0x010203)},
                          {"sample_n", Num(-1)},
                          {"mirror", Num(9)}})});
  }
  {
    // A file name of 280 bytes with no NUL: it must stop at 280.
    std::string r(280, 'F');
    r += std::string(20, '\0');
    r += Bytes({1});
    out.push_back({6, r,
                   Table({{"file", Str(std::string(280, 'F'))},
                          {"type", Num(0)},
                          {"mode", Num(0)},
                          {"res_w", Num(0)},
                          {"res_h", Num(0)},
                          {"pad_w", Num(0)},
                          {"pad_h", Num(0)},
                          {"color", Num(0)},
                          {"sample_n", Num(0)},
                          {"mirror", Num(1)}})});
  }
  out.push_back({7, Bytes({0xFE, 0xFF, 0xFF, 0xFF}), Table({{"scene_id", Num(-2)}})});
  out.push_back({10, Bytes({1, 0, 0, 0}), Table({{"blend", Num(1)}})});
  out.push_back({11, Bytes({0, 0, 0, 0x80}), Table({{"blend", Num(-2147483648.0)}})});
  out.push_back({13, Bytes({0xFF, 0xFF, 0xFF, 0x7F}), Table({{"blend", Num(2147483647.0)}})});
  {
    std::string r = Bytes({0xFF, 0xFF, 0x00, 0x80});
    std::string name("nm", 2);
    name.resize(256, '\0');
    r += name;
    r += std::string("p=1", 4);
    out.push_back(
        {80, r,
         Table({{"type", Num(-1)}, {"filter", Num(-32768)}, {"name", Str("nm")}, {"param", Str("p=1")}})});
  }
  {
    // A name of 256 bytes with no NUL: it must stop at 260.
    std::string r(4, '\0');
    r += std::string(256, 'N');
    r += std::string("", 1);
    out.push_back({80, r,
                   Table({{"type", Num(0)},
                          {"filter", Num(0)},
                          {"name", Str(std::string(256, 'N'))},
                          {"param", Str("")}})});
  }
  return out;
}

void SweepTightRecords(LuaSession& lua, Pages& pages, uint32_t fence_protect) {
  const bool guard = (fence_protect & PAGE_GUARD) != 0;
  for (const TightRecord& r : TightRecords()) {
    SCOPED_TRACE("layout " + std::to_string(r.type_index) + ", " + std::to_string(r.bytes.size()) + " bytes");
    const uint32_t n = static_cast<uint32_t>(r.bytes.size());
    unsigned char* end = pages.Fenced(n, fence_protect) + n;
    ASSERT_TRUE(IsUnreadable(A(end)));
    for (uint32_t k = n; k >= 1; --k) {
      unsigned char* record = end - k;
      std::memcpy(record, r.bytes.data(), k);
      qvf_set_record_pointer(r.type_index, A(record));
      Outcome o = lua.Call("GetObjectData", {FixtureTable(), ArgNum(r.type_index)});
      if (k == n) {
        EXPECT_TRUE(Gave(o, r.expected)) << "whole record, ending at the page boundary";
      } else {
        EXPECT_TRUE(GaveNil(o)) << "first " << k << " bytes readable";
      }
      if (guard) {
        ASSERT_TRUE(IsGuardPage(A(end)))
            << "the guard page lost its guard (first " << k << " bytes readable)";
      }
      // Nothing the module was given to read has changed.
      ASSERT_EQ(0, std::memcmp(record, r.bytes.data(), k));
    }
  }
}

TEST_F(MemoryFaultTest, RecordRunningIntoAPageNoAccessPage) {
  SweepTightRecords(lua(), pages_, PAGE_NOACCESS);
}

TEST_F(MemoryFaultTest, RecordRunningIntoAGuardPage) {
  SweepTightRecords(lua(), pages_, PAGE_READWRITE | PAGE_GUARD);
}

TEST_F(MemoryFaultTest, RecordRunningIntoUncommittedMemory) {
  // Reserved but never committed memory right after the record.
  for (const TightRecord& r : TightRecords()) {
    SCOPED_TRACE("layout " + std::to_string(r.type_index));
    const uint32_t n = static_cast<uint32_t>(r.bytes.size());
    unsigned char* data =
        static_cast<unsigned char*>(VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(data, nullptr);
    ASSERT_NE(VirtualAlloc(data, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
    unsigned char* end = data + 4096;  // the rest stays reserved only
    std::memcpy(end - n, r.bytes.data(), n);
    qvf_set_record_pointer(r.type_index, A(end - n));
    EXPECT_TRUE(Gave(lua().Call("GetObjectData", {FixtureTable(), ArgNum(r.type_index)}), r.expected));
    std::memmove(end - (n - 1), r.bytes.data(), n - 1);
    qvf_set_record_pointer(r.type_index, A(end - (n - 1)));
    EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {FixtureTable(), ArgNum(r.type_index)})));
    VirtualFree(data, 0, MEM_RELEASE);
  }
}

TEST_F(MemoryFaultTest, LongStringRunningIntoAnUnreadablePage) {
  const uint32_t n = 10000;  // spans three pages before the fence
  for (uint32_t fence :
       {static_cast<uint32_t>(PAGE_NOACCESS), static_cast<uint32_t>(PAGE_READWRITE | PAGE_GUARD)}) {
    SCOPED_TRACE(fence == PAGE_NOACCESS ? "PAGE_NOACCESS" : "PAGE_GUARD");
    unsigned char* p = pages_.Fenced(n, fence);
    std::memset(p, 'L', n);
    qvf_set_record_pointer(0, A(p));
    EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {FixtureTable(), ArgNum(0)})));
    if (fence != PAGE_NOACCESS) {
      EXPECT_TRUE(IsGuardPage(A(p + n)));
    }
    p[n - 1] = 0;
    EXPECT_TRUE(Gave(lua().Call("GetObjectData", {FixtureTable(), ArgNum(0)}),
                     Table({{"file", Str(std::string(n - 1, 'L'))}})));
    // The name of layout 4 and then the param of layout 80 running on into
    // the same fence.
    p[n - 1] = 'L';
    unsigned char* r4 = p + n - 5000;
    std::memcpy(r4, qvf_record(4)->bytes, 8);
    qvf_set_record_pointer(4, A(r4));
    EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {FixtureTable(), ArgNum(4)})));
    unsigned char* r80 = p + n - 4000;
    std::memcpy(r80, qvf_record(80)->bytes, 260);
    qvf_set_record_pointer(80, A(r80));
    EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {FixtureTable(), ArgNum(80)})));
    if (fence != PAGE_NOACCESS) {
      EXPECT_TRUE(IsGuardPage(A(p + n)));
    }
  }
}

TEST_F(MemoryFaultTest, UnreadableTextBufferGivesNil) {
  const uint32_t never_mapped = qvf_find_free_address();
  ASSERT_NE(never_mapped, 0u);
  struct Case {
    const char* name;
    std::function<uint32_t(uint32_t* guard)> place;  // address of the text
  };
  Pages& pages = pages_;
  const std::vector<Case> cases = {
      {"PAGE_NOACCESS", [&](uint32_t*) { return A(pages.Alloc(4096, PAGE_NOACCESS)); }},
      {"released", [&](uint32_t*) { return pages.Freed(); }},
      {"never mapped", [&](uint32_t*) { return never_mapped; }},
      {"reserved", [&](uint32_t*) { return pages.Reserved(); }},
      {"guard page",
       [&](uint32_t* guard) {
         void* p = pages.Alloc(4096, PAGE_READWRITE | PAGE_GUARD);
         *guard = A(p);
         return A(p);
       }},
      {"top of the address space", [&](uint32_t*) { return 0xFFFFFFFEu; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t guard = 0;
    uint32_t text = c.place(&guard);
    EXPECT_TRUE(GaveNil(lua().Call("GetTextbufferString", {TableWithText(text)})));
    if (guard) {
      EXPECT_TRUE(IsGuardPage(guard));
    }
  }
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {FixtureTable()}),
                   Str("Fixture text buffer: 0123456789 ABC xyz")));
}

TEST_F(MemoryFaultTest, TextRunningIntoAnUnreadablePage) {
  // "Hi!" and its terminator; every shorter part ends in the fence. Odd
  // lengths put half of a unit before the fence.
  const std::string bytes = Bytes({'H', 0, 'i', 0, '!', 0, 0, 0});
  for (uint32_t fence :
       {static_cast<uint32_t>(PAGE_NOACCESS), static_cast<uint32_t>(PAGE_READWRITE | PAGE_GUARD)}) {
    SCOPED_TRACE(fence == PAGE_NOACCESS ? "PAGE_NOACCESS" : "PAGE_GUARD");
    const uint32_t n = static_cast<uint32_t>(bytes.size());
    unsigned char* end = pages_.Fenced(n, fence) + n;
    for (uint32_t k = n; k >= 1; --k) {
      std::memcpy(end - k, bytes.data(), k);
      Outcome o = lua().Call("GetTextbufferString", {TableWithText(A(end - k))});
      if (k == n)
        EXPECT_TRUE(Gave(o, Str("Hi!")));
      else
        EXPECT_TRUE(GaveNil(o)) << "first " << k << " bytes readable";
      if (fence != PAGE_NOACCESS) {
        ASSERT_TRUE(IsGuardPage(A(end)));
      }
    }
    // A long text over several pages with no terminator.
    const uint32_t units = 6000;
    uint16_t* w = reinterpret_cast<uint16_t*>(pages_.Fenced(units * 2, fence));
    for (uint32_t i = 0; i < units; ++i) w[i] = 'w';
    EXPECT_TRUE(GaveNil(lua().Call("GetTextbufferString", {TableWithText(A(w))})));
    if (fence != PAGE_NOACCESS) {
      EXPECT_TRUE(IsGuardPage(A(w) + units * 2));
    }
    w[units - 1] = 0;
    EXPECT_TRUE(
        Gave(lua().Call("GetTextbufferString", {TableWithText(A(w))}), Str(std::string(units - 1, 'w'))));
    // The wide text of layout 3 the same way.
    unsigned char* record = pages_.Fenced(QVF_L3_TEXT + 2000, fence);
    std::memcpy(record, qvf_record(3)->bytes, QVF_L3_TEXT);
    uint16_t* text = reinterpret_cast<uint16_t*>(record + QVF_L3_TEXT);
    for (uint32_t i = 0; i < 1000; ++i) text[i] = 'x';
    qvf_set_record_pointer(3, A(record));
    EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {FixtureTable(), ArgNum(3)})));
    if (fence != PAGE_NOACCESS) {
      EXPECT_TRUE(IsGuardPage(A(record) + QVF_L3_TEXT + 2000));
    }
    text[999] = 0;
    Outcome o = lua().Call("GetObjectData", {FixtureTable(), ArgNum(3)});
    ASSERT_TRUE(o.ok && o.values.size() == 1 && o.values[0].Field("text")) << Describe(o);
    EXPECT_EQ(*o.values[0].Field("text"), Str(std::string(999, 'x')));
  }
}

// ---------------------------------------------------------------- caps

using CapTest = MemoryFaultTest;

TEST_F(CapTest, StringsWithNoFollowingFieldAreCutAtTheCap) {
  struct Case {
    const char* name;
    int type_index;
    uint32_t prefix;  // bytes of the record before the string
    const char* field;
    uint32_t length;  // characters before the NUL
  };
  const std::vector<Case> cases = {
      {"layout 0 file, one over", 0, 0, "file", kCap + 1},
      {"layout 0 file, far over", 0, 0, "file", kCap + 5000},
      {"layout 0 file, exactly the cap", 0, 0, "file", kCap},
      {"layout 0 file, one under", 0, 0, "file", kCap - 1},
      {"layout 1 file", 1, 4, "file", kCap + 100},
      {"layout 2 file", 2, 0, "file", kCap + 100},
      {"layout 4 name", 4, 8, "name", kCap + 100},
      {"layout 80 param", 80, 260, "param", kCap + 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qvf_reset();
    const uint32_t size = c.prefix + c.length + 1;
    unsigned char* r = static_cast<unsigned char*>(qvf_alloc_pages(size, PAGE_READWRITE));
    ASSERT_NE(r, nullptr);
    std::memcpy(r, qvf_record(c.type_index)->bytes, c.prefix);
    std::memset(r + c.prefix, 'c', c.length);
    r[c.prefix + c.length] = 0;
    qvf_set_record_pointer(c.type_index, A(r));
    Outcome o = lua().Call("GetObjectData", {FixtureTable(), ArgNum(c.type_index)});
    qvf_free_pages(r);
    ASSERT_TRUE(o.ok && o.values.size() == 1 && o.values[0].kind == LuaValue::kTable) << Describe(o);
    const LuaValue* f = o.values[0].Field(c.field);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->kind, LuaValue::kString);
    EXPECT_EQ(f->str.size(), std::min(c.length, kCap));
    EXPECT_EQ(f->str.find_first_not_of('c'), std::string::npos);
    EXPECT_EQ(o.left_over, 0);
  }
}

TEST_F(CapTest, WideTextsAreCutAtTheCap) {
  for (uint32_t units : {kCap + 1, kCap + 4000, kCap, kCap - 1}) {
    SCOPED_TRACE(std::to_string(units) + " units");
    uint16_t* w = static_cast<uint16_t*>(qvf_alloc_pages(QVF_L3_TEXT + (units + 1) * 2, PAGE_READWRITE));
    ASSERT_NE(w, nullptr);
    uint16_t* text = w + QVF_L3_TEXT / 2;
    for (uint32_t i = 0; i < units; ++i) text[i] = 't';
    text[units] = 0;
    const std::string expected(std::min(units, kCap), 't');
    EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {TableWithText(A(text))}), Str(expected)));
    std::memcpy(w, qvf_record(3)->bytes, QVF_L3_TEXT);
    qvf_set_record_pointer(3, A(w));
    Outcome o = lua().Call("GetObjectData", {FixtureTable(), ArgNum(3)});
    qvf_free_pages(w);
    ASSERT_TRUE(o.ok && o.values.size() == 1 && o.values[0].kind == LuaValue::kTable) << Describe(o);
    const LuaValue* f = o.values[0].Field("text");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(*f == Str(expected)) << f->str.size() << " bytes";
  }
}

TEST_F(CapTest, ReadingStopsAtTheCap) {
  // Past the cap there is no terminator and the next page is unreadable:
  // nothing beyond the cap is read, so the cut string still comes back.
  {
    unsigned char* p = pages_.Fenced(kCap + 64, PAGE_NOACCESS);
    std::memset(p, 's', kCap + 64);
    qvf_set_record_pointer(0, A(p));
    Outcome o = lua().Call("GetObjectData", {FixtureTable(), ArgNum(0)});
    EXPECT_TRUE(Gave(o, Table({{"file", Str(std::string(kCap, 's'))}})));
  }
  {
    uint16_t* w = reinterpret_cast<uint16_t*>(pages_.Fenced((kCap + 64) * 2, PAGE_NOACCESS));
    for (uint32_t i = 0; i < kCap + 64; ++i) w[i] = 'u';
    EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {TableWithText(A(w))}), Str(std::string(kCap, 'u'))));
  }
}

// Every length around the sizes the readers copy in (the record's copy, the
// stack buffers, the conversion buffer, the heap buffer's first size and its
// doublings), for a string and a wide text that run to their terminator,
// starting at the start of a page and shortly before its end: each comes back
// whole and in order.
TEST_F(CapTest, StringsAndTextsOfEveryLengthAroundTheBufferSizes) {
  const uint32_t lengths[] = {0,    1,    31,   32,   33,    255,   256,   257,   511,
                              512,  513,  767,  768,  769,   1023,  1024,  1025,  4095,
                              4096, 4097, 8193, 16383, 16384, 16385, 32769, 65537, 262145};
  for (uint32_t page_offset : {0u, 4096u - 300u}) {
    for (uint32_t length : lengths) {
      SCOPED_TRACE("length " + std::to_string(length) + " at page offset " +
                   std::to_string(page_offset));
      std::string expected(length, ' ');
      for (uint32_t i = 0; i < length; ++i) expected[i] = static_cast<char>('a' + i % 26 + (i / 26) % 2 * ('A' - 'a'));
      // Layout 4: its name at 8 runs to the terminator.
      unsigned char* pages = static_cast<unsigned char*>(
          qvf_alloc_pages(page_offset + QVF_L3_TEXT + (length + 1) * 2, PAGE_READWRITE));
      ASSERT_NE(pages, nullptr);
      unsigned char* r = pages + page_offset;
      std::memcpy(r, qvf_record(4)->bytes, 8);
      std::memcpy(r + 8, expected.data(), length);
      r[8 + length] = 0;
      qvf_set_record_pointer(4, A(r));
      Outcome o = lua().Call("GetObjectData", {FixtureTable(), ArgNum(4)});
      ASSERT_TRUE(o.ok && o.values.size() == 1 && o.values[0].Field("name")) << Describe(o);
      EXPECT_TRUE(*o.values[0].Field("name") == Str(expected));
      EXPECT_EQ(o.left_over, 0);
      // Layout 3: its wide text at 48.
      std::memcpy(r, qvf_record(3)->bytes, QVF_L3_TEXT);
      uint16_t* text = reinterpret_cast<uint16_t*>(r + QVF_L3_TEXT);
      for (uint32_t i = 0; i < length; ++i) text[i] = static_cast<uint16_t>(expected[i]);
      text[length] = 0;
      qvf_set_record_pointer(3, A(r));
      o = lua().Call("GetObjectData", {FixtureTable(), ArgNum(3)});
      ASSERT_TRUE(o.ok && o.values.size() == 1 && o.values[0].Field("text")) << Describe(o);
      EXPECT_TRUE(*o.values[0].Field("text") == Str(expected));
      EXPECT_EQ(o.left_over, 0);
      // The text buffer, the same text.
      EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {TableWithText(A(text))}), Str(expected)));
      qvf_free_pages(pages);
    }
  }
}

}  // namespace
}  // namespace qv_e2e
