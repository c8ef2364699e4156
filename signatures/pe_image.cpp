// Reading a PE32 image: the headers and the section table, the code
// sections' bytes, the relocation table and the version resource, all
// through one way of reading by RVA (the file through its section table, or
// the mapped image as it stands).
#include "signatures/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "readers/host_words.h"

namespace quorvane::signatures {
namespace {

constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kRelocsStripped = 0x0001;
constexpr std::uint32_t kScnCode = 0x00000020;
constexpr std::uint32_t kScnExecute = 0x20000000;
constexpr std::uint32_t kMaxSections = 96;
constexpr std::uint32_t kDirResource = 2;
constexpr std::uint32_t kDirBaseReloc = 5;
constexpr std::uint32_t kChunk = 64u << 10;
// A relocation block covers one 4 KiB page: at most one entry per byte.
constexpr std::uint32_t kMaxRelocBlock = 8 + 2 * 4096;

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

struct RawSection {
  PeSection section;  // without bytes
  std::uint32_t raw_offset = 0;
  std::uint32_t raw_size = 0;
};

struct Headers {
  std::uint16_t characteristics = 0;
  std::uint32_t image_base = 0;
  std::uint32_t size_of_image = 0;
  std::uint32_t size_of_headers = 0;
  std::uint32_t time_date_stamp = 0;
  DataDirectory resource;
  DataDirectory relocations;
  std::vector<RawSection> sections;
};

// Reads by RVA. Fails with a reason in `why`.
class Reader {
 public:
  explicit Reader(MappedImage& image) : image_(image) {}
  bool Bytes(std::uint32_t rva, std::uint8_t* out, std::uint32_t size) {
    return image_.Read(rva, out, size);
  }
  bool U16(std::uint32_t rva, std::uint32_t* value) {
    std::uint8_t b[2];
    if (!Bytes(rva, b, 2)) return false;
    *value = LoadU16(b);
    return true;
  }
  bool U32(std::uint32_t rva, std::uint32_t* value) {
    std::uint8_t b[4];
    if (!Bytes(rva, b, 4)) return false;
    *value = LoadU32(b);
    return true;
  }

 private:
  MappedImage& image_;
};

// A file's bytes by RVA: the headers where they lie, each section's raw data
// at its RVA (zeros past it, up to the section's size in memory).
class FileImage : public MappedImage {
 public:
  FileImage(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  // Until then, every RVA is taken as a file offset (the headers).
  void Map(const Headers& headers) { headers_ = &headers; }
  bool Read(std::uint32_t rva, std::uint8_t* out, std::uint32_t size) override {
    const std::uint64_t end = std::uint64_t{rva} + size;
    if (headers_ == nullptr || end <= headers_->size_of_headers) return Copy(rva, out, size);
    for (const RawSection& s : headers_->sections) {
      const std::uint32_t extent = std::max(s.section.size, s.raw_size);
      if (rva < s.section.rva || end > std::uint64_t{s.section.rva} + extent) continue;
      const std::uint32_t at = rva - s.section.rva;
      const std::uint32_t raw = at < s.raw_size ? std::min(size, s.raw_size - at) : 0;
      if (raw > 0 && !Copy(s.raw_offset + at, out, raw)) return false;
      std::memset(out + raw, 0, size - raw);
      return true;
    }
    return false;
  }
  bool Copy(std::uint64_t offset, std::uint8_t* out, std::uint32_t size) const {
    if (offset > size_ || size > size_ - offset) return false;
    std::memcpy(out, bytes_ + offset, size);
    return true;
  }

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
  const Headers* headers_ = nullptr;
};

bool Fail(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

bool ReadSection(Reader& in, std::uint32_t at, std::uint32_t index, Headers* h, std::string* why) {
  std::uint8_t b[40];
  if (!in.Bytes(at, b, sizeof b)) {
    return Fail(why, "the section table ends early (section " + std::to_string(index + 1) + ")");
  }
  RawSection s;
  const char* name = reinterpret_cast<const char*>(b);
  s.section.name.assign(name, strnlen(name, 8));
  const std::uint32_t virtual_size = LoadU32(b + 8);
  s.section.rva = LoadU32(b + 12);
  s.raw_size = LoadU32(b + 16);
  s.raw_offset = LoadU32(b + 20);
  s.section.characteristics = LoadU32(b + 36);
  s.section.size = virtual_size != 0 ? virtual_size : s.raw_size;
  s.section.code = (s.section.characteristics & (kScnCode | kScnExecute)) != 0;
  const std::string which = "section " + std::to_string(index + 1) + " (" + s.section.name + ")";
  if (std::uint64_t{s.section.rva} + s.section.size > h->size_of_image) {
    return Fail(why, which + " at RVA " + Hex(s.section.rva) + ", " + Hex(s.section.size) +
                         " bytes, runs past SizeOfImage " + Hex(h->size_of_image));
  }
  h->sections.push_back(s);
  return true;
}

// No two sections share an RVA: the loader maps no such image, and an RVA
// must name one byte of code, whichever section a search or a match finds
// it in.
bool SectionsApart(const Headers& h, std::string* why) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < h.sections.size(); ++i) {
    if (h.sections[i].section.size != 0) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return h.sections[a].section.rva < h.sections[b].section.rva;
  });
  for (std::size_t k = 1; k < order.size(); ++k) {
    const PeSection& before = h.sections[order[k - 1]].section;
    const PeSection& after = h.sections[order[k]].section;
    if (std::uint64_t{before.rva} + before.size > after.rva) {
      const auto named = [&](std::size_t i) {
        return "section " + std::to_string(i + 1) + " (" + h.sections[i].section.name + ")";
      };
      return Fail(why, named(order[k - 1]) + " at RVA " + Hex(before.rva) + ", " +
                           Hex(before.size) + " bytes, overlaps " + named(order[k]) + " at RVA " +
                           Hex(after.rva));
    }
  }
  return true;
}

bool ReadHeaders(Reader& in, Headers* h, std::string* why) {
  std::uint32_t mz = 0, pe_at = 0, signature = 0;
  if (!in.U16(0, &mz) || !in.U32(0x3C, &pe_at)) return Fail(why, "too short for the DOS header");
  if (mz != 0x5A4D) return Fail(why, "no MZ signature");
  std::uint8_t coff[24];
  if (!in.Bytes(pe_at, coff, sizeof coff)) {
    return Fail(why, "the PE header at " + Hex(pe_at) + " lies past the end");
  }
  signature = LoadU32(coff);
  if (signature != 0x00004550) return Fail(why, "no PE signature at " + Hex(pe_at));
  const std::uint32_t machine = LoadU16(coff + 4);
  if (machine != kMachineI386) return Fail(why, "machine " + Hex(machine) + " is not i386");
  const std::uint32_t sections = LoadU16(coff + 6);
  h->time_date_stamp = LoadU32(coff + 8);
  const std::uint32_t optional_size = LoadU16(coff + 20);
  h->characteristics = static_cast<std::uint16_t>(LoadU16(coff + 22));
  if (sections == 0 || sections > kMaxSections) {
    return Fail(why, std::to_string(sections) + " sections (1 to 96 make an image)");
  }
  const std::uint32_t opt = pe_at + 24;
  std::uint8_t o[96];
  if (optional_size < sizeof o || !in.Bytes(opt, o, sizeof o)) {
    return Fail(why, "the optional header is too short");
  }
  const std::uint32_t magic = LoadU16(o);
  if (magic != kMagicPe32) return Fail(why, "optional header magic " + Hex(magic) + " is not PE32");
  h->image_base = LoadU32(o + 28);
  h->size_of_image = LoadU32(o + 56);
  h->size_of_headers = LoadU32(o + 60);
  if (h->size_of_image > kMaxImageSize) {
    return Fail(why, "SizeOfImage " + Hex(h->size_of_image) + " is above the " +
                         std::to_string(kMaxImageSize >> 20) + " MiB this tool reads");
  }
  const std::uint32_t directories = LoadU32(o + 92);
  const auto directory = [&](std::uint32_t index, DataDirectory* d) {
    const std::uint32_t at = 96 + 8 * index;
    if (index >= directories || at + 8 > optional_size) return true;
    return in.U32(opt + at, &d->rva) && in.U32(opt + at + 4, &d->size);
  };
  if (!directory(kDirResource, &h->resource) || !directory(kDirBaseReloc, &h->relocations)) {
    return Fail(why, "the data directories end early");
  }
  for (std::uint32_t i = 0; i < sections; ++i) {
    if (!ReadSection(in, opt + optional_size + 40 * i, i, h, why)) return false;
  }
  return SectionsApart(*h, why);
}

// The HIGHLOW entries of one block that fall in a code section.
bool ReadRelocationBlock(Reader& in, std::uint32_t at, std::uint32_t size, std::uint32_t page,
                         PeImage* image, std::string* why) {
  // A block of its header alone has no entries (and nothing to read into).
  std::vector<std::uint8_t> entries(size);
  if (size > 0 && !in.Bytes(at, entries.data(), size)) {
    return Fail(why, "the relocation block at RVA " + Hex(at) + " cannot be read");
  }
  for (std::uint32_t i = 0; i + 1 < size; i += 2) {
    const std::uint32_t entry = LoadU16(&entries[i]);
    if (entry >> 12 != 3) continue;  // HIGHLOW; 0 pads a block
    const std::uint32_t rva = page + (entry & 0xFFF);
    if (CodeSectionAt(*image, rva, 4) != nullptr) image->relocated.push_back(rva);
  }
  return true;
}

bool ReadRelocations(Reader& in, const Headers& h, PeImage* image, std::string* why) {
  if (h.characteristics & kRelocsStripped) {
    image->relocations = Relocations::kStripped;
    return true;
  }
  if (h.relocations.rva == 0 || h.relocations.size == 0) {
    image->relocations = Relocations::kNone;
    return true;
  }
  image->relocations = Relocations::kPresent;
  if (std::uint64_t{h.relocations.rva} + h.relocations.size > h.size_of_image) {
    return Fail(why, "the relocation table runs past SizeOfImage");
  }
  std::uint32_t done = 0;
  while (h.relocations.size - done >= 8) {
    const std::uint32_t at = h.relocations.rva + done;
    std::uint32_t page = 0, size = 0;
    if (!in.U32(at, &page) || !in.U32(at + 4, &size)) {
      return Fail(why, "the relocation block at RVA " + Hex(at) + " cannot be read");
    }
    if (size == 0 && page == 0) break;  // padding after the last block
    if (size < 8 || size > kMaxRelocBlock || size > h.relocations.size - done) {
      return Fail(why, "the relocation block at RVA " + Hex(at) + " claims " + Hex(size) + " bytes");
    }
    if (!ReadRelocationBlock(in, at + 8, size - 8, page, image, why)) return false;
    done += size;
  }
  std::sort(image->relocated.begin(), image->relocated.end());
  image->relocated.erase(std::unique(image->relocated.begin(), image->relocated.end()),
                         image->relocated.end());
  return true;
}

// The first entry of a resource directory whose id is `id` (any entry when
// `id` is negative): its offset field.
bool ResourceEntry(Reader& in, const DataDirectory& dir, std::uint32_t offset, long id,
                   std::uint32_t* found) {
  std::uint32_t named = 0, ids = 0;
  if (offset > dir.size || dir.size - offset < 16 || !in.U16(dir.rva + offset + 12, &named) ||
      !in.U16(dir.rva + offset + 14, &ids)) {
    return false;
  }
  for (std::uint32_t i = 0; i < named + ids; ++i) {
    const std::uint32_t at = offset + 16 + 8 * i;
    std::uint32_t name = 0;
    if (at > dir.size || dir.size - at < 8 || !in.U32(dir.rva + at, &name) ||
        !in.U32(dir.rva + at + 4, found)) {
      return false;
    }
    if (id < 0 || (i >= named && name == static_cast<std::uint32_t>(id))) return true;
  }
  return false;
}

// VS_FIXEDFILEINFO's file version, from the first RT_VERSION resource.
FileVersion ReadVersion(Reader& in, const DataDirectory& dir) {
  constexpr std::uint32_t kSubdirectory = 0x80000000u;
  FileVersion version;
  std::uint32_t type = 0, name = 0, language = 0;
  if (dir.rva == 0 || !ResourceEntry(in, dir, 0, 16, &type) || !(type & kSubdirectory) ||
      !ResourceEntry(in, dir, type & ~kSubdirectory, -1, &name) || !(name & kSubdirectory) ||
      !ResourceEntry(in, dir, name & ~kSubdirectory, -1, &language) || (language & kSubdirectory) ||
      language > dir.size || dir.size - language < 16) {
    return version;
  }
  std::uint32_t data = 0, size = 0;
  if (!in.U32(dir.rva + language, &data) || !in.U32(dir.rva + language + 4, &size)) return version;
  // VS_VERSIONINFO: three words, L"VS_VERSION_INFO", padding to 4 bytes, then
  // the fixed information.
  static const char kKey[] = "VS_VERSION_INFO";
  std::uint8_t b[40 + 16];
  if (size < sizeof b || !in.Bytes(data, b, sizeof b)) return version;
  for (std::uint32_t i = 0; i < sizeof kKey; ++i) {
    if (LoadU16(b + 6 + 2 * i) != static_cast<std::uint8_t>(kKey[i])) return version;
  }
  if (LoadU32(b + 40) != 0xFEEF04BDu) return version;
  const std::uint32_t ms = LoadU32(b + 48), ls = LoadU32(b + 52);
  version.present = true;
  version.part[0] = static_cast<std::uint16_t>(ms >> 16);
  version.part[1] = static_cast<std::uint16_t>(ms);
  version.part[2] = static_cast<std::uint16_t>(ls >> 16);
  version.part[3] = static_cast<std::uint16_t>(ls);
  return version;
}

// What both ways of reading share once the code sections hold their bytes.
PeResult Finish(Reader& in, const Headers& h, std::uint32_t load_base, PeImage image) {
  PeResult result;
  image.load_base = load_base;
  image.image_base = h.image_base;
  image.size_of_image = h.size_of_image;
  image.time_date_stamp = h.time_date_stamp;
  std::string why;
  if (!ReadRelocations(in, h, &image, &why)) {
    result.error = "not a PE image: " + why;
    return result;
  }
  image.file_version = ReadVersion(in, h.resource);
  result.ok = true;
  result.image = std::move(image);
  return result;
}

PeResult NotPe(const std::string& why) {
  PeResult result;
  result.error = "not a PE image: " + why;
  return result;
}

}  // namespace

PeResult ReadPeFile(const std::uint8_t* bytes, std::size_t size) {
  FileImage file(bytes, size);
  Reader in(file);
  Headers h;
  std::string why;
  if (!ReadHeaders(in, &h, &why)) return NotPe(why);
  file.Map(h);
  PeImage image;
  for (std::size_t i = 0; i < h.sections.size(); ++i) {
    const RawSection& s = h.sections[i];
    PeSection section = s.section;
    if (std::uint64_t{s.raw_offset} + s.raw_size > size) {
      return NotPe("section " + std::to_string(i + 1) + " (" + section.name + "): its " +
                   Hex(s.raw_size) + " bytes at file offset " + Hex(s.raw_offset) +
                   " run past the end of the file (" + Hex(size) + " bytes)");
    }
    if (section.code) {
      const std::uint32_t kept = std::min(s.raw_size, section.size);
      section.bytes.assign(bytes + s.raw_offset, bytes + s.raw_offset + kept);
    }
    image.sections.push_back(std::move(section));
  }
  return Finish(in, h, h.image_base, std::move(image));
}

PeResult ReadPeMapped(MappedImage& mapped, std::uint32_t load_base) {
  Reader in(mapped);
  Headers h;
  std::string why;
  if (!ReadHeaders(in, &h, &why)) return NotPe(why);
  PeImage image;
  for (const RawSection& s : h.sections) {
    PeSection section = s.section;
    // Grown chunk by chunk: nothing is allocated for bytes that cannot be
    // read before the first chunk could be; then room for the whole section
    // at once, so that a large one is not copied and faulted in again at
    // each doubling (half the time of reading 32 MiB).
    for (std::uint32_t done = 0; section.code && done < section.size;) {
      const std::uint32_t chunk = std::min(kChunk, section.size - done);
      section.bytes.resize(done + chunk);
      if (!mapped.Read(section.rva + done, section.bytes.data() + done, chunk)) {
        return NotPe("the code section " + section.name + " cannot be read at RVA " +
                     Hex(section.rva + done));
      }
      if (done == 0) section.bytes.reserve(section.size);
      done += chunk;
    }
    image.sections.push_back(std::move(section));
  }
  return Finish(in, h, load_base, std::move(image));
}

const PeSection* CodeSectionAt(const PeImage& image, std::uint32_t rva, std::uint32_t size) {
  for (const PeSection& s : image.sections) {
    if (s.code && rva >= s.rva && std::uint64_t{rva} + size <= std::uint64_t{s.rva} + s.bytes.size()) {
      return &s;
    }
  }
  return nullptr;
}

bool IsRelocated(const PeImage& image, std::uint32_t rva) {
  return std::binary_search(image.relocated.begin(), image.relocated.end(), rva);
}

std::string FileVersionText(const FileVersion& version) {
  if (!version.present) return "";
  return std::to_string(version.part[0]) + "." + std::to_string(version.part[1]) + "." +
         std::to_string(version.part[2]) + "." + std::to_string(version.part[3]);
}

}  // namespace quorvane::signatures
