// Reads that can be seen to fail without touching memory raise no exception
// at all: a host's vectored handler, crash reporter or debugger, which sees
// an access violation before the module's own exception frame does, sees
// nothing. The fixture's vectored handler counts every exception while a
// walk runs.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"

namespace qv_e2e {
namespace {

const int kLayouts[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 80};

uint32_t HighestApplicationAddress() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress));
}

struct Walk {
  std::string name;
  // Changes the fixture as needed and makes the call.
  std::function<Outcome()> call;
  // The call gives an empty table instead of nil: a layout without fields
  // reads nothing of its record.
  bool empty_table = false;
};

bool HasNoFields(int type_index) {
  return type_index == 5 || type_index == 8 || type_index == 9 || type_index == 12;
}

class FirstChanceTest : public E2ETest {
 protected:
  // Runs every walk with the exception counter on: each must give nil and
  // raise nothing.
  void ExpectNoExceptions(const std::vector<Walk>& walks) {
    for (const Walk& w : walks) {
      SCOPED_TRACE(w.name);
      qvf_reset();
      ASSERT_TRUE(qvf_count_exceptions(1));
      Outcome o = w.call();
      uint32_t code = 0, address = 0;
      const uint32_t count = qvf_exception_count(&code, &address);
      qvf_count_exceptions(0);
      if (w.empty_table)
        EXPECT_TRUE(Gave(o, Table({})));
      else
        EXPECT_TRUE(GaveNil(o));
      char first[64];
      std::snprintf(first, sizeof first, "code 0x%08X at 0x%08X", code, address);
      EXPECT_EQ(count, 0u) << "first exception: " << first;
    }
  }

  // A GetObjectData walk for every type index with a layout; `at_record`:
  // the walk goes wrong only at the record.
  void AddObjectWalks(std::vector<Walk>* walks, const std::string& name,
                      std::function<Arg(int type_index)> setup, bool at_record = false) {
    for (int t : kLayouts) {
      walks->push_back({name + ", type " + std::to_string(t),
                        [this, setup, t] {
                          Arg table = setup(t);
                          return lua().Call("GetObjectData", {table, ArgNum(t)});
                        },
                        at_record && HasNoFields(t)});
    }
  }
  void AddTextWalk(std::vector<Walk>* walks, const std::string& name, uint32_t text) {
    walks->push_back({name, [this, text] {
                        return lua().Call(
                            "GetTextbufferString",
                            {WithField(FixtureTable(), "TextBufferAddress", ArgNum(text - offsets_.base))});
                      }});
  }
  Arg TableWithList(uint32_t list) {
    return WithField(FixtureTable(), "ObjectAddressList", ArgNum(static_cast<uint32_t>(list - offsets_.base)));
  }
};

TEST_F(FirstChanceTest, TheCounterSeesTheModulesOwnFaults) {
  // A record in a PAGE_NOACCESS page: readable only by faulting, which the
  // module's exception frame catches after the vectored handler counted it.
  void* page = qvf_alloc_pages(4096, PAGE_NOACCESS);
  ASSERT_NE(page, nullptr);
  qvf_set_record_pointer(7, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(page)));
  ASSERT_TRUE(qvf_count_exceptions(1));
  Outcome o = lua().Call("GetObjectData", {FixtureTable(), ArgNum(7)});
  const uint32_t count = qvf_exception_count(nullptr, nullptr);
  qvf_count_exceptions(0);
  qvf_free_pages(page);
  EXPECT_TRUE(GaveNil(o));
  EXPECT_GE(count, 1u);
}

TEST_F(FirstChanceTest, WalksThroughTheFirst64KiBRaiseNothing) {
  std::vector<Walk> walks;
  // Zero plus a small offset: a table whose ModuleAddress is small, as for a
  // module that is not there, or slots, record pointers and texts near 0.
  AddObjectWalks(&walks, "list at ModuleAddress 1 + 0x10",
                 [](int) { return AddressTable(1, 0x10, QVF_DATA_OFFSET, 0x20); });
  AddObjectWalks(&walks, "list in the last bytes below 64 KiB",
                 [](int t) { return AddressTable(0x100, 0xFEFC - 4 * t, QVF_DATA_OFFSET, 0x20); });
  for (uint32_t slot : {0x4u, 0x100u, 0xFFE0u}) {
    AddObjectWalks(&walks, "slot " + std::to_string(slot), [slot](int t) {
      qvf_set_slot(t, slot);
      return FixtureTable();
    });
  }
  // Records that lie whole below 64 KiB (the longest layout ends 301 bytes in).
  for (uint32_t record : {0x1u, 0x10u, 0x1000u, 0xFC00u}) {
    AddObjectWalks(
        &walks, "record pointer " + std::to_string(record),
        [record](int t) {
          qvf_set_record_pointer(t, record);
          return FixtureTable();
        },
        true);
  }
  walks.push_back({"text at ModuleAddress 1 + 0x100", [this] {
                     return lua().Call("GetTextbufferString", {AddressTable(1, 0, 0, 0x100)});
                   }});
  for (uint32_t text : {0x2u, 0x8000u, 0xFFFEu}) AddTextWalk(&walks, "text at " + std::to_string(text), text);
  ExpectNoExceptions(walks);
}

TEST_F(FirstChanceTest, WalksIntoKernelSpaceRaiseNothing) {
  const uint32_t top = HighestApplicationAddress();
  std::printf("[ info     ] highest application address 0x%08X\n", top);
  ASSERT_LT(top, 0xFFFF0000u);
  // Kernel space: everything above the highest application address.
  std::vector<uint32_t> kernel;
  for (uint32_t a : {0x80000000u, 0x80001000u, 0xC0000000u, 0xFFFF0000u, 0xFFFFFF00u, 0xFFFFFFF0u})
    if (a > top) kernel.push_back(a);
  ASSERT_GE(kernel.size(), 3u);

  std::vector<Walk> walks;
  for (uint32_t a : kernel) {
    const std::string at = std::to_string(a);
    AddObjectWalks(&walks, "list at " + at, [this, a](int) { return TableWithList(a); });
    AddObjectWalks(&walks, "slot " + at, [a](int t) {
      qvf_set_slot(t, a);
      return FixtureTable();
    });
    AddObjectWalks(
        &walks, "record pointer " + at,
        [a](int t) {
          qvf_set_record_pointer(t, a);
          return FixtureTable();
        },
        true);
    AddTextWalk(&walks, "text at " + at, a);
  }
  // Records whose numeric fields start just below the highest application
  // address and reach past it (they are read before any string).
  for (int t : {3, 4, 6, 7, 10, 11, 13, 80}) {
    const uint32_t record = t == 6 ? top - 281 : top - 1;
    walks.push_back({"record with fields past the highest application address, type " + std::to_string(t),
                     [this, t, record] {
                       qvf_set_record_pointer(t, record);
                       return lua().Call("GetObjectData", {FixtureTable(), ArgNum(t)});
                     }});
  }
  // The last bytes of the address space, where a range wraps past 2^32.
  for (uint32_t text : {0xFFFFFFFEu, 0xFFFFFFFFu}) AddTextWalk(&walks, "text at " + std::to_string(text), text);
  ExpectNoExceptions(walks);
}

}  // namespace
}  // namespace qv_e2e
