// qv_fault_tests.exe: random and broken input for Quorvane.dll under Wine,
// run once per Lua runtime from that runtime's folder.
//
//   qv_fault_tests.exe --runtime=puc|luajit [gtest flags]
//
// QV_EXPECT_ACP, when set, is the ANSI code page the run is made for
// (tests/expected_code_page.h).
//
// Every run prints its seed; QV_FAULT_SEED=<seed> replays it (a single test
// too, with --gtest_filter).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "campaign.h"
#include "tests/expected_code_page.h"

namespace {

// Removes the run's scratch folder and what the tests left in it, paths
// past MAX_PATH included (hence the wide API and the \\?\ prefix).
void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(dir + name + L"\\");
      } else {
        DeleteFileW((dir + name).c_str());
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(dir.c_str());
}

class ScratchFolder : public ::testing::Environment {
 public:
  void TearDown() override {
    const std::string& dir = qv_faults::ScratchDir();
    std::wstring wide(dir.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, dir.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    if (n > 0) RemoveTree(L"\\\\?\\" + wide.substr(0, static_cast<size_t>(n - 1)));
  }
};

std::uint64_t ChooseSeed() {
  const char* text = std::getenv("QV_FAULT_SEED");
  if (text != nullptr && *text != '\0') return std::strtoull(text, nullptr, 0);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (static_cast<std::uint64_t>(now.QuadPart) * 0x9E3779B97F4A7C15ull) ^ GetCurrentProcessId();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string runtime;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--runtime=", 10) == 0) {
      runtime = argv[i] + 10;
    } else {
      std::fprintf(stderr, "unknown argument: %s\nusage: qv_fault_tests --runtime=puc|luajit [gtest flags]\n",
                   argv[i]);
      return 2;
    }
  }
  if (!qv_tests::RunsInTheExpectedCodePage("qv_fault_tests")) return 1;
  const std::uint64_t seed = ChooseSeed();
  qv_faults::SetRunSeed(seed);

  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string scratch = std::string(temp) + "qv faults " + (runtime.empty() ? "run" : runtime) + " " +
                              std::to_string(GetCurrentProcessId()) + "\\";
  CreateDirectoryA(scratch.c_str(), nullptr);
  qv_faults::SetScratchDir(scratch);

  std::printf("[ seed     ] %llu  (QV_FAULT_SEED=%llu replays this run)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  std::printf("[ runtime  ] %s, ANSI code page %u, fixture base 0x%08lX\n",
              runtime.empty() ? "(not given)" : runtime.c_str(), GetACP(),
              static_cast<unsigned long>(qvf_base()));
  std::fflush(stdout);
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  ::testing::AddGlobalTestEnvironment(new ScratchFolder);
  return RUN_ALL_TESTS();
}
