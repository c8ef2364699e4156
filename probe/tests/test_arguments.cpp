#include "test_arguments.h"

#include <cstdio>
#include <cstring>

namespace probe_test {

namespace {

bool Complain(const char* program, const char* what, const std::string& arg, const char* usage) {
  std::fprintf(stderr, "%s: %s%s\nusage: %s %s\n", program, what, arg.c_str(), program, usage);
  return false;
}

bool Take(const TestArgument& wanted, const std::string& arg) {
  const std::size_t n = std::strlen(wanted.prefix);
  if (arg.compare(0, n, wanted.prefix) != 0) return false;
  if (wanted.many != nullptr) {
    wanted.many->push_back(arg.substr(n));
  } else {
    *wanted.one = arg.substr(n);
  }
  return true;
}

}  // namespace

bool ReadTestArguments(const char* program, const char* usage, int argc, char** argv,
                       std::initializer_list<TestArgument> table,
                       std::vector<Release>* releases) {
  std::vector<std::string> release_args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    bool taken = Take({"--release=", nullptr, &release_args}, arg);
    for (const TestArgument& wanted : table) taken = taken || Take(wanted, arg);
    if (!taken) return Complain(program, "unknown argument ", arg, usage);
  }
  for (const std::string& release : release_args) {
    const std::size_t is = release.find('=');
    if (is == std::string::npos) {
      return Complain(program, "--release takes X=PROFILE, not ", release, usage);
    }
    releases->emplace_back(release.substr(0, is), release.substr(is + 1));
  }
  for (const TestArgument& wanted : table) {
    if (wanted.one != nullptr && wanted.one->empty()) {
      return Complain(program, "missing ", wanted.prefix, usage);
    }
  }
  return true;
}

}  // namespace probe_test
