// The ANSI code page a Wine test run is made for. Wine takes the code page
// from LC_ALL, and the build sets QV_EXPECT_ACP beside it for every run
// (quorvane_test_code_page in cmake/win32.cmake): a run in another code page
// would skip the cases written for its own and still pass.
#ifndef QV_TESTS_EXPECTED_CODE_PAGE_H
#define QV_TESTS_EXPECTED_CODE_PAGE_H

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace qv_tests {

// False, having said why on standard error, when QV_EXPECT_ACP names a code
// page other than this process's ANSI code page; true when it names none.
inline bool RunsInTheExpectedCodePage(const char* program) {
  const char* expected = std::getenv("QV_EXPECT_ACP");
  if (expected == nullptr || *expected == '\0') return true;
  if (std::strtoul(expected, nullptr, 10) == GetACP()) return true;
  std::fprintf(stderr,
               "%s: this run is made for ANSI code page %s (QV_EXPECT_ACP), but runs in code page "
               "%u: its cases for code page %s would be skipped\n",
               program, expected, GetACP(), expected);
  return false;
}

}  // namespace qv_tests

#endif
