// The command-line conventions every probe command keeps (probe/common/
// options.h), over a small table of options: how a value is given, the
// messages for what breaks them, and the usage lines made from the table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probe/common/numbers.h"
#include "probe/common/options.h"

namespace probe {
namespace {

struct Toy {
  bool help = false;
  bool quiet = false;
  std::string name;
  std::uint32_t count = 0;
  std::string first, second;
};

bool SetCount(Toy* t, const std::string& value, std::string*) {
  return ParseCount(value, 1, 9, &t->count);
}

bool SetName(Toy* t, const std::string& value, std::string* error) {
  if (value == "taken") {
    *error = "--name taken is taken";
    return false;
  }
  t->name = value;
  return true;
}

constexpr Option<Toy> kToyOptions[] = {
    {"--name", "NAME", "a name", nullptr, SetName, "the name"},
    {"--count", "N", "a number", "a number from 1 to 9", SetCount, "how many;\nat most 9"},
    {"--quiet", nullptr, nullptr, nullptr, SetFlag<Toy, &Toy::quiet>, "say less"},
};

struct Case {
  std::vector<std::string> args;  // after the program's name
  const char* error;              // nullptr: taken
};

bool Parse(const std::vector<std::string>& args, Toy* toy, std::string* error) {
  std::vector<std::string> storage = {"toy"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(&s[0]);
  return ParseOptions(static_cast<int>(argv.size()), argv.data(), kToyOptions,
                      {&toy->first, &toy->second}, toy, &toy->help, error);
}

TEST(OptionsTest, MessagesForWhatBreaksTheConventions) {
  const Case cases[] = {
      {{"--count"}, "--count needs a number"},
      {{"a", "--name"}, "--name needs a name"},
      {{"--count", "0"}, "--count needs a number from 1 to 9, not \"0\""},
      {{"--count=x"}, "--count needs a number from 1 to 9, not \"x\""},
      {{"--count="}, "--count needs a number from 1 to 9, not \"\""},
      // The refused value is quoted as Lua would: the message stays one line.
      {{"--count", "1\n2\""}, "--count needs a number from 1 to 9, not \"1\\n2\\\"\""},
      {{"--name", "taken"}, "--name taken is taken"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"--bogus=1"}, "unknown option --bogus=1"},
      {{"-x"}, "unknown option -x"},
      // A flag takes no value: "--quiet=no" is no option of the command.
      {{"--quiet=no"}, "unknown option --quiet=no"},
      {{"--help=1"}, "unknown option --help=1"},
      {{"a", "b", "c"}, "too many arguments (c)"},
      // The first argument that breaks them is the one named.
      {{"a", "b", "c", "--bogus"}, "too many arguments (c)"},
      {{"--bogus", "--count"}, "unknown option --bogus"},
      // --help does not stop the reading.
      {{"--help", "--count", "0"}, "--count needs a number from 1 to 9, not \"0\""},
  };
  for (const Case& c : cases) {
    Toy toy;
    std::string error;
    EXPECT_FALSE(Parse(c.args, &toy, &error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
}

TEST(OptionsTest, ValuesFlagsAndPositionals) {
  Toy toy;
  std::string error;
  ASSERT_TRUE(Parse({"-", "--name=a=b", "--count", "0x9", "--quiet", "x"}, &toy, &error)) << error;
  EXPECT_EQ(toy.first, "-");  // a lone "-" is an argument, not an option
  EXPECT_EQ(toy.second, "x");
  EXPECT_EQ(toy.name, "a=b");  // split at the first '='
  EXPECT_EQ(toy.count, 9u);
  EXPECT_TRUE(toy.quiet);
  EXPECT_FALSE(toy.help);

  // A value is taken as it comes, even when it looks like an option.
  Toy other;
  ASSERT_TRUE(Parse({"--name", "--count"}, &other, &error)) << error;
  EXPECT_EQ(other.name, "--count");
  ASSERT_TRUE(Parse({"--name="}, &other, &error)) << error;
  EXPECT_EQ(other.name, "");

  for (const char* help : {"--help", "-h", "/?"}) {
    Toy asked;
    ASSERT_TRUE(Parse({help, "a"}, &asked, &error)) << help;
    EXPECT_TRUE(asked.help) << help;
    EXPECT_EQ(asked.first, "a");
  }
}

TEST(OptionsTest, UsageLinesFromTheTable) {
  EXPECT_EQ(OptionHelp(kToyOptions, 15),
            "  --name NAME  the name\n"
            "  --count N    how many;\n"
            "               at most 9\n"
            "  --quiet      say less\n");
  // Past the column: two spaces, and the further lines at the column.
  EXPECT_EQ(HelpLines("--name", "NAME", "the name;\nat most 9", 8),
            "  --name NAME  the name;\n"
            "        at most 9\n");
}

}  // namespace
}  // namespace probe
