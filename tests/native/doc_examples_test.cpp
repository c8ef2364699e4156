// How the docs' example blocks are read and matched (tests/examples/): the
// release test runs them under Wine; what a block means is checked here.
#include "tests/examples/doc_examples.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace doc_examples {
namespace {

using Lines = std::vector<std::string>;

TEST(DocExamplesTest, TextBlocksAreIndentedAndStepsStartAtAPrompt) {
  const std::string doc =
      "Some text:\n"
      "\n"
      "    C:\\Q-1.0-win32\\sample>sample_host.exe --serve 600\r\n"
      "    pid 4172\n"
      "\n"
      "    C:\\Q-1.0-win32>quorvane-probe p.ini 4172\n"
      "      indented output\n"
      "\n"
      "    after a blank line\n"
      "\n"
      "Prose again, then lines that belong to no command:\n"
      "\n"
      "    quorvane-probe PROFILE   how the profile reads\n"
      "    quorvane-probe --help    everything else\n"
      "\n"
      "    > quorvane-probe --version\n";
  const std::vector<Step> steps = ReadSteps(doc, DocKind::kText);
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].line, 3);
  EXPECT_EQ(steps[0].folder, "C:\\Q-1.0-win32\\sample");
  EXPECT_EQ(steps[0].command, "sample_host.exe --serve 600");
  EXPECT_EQ(steps[0].shown, (Lines{"pid 4172"}));
  EXPECT_EQ(steps[0].shown_line, 4);
  EXPECT_EQ(steps[1].folder, "C:\\Q-1.0-win32");
  EXPECT_EQ(steps[1].shown, (Lines{"  indented output", "", "after a blank line"}));
  EXPECT_EQ(steps[2].folder, "");
  EXPECT_EQ(steps[2].command, "quorvane-probe --version");
  EXPECT_TRUE(steps[2].shown.empty());
}

TEST(DocExamplesTest, MarkdownBlocksAreFencedAndStartAtAPrompt) {
  const std::string doc =
      "```sh\n"
      "tools/wine.sh build/win32/quorvane-probe.exe p.ini\n"
      "```\n"
      "\n"
      "```\n"
      "> type C:\\profiles\\host.ini\n"
      "[Config]\n"
      "> quorvane-probe C:\\profiles\\host.ini 2264\n"
      "C:\\Projects\\a.png -> 0x1\n"
      "\n"
      "```\n";
  const std::vector<Step> steps = ReadSteps(doc, DocKind::kMarkdown);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].line, 6);
  EXPECT_EQ(steps[0].command, "type C:\\profiles\\host.ini");
  EXPECT_EQ(steps[0].shown, (Lines{"[Config]"}));
  EXPECT_EQ(steps[1].line, 8);
  // A drive path with a blank before its ">" is output, not a prompt.
  EXPECT_EQ(steps[1].shown, (Lines{"C:\\Projects\\a.png -> 0x1"}));
}

TEST(DocExamplesTest, KindByName) {
  EXPECT_EQ(KindOf("/a/README.md"), DocKind::kMarkdown);
  EXPECT_EQ(KindOf("Z:\\r\\README.txt"), DocKind::kText);
}

TEST(DocExamplesTest, GapLines) {
  for (const char* gap : {"...", "  ...", ";   ...", "; ..."}) EXPECT_TRUE(IsGapLine(gap)) << gap;
  for (const char* line : {";   ... 1 more", "....", "x ...", "", ";"}) {
    EXPECT_FALSE(IsGapLine(line)) << line;
  }
}

TEST(DocExamplesTest, LineMatchesWithGapsInIt) {
  struct Case {
    const char* pattern;
    const char* line;
    bool matches;
  };
  const Case cases[] = {
      {"score 10: 10 plausible", "score 10: 10 plausible", true},
      {"score 10: 10 plausible", "score 15: 15 plausible", false},
      {"score 10", "score 10 ", false},
      {"in ... s", "in 0.3 s", true},
      {"in ... s", "in  s", true},
      {"in ... s", "in 0.3 ms", false},
      {"in ... s", "on 0.3 s", false},
      {"at 0x...: record 0x...", "at 0x00B24228: record 0x00B241F8", true},
      {"at 0x...: record 0x...", "at 0x00B24228 -> 0x00B241F8", false},
      {"... hits, 1 in the image", "; 7 hits, 1 in the image", true},
      {"note: ...", "note: given as \"x\"", true},
      // The parts around a gap may not overlap.
      {"ab...ba", "aba", false},
      {"ab...ba", "abba", true},
      {"a...b...c", "a-c-b", false},
      {"a...b...c", "a-b-c", true},
      // A gap stands for text within the line, "..." included.
      {";   ... 1 more (--json lists them all)", ";   ... 1 more (--json lists them all)", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LineMatches(c.pattern, c.line), c.matches) << c.pattern << " / " << c.line;
  }
}

TEST(DocExamplesTest, OutputAndErrorsInAnyInterleaving) {
  const Lines out = {"[Found]", "ObjectAddressList=0x1", "; a", "; b", "; c"};
  const Lines err = {"quorvane-probe: now change", "quorvane-probe: done"};
  struct Case {
    Lines shown;
    bool ok;
    std::size_t stuck_at;
  };
  const Case cases[] = {
      // As a console shows it: the question before the answer.
      {{"quorvane-probe: now change", "[Found]", "ObjectAddressList=0x1", "; a", "; b", "; c",
        "quorvane-probe: done"},
       true, 0},
      {{"[Found]", "...", "quorvane-probe: done"}, true, 0},
      {{"...", "; c", "..."}, true, 0},
      {{"..."}, true, 0},
      // Each stream keeps its own order.
      {{"quorvane-probe: done", "quorvane-probe: now change", "..."}, false, 0},
      {{"[Found]", "ObjectAddressList=0x2", "..."}, false, 1},
      // Nothing printed may be left over.
      {{"[Found]", "ObjectAddressList=0x1", "; a", "; b", "; c", "quorvane-probe: now change"},
       false, 6},
      {{"[Found]", "...", "; b"}, false, 3},
  };
  for (const Case& c : cases) {
    const Match match = MatchOutput(c.shown, out, err);
    EXPECT_EQ(match.ok, c.ok) << c.shown.front();
    if (!c.ok) {
      EXPECT_EQ(match.stuck_at, c.stuck_at) << c.shown.front();
    }
  }
  EXPECT_TRUE(MatchOutput({}, {}, {}).ok);
  EXPECT_FALSE(MatchOutput({}, {"something"}, {}).ok);
}

TEST(DocExamplesTest, SplitLinesDropsLineEndsAndTrailingBlanks) {
  EXPECT_EQ(SplitLines("a \r\n\r\nb\t\r\n\r\n\n"), (Lines{"a", "", "b"}));
  EXPECT_EQ(SplitLines(""), Lines{});
}

TEST(DocExamplesTest, CommandLinesSplitAsTheCRuntimeDoes) {
  struct Case {
    const char* line;
    Lines args;
  };
  const Case cases[] = {
      {"quorvane-probe find 5208 --section \"SampleApp 1.5\"",
       {"quorvane-probe", "find", "5208", "--section", "SampleApp 1.5"}},
      {"  a   b\t c ", {"a", "b", "c"}},
      {"type C:\\profiles\\host.ini", {"type", "C:\\profiles\\host.ini"}},
      {"x \"a\\\"b\" \"c\\\\\" d\\\\e", {"x", "a\"b", "c\\", "d\\\\e"}},
      {"x \"\"", {"x", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

TEST(DocExamplesTest, ProcessIdsAreReplacedAsWholeWords) {
  EXPECT_EQ(ReplaceWord("Process  4172 (sample_host.exe)", "4172", "48"),
            "Process  48 (sample_host.exe)");
  EXPECT_EQ(ReplaceWord("+48   text 148 48x 48", "48", "4172"), "+4172   text 148 48x 4172");
  EXPECT_EQ(PidOf("pid 4172"), "4172");
  for (const char* line : {"pid ", "pid 12a", "pid  12", "Pid 12"}) EXPECT_EQ(PidOf(line), "") << line;
}

TEST(DocExamplesTest, FoldersAreReplacedWhateverTheirCase) {
  EXPECT_EQ(ReplaceIgnoringCase("Profile  z:\\Work\\r\\host.ini", "Z:\\work\\r\\", "C:\\"),
            "Profile  C:\\host.ini");
}

}  // namespace
}  // namespace doc_examples
