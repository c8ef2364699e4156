// The documented examples: the commands a doc shows in its example blocks,
// what it shows each one print, and whether a run printed that. No system
// calls here; run_examples.cpp runs the commands under Wine.
//
// A command is a line at a prompt:
//   C:\Quorvane-1.1.0-win32\sample>run.bat      a Command Prompt in that folder
//   > quorvane-probe sample\example-profile.ini  one in the release folder
// An example block is a code block with commands: in Markdown, a fenced
// block whose first line is one; in a text file, a run of lines indented by
// four or more spaces (blank lines within it included), from its first
// command on. The lines after a command, up to the next command or the
// block's end, are what it prints: standard output and standard error in
// any interleaving. In them:
//   ...     on a line of its own (after blanks and `;`, as in the probe's
//           comment lines): any number of lines, none included;
//   ...     within a line: any text within that line;
//   pid N   the first line a served host prints (`--serve SECONDS`): N
//           stands for that host's process id, as a whole word, in every
//           later command and output of the same doc.
#ifndef QUORVANE_TESTS_EXAMPLES_DOC_EXAMPLES_H
#define QUORVANE_TESTS_EXAMPLES_DOC_EXAMPLES_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace doc_examples {

// One command of an example and what the doc shows it print.
struct Step {
  int line = 0;            // the command's line in the doc, from 1
  std::string folder;      // the prompt's folder as written; empty for "> "
  std::string command;     // as written after the prompt
  std::vector<std::string> shown;  // the lines after it, blanks at the end left out
  int shown_line = 0;      // the doc's line of shown[0]
};

enum class DocKind { kText, kMarkdown };

// Markdown for a name ending in ".md", text otherwise.
DocKind KindOf(const std::string& path);

// Every step of every example block of `doc`, in the doc's order.
std::vector<Step> ReadSteps(const std::string& doc, DocKind kind);

// Lines split at \n, each without its \r and trailing blanks; blank lines at
// the end left out.
std::vector<std::string> SplitLines(const std::string& text);

// Whether `line` is a whole-line gap: "..." alone, after blanks and `;`.
bool IsGapLine(const std::string& line);

// Whether `line` matches `pattern`, a line in which each "..." stands for
// any text.
bool LineMatches(const std::string& pattern, const std::string& line);

struct Match {
  bool ok = false;
  // On a mismatch: the first shown line that no way of reading the output
  // gets past.
  std::size_t stuck_at = 0;
};

// Whether `out` and `err`, interleaved in some order, are what `shown` shows.
Match MatchOutput(const std::vector<std::string>& shown, const std::vector<std::string>& out,
                  const std::vector<std::string>& err);

// A command line's arguments, as the C runtime splits it.
std::vector<std::string> SplitCommandLine(const std::string& line);

// `text` with every whole-word `word` (not inside a run of letters and
// digits) replaced by `by`.
std::string ReplaceWord(const std::string& text, const std::string& word, const std::string& by);

// `text` with its ASCII letters in lower case.
std::string Lower(std::string text);

// `text` with every `from` replaced by `to`, ignoring case in `from`.
std::string ReplaceIgnoringCase(const std::string& text, const std::string& from,
                                const std::string& to);

// The process id of a served host's first line, "pid N"; empty if it is
// not one.
std::string PidOf(const std::string& line);

}  // namespace doc_examples

#endif
