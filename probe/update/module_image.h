// The host module's image as sign and update read it: from the running host
// (its base and size from the module list; headers, sections and
// relocations through the probe's guarded reads, so that a page that cannot
// be read is reported, never touched) or from the module's file on disk.
#ifndef QUORVANE_PROBE_UPDATE_MODULE_IMAGE_H
#define QUORVANE_PROBE_UPDATE_MODULE_IMAGE_H

#include <cstdint>
#include <string>

#include "signatures/pe_image.h"

namespace probe {

struct ModuleImage {
  bool live = false;       // read from a running host, not from a file
  std::string path;        // the file's full path (not live)
  std::uint32_t base = 0;  // live: where it is loaded, from the module list
  std::uint32_t size = 0;  // live: its size there
  quorvane::signatures::PeImage image;
};

// Reads the image of `module`, loaded at out->base (out->size bytes, as
// FindLoadedModule gives them), in the examined process. False with a
// one-line `error`: what is wrong with the image, and the first page that
// could not be read, with what the memory map says of it.
bool ReadLoadedImage(const std::string& module, ModuleImage* out, std::string* error);

// Reads the module file at `path` (any name; a full path is kept in `out`).
bool ReadModuleFile(const std::string& path, ModuleImage* out, std::string* error);

// "time stamp 0x65A1B2C3, file version 1.6.0.2", or "no time stamp" and
// "no file version" for an image without them: which build it is.
std::string BuildText(std::uint32_t time_date_stamp,
                      const quorvane::signatures::FileVersion& version);

// "code 0x4A00 bytes in .text, a relocation table" and the like: what the
// image holds for signatures.
std::string ImageSummary(const quorvane::signatures::PeImage& image);

}  // namespace probe

#endif
