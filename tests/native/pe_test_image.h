// PE32 images for the signature tests: a builder that lays out headers, a
// code section with its relocations, a data section and optionally a version
// resource; a loader that maps an image's file at a base of its choosing and
// applies its relocations, as the system's loader does; and the compiled
// host releases (signature_host/host.c).
#ifndef QUORVANE_TESTS_NATIVE_PE_TEST_IMAGE_H
#define QUORVANE_TESTS_NATIVE_PE_TEST_IMAGE_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "signatures/pe_image.h"

namespace pe_test {

inline void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}
inline std::uint32_t Get32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
         static_cast<std::uint32_t>(b[at + 3]) << 24;
}

constexpr std::uint32_t kCodeRva = 0x1000;
constexpr std::uint32_t kPeAt = 0x80;

struct ImageLayout {
  std::uint32_t image_base = 0x10000000;
  std::vector<std::uint8_t> code;
  std::vector<std::uint32_t> code_relocs;  // offsets in `code` of relocated words
  std::uint32_t data_size = 0x2000;        // the data section's size in memory
  bool relocations = true;
  bool version = false;
  std::uint16_t file_version[4] = {1, 4, 0, 2};
  std::uint32_t time_stamp = 0x5F3A2B10;
};

// The data section's RVA in a built image (globals live there).
inline std::uint32_t DataRva(const ImageLayout& s) {
  return kCodeRva + ((static_cast<std::uint32_t>(s.code.size()) + 0xFFF) & ~0xFFFu);
}

// VS_VERSIONINFO with its fixed information, in a resource directory for
// RT_VERSION, name 1, language 0x409, at `rva`.
inline std::vector<std::uint8_t> VersionResource(std::uint32_t rva, const std::uint16_t v[4]) {
  std::vector<std::uint8_t> r(0x200, 0);
  const auto dir = [&](std::size_t at, std::uint32_t id, std::uint32_t to) {
    Put16(r, at + 14, 1);  // one entry by id
    Put32(r, at + 16, id);
    Put32(r, at + 20, to);
  };
  dir(0x00, 16, 0x80000000u | 0x18);
  dir(0x18, 1, 0x80000000u | 0x30);
  dir(0x30, 0x409, 0x48);
  Put32(r, 0x48, rva + 0x60);  // data entry: RVA, size
  Put32(r, 0x4C, 0x5C);
  const std::size_t info = 0x60;
  Put16(r, info, 0x5C);
  Put16(r, info + 2, 0x34);
  const char key[] = "VS_VERSION_INFO";
  for (std::size_t i = 0; i < sizeof key; ++i) Put16(r, info + 6 + 2 * i, static_cast<std::uint8_t>(key[i]));
  Put32(r, info + 40, 0xFEEF04BDu);
  Put32(r, info + 44, 0x00010000u);
  Put32(r, info + 48, static_cast<std::uint32_t>(v[0]) << 16 | v[1]);
  Put32(r, info + 52, static_cast<std::uint32_t>(v[2]) << 16 | v[3]);
  return r;
}

inline std::vector<std::uint8_t> RelocationTable(const ImageLayout& s) {
  std::vector<std::uint8_t> t;
  std::vector<std::uint32_t> rvas;
  for (const std::uint32_t at : s.code_relocs) rvas.push_back(kCodeRva + at);
  std::sort(rvas.begin(), rvas.end());
  for (std::size_t i = 0; i < rvas.size();) {
    const std::uint32_t page = rvas[i] & ~0xFFFu;
    const std::size_t block = t.size();
    Put32(t, block, page);
    std::size_t n = 0;
    for (; i < rvas.size() && (rvas[i] & ~0xFFFu) == page; ++i, ++n) {
      Put16(t, block + 8 + 2 * n, 0x3000u | (rvas[i] & 0xFFF));
    }
    if (n % 2) Put16(t, block + 8 + 2 * n++, 0);  // blocks are 4-byte aligned
    Put32(t, block + 4, static_cast<std::uint32_t>(8 + 2 * n));
  }
  return t;
}

struct SectionLayout {
  const char* name;
  std::uint32_t rva;
  std::uint32_t virtual_size;
  std::vector<std::uint8_t> raw;
  std::uint32_t characteristics;
};

// The image's file: headers, then each section's raw data, 0x200-aligned.
inline std::vector<std::uint8_t> Build(const ImageLayout& s) {
  std::vector<SectionLayout> sections;
  sections.push_back({".text", kCodeRva, static_cast<std::uint32_t>(s.code.size()), s.code, 0x60000020});
  std::uint32_t rva = DataRva(s);
  sections.push_back({".data", rva, s.data_size, std::vector<std::uint8_t>(0x200, 0), 0xC0000040});
  rva += (s.data_size + 0xFFF) & ~0xFFFu;
  std::uint32_t resource_rva = 0, reloc_rva = 0, reloc_size = 0;
  if (s.version) {
    resource_rva = rva;
    sections.push_back({".rsrc", rva, 0x200, VersionResource(rva, s.file_version), 0x40000040});
    rva += 0x1000;
  }
  if (s.relocations) {
    std::vector<std::uint8_t> table = RelocationTable(s);
    reloc_rva = rva;
    reloc_size = static_cast<std::uint32_t>(table.size());
    sections.push_back({".reloc", rva, reloc_size, table, 0x42000040});
    rva += (reloc_size + 0xFFF) & ~0xFFFu;
  }
  std::vector<std::uint8_t> f(0x400, 0);
  f[0] = 'M';
  f[1] = 'Z';
  Put32(f, 0x3C, kPeAt);
  Put32(f, kPeAt, 0x00004550);
  Put16(f, kPeAt + 4, 0x14C);
  Put16(f, kPeAt + 6, static_cast<std::uint32_t>(sections.size()));
  Put32(f, kPeAt + 8, s.time_stamp);
  Put16(f, kPeAt + 20, 0xE0);
  Put16(f, kPeAt + 22, 0x2102 | (s.relocations ? 0 : 1));
  const std::size_t o = kPeAt + 24;
  Put16(f, o, 0x10B);
  Put32(f, o + 28, s.image_base);
  Put32(f, o + 32, 0x1000);
  Put32(f, o + 36, 0x200);
  Put32(f, o + 56, rva);  // SizeOfImage
  Put32(f, o + 60, 0x400);
  Put32(f, o + 92, 16);
  Put32(f, o + 96 + 8 * 2, resource_rva);
  Put32(f, o + 96 + 8 * 2 + 4, resource_rva ? 0x200 : 0);
  Put32(f, o + 96 + 8 * 5, reloc_rva);
  Put32(f, o + 96 + 8 * 5 + 4, reloc_size);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const SectionLayout& sec = sections[i];
    const std::size_t h = o + 0xE0 + 40 * i;
    std::memcpy(&f[h], sec.name, std::strlen(sec.name));
    Put32(f, h + 8, sec.virtual_size);
    Put32(f, h + 12, sec.rva);
    const auto raw_size = static_cast<std::uint32_t>((sec.raw.size() + 0x1FF) & ~std::size_t{0x1FF});
    Put32(f, h + 16, raw_size);
    Put32(f, h + 20, static_cast<std::uint32_t>(f.size()));
    Put32(f, h + 36, sec.characteristics);
    std::vector<std::uint8_t> raw = sec.raw;
    raw.resize(raw_size, 0);
    f.insert(f.end(), raw.begin(), raw.end());
  }
  return f;
}

// An image as a process has it: the file mapped at `base` by its section
// table, relocated by base - ImageBase.
inline std::vector<std::uint8_t> Map(const std::vector<std::uint8_t>& file, std::uint32_t base) {
  const std::uint32_t pe = Get32(file, 0x3C);
  const std::uint32_t sections = file[pe + 6] | file[pe + 7] << 8;
  const std::uint32_t optional = file[pe + 20] | file[pe + 21] << 8;
  const std::uint32_t o = pe + 24;
  std::vector<std::uint8_t> m(Get32(file, o + 56), 0);
  std::copy(file.begin(), file.begin() + Get32(file, o + 60), m.begin());
  for (std::uint32_t i = 0; i < sections; ++i) {
    const std::uint32_t h = o + optional + 40 * i;
    const std::uint32_t rva = Get32(file, h + 12), size = Get32(file, h + 8);
    const std::uint32_t raw = std::min(Get32(file, h + 16), size), at = Get32(file, h + 20);
    std::copy(file.begin() + at, file.begin() + at + raw, m.begin() + rva);
  }
  const std::uint32_t delta = base - Get32(file, o + 28);
  const std::uint32_t relocs = Get32(file, o + 96 + 40), relocs_size = Get32(file, o + 96 + 44);
  for (std::uint32_t done = 0; relocs_size - done >= 8;) {
    const std::uint32_t page = Get32(m, relocs + done), size = Get32(m, relocs + done + 4);
    if (size < 8) break;
    for (std::uint32_t e = 8; e + 2 <= size; e += 2) {
      const std::uint32_t entry = m[relocs + done + e] | m[relocs + done + e + 1] << 8;
      if (entry >> 12 == 3) Put32(m, page + (entry & 0xFFF), Get32(m, page + (entry & 0xFFF)) + delta);
    }
    done += size;
  }
  return m;
}

// A mapped image read by RVA; reads past its end fail.
class Mapped : public quorvane::signatures::MappedImage {
 public:
  explicit Mapped(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool Read(std::uint32_t rva, std::uint8_t* out, std::uint32_t size) override {
    if (rva > bytes_.size() || size > bytes_.size() - rva) return false;
    std::memcpy(out, bytes_.data() + rva, size);
    return true;
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

// The image's file with its relocations removed, as a linker strips them.
inline std::vector<std::uint8_t> StripRelocations(std::vector<std::uint8_t> file) {
  const std::uint32_t pe = Get32(file, 0x3C);
  file[pe + 22] |= 1;
  Put32(file, pe + 24 + 96 + 40, 0);
  Put32(file, pe + 24 + 96 + 44, 0);
  return file;
}

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace pe_test

#endif
