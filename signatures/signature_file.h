// The signature file: what `sign` learnt from one release of the host
// module, kept as text beside the profile, for `update` to read against the
// next. The format is written down in docs/SIGNATURES.md; the reader takes
// exactly what the writer writes (and blank lines, comments and CRLF line
// ends) and names the line of anything else.
#ifndef QUORVANE_SIGNATURES_SIGNATURE_FILE_H
#define QUORVANE_SIGNATURES_SIGNATURE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "signatures/pe_image.h"
#include "signatures/signature.h"

namespace quorvane::signatures {

constexpr int kSignatureFileVersion = 1;

struct SignatureFile {
  std::string module;   // the host module's file name
  std::string section;  // the profile section that was signed
  Offsets offsets;      // its offsets
  std::uint32_t time_date_stamp = 0;
  FileVersion file_version;
  std::vector<std::int32_t> types;  // the types that had a record, ascending
  std::vector<Signature> signatures;
};

// The file's text. Every pattern must be well formed (WellFormed) and every
// list signature's type 0 to kMaxTypeIndex, as MakeSignatures makes them.
std::string WriteSignatureFile(const SignatureFile& file);

struct SignatureFileReading {
  bool ok = false;
  std::string error;  // "line N: WHAT"
  SignatureFile file;
};

SignatureFileReading ReadSignatureFile(const std::string& text);

}  // namespace quorvane::signatures

#endif
