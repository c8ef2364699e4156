#include "probe/update/live_check.h"

#include <algorithm>

#include "probe/common/text.h"
#include "probe/walk/walk_output.h"

namespace probe {

namespace {

std::string Subject(const Walk& walk) {
  return walk.text_buffer ? "the text buffer" : "type " + std::to_string(walk.type);
}

// Whether any field read holds something: a number other than 0, a text
// that is not empty.
bool HoldsSomething(const Walk& walk) {
  for (const FieldValue& f : walk.fields) {
    if (f.is_text ? !f.text.empty() : f.number != 0) return true;
  }
  return false;
}

std::string ImplausibleRecord(const Walk& walk) {
  std::string text;
  for (const Implausible& issue : walk.implausible) {
    text += (text.empty() ? "" : "; ") + LuaQuote(issue.field) + " " + issue.what;
  }
  return Subject(walk) + ": the record at " + Hex(walk.steps.back().address) +
         " does not read as one: " + text;
}

std::string BufferProblem(const Walk& walk) {
  const std::uint32_t address = walk.steps.front().address;
  const std::string& text = walk.fields.front().text;
  const std::string where = "the text buffer at " + Hex(address);
  if (text.empty()) {
    return where + " is empty: zeros are no evidence (type something into the host's text "
                   "buffer and run this again)";
  }
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7F) {
      return where + " holds " + LuaQuote(text) + ": control characters, not text";
    }
  }
  // The walk judges where it starts, as find judges a buffer's place.
  return walk.implausible.empty() ? "" : where + ": " + walk.implausible.front().what;
}

void CheckObjectWalk(const Walk& walk, LiveCheck* check, bool* something) {
  if (walk.ok) {
    check->reached.push_back(walk.type);
    if (walk.fields.empty()) check->without_fields.push_back(walk.type);
    if (!walk.implausible.empty()) check->problems.push_back(ImplausibleRecord(walk));
    *something = *something || (walk.implausible.empty() && HoldsSomething(walk));
    return;
  }
  // No object of this type in the host: nothing to judge.
  if (walk.stop.reason == StopReason::kZero) return;
  // An offset of 0 stops every walk alike: said once.
  const std::string subject = walk.stop.hop == Hop::kAddressTable ? "every type" : Subject(walk);
  const std::string problem =
      subject + ": stopped at " + HopPhrase(walk.stop.hop) + ": " + walk.stop.message;
  if (std::find(check->problems.begin(), check->problems.end(), problem) == check->problems.end()) {
    check->problems.push_back(problem);
  }
}

void CheckBufferWalk(const Walk& walk, LiveCheck* check) {
  if (!walk.ok) {
    check->problems.push_back(Subject(walk) + ": " + walk.stop.message);
    return;
  }
  check->buffer_text = walk.fields.front().text;
  const std::string problem = BufferProblem(walk);
  if (!problem.empty()) check->problems.push_back(problem);
}

}  // namespace

LiveCheck CheckWalks(const std::vector<Walk>& walks, const std::vector<std::int32_t>& must_reach) {
  LiveCheck check;
  bool something = false;
  for (const Walk& walk : walks) {
    if (walk.text_buffer) {
      CheckBufferWalk(walk, &check);
    } else {
      CheckObjectWalk(walk, &check, &something);
    }
  }
  for (const std::int32_t type : must_reach) {
    if (std::find(check.reached.begin(), check.reached.end(), type) != check.reached.end()) continue;
    for (const Walk& walk : walks) {
      if (walk.text_buffer || walk.type != type || walk.stop.reason != StopReason::kZero) continue;
      check.problems.push_back("type " + std::to_string(type) +
                               ": no record, where the signed release had one: " +
                               walk.stop.message);
    }
  }
  if (check.reached.empty()) {
    check.problems.push_back(
        "no type reaches a record: every slot or record pointer is 0 (wrong offsets, or no "
        "object in the host)");
  } else if (!something) {
    check.problems.push_back(
        "no record holds anything but zeros, which any memory full of zeros gives: no evidence "
        "that the offsets are right");
  }
  std::sort(check.reached.begin(), check.reached.end());
  return check;
}

std::string TypeList(const std::vector<std::int32_t>& types) {
  std::string text;
  for (const std::int32_t type : types) text += (text.empty() ? "" : " ") + std::to_string(type);
  return text;
}

}  // namespace probe
