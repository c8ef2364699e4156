// Files the commands read whole: a module's file, a signature file.
#ifndef QUORVANE_PROBE_COMMON_FILES_H
#define QUORVANE_PROBE_COMMON_FILES_H

#include <cstddef>
#include <string>

namespace probe {

// Reads the file at `path`, when it holds at most `max_size` bytes, into
// `bytes`, and its full path into `full`. False with a one-line `error`
// that names it as `what` ("the signature file"): a path that cannot be
// resolved, or the system's reason it cannot be read.
bool ReadNamedFile(const std::string& path, const char* what, std::size_t max_size,
                   std::string* full, std::string* bytes, std::string* error);

}  // namespace probe

#endif
