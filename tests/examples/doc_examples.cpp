#include "doc_examples.h"

#include <cctype>

namespace doc_examples {

namespace {

constexpr std::size_t kTextIndent = 4;
const std::string kGap = "...";

bool IsBlank(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

std::size_t IndentOf(const std::string& line) {
  const std::size_t n = line.find_first_not_of(' ');
  return n == std::string::npos ? line.size() : n;
}

bool IsAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// Splits a prompt line into its folder and command: "C:\X>command" (a
// folder without blanks) or "> command". False for any other line.
bool ReadPrompt(const std::string& line, std::string* folder, std::string* command) {
  std::size_t start;
  if (line.rfind("> ", 0) == 0) {
    folder->clear();
    start = 2;
  } else {
    if (line.size() < 4 || !std::isalpha(static_cast<unsigned char>(line[0])) ||
        line[1] != ':' || line[2] != '\\') {
      return false;
    }
    const std::size_t end = line.find_first_of(" \t<>|\"*?", 3);
    if (end == std::string::npos || line[end] != '>') return false;
    *folder = line.substr(0, end);
    start = end + 1;
  }
  start = line.find_first_not_of(' ', start);
  if (start == std::string::npos) return false;
  *command = line.substr(start);
  return true;
}

// The steps of one block: `lines` (de-indented), the first at `first_line`
// of the doc; the lines before its first prompt belong to none.
void AddSteps(const std::vector<std::string>& lines, int first_line, std::vector<Step>* steps) {
  std::size_t end = lines.size();
  while (end > 0 && IsBlank(lines[end - 1])) --end;
  for (std::size_t i = 0; i < end; ++i) {
    Step step;
    if (ReadPrompt(lines[i], &step.folder, &step.command)) {
      step.line = first_line + static_cast<int>(i);
      step.shown_line = step.line + 1;
      steps->push_back(step);
    } else if (!steps->empty()) {
      steps->back().shown.push_back(lines[i]);
    }
  }
  for (Step& step : *steps) {
    while (!step.shown.empty() && IsBlank(step.shown.back())) step.shown.pop_back();
  }
}

bool IsPromptLine(const std::string& line) {
  std::string folder, command;
  return ReadPrompt(line, &folder, &command);
}

void ReadTextBlocks(const std::vector<std::string>& lines, std::vector<Step>* steps) {
  std::size_t i = 0;
  while (i < lines.size()) {
    const bool starts = !IsBlank(lines[i]) && IndentOf(lines[i]) >= kTextIndent &&
                        (i == 0 || IsBlank(lines[i - 1]) || IndentOf(lines[i - 1]) < kTextIndent);
    if (!starts) {
      ++i;
      continue;
    }
    const std::size_t indent = IndentOf(lines[i]);
    std::size_t end = i + 1;
    while (end < lines.size() && (IsBlank(lines[end]) || IndentOf(lines[end]) >= indent)) ++end;
    // Blocks apart by a blank line read as one: a step starts at each prompt.
    std::vector<std::string> block;
    for (std::size_t k = i; k < end; ++k) {
      block.push_back(lines[k].size() > indent ? lines[k].substr(indent) : "");
    }
    std::vector<Step> found;
    AddSteps(block, static_cast<int>(i) + 1, &found);
    steps->insert(steps->end(), found.begin(), found.end());
    i = end;
  }
}

void ReadMarkdownBlocks(const std::vector<std::string>& lines, std::vector<Step>* steps) {
  std::size_t i = 0;
  while (i < lines.size()) {
    if (lines[i].rfind("```", 0) != 0) {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < lines.size() && lines[end].rfind("```", 0) != 0) ++end;
    if (end > i + 1 && IsPromptLine(lines[i + 1])) {
      std::vector<Step> found;
      AddSteps(std::vector<std::string>(lines.begin() + static_cast<long>(i) + 1,
                                        lines.begin() + static_cast<long>(end)),
               static_cast<int>(i) + 2, &found);
      steps->insert(steps->end(), found.begin(), found.end());
    }
    i = end + 1;
  }
}

// Every line of the doc, each without its \r and trailing blanks.
std::vector<std::string> AllLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    const std::size_t last = line.find_last_not_of(" \t\r");
    line.erase(last == std::string::npos ? 0 : last + 1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

DocKind KindOf(const std::string& path) {
  return path.size() >= 3 && path.compare(path.size() - 3, 3, ".md") == 0 ? DocKind::kMarkdown
                                                                          : DocKind::kText;
}

std::vector<Step> ReadSteps(const std::string& doc, DocKind kind) {
  const std::vector<std::string> lines = AllLines(doc);
  std::vector<Step> steps;
  if (kind == DocKind::kMarkdown) {
    ReadMarkdownBlocks(lines, &steps);
  } else {
    ReadTextBlocks(lines, &steps);
  }
  return steps;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines = AllLines(text);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

bool IsGapLine(const std::string& line) {
  const std::size_t start = line.find_first_not_of(" \t;");
  return start != std::string::npos && line.compare(start, std::string::npos, kGap) == 0;
}

bool LineMatches(const std::string& pattern, const std::string& line) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t gap; (gap = pattern.find(kGap, start)) != std::string::npos;
       start = gap + kGap.size()) {
    parts.push_back(pattern.substr(start, gap - start));
  }
  parts.push_back(pattern.substr(start));
  if (parts.size() == 1) return pattern == line;
  const std::string& first = parts.front();
  const std::string& last = parts.back();
  if (line.size() < first.size() + last.size() || line.compare(0, first.size(), first) != 0 ||
      line.compare(line.size() - last.size(), last.size(), last) != 0) {
    return false;
  }
  // The middle parts in order, each at its leftmost place.
  std::size_t at = first.size();
  const std::size_t limit = line.size() - last.size();
  for (std::size_t p = 1; p + 1 < parts.size(); ++p) {
    const std::size_t found = line.find(parts[p], at);
    if (found == std::string::npos || found + parts[p].size() > limit) return false;
    at = found + parts[p].size();
  }
  return true;
}

Match MatchOutput(const std::vector<std::string>& shown, const std::vector<std::string>& out,
                  const std::vector<std::string>& err) {
  // A walk over (shown lines read, output lines read, error lines read).
  const std::size_t n = shown.size(), a = out.size(), b = err.size();
  const auto index = [&](std::size_t i, std::size_t j, std::size_t k) {
    return (i * (a + 1) + j) * (b + 1) + k;
  };
  std::vector<bool> seen((n + 1) * (a + 1) * (b + 1), false);
  std::vector<std::size_t> todo{index(0, 0, 0)};
  seen[todo.back()] = true;
  Match match;
  while (!todo.empty()) {
    const std::size_t at = todo.back();
    todo.pop_back();
    const std::size_t k = at % (b + 1), j = at / (b + 1) % (a + 1), i = at / (b + 1) / (a + 1);
    if (i > match.stuck_at) match.stuck_at = i;
    if (i == n && j == a && k == b) {
      match.ok = true;
      return match;
    }
    const auto go = [&](std::size_t ni, std::size_t nj, std::size_t nk) {
      const std::size_t next = index(ni, nj, nk);
      if (!seen[next]) {
        seen[next] = true;
        todo.push_back(next);
      }
    };
    if (i == n) continue;
    if (IsGapLine(shown[i])) {
      go(i + 1, j, k);
      if (j < a) go(i, j + 1, k);
      if (k < b) go(i, j, k + 1);
      continue;
    }
    if (j < a && LineMatches(shown[i], out[j])) go(i + 1, j + 1, k);
    if (k < b && LineMatches(shown[i], err[k])) go(i + 1, j, k + 1);
  }
  return match;
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) return args;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < line.size() && line[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg += '"';
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(backslashes, '\\');
        if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) arg += line[i++];
      }
    }
    args.push_back(arg);
  }
}

std::string ReplaceWord(const std::string& text, const std::string& word, const std::string& by) {
  if (word.empty()) return text;
  std::string result;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(word, start)) != std::string::npos;) {
    const std::size_t end = at + word.size();
    const bool whole = (at == 0 || !IsAlnum(text[at - 1])) && (end == text.size() || !IsAlnum(text[end]));
    result.append(text, start, at - start);
    result += whole ? by : word;
    start = end;
  }
  return result + text.substr(start);
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string ReplaceIgnoringCase(const std::string& text, const std::string& from,
                                const std::string& to) {
  if (from.empty()) return text;
  const std::string haystack = Lower(text), needle = Lower(from);
  std::string result;
  std::size_t start = 0;
  for (std::size_t at; (at = haystack.find(needle, start)) != std::string::npos;
       start = at + needle.size()) {
    result.append(text, start, at - start);
    result += to;
  }
  return result + text.substr(start);
}

std::string PidOf(const std::string& line) {
  if (line.rfind("pid ", 0) != 0 || line.size() == 4) return "";
  const std::string digits = line.substr(4);
  return digits.find_first_not_of("0123456789") == std::string::npos ? digits : "";
}

}  // namespace doc_examples
