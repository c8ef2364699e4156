// GetAddress on real profile files read through the Windows profile API.
#include <windows.h>

#include <string>
#include <vector>

#include "harness.h"

namespace qv_e2e {
namespace {

using GetAddressTest = E2ETest;

std::string WriteProfile(const std::string& name, const std::string& content) {
  std::string path = TempPath(name);
  EXPECT_TRUE(qvf_write_file(path.c_str(), content.data(), static_cast<uint32_t>(content.size()))) << path;
  return path;
}

std::string Config(const std::string& version, const std::string& module) {
  return "[Config]\r\nVersion=" + version + "\r\nModule=" + module + "\r\n";
}

std::string Section(const std::string& name, const std::string& list, const std::string& data,
                    const std::string& text) {
  return "[" + name + "]\r\nObjectAddressList=" + list + "\r\nObjectDataOffset=" + data +
         "\r\nTextBufferAddress=" + text + "\r\n";
}

LuaValue AddressResult(double module, double list, double data, double text) {
  return Table({{"ModuleAddress", Num(module)},
                {"ObjectAddressList", Num(list)},
                {"ObjectDataOffset", Num(data)},
                {"TextBufferAddress", Num(text)}});
}

TEST_F(GetAddressTest, FullProfileGivesTheFixtureBaseAndItsOffsets) {
  std::string path = TempPath("full.ini");
  ASSERT_TRUE(qvf_write_default_profile(path.c_str(), "fixture-1.0"));
  Outcome o = lua().Call("GetAddress", {ArgStr(path)});
  EXPECT_TRUE(Gave(o, AddressResult(offsets_.base, offsets_.object_address_list, offsets_.object_data_offset,
                                    offsets_.text_buffer_address)));
}

TEST_F(GetAddressTest, ProfilesThatGiveATable) {
  const std::string mod = QVF_MODULE_NAME;
  struct Case {
    const char* name;
    std::string content;
    bool module_found;
    double list, data, text;
  };
  const std::string v255(255, 'V');
  const std::string v300 = v255 + std::string(45, 'W');
  const std::vector<Case> cases = {
      {"several sections, Version picks one",
       Config("b", mod) + Section("a", "1", "2", "3") + Section("b", "10", "20", "30") +
           Section("c", "4", "5", "6"),
       true, 0x10, 0x20, 0x30},
      {"module not loaded: base 0, offsets still parsed",
       Config("v", "qv_not_loaded_anywhere.dll") + Section("v", "0x1A", "10", "abc"), false, 26, 16, 0xABC},
      {"missing keys give 0", Config("v", mod) + "[v]\r\nObjectDataOffset=0x10\r\n", true, 0, 16, 0},
      {"empty values give 0", Config("v", mod) + Section("v", "", "", "\"\""), true, 0, 0, 0},
      {"missing layout section gives 0s", Config("v", mod) + Section("other", "1", "2", "3"), true, 0, 0, 0},
      {"eight F digits are unsigned", Config("v", mod) + Section("v", "FFFFFFFF", "0xffffffff", "80000000"),
       true, 4294967295.0, 4294967295.0, 2147483648.0},
      {"Version over 255 characters: its first 255 name the section",
       Config(v300, mod) + Section(v300, "0x300", "0x300", "0x300") + Section(v255, "0x255", "0x16", "0x2"),
       true, 0x255, 0x16, 0x2},
      {"values over 255 characters are cut to 255 before parsing",
       Config("v", mod) + Section("v", std::string(253, '0') + "1AFF", "0x" + std::string(251, '0') + "1234",
                                  std::string(247, '0') + "12345678"),
       true, 0x1A, 0x12, 0x12345678},
      {"Version may name the Config section itself",
       "[Config]\r\nVersion=Config\r\nModule=" + mod + "\r\nObjectAddressList=0x44\r\n", true, 0x44, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = WriteProfile("table.ini", c.content);
    Outcome o = lua().Call("GetAddress", {ArgStr(path)});
    EXPECT_TRUE(Gave(o, AddressResult(c.module_found ? offsets_.base : 0, c.list, c.data, c.text)));
  }
}

// GetAddress looks the module up and loads nothing: a system DLL that this
// process has not loaded gives ModuleAddress 0, and is still not loaded
// afterwards. (Nothing else in this program loads it.)
TEST_F(GetAddressTest, AModuleThatIsNotLoadedStaysSo) {
  const char* const dll = "msacm32.dll";
  char system[MAX_PATH];
  const UINT n = GetSystemDirectoryA(system, MAX_PATH);
  ASSERT_TRUE(n > 0 && n < MAX_PATH);
  ASSERT_NE(GetFileAttributesA((std::string(system) + "\\" + dll).c_str()), INVALID_FILE_ATTRIBUTES)
      << dll << " is not in " << system << ": name another system DLL";
  ASSERT_EQ(GetModuleHandleA(dll), nullptr) << dll << " is loaded already: name another system DLL";
  const std::string path = WriteProfile("system-dll.ini", Config("v", dll) + Section("v", "10", "20", "30"));
  EXPECT_TRUE(Gave(lua().Call("GetAddress", {ArgStr(path)}), AddressResult(0, 0x10, 0x20, 0x30)));
  EXPECT_EQ(GetModuleHandleA(dll), nullptr) << "GetAddress loaded " << dll;
}

TEST_F(GetAddressTest, ProfilesThatGiveNothing) {
  const std::string mod = QVF_MODULE_NAME;
  const std::string layout = Section("v", "1", "2", "3");
  struct Case {
    const char* name;
    bool file_exists;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"missing file", false, ""},
      {"empty file", true, ""},
      {"no Config section", true, layout},
      {"Config section empty", true, "[Config]\r\n" + layout},
      {"Version empty", true, "[Config]\r\nVersion=\r\nModule=" + mod + "\r\n" + layout},
      {"Version quoted empty", true, "[Config]\r\nVersion=\"\"\r\nModule=" + mod + "\r\n" + layout},
      {"Version missing", true, "[Config]\r\nModule=" + mod + "\r\n" + layout},
      {"Module empty", true, "[Config]\r\nVersion=v\r\nModule=\r\n" + layout},
      {"Module missing", true, "[Config]\r\nVersion=v\r\n" + layout},
      {"both empty", true, "[Config]\r\nVersion=\r\nModule=\r\n" + layout},
      {"keys in another section", true, "[Other]\r\nVersion=v\r\nModule=" + mod + "\r\n" + layout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = c.file_exists ? WriteProfile("nothing.ini", c.text) : TempPath("missing profile.ini");
    Outcome o = lua().Call("GetAddress", {ArgStr(path)});
    EXPECT_TRUE(GaveNil(o));
  }
  // The same through Lua: a call that gives nothing, not a nil value.
  lua().SetGlobal("path", ArgStr(TempPath("no such profile.ini")));
  Outcome o = lua().Run("return select('#', Q.GetAddress(path))");
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.values.at(0), Num(0));
}

// The rules of ParseHex are the native table's (address_profile_test.cpp);
// here, what the profile reading adds: quotes keep the blanks they hold, and
// a blank inside a value stays.
TEST_F(GetAddressTest, HexValuesAreParsedByTheProfileRules) {
  struct Case {
    std::string value;  // as written in the file; quotes keep blanks
    double expected;
  };
  const std::vector<Case> cases = {
      {"0x1A", 26},
      {"\"  1a\"", 26},  // leading blanks skipped
      {"\"\t1a\"", 26},  // a tab too
      {"\"1a \"", 26},
      {"12 34", 0x12},  // a blank inside a value is kept: it ends the number
      {"0 12", 0x12},   // ... but not after a leading zero
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("value " + c.value);
    std::string path =
        WriteProfile("hex.ini", Config("v", QVF_MODULE_NAME) + Section("v", c.value, c.value, c.value));
    Outcome o = lua().Call("GetAddress", {ArgStr(path)});
    EXPECT_TRUE(Gave(o, AddressResult(offsets_.base, c.expected, c.expected, c.expected)));
  }
}

TEST_F(GetAddressTest, WhatTheProfileApiWroteIsReadBack) {
  std::string path = TempPath("written.ini");
  ASSERT_TRUE(qvf_write_profile_string(path.c_str(), "Config", "Version", "w1"));
  ASSERT_TRUE(qvf_write_profile_string(path.c_str(), "Config", "Module", QVF_MODULE_NAME));
  ASSERT_TRUE(qvf_write_profile_string(path.c_str(), "w1", "ObjectAddressList", "0x0000ABCD"));
  ASSERT_TRUE(qvf_write_profile_string(path.c_str(), "w1", "TextBufferAddress", "7fffffff"));
  Outcome o = lua().Call("GetAddress", {ArgStr(path)});
  EXPECT_TRUE(Gave(o, AddressResult(offsets_.base, 0xABCD, 0, 2147483647.0)));
}

TEST_F(GetAddressTest, NonStringArgumentRaisesTheStandardError) {
  struct Case {
    const char* call;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"Q.GetAddress({})", "bad argument #1 to 'GetAddress' (string expected, got table)"},
      {"Q.GetAddress()", "bad argument #1 to 'GetAddress' (string expected, got no value)"},
      {"Q.GetAddress(nil)", "bad argument #1 to 'GetAddress' (string expected, got nil)"},
      {"Q.GetAddress(true)", "bad argument #1 to 'GetAddress' (string expected, got boolean)"},
      {"Q.GetAddress(print)", "bad argument #1 to 'GetAddress' (string expected, got function)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    Outcome o = lua().Run(std::string("return (") + c.call + ")");
    EXPECT_TRUE(Raised(o, c.message));
  }
  // However the function is reached, it is named by its own name.
  for (const char* chunk : {"local ga = Q.GetAddress; return (ga({}))",
                            "return Q.GetAddress({})",  // a tail call
                            "local ok, e = pcall(Q.GetAddress, {}); error(e, 0)"}) {
    SCOPED_TRACE(chunk);
    EXPECT_TRUE(Raised(lua().Run(chunk), "bad argument #1 to 'GetAddress' (string expected, got table)"));
  }
  // A number is turned into a string by Lua: a path that names no profile.
  Outcome o = lua().Run("return select('#', Q.GetAddress(12345))");
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.values.at(0), Num(0));
}

TEST_F(GetAddressTest, TableFromAProfileDrivesBothReaders) {
  std::string path = TempPath("round trip.ini");
  ASSERT_TRUE(qvf_write_default_profile(path.c_str(), "rt"));
  lua().SetGlobal("path", ArgStr(path));
  Outcome o = lua().Run(
      "local t = Q.GetAddress(path)\n"
      "local r = Q.GetObjectData(t, 0)\n"
      "return r.file, Q.GetTextbufferString(t)");
  ASSERT_TRUE(o.ok) << o.error;
  ASSERT_EQ(o.values.size(), 2u);
  EXPECT_EQ(o.values[0], Str("C:\\media\\clip0.avi"));
  EXPECT_EQ(o.values[1], Str("Fixture text buffer: 0123456789 ABC xyz"));
}

}  // namespace
}  // namespace qv_e2e
