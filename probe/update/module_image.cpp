#include "probe/update/module_image.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "probe/common/files.h"
#include "probe/common/text.h"
#include "probe/walk/walk.h"

namespace probe {

namespace {

using quorvane::signatures::PeImage;
using quorvane::signatures::PeResult;
using quorvane::signatures::PeSection;
using quorvane::signatures::Relocations;

// A module file larger than any image this tool reads, with room for what
// lies outside its sections.
constexpr std::size_t kMaxModuleFile = std::size_t{quorvane::signatures::kMaxImageSize} * 2;

// The image as the examined process has it mapped, read through
// ReadHostMemory, which copies only pages the memory map lists as readable.
// A read outside the image's extent fails without asking the host. The
// image is read in windows: the headers and the relocation table come in
// many small reads (two words and a block per page of code), served from a
// 64 KiB window; the code comes in 64 KiB pieces, served from a 4 MiB one.
// Each call into the host costs about as much as copying a few hundred KiB
// (under Wine far more), so a 32 MiB module is read in a few dozen calls,
// not tens of thousands. A window that cannot be read as a whole is given
// up for a read of exactly what was asked.
class HostImage final : public quorvane::signatures::MappedImage {
 public:
  HostImage(std::uint32_t base, std::uint32_t size) : base_(base), size_(size) {}

  bool Read(std::uint32_t rva, std::uint8_t* out, std::uint32_t size) override {
    if (rva > size_ || size > size_ - rva) {
      Failed(true, 0);
      return false;
    }
    if (InWindow(rva, size) || LoadWindow(rva, size)) {
      std::memcpy(out, window_.data() + (rva - window_rva_), size);
      return true;
    }
    if (quorvane::ReadHostMemory(base_ + rva, out, size)) return true;
    Failed(false, FirstUnreadable(base_ + rva, size));
    return false;
  }

  // What stopped the first read that failed; empty when none did.
  std::string Failure() const {
    if (!failed_) return "";
    if (past_end_) return "it points past the image's " + Hex(size_) + " bytes";
    const std::string why = UnreadablePage(unreadable_);
    return "the page at " + Hex(unreadable_) + " cannot be read" +
           (why.empty() ? "" : " (" + why + ")");
  }

 private:
  static constexpr std::uint32_t kSmallWindow = 64u << 10;
  static constexpr std::uint32_t kBulkWindow = 4u << 20;

  bool InWindow(std::uint32_t rva, std::uint32_t size) const {
    return rva >= window_rva_ && size <= window_.size() &&
           rva - window_rva_ <= window_.size() - size;
  }

  // A window from the page that holds `rva` on, long enough for `size`
  // bytes; false (and no window) when some page of it cannot be read.
  bool LoadWindow(std::uint32_t rva, std::uint32_t size) {
    const std::uint32_t start = rva - rva % quorvane::kHostPageSize;
    const std::uint32_t want = size < kSmallWindow / 2 ? kSmallWindow : kBulkWindow;
    const std::uint32_t length = std::min(want, size_ - start);
    if (rva - start > length || size > length - (rva - start)) return false;
    window_.resize(length);
    window_rva_ = start;
    if (quorvane::ReadHostMemory(base_ + start, window_.data(), length)) return true;
    window_.clear();
    return false;
  }

  void Failed(bool past_end, std::uint32_t unreadable) {
    if (failed_) return;
    failed_ = true;
    past_end_ = past_end;
    unreadable_ = unreadable;
  }

  std::uint32_t base_, size_;
  std::vector<std::uint8_t> window_;
  std::uint32_t window_rva_ = 0;
  bool failed_ = false, past_end_ = false;
  std::uint32_t unreadable_ = 0;
};

const char* RelocationsPhrase(Relocations r) {
  switch (r) {
    case Relocations::kPresent: return "a relocation table";
    case Relocations::kNone: return "no relocation table";
    case Relocations::kStripped: return "relocations stripped";
  }
  return "?";
}

}  // namespace

bool ReadLoadedImage(const std::string& module, ModuleImage* out, std::string* error) {
  HostImage mapped(out->base, out->size);
  PeResult read = quorvane::signatures::ReadPeMapped(mapped, out->base);
  if (read.ok) {
    out->image = std::move(read.image);
    return true;
  }
  const std::string failure = mapped.Failure();
  *error = "cannot read " + LuaEscape(module) + "'s image at " + Hex(out->base) + ": " +
           read.error + (failure.empty() ? "" : "; " + failure);
  return false;
}

bool ReadModuleFile(const std::string& path, ModuleImage* out, std::string* error) {
  out->live = false;
  std::string bytes;
  if (!ReadNamedFile(path, "the module file", kMaxModuleFile, &out->path, &bytes, error)) {
    return false;
  }
  PeResult read = quorvane::signatures::ReadPeFile(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  if (!read.ok) {
    *error = out->path + ": " + read.error;
    return false;
  }
  out->image = std::move(read.image);
  return true;
}

std::string BuildText(std::uint32_t time_date_stamp,
                      const quorvane::signatures::FileVersion& version) {
  const std::string number = quorvane::signatures::FileVersionText(version);
  return (time_date_stamp == 0 ? std::string("no time stamp") : "time stamp " + Hex(time_date_stamp)) +
         ", " + (number.empty() ? std::string("no file version") : "file version " + number);
}

std::string ImageSummary(const PeImage& image) {
  std::uint64_t code = 0;
  std::vector<std::string> names;
  for (const PeSection& s : image.sections) {
    if (!s.code) continue;
    code += s.bytes.size();
    names.push_back(s.name);
  }
  return Format("code 0x%llX bytes in ", static_cast<unsigned long long>(code)) + Join(names) +
         ", " + RelocationsPhrase(image.relocations);
}

}  // namespace probe
