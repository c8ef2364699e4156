// What quorvane-probe sign found out: the check of the profile, the module's
// image, the references and signatures per offset, and where the file went.
// Filled by sign.cpp; printed by sign_output.cpp.
#ifndef QUORVANE_PROBE_UPDATE_SIGN_REPORT_H
#define QUORVANE_PROBE_UPDATE_SIGN_REPORT_H

#include <cstddef>
#include <string>

#include "probe/check/check_report.h"
#include "probe/update/live_check.h"
#include "probe/update/module_image.h"
#include "signatures/references.h"
#include "signatures/sign.h"

namespace probe {

struct SignReport {
  Report check;         // the profile, the process, the address table, the walks
  std::string section;  // the section signed
  LiveCheck live;
  bool checked = false;  // the check passed
  ModuleImage module;
  quorvane::signatures::ReferenceSearch references;
  quorvane::signatures::Signing signing;
  std::string out;              // the signature file's full path
  bool written = false;
  bool replaced = false;        // an earlier signature file was there
  std::string replaced_section; // its section, when it could be read
  std::vector<std::string> reasons;  // why nothing was signed, for standard error

  std::size_t References(quorvane::signatures::Offset o) const;
  std::size_t Signatures(quorvane::signatures::Offset o) const;
};

// The report for a person.
std::string SignTextOutput(const SignReport& r);

}  // namespace probe

#endif
