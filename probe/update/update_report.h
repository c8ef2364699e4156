// What quorvane-probe update was asked and found out: the signature file,
// the new module's image, the matches and the judgement per offset, the
// live check and its walks. Filled by update.cpp; printed as text
// (update_output.cpp) or JSON (update_json_output.cpp).
#ifndef QUORVANE_PROBE_UPDATE_UPDATE_REPORT_H
#define QUORVANE_PROBE_UPDATE_UPDATE_REPORT_H

#include <string>
#include <vector>

#include "probe/common/process.h"
#include "probe/update/live_check.h"
#include "probe/update/module_image.h"
#include "probe/update/update_options.h"
#include "probe/walk/walk_types.h"
#include "signatures/judge.h"
#include "signatures/match.h"
#include "signatures/signature_file.h"

namespace probe {

struct UpdateReport {
  UpdateOptions options;
  std::string signatures_path;  // the signature file's full path
  quorvane::signatures::SignatureFile file;
  ProcessInfo process;  // a running host
  ModuleImage module;
  double seconds = 0;  // matching and judging
  quorvane::signatures::Matching matching;
  quorvane::signatures::Verdict verdict;
  bool live_checked = false;  // every offset was given in a running host: the walks were taken
  LiveCheck live;
  AddressTable table;  // the module's base and the offsets given
  std::vector<Walk> walks;
  std::vector<std::string> reasons;  // why there is no section, for standard error

  // The section is printed: every offset given, and in a running host the
  // live check passed.
  bool SectionGiven() const {
    return verdict.answered && (!module.live || (live_checked && live.Passed()));
  }
};

// What the judgement says of signature `index` ("matched nowhere",
// "matched 2 times (at RVA ...)", "reads 0x30 (...)"), or "" when it counted.
std::string SignatureWhy(const UpdateReport& r, std::size_t index);

// What became of one signature: "agrees", "matched" (once, but its offset
// was not given), "disagrees", "matched_nowhere", "matched_more_than_once".
const char* SignatureResult(const UpdateReport& r, std::size_t index);

// Why there is no section, one line each: per offset not given, the
// failing signatures, the live check's problems; and where to go next.
std::vector<std::string> UpdateReasons(const UpdateReport& r);

std::string UpdateTextOutput(const UpdateReport& r);
std::string UpdateJsonOutput(const UpdateReport& r);

}  // namespace probe

#endif
