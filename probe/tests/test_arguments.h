// The test programs' own arguments, --NAME=VALUE each, read by one table.
#ifndef QUORVANE_PROBE_TESTS_TEST_ARGUMENTS_H
#define QUORVANE_PROBE_TESTS_TEST_ARGUMENTS_H

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace probe_test {

// One argument the program takes: "--probe=" into `one`, or, when it may
// come again, each value appended to `many`.
struct TestArgument {
  const char* prefix;
  std::string* one;
  std::vector<std::string>* many;
};

// A release of the sample module and its profile, from --release=X=PROFILE.
using Release = std::pair<std::string, std::string>;

// Reads argv[1..] (after gtest took its own) by `table`, and --release=X=INI
// into `releases`. Every argument with a `one` must be given. On anything
// else prints what is wrong and `usage` to stderr, names `program`, and
// returns false.
bool ReadTestArguments(const char* program, const char* usage, int argc, char** argv,
                       std::initializer_list<TestArgument> table,
                       std::vector<Release>* releases);

}  // namespace probe_test

#endif
