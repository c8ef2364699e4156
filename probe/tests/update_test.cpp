// quorvane-probe sign and update against the sample host's releases: sign
// on one release with its own profile, update to the next in a running host
// and from its module file; a release whose reading code was rewritten, and
// builds made otherwise, give no section rather than a wrong one; a wrong
// profile is never signed; bad input gives status 2.
//
//   update_tests --probe=EXE --host-dir=DIR [--release=X=INI]...
//
// The host DIR holds sample_host.exe and every release of sample_app.dll
// (1.4 beside it, X in sample-app-X), each --release X with its profile.
// Hosts are named by their process ids only, so that other runs' hosts do
// not matter; what the tests write goes to a scratch folder of this run's.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_reader.h"
#include "process_runner.h"
#include "test_arguments.h"

namespace probe_test {
namespace {

struct Settings {
  std::string probe;
  std::string host_dir;  // with a trailing backslash
  std::map<std::string, std::string> profiles;  // release -> its profile
};
Settings g_settings;
std::string g_scratch;  // with a trailing backslash
class Host;
Host* g_shared_host = nullptr;  // SampleApp 1.6, for the cases that need any host

// Served hosts are ended as soon as their test is done with them.
constexpr int kServeSeconds = 600;


std::string ModuleFile(const std::string& release) {
  return g_settings.host_dir + (release == "1.4" ? "" : "sample-app-" + release + "\\") +
         "sample_app.dll";
}

std::string ProfileOf(const std::string& release) {
  const auto found = g_settings.profiles.find(release);
  EXPECT_NE(found, g_settings.profiles.end()) << "no --release=" << release << "=INI";
  return found == g_settings.profiles.end() ? "" : found->second;
}

// The offsets a release's own profile gives: the truth.
struct Offsets {
  std::string section;
  std::uint32_t value[3] = {};
};
constexpr const char* kKeys[] = {"ObjectAddressList", "ObjectDataOffset", "TextBufferAddress"};

Offsets TruthOf(const std::string& release) {
  const std::string path = ProfileOf(release);
  char text[256];
  Offsets o;
  GetPrivateProfileStringA("Config", "Version", "", text, sizeof text, path.c_str());
  o.section = text;
  for (int i = 0; i < 3; ++i) {
    GetPrivateProfileStringA(o.section.c_str(), kKeys[i], "", text, sizeof text, path.c_str());
    o.value[i] = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 16));
  }
  return o;
}

std::string SectionText(const std::string& name, const Offsets& o) {
  char text[200];
  std::snprintf(text, sizeof text,
                "[%s]\r\nObjectAddressList=0x%08X\r\nObjectDataOffset=0x%08X\r\n"
                "TextBufferAddress=0x%08X\r\n",
                name.c_str(), static_cast<unsigned>(o.value[0]), static_cast<unsigned>(o.value[1]),
                static_cast<unsigned>(o.value[2]));
  return text;
}

RunResult Probe(const std::vector<std::string>& args) {
  return RunProgram(g_settings.probe, args);
}

Json Parse(const RunResult& run) {
  Json json;
  std::string error;
  EXPECT_TRUE(ParseJson(run.out, &json, &error)) << error << "\n" << run.out << run.err;
  return json;
}

std::uint32_t U32(const Json& j) { return static_cast<std::uint32_t>(j.number); }

bool FileThere(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Whether standard output holds a line a profile reader would take: no
// section is printed when every line is a comment.
bool HasActiveLine(const std::string& out) {
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] != ';' && line != "\r") return true;
  }
  return false;
}

// A host running `release`; the test fails when it cannot start.
class Host {
 public:
  explicit Host(const std::string& release) {
    std::string error;
    started_ = host_.Start(g_settings.host_dir + "sample_host.exe", kServeSeconds, &error,
                           {"--app", release});
    EXPECT_TRUE(started_) << error;
  }
  bool started() const { return started_; }
  std::string pid() const { return std::to_string(host_.pid()); }

 private:
  ServedHost host_;
  bool started_ = false;
};

// The signature file of each release, made once by sign in a host running
// it with the release's own profile.
const std::string& SignatureOf(const std::string& release) {
  static std::map<std::string, std::string> files;
  std::string& file = files[release];
  if (!file.empty()) return file;
  const std::string path = g_scratch + "signed-" + release + ".sig";
  Host host(release);
  if (!host.started()) return file;
  const RunResult run = Probe({"sign", host.pid(), "--profile", ProfileOf(release), "--out", path});
  EXPECT_EQ(run.exit_code, 0) << release << "\n" << run.out << run.err;
  EXPECT_NE(run.out.find("Signed: "), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "");
  if (run.exit_code == 0) file = path;
  return file;
}

class UpdateEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_scratch = probe_test::MakeScratchFolder("quorvane-update-test-");
    ASSERT_NE(g_scratch, "");
  }

  void TearDown() override {
    delete g_shared_host;
    g_shared_host = nullptr;
    WIN32_FIND_DATAA found;
    const HANDLE find = FindFirstFileA((g_scratch + "*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileA((g_scratch + found.cFileName).c_str());
      } while (FindNextFileA(find, &found));
      FindClose(find);
    }
    RemoveDirectoryA(g_scratch.c_str());
  }
};

// ------------------------------------------------------------ update

struct Pair {
  const char* from;
  const char* to;
};

void PrintTo(const Pair& p, std::ostream* os) { *os << p.from << " -> " << p.to; }

std::string PairName(const ::testing::TestParamInfo<Pair>& info) {
  std::string name = std::string(info.param.from) + "_to_" + info.param.to;
  for (char& c : name) c = (c == '.' || c == '-') ? '_' : c;
  return name;
}

// Signed on one release, update gives the next one's offsets: in the running
// host, checked there (status 0, the section as find prints it), and from its
// module file (status 3, the same section and a line that says it was not
// checked).
class NextReleaseTest : public ::testing::TestWithParam<Pair> {};

TEST_P(NextReleaseTest, GivesItsOwnOffsets) {
  const Pair pair = GetParam();
  const std::string& signatures = SignatureOf(pair.from);
  ASSERT_FALSE(signatures.empty());
  const Offsets truth = TruthOf(pair.to);
  Host host(pair.to);
  ASSERT_TRUE(host.started());

  const RunResult json_run = Probe({"update", host.pid(), "--signatures", signatures, "--json"});
  EXPECT_EQ(json_run.exit_code, 0) << json_run.err;
  const Json report = Parse(json_run);
  EXPECT_TRUE(report["ok"].boolean);
  EXPECT_TRUE(report["checked"].boolean);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(U32(report["found"][kKeys[i]]), truth.value[i]) << kKeys[i];
    const Json& offset = report["offsets"][static_cast<std::size_t>(i)];
    EXPECT_EQ(offset["disagreed"].number, 0) << kKeys[i];
    EXPECT_GE(offset["agreed"].number, offset["signatures"].number >= 2 ? 2 : 1) << kKeys[i];
  }
  EXPECT_TRUE(report["live_check"]["passed"].boolean);
  EXPECT_EQ(report["walks"].size(), 16u);
  for (const Json& walk : report["walks"].items) EXPECT_TRUE(walk["ok"].boolean);

  const std::string section = SectionText(truth.section, truth);
  const RunResult live = Probe({"update", host.pid(), "--signatures", signatures, "--section",
                                truth.section});
  EXPECT_EQ(live.exit_code, 0) << live.err;
  EXPECT_EQ(live.out.rfind(section + ";", 0), 0u) << live.out.substr(0, 300);
  EXPECT_EQ(live.err, "");

  const RunResult file = Probe({"update", "--module-file", ModuleFile(pair.to), "--signatures",
                                signatures, "--section", truth.section});
  EXPECT_EQ(file.exit_code, 3) << file.err;
  EXPECT_EQ(file.out.rfind(section + "; Not checked against a running host", 0), 0u)
      << file.out.substr(0, 300);
  EXPECT_NE(file.err.find("not checked against a running host"), std::string::npos) << file.err;
}

INSTANTIATE_TEST_SUITE_P(Releases, NextReleaseTest,
                         ::testing::Values(Pair{"1.4", "1.5"}, Pair{"1.5", "1.6"},
                                           Pair{"1.6", "1.7"}, Pair{"1.6-O0", "1.7-O0"},
                                           Pair{"1.6-clang", "1.7-clang"},
                                           Pair{"1.6-noreloc", "1.7-noreloc"},
                                           Pair{"1.6", "1.7-noreloc"}),
                         PairName);

// Builds made otherwise than the signed one may give no section, never a
// wrong one: from the module file alone, without the live check.
TEST(UpdateTest, OtherBuildsGiveTheRightSectionOrNone) {
  for (const Pair pair : {Pair{"1.6", "1.7-clang"}, Pair{"1.6", "1.7-O0"}, Pair{"1.6-O0", "1.7"},
                          Pair{"1.6-clang", "1.7"}}) {
    SCOPED_TRACE(std::string(pair.from) + " -> " + pair.to);
    const std::string& signatures = SignatureOf(pair.from);
    ASSERT_FALSE(signatures.empty());
    const RunResult run = Probe(
        {"update", "--module-file", ModuleFile(pair.to), "--signatures", signatures, "--json"});
    const Json report = Parse(run);
    if (run.exit_code == 3) {
      const Offsets truth = TruthOf(pair.to);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(U32(report["found"][kKeys[i]]), truth.value[i]);
      continue;
    }
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_FALSE(report["ok"].boolean);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(report["found"][kKeys[i]].type, Json::kNull);
  }
}

// 1.8's reading code was rewritten: one of 1.7's code shapes now reads
// another list. Its signatures disagree, and update gives no section, live
// or from the file, and names the signatures that disagree.
TEST(UpdateTest, RewrittenReleaseGivesNoSection) {
  const std::string& signatures = SignatureOf("1.7");
  ASSERT_FALSE(signatures.empty());
  Host host("1.8");
  ASSERT_TRUE(host.started());

  const RunResult text = Probe({"update", host.pid(), "--signatures", signatures});
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_FALSE(HasActiveLine(text.out)) << text.out;
  EXPECT_EQ(text.out.rfind("; No section", 0), 0u) << text.out.substr(0, 200);
  EXPECT_NE(text.err.find("ObjectAddressList: not given: its signatures disagree"),
            std::string::npos)
      << text.err;
  EXPECT_NE(text.err.find(" read 0x"), std::string::npos) << text.err;
  EXPECT_NE(text.err.find("quorvane-probe find"), std::string::npos) << text.err;

  const RunResult json = Probe({"update", host.pid(), "--signatures", signatures, "--json"});
  EXPECT_EQ(json.exit_code, 1);
  const Json report = Parse(json);
  EXPECT_FALSE(report["ok"].boolean);
  EXPECT_EQ(report["live_check"].type, Json::kNull);
  EXPECT_GE(report["offsets"][0]["disagreed"].number, 1);
  EXPECT_FALSE(report["offsets"][0]["given"].boolean);
  std::map<std::string, int> results;
  for (const Json& s : report["signatures"].items) ++results[s["result"].str];
  EXPECT_GE(results["disagrees"], 2);

  const RunResult file = Probe({"update", "--module-file", ModuleFile("1.8"), "--signatures",
                                signatures});
  EXPECT_EQ(file.exit_code, 1);
  EXPECT_FALSE(HasActiveLine(file.out)) << file.out;
}

// ------------------------------------------------------------ sign

// A profile that is wrong for the running host is never signed: each
// mistake is named, and no file is written.
TEST(SignTest, WrongProfileIsNeverSigned) {
  struct Case {
    const char* list;
    const char* data;
    const char* buffer;
    const char* said;  // part of the reasons
  };
  // SampleApp 1.6: 0x19AC, 0x48, 0x10E8.
  const Case cases[] = {
      {"0x19B0", "0x48", "0x10E8", "does not read as one"},        // every type reads the next
      {"0x19AC", "0x44", "0x10E8", "cannot be read"},              // another field of the entry
      {"0x19AC", "0x4C", "0x10E8", "no type reaches a record"},    // a field that holds 0
      {"0x19AC", "0x48", "0x10EA", "inside running text"},         // one character in
      {"0x19AC", "0x48", "0x10E0", "is empty"},                    // zeros before it
      {"0x1A18", "0x84", "0x1114", "not signed"},                  // 1.7's offsets
      {"0x19AC", "0", "0x10E8", "ObjectDataOffset is 0"},
  };
  Host host("1.6");
  ASSERT_TRUE(host.started());
  const std::string out = g_scratch + "wrong.sig";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " " + c.data + " " + c.buffer);
    const std::string profile = g_scratch + "wrong.ini";
    WriteText(profile, std::string("[Config]\r\nVersion=SampleApp 1.6\r\nModule=sample_app.dll\r\n"
                                   "[SampleApp 1.6]\r\nObjectAddressList=") +
                           c.list + "\r\nObjectDataOffset=" + c.data +
                           "\r\nTextBufferAddress=" + c.buffer + "\r\n");
    const RunResult run = Probe({"sign", host.pid(), "--profile", profile, "--out", out});
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_NE(run.out.find("Check    the profile is not right for this host:"), std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not signed: the profile is not right for this host"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(FileThere(out));
  }
}

// The signature file goes beside the profile unless --out says otherwise; a
// signature file there is replaced, any other file is left alone.
TEST(SignTest, WritesBesideTheProfileAndReplacesOnlySignatures) {
  Host host("1.6");
  ASSERT_TRUE(host.started());
  const std::string profile = g_scratch + "host.v1.6.ini";
  WriteText(profile, ReadText(ProfileOf("1.6")));
  const std::string beside = g_scratch + "host.v1.6.sig";

  RunResult run = Probe({"sign", host.pid(), "--profile", profile});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(ReadText(beside).rfind("quorvane-signatures 1\n", 0), 0u);
  EXPECT_NE(run.out.find("Check    types 0 1 2 3 4 5 6 7 8 9 10 11 12 13 80 reach a plausible"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Signed: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" signatures in " + beside + "\r\n"), std::string::npos) << run.out;

  run = Probe({"sign", host.pid(), "--profile", profile});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("(replacing the signatures of \"SampleApp 1.6\")"), std::string::npos)
      << run.out;

  // The profile itself, or any other file that is not a signature file.
  for (const std::string& other : {profile, g_scratch + "notes.txt"}) {
    if (other != profile) WriteText(other, "keep me\r\n");
    const std::string before = ReadText(other);
    run = Probe({"sign", host.pid(), "--profile", profile, "--out", other});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("is not a signature file: it is left alone"), std::string::npos)
        << run.err;
    EXPECT_EQ(ReadText(other), before);
  }

  // --section signs another section of the profile; its offsets are checked.
  WriteText(profile, ReadText(ProfileOf("1.6")) + "\r\n[Typo]\r\nObjectAddressList=0x19AC\r\n"
                                                    "ObjectDataOffset=0x48\r\n"
                                                    "TextBufferAddress=0x10E9\r\n");
  run = Probe({"sign", host.pid(), "--profile", profile, "--section", "Typo", "--out",
               g_scratch + "typo.sig"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("the text buffer at 0x160010E9"), std::string::npos) << run.err;
  EXPECT_FALSE(FileThere(g_scratch + "typo.sig"));
}

// ------------------------------------------------------------ status 2

struct BadCase {
  const char* name;
  std::vector<std::string> args;  // {pid}, {sig}, {scratch} are filled in
  const char* message;            // part of the one line on stderr
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadUseTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadUseTest, SaysWhyOnOneLine) {
  if (g_shared_host == nullptr) g_shared_host = new Host("1.6");
  const Host* host = g_shared_host;
  const std::string signatures = g_scratch + "bad-use.sig";
  if (!FileThere(signatures)) {
    WriteText(signatures, ReadText(SignatureOf("1.6")));
    WriteText(g_scratch + "not-here.sig",
              "quorvane-signatures 1\nmodule \"not_here.dll\"\nsection \"S\"\n"
              "offsets ObjectAddressList=0x00001000 ObjectDataOffset=0x00000010 "
              "TextBufferAddress=0x00002000\ntime-stamp 0x00000000\nfile-version none\ntypes 3\n");
    WriteText(g_scratch + "broken.sig", "quorvane-signatures 1\nmodule sample_app.dll\n");
    WriteText(g_scratch + "not-a-module.dll", "MZ but nothing else");
  }
  std::vector<std::string> args;
  for (const std::string& a : GetParam().args) {
    if (a == "{pid}") args.push_back(host->pid());
    else if (a == "{sig}") args.push_back(signatures);
    else if (a.rfind("{scratch}", 0) == 0) args.push_back(g_scratch + a.substr(9));
    else if (a == "{profile}") args.push_back(ProfileOf("1.6"));
    else args.push_back(a);
  }
  ExpectCannot(Probe(args), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, BadUseTest,
    ::testing::Values(
        BadCase{"sign_nothing", {"sign"}, "sign needs the running host"},
        BadCase{"sign_no_profile", {"sign", "{pid}"}, "sign needs --profile FILE"},
        BadCase{"sign_empty_out", {"sign", "{pid}", "--profile", "{profile}", "--out", ""},
                "--out needs a file name"},
        BadCase{"sign_bracket_section",
                {"sign", "{pid}", "--profile", "{profile}", "--section", "a]b"},
                "--section needs a name without brackets"},
        BadCase{"sign_no_such_section",
                {"sign", "{pid}", "--profile", "{profile}", "--section", "SampleApp 9"},
                "has no section [SampleApp 9]"},
        BadCase{"sign_profile_missing", {"sign", "{pid}", "--profile", "{scratch}none.ini"},
                "none.ini"},
        BadCase{"sign_no_such_process", {"sign", "999999", "--profile", "{profile}"},
                "no process with id 999999 is running"},
        BadCase{"sign_unknown_option", {"sign", "{pid}", "--profile", "{profile}", "--json"},
                "unknown option --json"},
        BadCase{"update_nothing", {"update"}, "update needs the running host"},
        BadCase{"update_no_signatures", {"update", "{pid}"}, "update needs --signatures FILE"},
        BadCase{"update_host_and_file",
                {"update", "{pid}", "--module-file", "x.dll", "--signatures", "{sig}"},
                "not both"},
        BadCase{"update_signatures_missing", {"update", "{pid}", "--signatures", "{scratch}no.sig"},
                "cannot read the signature file"},
        BadCase{"update_signatures_broken",
                {"update", "{pid}", "--signatures", "{scratch}broken.sig"}, "line 2: "},
        BadCase{"update_module_not_loaded",
                {"update", "{pid}", "--signatures", "{scratch}not-here.sig"},
                "not_here.dll is not loaded in process"},
        BadCase{"update_module_file_missing",
                {"update", "--module-file", "{scratch}none.dll", "--signatures", "{sig}"},
                "cannot read the module file"},
        BadCase{"update_module_file_not_pe",
                {"update", "--module-file", "{scratch}not-a-module.dll", "--signatures", "{sig}"},
                "not a PE image"},
        BadCase{"update_bracket_section",
                {"update", "{pid}", "--signatures", "{sig}", "--section", "[x"},
                "--section needs a name without brackets"},
        BadCase{"update_two_processes", {"update", "{pid}", "{pid}", "--signatures", "{sig}"},
                "too many arguments"}),
    [](const ::testing::TestParamInfo<BadCase>& param) { return std::string(param.param.name); });

// The program's usage names the commands, and update's its exit statuses.
TEST(UsageTest, NamesTheCommandsAndStatuses) {
  const RunResult usage = Probe({"--help"});
  EXPECT_EQ(usage.exit_code, 0);
  EXPECT_NE(usage.out.find("quorvane-probe sign PID|EXE --profile FILE"), std::string::npos);
  EXPECT_NE(usage.out.find("quorvane-probe update --module-file PATH"), std::string::npos);
  const RunResult update = Probe({"update", "--help"});
  EXPECT_EQ(update.exit_code, 0);
  EXPECT_NE(update.out.find("3 the section from a module file"), std::string::npos);
}

}  // namespace
}  // namespace probe_test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  using probe_test::g_settings;
  std::vector<probe_test::Release> releases;
  if (!probe_test::ReadTestArguments("update_tests",
                                     "--probe=EXE --host-dir=DIR [--release=X=INI]...", argc,
                                     argv,
                                     {{"--probe=", &g_settings.probe, nullptr},
                                      {"--host-dir=", &g_settings.host_dir, nullptr}},
                                     &releases)) {
    return 2;
  }
  for (const auto& [release, profile] : releases) {
    g_settings.profiles[release] = probe_test::FullPath(profile);
  }
  g_settings.probe = probe_test::FullPath(g_settings.probe);
  g_settings.host_dir = probe_test::FullPath(g_settings.host_dir) + "\\";
  ::testing::AddGlobalTestEnvironment(new probe_test::UpdateEnvironment);
  return RUN_ALL_TESTS();
}
