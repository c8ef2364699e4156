// A 32-bit PE image as the signature code needs it: the bytes of its code
// sections at their RVAs, the words the loader relocates, its preferred base,
// time stamp and file version. Read either from the module's file or from
// the image as a process has it mapped. Every field comes from untrusted
// bytes and is checked before it is used: any bytes give an image or
// "not a PE image: WHY", and nothing is allocated beyond what was read.
#ifndef QUORVANE_SIGNATURES_PE_IMAGE_H
#define QUORVANE_SIGNATURES_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::signatures {

// The largest image this code reads (SizeOfImage).
constexpr std::uint32_t kMaxImageSize = 256u << 20;

struct PeSection {
  std::string name;  // up to 8 characters
  std::uint32_t rva = 0;
  std::uint32_t size = 0;  // in memory: VirtualSize, or the raw size when that is 0
  std::uint32_t characteristics = 0;
  bool code = false;  // holds code or is executable
  // Code sections only: their bytes from `rva` on. Fewer than `size` when the
  // file holds fewer (the rest is zeros when mapped, and holds no code).
  std::vector<std::uint8_t> bytes;
};

// Whether the loader could move the image: a relocation table, none (no
// directory entry, or an empty one), or the header's "relocations stripped".
enum class Relocations { kPresent, kNone, kStripped };

struct FileVersion {
  bool present = false;
  std::uint16_t part[4] = {};  // major, minor, build, revision
};

struct PeImage {
  // The base the image's absolute addresses are taken from: the preferred
  // base for a file, the address it is loaded at for a mapped image.
  std::uint32_t load_base = 0;
  std::uint32_t image_base = 0;  // the preferred base (ImageBase)
  std::uint32_t size_of_image = 0;
  std::uint32_t time_date_stamp = 0;
  std::vector<PeSection> sections;
  Relocations relocations = Relocations::kNone;
  // Sorted RVAs of the 32-bit words in code sections that the loader
  // relocates (HIGHLOW entries).
  std::vector<std::uint32_t> relocated;
  FileVersion file_version;
};

struct PeResult {
  bool ok = false;
  std::string error;  // "not a PE image: WHY" when !ok
  PeImage image;
};

// The image from the bytes of its file: sections placed at their RVAs by the
// section table.
PeResult ReadPeFile(const std::uint8_t* bytes, std::size_t size);

// An image as a process has it mapped: reads `size` bytes at `rva` into
// `out`; false when any of them cannot be read.
class MappedImage {
 public:
  virtual bool Read(std::uint32_t rva, std::uint8_t* out, std::uint32_t size) = 0;

 protected:
  ~MappedImage() = default;
};

// The image mapped at `load_base`, read through `mapped` page by page.
PeResult ReadPeMapped(MappedImage& mapped, std::uint32_t load_base);

// The code section that holds [rva, rva + size) in its bytes, or null.
const PeSection* CodeSectionAt(const PeImage& image, std::uint32_t rva, std::uint32_t size);

// Whether the 32-bit word at `rva` is one the loader relocates.
bool IsRelocated(const PeImage& image, std::uint32_t rva);

// "1.4.0.2", or "" without a version resource.
std::string FileVersionText(const FileVersion& version);

}  // namespace quorvane::signatures

#endif
