// qv_e2e_tests.exe: end-to-end tests of Quorvane.dll, run under Wine once per
// Lua runtime from that runtime's folder (lua51.dll, Quorvane.dll and the
// fixture module lie beside the program).
//
//   qv_e2e_tests.exe --runtime=puc|luajit [gtest flags]
//
// QV_EXPECT_ACP, when set, is the ANSI code page the run is made for
// (tests/expected_code_page.h).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "tests/expected_code_page.h"

namespace {

class ScratchFolder : public ::testing::Environment {
 public:
  void TearDown() override {
    const std::string& dir = qv_e2e::Settings().temp_dir;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((dir + fd.cFileName).c_str());
      } while (FindNextFileA(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qv_e2e::RunSettings& s = qv_e2e::MutableSettings();
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--runtime=", 10) == 0) {
      s.runtime = argv[i] + 10;
    } else {
      std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
      return 2;
    }
  }
  if (s.runtime.empty()) {
    std::fprintf(stderr, "usage: qv_e2e_tests --runtime=puc|luajit [gtest flags]\n");
    return 2;
  }
  if (!qv_tests::RunsInTheExpectedCodePage("qv_e2e_tests")) return 1;

  char exe[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string exe_path(exe, n);
  s.exe_dir = exe_path.substr(0, exe_path.find_last_of("\\/"));

  // A scratch folder of this run's own, with a blank in its name (profile
  // paths are handed on exactly as given).
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  s.temp_dir = std::string(temp) + "qv e2e " + s.runtime + " " + std::to_string(GetCurrentProcessId()) + "\\";
  CreateDirectoryA(s.temp_dir.c_str(), nullptr);

  std::printf("[ runtime  ] %s (lua51.dll from %s), ANSI code page %u, fixture base 0x%08lX\n",
              s.runtime.c_str(), s.exe_dir.c_str(), GetACP(), static_cast<unsigned long>(qvf_base()));
  ::testing::Test::RecordProperty("runtime", s.runtime);
  ::testing::AddGlobalTestEnvironment(new ScratchFolder);
  return RUN_ALL_TESTS();
}
