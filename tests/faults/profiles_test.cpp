// Broken and random address profiles: GetAddress gives a table or nil, never
// a crash, and a table only when "Version" and "Module" could be found.
// Where Windows documents the outcome (a missing file, a directory, a value
// cut to 255 characters, an ANSI path in the ANSI code page) it is checked;
// where it does not (line ends other than CRLF, byte order marks, duplicate
// keys and sections, very long lines) a table, when one comes, must hold
// values the profile could mean.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "campaign.h"

namespace qv_faults {
namespace {

using Rng = std::mt19937_64;

std::uint32_t Below(Rng& rng, std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); }

// The four fields of an address table, in the order ModuleAddress,
// ObjectAddressList, ObjectDataOffset, TextBufferAddress.
struct Fields {
  double v[4];
  bool operator==(const Fields& o) const {
    return std::equal(std::begin(v), std::end(v), std::begin(o.v));
  }
};

std::string ShowFields(const Fields& f) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "{0x%08lX, 0x%lX, 0x%lX, 0x%lX}", static_cast<unsigned long>(f.v[0]),
                static_cast<unsigned long>(f.v[1]), static_cast<unsigned long>(f.v[2]),
                static_cast<unsigned long>(f.v[3]));
  return buf;
}

// Empty when `v` is an address table (exactly the four fields, each a whole
// number from 0 to 2^32 - 1), which goes to *out.
std::string AddressTableProblem(const LuaValue& v, Fields* out) {
  static const char* const kNames[4] = {"ModuleAddress", "ObjectAddressList", "ObjectDataOffset",
                                        "TextBufferAddress"};
  if (v.kind != LuaValue::kTable) return "not a table: " + Describe(v);
  if (v.fields.size() != 4 || v.other_keys != 0) return "not the four fields: " + Describe(v);
  for (int i = 0; i < 4; ++i) {
    const auto found = std::find_if(v.fields.begin(), v.fields.end(),
                                    [&](const auto& f) { return f.first == kNames[i]; });
    if (found == v.fields.end() || found->second.kind != LuaValue::kNumber) return "bad " + Describe(v);
    const double n = found->second.number;
    if (n < 0 || n >= kTwo32 || n != static_cast<double>(static_cast<std::uint32_t>(n))) {
      return std::string(kNames[i]) + " out of range in " + Describe(v);
    }
    out->v[i] = n;
  }
  return "";
}

bool ContainsNoCase(const std::string& text, const char* word) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find(word) != std::string::npos;
}

std::string Hex(std::uint32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(n));
  return buf;
}

// Writes a file through the wide API, so that any path Windows can hold can
// be made (\\?\ paths past MAX_PATH, names outside the ANSI code page).
bool WriteFileWide(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The ANSI form of a wide path, or "" when the ANSI code page lacks one of
// its characters.
std::string ToAnsi(const std::wstring& wide) {
  BOOL used_default = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0,
                                       nullptr, &used_default);
  if (size <= 0 || used_default) return "";
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, &out[0], size, nullptr, &used_default);
  out.resize(static_cast<size_t>(size - 1));
  return used_default ? "" : out;
}

class BrokenProfiles : public ::testing::Test {
 protected:
  void SetUp() override {
    qvf_get_offsets(&offsets_);
    ASSERT_TRUE(lua_.ready()) << lua_.open_error();
    fixture_ = Fields{{static_cast<double>(offsets_.base), static_cast<double>(offsets_.object_address_list),
                       static_cast<double>(offsets_.object_data_offset),
                       static_cast<double>(offsets_.text_buffer_address)}};
  }

  // A complete profile for the fixture with the given line end.
  std::string FixtureProfile(const std::string& eol, const std::string& version = "v1") const {
    return "[Config]" + eol + "Version=" + version + eol + "Module=" QVF_MODULE_NAME + eol + eol + "[" +
           version + "]" + eol + OffsetLines(eol);
  }
  std::string OffsetLines(const std::string& eol) const {
    return "ObjectAddressList=" + Hex(offsets_.object_address_list) + eol + "ObjectDataOffset=" +
           Hex(offsets_.object_data_offset) + eol + "TextBufferAddress=" + Hex(offsets_.text_buffer_address) + eol;
  }
  Fields WithModule(double module, double list, double data, double text) const {
    return Fields{{module, list, data, text}};
  }

  std::string Path(const std::string& name) const { return ScratchDir() + name; }

  std::string WriteProfile(const std::string& name, const std::string& bytes) {
    const std::string path = Path(name);
    EXPECT_NE(qvf_write_file(path.c_str(), bytes.data(), static_cast<std::uint32_t>(bytes.size())), 0) << path;
    return path;
  }

  enum class Expect {
    kTable,       // a table, one of `allowed`
    kNil,         // nil
    kTableOrNil,  // nil, or a table that is one of `allowed` (any address table when empty)
  };

  // Calls GetAddress(path) and checks the outcome; returns what it gave.
  std::string Check(const std::string& name, const std::string& path, Expect expect,
                    const std::vector<Fields>& allowed) {
    SCOPED_TRACE(name + ": GetAddress(\"" + (path.size() > 120 ? path.substr(0, 120) + "..." : path) + "\")");
    Outcome o = lua_.Call("GetAddress", {ArgStr(path)});
    EXPECT_EQ(StackProblem(o), "");
    if (!o.ok) return "error";
    if (o.values.empty()) {
      EXPECT_NE(expect, Expect::kTable) << "gave nil";
      return "nil";
    }
    EXPECT_NE(expect, Expect::kNil) << "gave " << Describe(o.values[0]);
    Fields got{};
    const std::string problem = AddressTableProblem(o.values[0], &got);
    EXPECT_EQ(problem, "");
    if (!problem.empty()) return "bad table";
    if (!allowed.empty()) {
      std::string choices;
      for (const Fields& f : allowed) choices += " " + ShowFields(f);
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), got), allowed.end())
          << "gave " << ShowFields(got) << ", expected one of" << choices;
    }
    return ShowFields(got);
  }

  QvfOffsets offsets_{};
  Fields fixture_{};
  LuaSession lua_;
};

TEST_F(BrokenProfiles, EveryBrokenFileGivesATableOrNil) {
  Rng rng = TestRng("BrokenProfiles.EveryBrokenFileGivesATableOrNil");
  const Fields fixture = fixture_;
  const Fields fixture_no_offsets = WithModule(offsets_.base, 0, 0, 0);
  const Fields other_offsets = WithModule(offsets_.base, 0x111, 0x22, 0x333);
  const std::string crlf = "\r\n";
  const std::string full = FixtureProfile(crlf);
  const std::string kb100(100 * 1024, 'x');

  std::string binary(4096, '\0');
  for (char& c : binary) c = static_cast<char>(rng());
  std::string utf16 = "\xFF\xFE";
  for (char c : full) utf16 += std::string{c, '\0'};
  std::string mixed;
  for (char c : full) {
    if (c == '\r') continue;
    if (c == '\n') {
      static const char* const kEnds[] = {"\r\n", "\n", "\r"};
      mixed += kEnds[Below(rng, 3)];
    } else {
      mixed += c;
    }
  }
  std::string nul_inside = full;
  nul_inside.insert(nul_inside.find("[v1]"), std::string("\0", 1));
  const std::string long_version(100 * 1024, 'V');

  struct Case {
    const char* name;
    std::string bytes;
    Expect expect;
    std::vector<Fields> allowed;
  };
  const std::vector<Case> cases = {
      {"CRLF", full, Expect::kTable, {fixture}},
      {"LF", FixtureProfile("\n"), Expect::kTableOrNil, {fixture}},
      {"CR", FixtureProfile("\r"), Expect::kTableOrNil, {fixture}},
      {"mixed line ends", mixed, Expect::kTableOrNil, {fixture}},
      {"no newline at the end", full.substr(0, full.size() - 2), Expect::kTableOrNil, {fixture}},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF" + full, Expect::kTableOrNil, {fixture}},
      {"UTF-16LE byte order mark", utf16, Expect::kTableOrNil, {fixture}},
      {"duplicate keys",
       "[Config]\r\nVersion=v1\r\nModule=" QVF_MODULE_NAME "\r\nVersion=v2\r\nModule=qv_missing.dll\r\n"
       "[v1]\r\n" + OffsetLines(crlf) +
           "[v2]\r\nObjectAddressList=0x111\r\nObjectDataOffset=0x22\r\nTextBufferAddress=0x333\r\n",
       Expect::kTableOrNil,
       {fixture, other_offsets, WithModule(0, fixture.v[1], fixture.v[2], fixture.v[3]),
        WithModule(0, 0x111, 0x22, 0x333)}},
      {"duplicate sections",
       "[Config]\r\nVersion=v1\r\nModule=" QVF_MODULE_NAME "\r\n[v1]\r\n" + OffsetLines(crlf) +
           "[Config]\r\nVersion=v2\r\nModule=qv_missing.dll\r\n"
           "[v1]\r\nObjectAddressList=0x111\r\nObjectDataOffset=0x22\r\nTextBufferAddress=0x333\r\n"
           "[v2]\r\nObjectAddressList=0x111\r\nObjectDataOffset=0x22\r\nTextBufferAddress=0x333\r\n",
       Expect::kTableOrNil,
       {fixture, other_offsets, WithModule(0, fixture.v[1], fixture.v[2], fixture.v[3]),
        WithModule(0, 0x111, 0x22, 0x333)}},
      {"100 KB line before the keys", "[Config]\r\nJunk=" + kb100 + "\r\n" + full.substr(10), Expect::kTableOrNil,
       {fixture}},
      {"100 KB line without a newline at the end", full + kb100, Expect::kTableOrNil, {fixture}},
      {"100 KB Version (cut to 255 characters)",
       "[Config]\r\nVersion=" + long_version + "\r\nModule=" QVF_MODULE_NAME "\r\n[" + long_version.substr(0, 255) +
           "]\r\n" + OffsetLines(crlf),
       Expect::kTableOrNil, {fixture, fixture_no_offsets}},
      {"binary bytes", binary, ContainsNoCase(binary, "version") && ContainsNoCase(binary, "module")
                                   ? Expect::kTableOrNil : Expect::kNil, {}},
      {"binary bytes before a profile", binary + "\r\n" + full, Expect::kTableOrNil, {fixture, fixture_no_offsets}},
      {"a NUL byte inside", nul_inside, Expect::kTableOrNil, {fixture, fixture_no_offsets}},
      {"empty file", "", Expect::kNil, {}},
      {"no Version", "[Config]\r\nModule=" QVF_MODULE_NAME "\r\n[v1]\r\n" + OffsetLines(crlf), Expect::kNil, {}},
      {"empty Version", "[Config]\r\nVersion=\r\nModule=" QVF_MODULE_NAME "\r\n", Expect::kNil, {}},
      {"no Module", "[Config]\r\nVersion=v1\r\n[v1]\r\n" + OffsetLines(crlf), Expect::kNil, {}},
      {"no Config section", "[v1]\r\nVersion=v1\r\nModule=" QVF_MODULE_NAME "\r\n" + OffsetLines(crlf),
       Expect::kNil, {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = WriteProfile("broken " + std::to_string(++n) + ".ini", c.bytes);
    const std::string gave = Check(c.name, path, c.expect, c.allowed);
    std::printf("[ profile  ] %-42s -> %s\n", c.name, gave.c_str());
  }
}

TEST_F(BrokenProfiles, PathsThatLeadNowhereGiveNil) {
  // The scratch folder itself: a directory, not a file.
  std::string dir = ScratchDir();
  dir.pop_back();
  Check("a directory", dir, Expect::kNil, {});
  Check("a directory with a trailing backslash", ScratchDir(), Expect::kNil, {});

  // A drive letter that no drive has.
  const DWORD drives = GetLogicalDrives();
  char letter = 0;
  for (char c = 'D'; c <= 'Y'; ++c) {
    if ((drives & (1u << (c - 'A'))) == 0) {
      letter = c;
      break;
    }
  }
  ASSERT_NE(letter, 0) << "every drive letter is taken";
  Check("a missing drive", std::string(1, letter) + ":\\qv faults\\profile.ini", Expect::kNil, {});

  // More than 260 characters, to a file that is not there.
  Check("a long path to nothing", ScratchDir() + std::string(300, 'n') + ".ini", Expect::kNil, {});
}

TEST_F(BrokenProfiles, LongAndNonAsciiPathsToARealProfile) {
  const std::string profile = FixtureProfile("\r\n");

  // A profile whose path is longer than MAX_PATH, made through \\?\. The
  // ANSI functions need not reach it: a table for the fixture, or nil.
  std::wstring long_dir = L"\\\\?\\" + Widen(ScratchDir());
  std::string long_ansi = ScratchDir();
  for (int i = 0; i < 3; ++i) {
    const std::string part = "long folder " + std::to_string(i) + std::string(90, 'd');
    long_dir += Widen(part) + L"\\";
    long_ansi += part + "\\";
    ASSERT_TRUE(CreateDirectoryW(long_dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  ASSERT_TRUE(WriteFileWide(long_dir + L"profile.ini", profile));
  long_ansi += "profile.ini";
  ASSERT_GT(long_ansi.size(), 260u);
  const std::string gave = Check("a path over 260 characters", long_ansi, Expect::kTableOrNil, {fixture_});
  std::printf("[ profile  ] %-42s -> %s\n", "a path over 260 characters", gave.c_str());

  // A folder name with letters outside ASCII that ANSI code page 1252 has:
  // the ANSI path names the same file.
  if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1252";
  const std::wstring name = L"qv faults \u00E9\u00FC\u00DF\u00C5";
  const std::string ansi_name = ToAnsi(name);
  ASSERT_FALSE(ansi_name.empty()) << "code page 1252 has a form for every letter of the name";
  const std::wstring wide_dir = Widen(ScratchDir()) + name + L"\\";
  ASSERT_TRUE(CreateDirectoryW(wide_dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(WriteFileWide(wide_dir + L"profile.ini", profile));
  const std::string gave_ansi =
      Check("a non-ASCII path", ScratchDir() + ansi_name + "\\profile.ini", Expect::kTable, {fixture_});
  std::printf("[ profile  ] %-42s -> %s\n", "a non-ASCII path", gave_ansi.c_str());
}

// Profiles put together at random from lines that look like a profile's,
// junk and mixed line ends, and the fixture's profile with random damage.
TEST_F(BrokenProfiles, RandomProfilesGiveATableOrNil) {
  Rng rng = TestRng("BrokenProfiles.RandomProfilesGiveATableOrNil");
  constexpr int kProfiles = 200;
  const auto word = [&] {
    std::string w = "q";
    for (std::uint32_t i = 0, n = Below(rng, 7); i < n; ++i) w += static_cast<char>('r' + Below(rng, 9));
    return w;
  };
  const auto junk = [&](std::uint32_t max) {
    std::string j;
    for (std::uint32_t i = 0, n = Below(rng, max); i < n; ++i) j += static_cast<char>(rng());
    return j;
  };
  const std::vector<std::string> sections = {"Config", "config", "CONFIG", " Config ", "v1", "V1", "v2", ""};
  const std::vector<std::string> keys = {"Version", "version", "Module", "MODULE", " Module ",
                                         "ObjectAddressList", "ObjectDataOffset", "TextBufferAddress", ""};
  // The fixture's profile, damaged: lines dropped, doubled, swapped or cut,
  // bytes changed, junk put in, names' case changed, blanks around "=".
  const auto damaged = [&] {
    std::vector<std::string> lines;
    const std::string full = FixtureProfile("\n");
    for (size_t at = 0; at < full.size();) {
      const size_t end = full.find('\n', at);
      lines.push_back(full.substr(at, end - at));
      at = end + 1;
    }
    for (std::uint32_t op = 0, ops = 1 + Below(rng, 5); op < ops && !lines.empty(); ++op) {
      const size_t i = Below(rng, static_cast<std::uint32_t>(lines.size()));
      std::string& line = lines[i];
      switch (Below(rng, 8)) {
        case 0: lines.erase(lines.begin() + static_cast<long>(i)); break;
        case 1: lines.insert(lines.begin() + static_cast<long>(Below(rng, static_cast<std::uint32_t>(lines.size()))), line); break;
        case 2: std::swap(line, lines[Below(rng, static_cast<std::uint32_t>(lines.size()))]); break;
        case 3: line.resize(Below(rng, static_cast<std::uint32_t>(line.size()) + 1)); break;
        case 4:
          if (!line.empty()) line[Below(rng, static_cast<std::uint32_t>(line.size()))] = static_cast<char>(rng());
          break;
        case 5: lines.insert(lines.begin() + static_cast<long>(i), junk(60)); break;
        case 6:
          for (char& c : line) c = static_cast<char>(Below(rng, 2) == 0 ? std::toupper(static_cast<unsigned char>(c))
                                                                       : std::tolower(static_cast<unsigned char>(c)));
          break;
        default: {
          const size_t eq = line.find('=');
          if (eq != std::string::npos) line.replace(eq, 1, " = ");
          break;
        }
      }
    }
    std::string text;
    for (const std::string& line : lines) {
      static const char* const kEnds[] = {"\r\n", "\r\n", "\n", "\r"};
      text += line + kEnds[Below(rng, 4)];
    }
    return text;
  };
  // Lines that look like a profile's, junk, and mixed line ends.
  const auto assembled = [&] {
    std::string text;
    for (std::uint32_t line = 0, lines = Below(rng, 30); line < lines; ++line) {
      switch (Below(rng, 6)) {
        case 0: text += "[" + (Below(rng, 4) == 0 ? word() : sections[Below(rng, 8)]) + "]"; break;
        case 1:
        case 2: {
          const std::string key = Below(rng, 5) == 0 ? word() : keys[Below(rng, 9)];
          std::string value;
          switch (Below(rng, 8)) {
            case 0: value = "v1"; break;
            case 1: value = "v2"; break;
            case 2: value = QVF_MODULE_NAME; break;
            case 3: value = "qv_missing.dll"; break;
            case 4: value = Hex(static_cast<std::uint32_t>(rng())); break;
            case 5: value = std::string(Below(rng, 400), 'h'); break;
            case 6: value = junk(40); break;
            default: value = word(); break;
          }
          text += key + (Below(rng, 3) == 0 ? " = " : "=") + value;
          break;
        }
        case 3: text += "; " + word(); break;
        case 4: text += junk(80); break;
        default: break;
      }
      static const char* const kEnds[] = {"\r\n", "\r\n", "\n", "\r", ""};
      text += kEnds[Below(rng, 5)];
    }
    return text;
  };

  int tables = 0;
  for (int i = 0; i < kProfiles; ++i) {
    const std::string text = (Below(rng, 8) == 0 ? "\xEF\xBB\xBF" : "") + (i % 2 == 0 ? assembled() : damaged());
    const std::string path = WriteProfile("random " + std::to_string(i) + ".ini", text);
    // Without "Config", "Version" and "Module" somewhere in it, the file
    // cannot give a table.
    const bool could_be_table = ContainsNoCase(text, "config") && ContainsNoCase(text, "version") &&
                                ContainsNoCase(text, "module");
    const std::string gave = Check("random profile " + std::to_string(i) + " (seed " +
                                       std::to_string(RunSeed()) + ")",
                                   path, could_be_table ? Expect::kTableOrNil : Expect::kNil, {});
    if (gave != "nil" && gave != "error" && gave != "bad table") {
      ++tables;
      // The module field is 0 or the fixture's base: no other module is named.
      EXPECT_TRUE(gave.rfind("{0x00000000,", 0) == 0 || gave.rfind("{" + Hex(offsets_.base) + ",", 0) == 0)
          << gave;
    }
    DeleteFileA(path.c_str());
  }
  std::printf("[ campaign ] %d random profiles, %d gave a table\n", kProfiles, tables);
}

}  // namespace
}  // namespace qv_faults
